// The browser with a scan result of a million files: how long the tree takes to arrive, the
// longest time the UI thread is busy at once while it arrives, how long a folder of 100,000
// files takes to open and to sort by each column, and the memory the browser adds per file.
// Runs offscreen; prints the figures.
#include <malloc.h>

#include <QApplication>
#include <QScrollBar>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <utility>

#include "SettableProperties.h"
#include "browser/model/FileSelCtrl.h"
#include "browser/model/ListModel.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Container.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"

using namespace FileSelCtrl;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kTopFolders = 100;
constexpr int kSubFolders = 10;
constexpr int kFilesPerFolder = 900;
constexpr int kBigFolderFiles = 100000;
constexpr u64 kFileTimeBase = 132223104000000000ULL;


// A deleted file or folder dated by one time, as the browser's trees read it.
testutil::SettableProperties* BenchProps(const std::string& name, u64 size, u16 attributes, u64 time) {
    auto* p = new testutil::SettableProperties;
    p->name = name;
    p->size = size;
    p->attributes = attributes;
    p->created = p->modified = p->accessed = time;
    p->state = kStateDeleted;
    p->validFields = kValidSize | kValidAttributes | kValidModificationTime;
    return p;
}

CFileNode* Add(CFileNode* parent, const std::string& name, bool folder, u64 seed) {
    CFileNode* n = CreateFileNode().release();
    const u64 size = folder ? 0 : (seed * 2654435761ULL) % 50000000ULL;
    const u64 time = kFileTimeBase + (seed * 40503ULL % 100000ULL) * 10000000ULL * 600;
    n->SetFileProperties(BenchProps(name, size, folder ? kAttrDirectory : kAttrArchive, time));
    parent->AddChild(n);
    return n;
}

const char* const kExtensions[] = {"jpg", "txt", "docx", "mp3", "png", "pdf", "zip", "mov"};

std::string FileName(u64 i) {
    char text[48];
    std::snprintf(text, sizeof(text), "IMG_%07llu_holiday.%s", static_cast<unsigned long long>((i * 7919) % 10000000),
                  kExtensions[i % 8]);
    return text;
}

size_t HeapInUse() { return mallinfo2().uordblks; }

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Times every event the UI thread handles. A user's click waits at most for the event in hand:
// between two posted drain messages the event loop takes input, so one handled event, not a
// whole processEvents call that runs several of them back to back, is the stretch to measure.
class TimedApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (m_depth++ > 0) {
            const bool r = QApplication::notify(receiver, event);
            --m_depth;
            return r;
        }
        const auto t0 = Clock::now();
        const bool r = QApplication::notify(receiver, event);
        m_longest = std::max(m_longest, Ms(Clock::now() - t0));
        --m_depth;
        return r;
    }
    // The longest event since the last call.
    double TakeLongestEvent() { return std::exchange(m_longest, 0.0); }

private:
    int m_depth = 0;
    double m_longest = 0;
};

// Drains one slice directly, then lets the event loop run; the longest of the direct slice and
// of any one event handled meanwhile.
double DrainAndHandleEvents(TimedApplication& app, CFileVirtualNodeManager& manager, u32 sliceMs) {
    const auto t0 = Clock::now();
    manager.ProcessPending(sliceMs);
    const double direct = Ms(Clock::now() - t0);
    app.TakeLongestEvent();
    app.processEvents();
    return std::max(direct, app.TakeLongestEvent());
}

// Handles the UI thread's events until the folder list's loader has listed every row and its
// notices are handled; the longest event handled meanwhile.
double HandleEventsWhileLoading(TimedApplication& app) {
    CFileListData& list = CFileListData::FolderModel();
    double longest = 0;
    app.TakeLongestEvent();
    while (list.Loader().IsRunning()) {
        app.processEvents();
        longest = std::max(longest, app.TakeLongestEvent());
    }
    app.processEvents();
    return std::max(longest, app.TakeLongestEvent());
}

