#include "browser/model/UsageEvents.h"

#include "browser/model/BindingNode.h"
#include "core/Shell.h"
#include "engine/RecoveryGraph.h"

namespace FileSelCtrl {

namespace {
enum TreeMode : u32 { kModePath = 0, kModeType = 1, kModeOther = 2 };
}  // namespace

u32 ItemClickEvent(u32 treeKind, bool scanRunning) {
    const u32 mode = treeKind == kTreeKindPath ? kModePath : (treeKind == kTreeKindType ? kModeType : kModeOther);
    return kUsageItemClick + mode + (scanRunning ? 0 : kUsageNoScanOffset);
}

void ReportItemClick(u32 treeKind) { StatsEvent(ItemClickEvent(treeKind, RecoveryGraph::Instance().IsScanRunning())); }

void CTraceStatsSink::RecordEvent(u32 code) { WriteLog("usage event %u\r\n", code); }
void CTraceStatsSink::RecordValue(u32 code, u64 value) {
    WriteLog("usage value %u %llu\r\n", code, static_cast<unsigned long long>(value));
}
void CTraceStatsSink::RecordText(u32 code, const char* text) { WriteLog("usage text %u %s\r\n", code, text ? text : ""); }
void CTraceStatsSink::RecordPair(u32 first, u32 second) { WriteLog("usage pair %u %u\r\n", first, second); }
void CTraceStatsSink::RecordDiskTable(const void*, u32 count) { WriteLog("usage disk table %u\r\n", count); }

void InstallTraceStatsSink() {
    static CTraceStatsSink sink;
    SetStatsFallbackSink(&sink);
}

}  // namespace FileSelCtrl
