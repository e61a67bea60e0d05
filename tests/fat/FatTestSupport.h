#pragma once
// Shared pieces of the FAT tests: devices over image files and memory, a small manifest reader,
// a recording tree builder and a progress sink.
#include <fcntl.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/Progress.h"

class CFileNode;
class CFileSystemNode;

namespace fattest {

// A read-only image file as a device of the given sector size.
class ImageDevice : public IStorageDevice {
public:
    ImageDevice(const std::string& path, u32 sectorSize);
    ~ImageDevice() override;
    bool IsOpen() const { return m_fd >= 0; }
    u32 Read(void* buffer, u64 first, u64 count) override;
    u64 GetTotalSectors() override { return m_total; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return m_fd >= 0 ? 1 : 0; }
    u32 Close() override { return 1; }
    u64 reads = 0;

private:
    int m_fd = -1;
    u32 m_sectorSize;
    u64 m_total = 0;
};

// Bytes in memory as a device; reads outside fail, as a disk's would.
class MemoryDevice : public IStorageDevice {
public:
    MemoryDevice(std::vector<u8> bytes, u32 sectorSize) : data(std::move(bytes)), m_sectorSize(sectorSize) {}
    u32 Read(void* buffer, u64 first, u64 count) override;
    u64 GetTotalSectors() override { return data.size() / m_sectorSize; }
    u32 GetSectorSize() override { return m_sectorSize; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    std::vector<u8> data;
    u64 failFrom = ~0ULL;  // reads touching this sector or later fail
    u64 reads = 0;

private:
    u32 m_sectorSize;
};

// ---- manifests ----
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;
    const Json& operator[](const std::string& key) const;
};
bool ParseJson(const std::string& text, Json& out);
Json LoadFixtureJson(const std::string& name);

struct ExpectedFile {
    int partition = 0;
    std::string path;
    std::string sha256;
    bool reachable = false;
    std::string nameOnDisk;  // 0xE5 shown as U+00E5
    bool intact = false;
    bool live = false;
    u64 size = 0;
    std::string mtime;
};
// The deleted files of a partition, from NAME.reach.json joined with NAME.json.
std::vector<ExpectedFile> LoadDeletedFiles(const std::string& image, int partition);
// The name a FAT scan gives an entry: the deletion mark U+00E5 at the start shows as '#'.
std::string ScanName(const std::string& nameOnDisk);
// "YYYY-MM-DDTHH:MM:SSZ" of a FILETIME.
std::string IsoTime(u64 fileTime);

// ---- builder and progress ----
class RecordingBuilder : public IDirecotryTreeBuilder {
public:
    ~RecordingBuilder() override;
    u32 Init(const char*, IDirectoryTree*, IRecoveryFilter*, u32, IStorageDevice*, u32) override { return 1; }
    u32 ApplyFilter(CFileSystemNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFileSystemTree(CFileSystemNode* root) override;
    u32 AddFileNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) override;
    u32 InsertNode(CFileNode*, CSearchedPartitionInfo*) override { return 0; }
    u32 AddEvaluationItem(CSearchedPartitionInfo*) override { return 0; }
    u32 HasEvaluationItem(std::vector<CSearchedPartitionInfo*>*) override { return 0; }
    u32 FinishSearch() override { return 1; }
    u32 BuildLostFilesFolder(CSearchedPartitionInfo*) override { return 0; }
    u32 FinishBuild() override { return 1; }
    u64 GetNodeCount() override { return nodes.size(); }
    CFileSystemNode* GetTreeRoot(CSearchedPartitionInfo*) override { return root; }
    u32 GetTag() override { return 0; }
    void SetTag(u32) override {}
    void Release() override {}
    void SetProgress(IProgress*) override {}
    IRecoveryFilter* GetFilter() override { return nullptr; }

    // "/Folder/name" built from the parent ids of the folders handed over.
    std::string PathOf(const CFileNode* node) const;
    const CFileNode* FindByPath(const std::string& path) const;

    CFileSystemNode* root = nullptr;
    std::vector<CFileNode*> nodes;  // in the order handed over
    std::vector<u32> treeKinds;
    bool refuseRoot = false;
    u32 rootsOffered = 0;
};

class CountingProgress : public IProgress {
public:
    i32 OnProgress(const ProgressInfo* record) override;
    u32 Continued() override;
    u32 GetState() override { return 1; }
    std::vector<u64> reported;
    u64 continuedCalls = 0;
    u64 stopAfter = ~0ULL;  // Continued answers 0 from this call on
};

// The file's bytes through its runs, read with the root's geometry; false when a read fails.
bool ReadThroughRuns(IStorageDevice& device, const CFileSystemNode& root, const CFileNode& node, std::vector<u8>& out);

}  // namespace fattest