void FreeTree(CFileNode* node) {
    std::vector<CFileNode*> stack{node};
    while (!stack.empty()) {
        CFileNode* n = stack.back();
        stack.pop_back();
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) stack.push_back(c);
        DeleteFileNode(n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);

    // The found-file tree: 100 x 10 folders of 900 files, and one folder of 100,000.
    CFileSystemNode* root = CreateFileSystemNode().release();
    root->SetFileSystemType(3);
    root->SetFileProperties(BenchProps("NTFS", 0, kAttrDirectory, 0));
    u64 seed = 1;
    u64 files = 0;
    for (int t = 0; t < kTopFolders; ++t) {
        CFileNode* top = Add(root, "Folder " + std::to_string(t), true, seed++);
        for (int s = 0; s < kSubFolders; ++s) {
            CFileNode* sub = Add(top, "Sub " + std::to_string(s), true, seed++);
            for (int f = 0; f < kFilesPerFolder; ++f, ++files, ++seed) Add(sub, FileName(seed), false, seed);
        }
    }
    CFileNode* big = Add(root, "Big folder", true, seed++);
    for (int f = 0; f < kBigFolderFiles; ++f, ++files, ++seed) Add(big, FileName(seed), false, seed);

    CFileSelCtrl* browser = CFileSelCtrl::GetInstance();
    browser->Create(nullptr, RECT{0, 0, 1000, 600});
    browser->Container()->show();
    app.processEvents();
    CFileVirtualNodeManager& manager = CFileVirtualNodeManager::Instance();
    browser->SetBuildState(true);
    app.processEvents();
    malloc_trim(0);
    const size_t heapBefore = HeapInUse();

    // Delivery: the scan's thread walks the tree into the browser; this thread is the UI and
    // binds in slices, handling its events between them.
    std::atomic<bool> delivered{false};
    const auto start = Clock::now();
    std::thread scan([&] {
        browser->AddFileSystemNodeWithCallback(root, [](CFileNode*, void*) { return true; }, nullptr, true);
        delivered = true;
    });
    double longestSlice = 0;
    size_t slices = 0;
    while (!delivered.load() || manager.HasPending()) {
        longestSlice = std::max(longestSlice, DrainAndHandleEvents(app, manager, kDrainSliceMs));
        ++slices;
    }
    scan.join();
    const double deliveryMs = Ms(Clock::now() - start);
    const double longestDuringDelivery = longestSlice;
    browser->SetBuildState(false);
    double buildEndMs = 0;
    buildEndMs = DrainAndHandleEvents(app, manager, kDrainSliceMs);
    longestSlice = std::max(longestSlice, buildEndMs);
    malloc_trim(0);
    const size_t heapDelivered = HeapInUse();

    // Open the folder of 100,000 files, then sort it by each column both ways.
    CBindingNode* bigBinding = nullptr;
    for (CBindingNode* c : *(*manager.PathRoot()->GetChildren())[0]->GetChildren()) {
        if (c->GetName() == "Big folder") bigBinding = c;
    }
    if (!bigBinding) {
        std::fprintf(stderr, "browser_bench: the big folder was not bound\n");
        return 1;
    }
    CFileListQtModel* view = browser->Container()->Right()->Details()->ListModel();
    auto t0 = Clock::now();
    app.TakeLongestEvent();
    browser->Container()->Left()->PathTree()->SelectNodeItem(bigBinding);
    const double listMs = Ms(Clock::now() - t0);
    const double longestBigOpen = std::max(listMs, HandleEventsWhileLoading(app));
    const double openMs = Ms(Clock::now() - t0);
    const int rows = CFileListData::FolderModel().GetCount();
    const size_t rowBytes = CFileListData::FolderModel().MemoryUse();

    std::printf("Browser with %llu files in %d folders (%zu UI slices)\n", static_cast<unsigned long long>(files),
                kTopFolders * (kSubFolders + 1) + 1, slices);
    std::printf("  delivery of the whole tree         %9.1f ms\n", deliveryMs);
    std::printf("  longest UI-thread busy stretch     %9.1f ms (goal < 100)\n", longestSlice);
    std::printf("    while the files arrive           %9.1f ms; the end of the scan %.1f ms\n", longestDuringDelivery, buildEndMs);
    std::printf("  browser memory per delivered file  %9.1f bytes (goal < 200)\n",
                static_cast<double>(heapDelivered - std::min(heapDelivered, heapBefore)) / static_cast<double>(files));
    std::printf("  open a folder of %d files      %9.1f ms\n", rows, openMs);
    std::printf("    UI thread in the open call       %9.1f ms; longest UI-thread stretch %.1f ms\n", listMs, longestBigOpen);
    std::printf("  list rows of that folder           %9.1f bytes per row\n",
                static_cast<double>(rowBytes) / std::max(1, rows));
    const char* const columns[] = {"name", "date", "type", "size"};
    for (int column = 0; column < 4; ++column) {
        for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
            t0 = Clock::now();
            view->sort(column, order);
            app.processEvents();
            std::printf("  sort by %-4s %-10s             %9.1f ms\n", columns[column],
                        order == Qt::AscendingOrder ? "ascending" : "descending", Ms(Clock::now() - t0));
        }
    }

    // The icon view over the folder of 100,000 files: switching to it, then scrolling page by
    // page from the top and jumping to the end, each step painted at once.
    {
        CWndRightView* right = browser->Container()->Right();
        t0 = Clock::now();
        right->SetViewMode(false);
        app.processEvents();
        CFileIconCtrl* icons = right->Icons()->List();
        icons->viewport()->repaint();
        const double switchMs = Ms(Clock::now() - t0);
        QScrollBar* bar = icons->verticalScrollBar();
        constexpr int kScrollSteps = 300;
        double longestStep = 0;
        double total = 0;
        for (int step = 0; step <= kScrollSteps; ++step) {
            const auto s0 = Clock::now();
            bar->setValue(step == kScrollSteps ? bar->maximum() : bar->value() + bar->pageStep());
            icons->viewport()->repaint();
            app.processEvents();
            const double ms = Ms(Clock::now() - s0);
            longestStep = std::max(longestStep, ms);
            total += ms;
        }
        std::printf("  icon view of %d files: switch to it %9.1f ms\n", rows, switchMs);
        std::printf("    scroll %d pages and to the end: longest step %.1f ms (goal < 100), mean %.2f ms\n", kScrollSteps, longestStep,
                    total / (kScrollSteps + 1));
        right->SetViewMode(true);
        app.processEvents();
    }

    // Search every file by name on a thread of its own; the hits reach the search list on this
    // thread.
    {
        const char* const searches[] = {"holiday.jp", "IMG_*4_holiday.?pg", "no such name"};
        for (const char* text : searches) {
            const auto s0 = Clock::now();
            std::thread search([&] { manager.Search(text); });
            search.join();
            const double searchMs = Ms(Clock::now() - s0);
            while (manager.ProcessPending(kDrainSliceMs)) app.processEvents();
            app.processEvents();
            std::printf("  search \"%s\" in %llu files  %9.1f ms on its thread, %9.1f ms until %d hits are listed\n", text,
                        static_cast<unsigned long long>(files), searchMs, Ms(Clock::now() - s0), CFileListData::SearchModel().GetCount());
        }
        browser->Container()->Left()->CloseSearch();
        app.processEvents();
    }

    // The type and date trees hold every file the path tree holds.
    std::printf("  type tree %u files, date tree %u files\n", manager.TypeRoot()->GetEntryCount(), manager.DateRoot()->GetEntryCount());

    // Removal, as a complete scan's last step takes a shown tree away on its thread: the
    // removal returns once the UI thread has let go of every node of the tree.
    {
        std::atomic<bool> removed{false};
        const auto r0 = Clock::now();
        std::thread scan4([&] {
            manager.RemoveFileSystemNode(root);
            removed = true;
        });
        double longestRemoval = 0;
        while (!removed.load()) longestRemoval = std::max(longestRemoval, DrainAndHandleEvents(app, manager, kDrainSliceMs));
        scan4.join();
        std::printf("  removal of the whole tree          %9.1f ms; longest UI-thread stretch %.1f ms (goal < 100)\n",
                    Ms(Clock::now() - r0), longestRemoval);
    }

    // The deleted-file scan's road: the tree is registered whole and its nodes arrive in
    // batches, folders before what they hold.
    browser->ClearAll();
    browser->SetBuildState(true);
    app.processEvents();
    std::vector<std::vector<CFileNode*>> batches(1);
    {
        constexpr size_t kScanBatch = 1000;
        std::vector<CFileNode*> queue{root};
        for (size_t i = 0; i < queue.size(); ++i) {
            for (CFileNode* c = queue[i]->GetFirstChild(); c; c = c->GetNextSibling()) {
                queue.push_back(c);
                if (batches.back().size() == kScanBatch) batches.emplace_back();
                batches.back().push_back(c);
            }
        }
    }
    delivered = false;
    const auto start2 = Clock::now();
    std::thread scan2([&] {
        browser->AddFileSystemNode(root, false);
        std::vector<CFileNode*> accepted;
        for (const auto& batch : batches) {
            accepted.clear();
            browser->FilterNodes(batch, accepted, 0);
        }
        delivered = true;
    });
    double longest2 = 0;
    while (!delivered.load() || manager.HasPending()) longest2 = std::max(longest2, DrainAndHandleEvents(app, manager, kDrainSliceMs));
    scan2.join();
    std::printf("  registered tree, nodes in batches  %9.1f ms (longest UI stretch %.1f ms)\n", Ms(Clock::now() - start2), longest2);

    browser->ClearAll();
    FreeTree(root);

    // One folder of a million files: delivered, then opened while the UI thread handles its
    // events; the longest event it handles until every row is listed.
    {
        constexpr int kHugeFolderFiles = 1000000;
        CFileSystemNode* hugeRoot = CreateFileSystemNode().release();
        hugeRoot->SetFileSystemType(3);
        hugeRoot->SetFileProperties(BenchProps("NTFS", 0, kAttrDirectory, 0));
        CFileNode* huge = Add(hugeRoot, "Huge folder", true, seed++);
        for (int f = 0; f < kHugeFolderFiles; ++f, ++seed) Add(huge, FileName(seed), false, seed);
        browser->SetBuildState(true);
        delivered = false;
        std::thread scan3([&] {
            browser->AddFileSystemNodeWithCallback(hugeRoot, [](CFileNode*, void*) { return true; }, nullptr, true);
            delivered = true;
        });
        while (!delivered.load() || manager.HasPending()) DrainAndHandleEvents(app, manager, kDrainSliceMs);
        scan3.join();
        browser->SetBuildState(false);
        DrainAndHandleEvents(app, manager, kDrainSliceMs);
        CBindingNode* hugeBinding = (*(*manager.PathRoot()->GetChildren())[0]->GetChildren())[0];
        malloc_trim(0);
        const size_t heapBeforeOpen = HeapInUse();
        app.TakeLongestEvent();
        const auto h0 = Clock::now();
        browser->Container()->Left()->PathTree()->SelectNodeItem(hugeBinding);
        double longestOpen = Ms(Clock::now() - h0);
        longestOpen = std::max(longestOpen, HandleEventsWhileLoading(app));
        const double hugeOpenMs = Ms(Clock::now() - h0);
        malloc_trim(0);
        const int hugeRows = CFileListData::FolderModel().GetCount();
        std::printf("  open a folder of %d files      %9.1f ms until listed; longest UI-thread stretch %.1f ms\n", hugeRows,
                    hugeOpenMs, longestOpen);
        std::printf("    heap added per row               %9.1f bytes\n",
                    static_cast<double>(HeapInUse() - std::min(HeapInUse(), heapBeforeOpen)) / std::max(1, hugeRows));
        browser->ClearAll();
        FreeTree(hugeRoot);
    }
    // A search whose 100,000 hits lie in one folder (a carved card's pictures): every hit checked
    // and unchecked from the header's box, as a click on it does.
    {
        CFileSystemNode* cardRoot = CreateFileSystemNode().release();
        cardRoot->SetFileSystemType(3);
        cardRoot->SetFileProperties(BenchProps("NTFS", 0, kAttrDirectory, 0));
        CFileNode* card = Add(cardRoot, "Card", true, seed++);
        for (int f = 0; f < kBigFolderFiles; ++f, ++seed) Add(card, "CARD_" + std::to_string(f) + ".jpg", false, seed);
        browser->SetBuildState(true);
        delivered = false;
        std::thread scan4([&] {
            browser->AddFileSystemNodeWithCallback(cardRoot, [](CFileNode*, void*) { return true; }, nullptr, true);
            delivered = true;
        });
        while (!delivered.load() || manager.HasPending()) DrainAndHandleEvents(app, manager, kDrainSliceMs);
        scan4.join();
        browser->SetBuildState(false);
        DrainAndHandleEvents(app, manager, kDrainSliceMs);
        std::thread search([&] { manager.Search(".jpg"); });
        search.join();
        while (manager.ProcessPending(kDrainSliceMs)) app.processEvents();
        app.processEvents();
        const int hits = CFileListData::SearchModel().GetCount();
        for (const bool checked : {true, false}) {
            app.TakeLongestEvent();
            const auto c0 = Clock::now();
            CFileListData::GetCurrent().CheckAll(checked);
            const double callMs = Ms(Clock::now() - c0);
            app.processEvents();
            const double longest = std::max(callMs, app.TakeLongestEvent());
            u64 checkedFiles = 0, checkedBytes = 0, all = 0;
            manager.CountChecked(checkedFiles, checkedBytes, all);
            std::printf("  %s all %d hits of one folder  %9.1f ms; longest UI-thread stretch %.1f ms (goal < 100); %llu checked\n",
                        checked ? "check  " : "uncheck", hits, callMs, longest, static_cast<unsigned long long>(checkedFiles));
        }
        browser->Container()->Left()->CloseSearch();
        app.processEvents();
        browser->ClearAll();
        FreeTree(cardRoot);
    }

    // 100,000 folders delivered into folders the user never opened: 1,000 folders of 100 each.
    {
        constexpr int kClosedFolders = 1000;
        constexpr int kFoldersEach = 100;
        CFileSystemNode* foldersRoot = CreateFileSystemNode().release();
        foldersRoot->SetFileSystemType(3);
        foldersRoot->SetFileProperties(BenchProps("NTFS", 0, kAttrDirectory, 0));
        for (int t = 0; t < kClosedFolders; ++t) {
            CFileNode* top = Add(foldersRoot, "Closed " + std::to_string(t), true, seed++);
            for (int s = 0; s < kFoldersEach; ++s) Add(top, "Folder " + std::to_string(s), true, seed++);
        }
        browser->Container()->Left()->SelectTree(kTabPath);
        browser->SetBuildState(true);
        app.processEvents();
        delivered = false;
        const auto f0 = Clock::now();
        std::thread scan5([&] {
            browser->AddFileSystemNodeWithCallback(foldersRoot, [](CFileNode*, void*) { return true; }, nullptr, true);
            delivered = true;
        });
        double longestFolders = 0;
        while (!delivered.load() || manager.HasPending())
            longestFolders = std::max(longestFolders, DrainAndHandleEvents(app, manager, kDrainSliceMs));
        scan5.join();
        browser->SetBuildState(false);
        longestFolders = std::max(longestFolders, DrainAndHandleEvents(app, manager, kDrainSliceMs));
        size_t bound = 0;
        std::vector<const CBindingNode*> walk{manager.PathRoot()};
        while (!walk.empty()) {
            const CBindingNode* n = walk.back();
            walk.pop_back();
            for (const CBindingNode* c : *n->GetChildren()) {
                ++bound;
                walk.push_back(c);
            }
        }
        std::printf("  %zu folders into %d closed folders %9.1f ms; longest UI-thread stretch %.1f ms (goal < 100)\n", bound,
                    kClosedFolders, Ms(Clock::now() - f0), longestFolders);
        browser->ClearAll();
        FreeTree(foldersRoot);
    }
    CFileSelCtrl::DestroyInstance();
    return 0;
}
