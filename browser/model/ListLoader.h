#pragma once
// The row loader of a list model: opening a folder fills the model on a thread of its own, so
// that a folder of a million files never holds the UI thread. One request per opened folder;
// opening another folder abandons the running request, whose thread notices between two rows
// and ends on its own. The loader never waits for the UI thread (it only posts to the view), so
// the UI thread may join it at any time.
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "browser/model/XUnknown.h"
#include "platform/Types.h"

class CFileNode;

namespace FileSelCtrl {

class CBindingNode;
class CFileListData;

// Rows made on the loader thread reach the model in batches of this many, one lock each.
constexpr size_t kLoaderBatchRows = 4096;
// How long the loader waits for the tree lock at a time before it looks at its cancel flag.
constexpr u32 kLoaderLockWaitMs = 10;
// Below the normal scheduling priority (a nice value), as an idle-time helper.
constexpr int kLoaderNiceness = 5;

class CFileListDataUICache {
public:
    // One load request; the thread and the cache each hold a reference while they use it.
    class UICache_Item : public XUnknown {
    public:
        UICache_Item(CFileListDataUICache* cache, CBindingNode* folder);
        std::atomic<u8> cancel{0};
        CFileListDataUICache* const cache;
        CBindingNode* const folder;
        bool IsCancelled() const { return cancel.load(std::memory_order_acquire) != 0; }

    protected:
        ~UICache_Item() override;
    };

    explicit CFileListDataUICache(CFileListData* owner) : m_owner(owner) {}
    ~CFileListDataUICache();
    CFileListDataUICache(const CFileListDataUICache&) = delete;
    CFileListDataUICache& operator=(const CFileListDataUICache&) = delete;

    // ---- UI thread
    // Abandons the running request and starts one for the folder.
    void Start(CBindingNode* folder);
    // Abandons the running request: it adds no row after this returns.
    void Stop();
    void StopAndClear();
    // Returns once no loader thread of this cache runs any more.
    void WaitIdle();
    bool IsRunning() const { return m_running.load(std::memory_order_acquire) != 0; }
    // Loads the folder on the calling thread (a model without a view has nobody to wait for).
    void LoadNow(CBindingNode* folder);

private:
    friend class UICache_Item;
    static void LoaderProc(UICache_Item* request);
    void Load(UICache_Item* request);
    void ReapFinished();

    UICache_Item* m_current = nullptr;
    CFileListData* const m_owner;
    std::atomic<u32> m_running{0};  // loader threads that have not finished
    // Every thread started and not yet joined; finished ones are joined at the next Start.
    std::vector<std::thread> m_threads;
};

}  // namespace FileSelCtrl
