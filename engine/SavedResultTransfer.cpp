#include "engine/SavedResultTransfer.h"

#include <unistd.h>

#include <list>

#include "core/Shell.h"
#include "devices/VolumeEnumerator.h"
#include "devices/VolumeRecord.h"
#include "engine/BrowserServices.h"
#include "engine/DetourTree.h"
#include "engine/FileSystemNode.h"
#include "engine/RSData.h"
#include "engine/RecoveryGraph.h"
#include "platform/Sync.h"

namespace {

constexpr u32 kProgressRange = 100;
constexpr u32 kEnumerationPollMs = 1000;
constexpr int kImportEndLine = 409;

void LogStop(const char* function, int line) { WriteRunToLog(function, line); }

std::vector<VolumeRecord*> LiveEnumeratedVolumes() {
    EnumCollectPartition& enumeration = EnumCollectPartition::Instance();
    while (!enumeration.WaitDone(kEnumerationPollMs)) {
    }
    std::vector<VolumeRecord*> out;
    for (VolumeRecord* r : enumeration.Volumes()) out.push_back(r);
    for (VolumeRecord* r : enumeration.UnpartitionedAreas()) out.push_back(r);
    return out;
}

// Hands a restored root to the view the session feeds: the browser binds it node by node and
// counts each checked file; a plain consumer just takes the tree.
void ShowRestoredTree(RecoveryGraph& session, CFileSystemNode* root) {
    IDirectoryTree* view = session.GetDirectoryTree();
    if (view == nullptr) return;
    if (auto* browser = dynamic_cast<FileSelCtrl::IFileSelCtrl*>(view)) {
        browser->AddFileSystemNodeWithCallback(root, &RecoveryGraph::CountCheckedFile, &session.GetDetour(), true);
    } else {
        view->AddFileSystemNode(root, true);
    }
}

}  // namespace

std::vector<std::unique_ptr<ReopenedImageVolume>>& ReopenedImageVolumes() {
    static std::vector<std::unique_ptr<ReopenedImageVolume>> volumes;
    return volumes;
}

ScanResultTransfer::ScanResultTransfer(u32 direction, std::string path)
    : m_direction(direction), m_path(std::move(path)) {}

ScanResultTransfer::~ScanResultTransfer() { Join(); }

bool ScanResultTransfer::Start() {
    RecoveryGraph::Instance().SetCancelCount(0);
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::exception&) {
        return false;
    }
    return true;
}

void ScanResultTransfer::Join() {
    if (m_thread.joinable()) m_thread.join();
}

void ScanResultTransfer::Cancel() {
    LogStop("SaveRestoreScanResult::OnCommand", 67);
    m_cancel.store(1);
    m_success.store(0);
    RecoveryGraph::Instance().SetCancelCount(1);
}

bool ScanResultTransfer::Run() {
    RecoveryGraph& session = RecoveryGraph::Instance();
    const bool ok = m_direction != kImport ? Export(session) : Import(session);
    PostMessage(m_window, WM_COMMAND_MSG, CMD_EXPORT_DONE, 0);
    return ok;
}

bool ScanResultTransfer::StopAt(TransferStop where) {
    m_stop = where;
    LogStop(m_direction != kImport ? "SaveRestoreScanResult::ExportThread" : "SaveRestoreScanResult::ImportThread",
            static_cast<int>(where));
    return false;
}

bool ScanResultTransfer::Export(RecoveryGraph& session) {
    Begin("", kProgressRange);
    auto stream = std::make_unique<CRSDataEx>(1);
    if (!stream->Open(m_path.c_str(), 1)) {
        Finish();
        return StopAt(TransferStop::kExportFileNotOpened);
    }
    try {
        stream->WriteHeader(MakeScanResultHeader(kSavedResultVersion));
        std::list<std::string> folders;
        session.GetFolderPaths(folders);
        WriteFolderList(stream.get(), folders);
        // The volume as it was when chosen: the trees still shown are saved with what names
        // their disk also once it is gone, so that a load finds it when it is back.
        std::shared_ptr<const SavedVolumeForm> form = session.GetFirstVolumeForm();
        if (form == nullptr) {
            // Its disks could not be read when it was chosen: they are read now, the volume held
            // meanwhile, since a lost device clears the selection.
            const std::shared_ptr<VolumeRecord> held = session.HoldFirstVolume();
            auto live = std::make_shared<SavedVolumeForm>();
            if (held && TakeSavedVolumeForm(*held, *live)) form = std::move(live);
        }
        if (form == nullptr) {
            StopAt(TransferStop::kNoSelectedVolume);
        } else {
            WriteSavedVolumeForm(stream.get(), *form);
            bool saved = false;
            if (m_hooks.saveTrees) {
                saved = m_hooks.saveTrees(stream.get(), this);
            } else {
                const std::vector<CFileSystemNode*> roots =
                    m_hooks.exportRoots ? m_hooks.exportRoots() : session.GetTreeRoots();
                saved = SaveScanTrees(roots, stream.get(), this);
            }
            if (saved) {
                m_success.store(1);
            } else {
                StopAt(TransferStop::kTreeExportFailed);
            }
        }
    } catch (const IRSException& e) {
        m_errorCode = e.GetCode();
        StopAt(TransferStop::kTreeExportFailed);
    }
    stream->Close();
    stream.reset();
    // An unfinished file would load as a damaged one: it goes.
    if (!Succeeded()) ::unlink(m_path.c_str());
    Finish();
    return Succeeded();
}

