// The driver's --save and --load: the session's result written to a saved-result file after a
// scan, or read back in place of one, through the same transfer the program's save and load
// commands run.
#include <cstdio>

#include "Driver.h"
#include "devices/VolumeRecord.h"
#include "engine/RecoveryGraph.h"
#include "engine/SavedResultTransfer.h"

namespace driver {

namespace {

const char* StopText(TransferStop stop) {
    switch (stop) {
        case TransferStop::kNone: return "";
        case TransferStop::kStreamNotCreated: return "the stream could not be made";
        case TransferStop::kExportFileNotOpened: return "the file could not be created";
        case TransferStop::kNoSelectedVolume: return "no volume is selected";
        case TransferStop::kTreeExportFailed: return "the trees could not be written";
        case TransferStop::kImportFileNotOpened: return "the file could not be opened";
        case TransferStop::kHeaderInvalid: return "the file header is not valid";
        case TransferStop::kVersionZero: return "the file has no version";
        case TransferStop::kFolderListMissing: return "the folder list cannot be read";
        case TransferStop::kNoMatchingVolume: return "its volume is not among the disks";
        case TransferStop::kTreeImportFailed: return "the trees cannot be read";
    }
    return "";
}

void ReportFailure(const char* what, const std::string& path, const ScanResultTransfer& transfer) {
    std::fprintf(stderr, "scan_driver: cannot %s %s: %s", what, path.c_str(), StopText(transfer.StoppedAt()));
    if (transfer.ErrorCode() >= 0) std::fprintf(stderr, " (stream error %lld)", static_cast<long long>(transfer.ErrorCode()));
    std::fputc('\n', stderr);
}

}  // namespace

std::string SavedResultPath(const std::string& path, u32 volume, bool several) {
    if (!several) return path;
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    const std::string index = "." + std::to_string(volume);
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + index;
    return path.substr(0, dot) + index + path.substr(dot);
}

bool SaveSessionResult(const std::string& path) {
    ScanResultTransfer transfer(ScanResultTransfer::kExport, path);
    if (transfer.Run()) return true;
    ReportFailure("save the result to", path, transfer);
    return false;
}

i32 LoadSessionResult(const std::string& path, const std::vector<VolumeRecord*>& live) {
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.SelectVolume(-1, nullptr);
    ScanResultTransfer transfer(ScanResultTransfer::kImport, path);
    ScanResultTransfer::Hooks hooks;
    hooks.liveVolumes = [&live] { return live; };
    transfer.SetHooks(hooks);
    if (!transfer.Run()) {
        ReportFailure("load", path, transfer);
        return -1;
    }
    const VolumeRecord* volume = session.GetFirstVolume();
    for (size_t i = 0; i < live.size(); ++i) {
        if (live[i] == volume) return static_cast<i32>(i);
    }
    // A volume on a compressed disk image was opened again from its index: it follows the list.
    if (volume && volume->source != 0) return static_cast<i32>(live.size());
    std::fprintf(stderr, "scan_driver: the volume of %s is not one the driver lists\n", path.c_str());
    return -1;
}

}  // namespace driver
