#pragma once
// The browser's usage events for the statistics sink, and a sink that writes every event to the
// trace log when no statistics library is there, so that the events can be followed.
#include "platform/Stats.h"
#include "platform/Types.h"

namespace FileSelCtrl {

// A click on a tree or list item: + the tree mode (path 0, type 1, other 2), + 3 when no scan
// thread runs.
constexpr u32 kUsageItemClick = 8469;
constexpr u32 kUsageNoScanOffset = 3;
// A view chosen on the command bar: large icons, details, details with the preview pane.
constexpr u32 kUsageViewLargeIcons = 8481;
constexpr u32 kUsageViewDetails = 8483;
constexpr u32 kUsageViewPreviewPane = 8482;
// A sort of the list: + the column (name, date, type, size).
constexpr u32 kUsageSortByColumn = 8484;
// Opening a file for a preview: the scan was paused for it, the copy succeeded, the preview ended.
constexpr u32 kUsagePreviewPausedScan = 12307;
constexpr u32 kUsagePreviewCopied = 8489;
constexpr u32 kUsagePreviewEnded = 8480;

// The event of a click on an item while the tree of that kind is current.
u32 ItemClickEvent(u32 treeKind, bool scanRunning);
void ReportItemClick(u32 treeKind);

class CTraceStatsSink : public IQuorvelSink {
public:
    void RecordEvent(u32 code) override;
    void RecordValue(u32 code, u64 value) override;
    void RecordText(u32 code, const char* text) override;
    void RecordPair(u32 first, u32 second) override;
    void Reserved5() override {}
    void Reserved6() override {}
    void Reserved7() override {}
    void RecordDiskTable(const void* entries, u32 count) override;
};

// Installs the trace sink as the statistics fallback (once; it lives to the end of the program).
void InstallTraceStatsSink();

}  // namespace FileSelCtrl