bool ScanResultTransfer::Import(RecoveryGraph& session) {
    Begin("", kProgressRange);
    auto stream = std::make_unique<CRSDataEx>(0);
    std::vector<CFileSystemNode*> roots;
    try {
        ScanResultHeader header{};
        if (!stream->Open(m_path.c_str(), 0)) {
            StopAt(TransferStop::kImportFileNotOpened);
        } else if (!stream->ReadHeader(header)) {
            StopAt(TransferStop::kHeaderInvalid);
        } else if (stream->GetVersion() == 0) {
            StopAt(TransferStop::kVersionZero);
        } else {
            // The loaded result replaces what the session had chosen: a volume left selected from
            // before would be the one its trees are recovered from.
            session.SelectVolume(-1, nullptr);
            std::vector<std::string> folders;
            try {
                folders = ReadFolderList(stream.get());
            } catch (const IRSException&) {
                StopAt(TransferStop::kFolderListMissing);
                throw;
            }
            for (const std::string& f : folders) {
                session.AddFolderPath(f);
                if (m_hooks.addFolderFilter) m_hooks.addFolderFilter(f);
            }
            const std::vector<VolumeRecord*> live = m_hooks.liveVolumes ? m_hooks.liveVolumes() : LiveEnumeratedVolumes();
            VolumeRecord* volume = ReadDeviceList(stream.get(), live, ReopenedImageVolumes());
            if (volume == nullptr) {
                StopAt(TransferStop::kNoMatchingVolume);
            } else {
                session.SelectVolume(0, volume);
                const bool loaded = m_hooks.loadTrees ? m_hooks.loadTrees(stream.get(), this, roots)
                                                      : LoadScanTrees(stream.get(), roots, this);
                if (!loaded) {
                    StopAt(TransferStop::kTreeImportFailed);
                } else {
                    // Restored trees never share the session with a scan's controller: whoever
                    // frees that controller would not know to free them.
                    session.ReleaseController(true);
                    session.DoScan(kScanModeRestored);
                    // The view's top names the loaded volume, as a scan names the one it scans.
                    if (IDirectoryTree* view = session.GetDirectoryTree()) view->SetRootText(ScanDisplayName(*volume).c_str());
                    for (CFileSystemNode* root : roots) {
                        if (session.AddFileSystemTree(root) != 0) {
                            DestroySavedTree(root);
                            continue;
                        }
                        ShowRestoredTree(session, root);
                        m_delivered.fetch_add(1);
                    }
                    roots.clear();
                    if (m_cancel.load() <= 0) {
                        session.DoReCaculateCheckedFileInfo();
                        m_success.store(1);
                    }
                }
            }
        }
    } catch (const IRSException& e) {
        m_errorCode = e.GetCode();
        if (m_stop == TransferStop::kNone) StopAt(TransferStop::kTreeImportFailed);
    }
    for (CFileSystemNode* root : roots) DestroySavedTree(root);
    stream->Close();
    stream.reset();
    Finish();
    LogStop("SaveRestoreScanResult::ImportThread", kImportEndLine);
    return Succeeded();
}

i32 ScanResultTransfer::Percentage() const {
    const i32 range = m_range.load();
    if (range <= 0) return 0;
    return static_cast<i32>(static_cast<i64>(m_position.load()) * 100 / range);
}

void ScanResultTransfer::ClampPosition() {
    const i32 range = m_range.load();
    if (m_position.load() > range) m_position.store(range - 1);
}

i32 ScanResultTransfer::Begin(const char* /*text*/, u32 range) {
    if (range != 0) m_range.store(static_cast<i32>(range));
    return 0;
}

i32 ScanResultTransfer::Step(u32 delta) {
    m_position.fetch_add(static_cast<i32>(delta));
    ClampPosition();
    return CancelAnswer();
}

i32 ScanResultTransfer::SetPos(i32 position) {
    m_position.store(position);
    ClampPosition();
    return CancelAnswer();
}

i32 ScanResultTransfer::Finish() {
    m_position.store(m_range.load());
    return CancelAnswer();
}

i32 ScanResultTransfer::IsCancelled() { return CancelAnswer(); }
