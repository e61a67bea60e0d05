#pragma once
// The scan modes behind CreateRecoveryController. CDeletedRecoveryController is the deleted-file
// scan: the quick search of the volume's own file system (NTFS, FAT or exFAT) runs over its
// metadata and hands what it finds to a quick-mode tree builder, which shows the deleted entries
// and the folders that lead to them.
#include <atomic>
#include <string>
#include <vector>

#include "devices/FileSystemCode.h"
#include "engine/RecoveryController.h"

class IDirecotryTreeBuilder;
class IQuickFileSystemSearchController;

class CDeletedRecoveryController : public IRecoveryController {
public:
    CDeletedRecoveryController() = default;
    // Deletes the quick search and releases the builder (with its trees).
    ~CDeletedRecoveryController() override;

    u32 GetType() override { return kControllerDeletedScan; }
    u32 Initialize(IRecoveryFilter* filter) override;
    // kErrCompleteMissingArgument without a device, sink or consumer; otherwise 0 or the code of
    // the step that failed (no builder, builder refused, no search for the file system, or the
    // search's own code).
    u32 Run(IStorageDevice* device, IProgress* progress, IDirectoryTree* consumer, const char* displayName,
            u32 lostDataReason) override;
    void Release() override { delete this; }
    void SetFileSystem(u32 fsCode, const char* name) override;
    u32 GetFileSource(CFileNode* node, u64& startSector, u32& sectorsPerCluster) override;
    void Stop() override { m_stop = 1; }

    u32 GetFileSystemCode() const { return m_fsCode; }
    const std::string& GetDisplayName() const { return m_displayName; }
    IDirecotryTreeBuilder* GetBuilder() const { return m_builder; }

protected:
    // The quick search of the plug-in row of the stored file-system code; null when no row
    // offers one.
    virtual IQuickFileSystemSearchController* CreateQuickSearch();

private:
    // The search whose tree holds the node (several volumes run through one controller).
    IQuickFileSystemSearchController* FindSearchOf(CFileNode* node) const;

    // Earlier runs of this controller: their trees may still be on screen, so their builders and
    // searches stay until the controller goes.
    struct EarlierRun {
        IDirecotryTreeBuilder* builder;
        IQuickFileSystemSearchController* search;
    };
    std::vector<EarlierRun> m_earlierRuns;
    IDirecotryTreeBuilder* m_builder = nullptr;
    IRecoveryFilter* m_filter = nullptr;
    IStorageDevice* m_device = nullptr;
    IQuickFileSystemSearchController* m_quickSearch = nullptr;
    u32 m_fsCode = kFsUnknown;
    std::string m_displayName;
    std::atomic<u32> m_stop{0};  // written by Stop from another thread
};
