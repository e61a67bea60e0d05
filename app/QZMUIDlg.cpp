#include "app/QZMUIDlg.h"

#include <tinyxml.h>

#include <QCursor>
#include <QDesktopServices>
#include <QFileDialog>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QUrl>
#include <algorithm>
#include <cstdlib>

#include "app/AboutDlg.h"
#include "app/CheckUpdate.h"
#include "core/Settings.h"
#include "core/Shell.h"
#include "app/dialogs/SaveRestoreScanResult.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelDataLostReasonWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/pages/Tip3StepWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "devices/ScanOptions.h"
#include "devices/VolumeEnumerator.h"
#include "engine/RecoveryGraph.h"
#include "platform/DeviceWatch.h"
#include "platform/Profile.h"
#include "platform/Stats.h"
#include "platform/Sync.h"

namespace {
constexpr int kMainWidth = 900;
constexpr int kMainHeight = 600;
constexpr int kStepStripHeight = 70;
// The top of the file-type and result pages in the client area: its first row, right below the
// caption, which keeps its 35 rows on every page.
constexpr int kFullPageTop = 0;
constexpr int kMenuIconSize = 13;
constexpr int kMenuDropBelowCursor = 16;
constexpr int kTipBelowCaption = 30;
constexpr int kTipCaptionY = 12;
constexpr COLORREF kTipBackground = 0x80D21F;
constexpr COLORREF kTipText = 0xFFFFFF;

// Statistics events of the main window.
constexpr u32 kStatsBack = 8454;
constexpr u32 kStatsStartScan = 8455;
constexpr u32 kStatsGoHome = 8467;
constexpr u32 kStatsLanguage = 8711;
constexpr u32 kStatsHelp = 8713;
constexpr u32 kStatsUpdate = 8715;
constexpr u32 kStatsAbout = 8716;
constexpr u32 kStatsImport = 8717;
constexpr u32 kStatsExtendTable = 3584;
// The pair that closes a report of the extension table.
constexpr u32 kStatsClosingPair[2] = {3, 100};

const char* const kPageClasses[CQZMUIDlg::kPageCount] = {"Tip3StepWnd", "SelFileTypeWnd", "SelDataLostReasonWnd",
                                                          "SelDataLostPartitionWnd", "RecoveryGraphWnd"};

void LogEntry(int line) { WriteRunToLog("CQZMUIDlg::OnClickCmd", line); }

int ParseId(const TiXmlElement* e) {
    const char* v = e ? e->Attribute("Id") : nullptr;
    return v ? std::atoi(v) : 0;
}

QString Localized(const char* key) { return ui::FromUtf8(UiResources::Instance().GetString(key)); }

}  // namespace

void ReportStatsExtendTable() {
    if (!StatsSink()) return;
    const std::string ini = GetModuleDir() + "ravlin.ini";
    const std::string text = GetProfileString("Halvessa", "ExtendTable", "", ini);
    StatsText(kStatsExtendTable, text.c_str());
    StatsPair(kStatsClosingPair[0], kStatsClosingPair[1]);
}

CQZMUIDlg::CQZMUIDlg(HWND parent) : HomeBaseDialog(kMainTemplate, parent, 0) {
    setObjectName(QStringLiteral("Morvenda_UI"));
}

CQZMUIDlg::~CQZMUIDlg() {
    if (tooltip_) delete tooltip_.data();
    // In the reverse of the order the window holds its pages (file types, reason, place, step
    // strip, result), not of the order they hear a language switch in.
    for (Page p : {kResultPage, kStepStrip, kPlacePage, kReasonPage, kFileTypePage}) pages_[p].reset();
}

HWND CQZMUIDlg::PageHandle(Page page) const { return pages_[page] ? pages_[page]->GetHwnd() : nullptr; }

bool CQZMUIDlg::OnInitDialog() {
    HomeBaseDialog::OnInitDialog();
    resize(kMainWidth, kMainHeight);
    OnSizeFrame();
    RECT client = ClientRect();
    client.left += 2;
    client.top += 2;
    client.right -= 2;
    client.bottom -= 2;
    auto toWindow = [this](RECT r) {
        // Pages are children of the client area, which begins below the caption strip.
        return ui::MakeRect(ClientToWindowX(r.left), ClientToWindowY(r.top), ClientToWindowX(r.right), ClientToWindowY(r.bottom));
    };
    pages_[kStepStrip] = std::make_unique<UiCtrl::Tip3StepWnd>();
    pages_[kFileTypePage] = std::make_unique<UiCtrl::SelFileTypeWnd>();
    pages_[kReasonPage] = std::make_unique<UiCtrl::SelDataLostReasonWnd>();
    pages_[kPlacePage] = std::make_unique<UiCtrl::SelDataLostPartitionWnd>();
    pages_[kResultPage] = std::make_unique<UiCtrl::RecoveryGraphWnd>();
    for (int p = kFileTypePage; p < kPageCount; ++p) {
        RECT r = client;
        r.top = p == kFileTypePage || p == kResultPage ? kFullPageTop : kStepStripHeight;
        pages_[p]->Create(Handle(), nullptr, toWindow(r), p == kFileTypePage ? WS_VISIBLE | WS_CHILD : WS_CHILD);
        // A child made before its parent is shown would show with it.
        ShowPageWindow(pages_[p]->GetHwnd(), p == kFileTypePage);
    }
    // The strip goes last so that it lies above the pages it heads.
    pages_[kStepStrip]->Create(Handle(), nullptr, toWindow(ui::MakeRect(2, 0, 901, kStepStripHeight)), WS_CHILD | WS_VISIBLE);
    currentPage_ = PageHandle(kFileTypePage);
    importItem_ = GetCaptionItem(CMD_IMPORT_SCAN);
    GetScanOptions().SetScanRaw(0);

    auto* tip = new QLabel(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    tip->setAttribute(Qt::WA_ShowWithoutActivating);
    tip->setContentsMargins(6, 3, 6, 3);
    tip->setStyleSheet(QStringLiteral("QLabel { background: %1; color: %2; }")
                           .arg(ui::ColorFromRef(kTipBackground).name(), ui::ColorFromRef(kTipText).name()));
    tooltip_ = tip;
    return true;
}

// ---- pages ----

void CQZMUIDlg::ShowPageWindow(HWND page, bool show) {
    if (QWidget* w = ui::WindowCore::WidgetFromHandle(page)) w->setVisible(show);
}

UiCtrl::Tip3StepWnd* CQZMUIDlg::StepStrip() const { return static_cast<UiCtrl::Tip3StepWnd*>(pages_[kStepStrip].get()); }
UiCtrl::SelFileTypeWnd* CQZMUIDlg::FileTypePage() const { return static_cast<UiCtrl::SelFileTypeWnd*>(pages_[kFileTypePage].get()); }
UiCtrl::SelDataLostPartitionWnd* CQZMUIDlg::PlacePage() const {
    return static_cast<UiCtrl::SelDataLostPartitionWnd*>(pages_[kPlacePage].get());
}
UiCtrl::RecoveryGraphWnd* CQZMUIDlg::ResultPage() const { return static_cast<UiCtrl::RecoveryGraphWnd*>(pages_[kResultPage].get()); }

void CQZMUIDlg::StepStripShow() {
    if (auto* strip = StepStrip()) strip->Show();
}
void CQZMUIDlg::StepStripHide() {
    if (auto* strip = StepStrip()) strip->Hide();
}
void CQZMUIDlg::PreparePlacePage() {
    if (auto* place = PlacePage()) place->ShowPage();
}
void CQZMUIDlg::ResetFileTypePage() {
    if (auto* types = FileTypePage()) types->Reset();
}
void CQZMUIDlg::StartScanOnResultPage() {
    if (auto* result = ResultPage()) {
        ResultPageLayout();
        if (auto* place = PlacePage()) result->SetScanName(place->PlaceName());
        result->DoStartScan(static_cast<int>(RecoveryGraph::Instance().GetReason()));
    }
    // The strip stays out of the result page's way.
    if (auto* strip = StepStrip(); strip && strip->Widget()) strip->Widget()->hide();
}
void CQZMUIDlg::ResultPageLostDevice() {
    if (auto* result = ResultPage()) result->LostDevice();
}
void CQZMUIDlg::ResultPageQuit() {
    if (auto* result = ResultPage()) result->Tip2Quit();
}

void CQZMUIDlg::ResultPageLayout() {
    if (QWidget* w = ui::WindowCore::WidgetFromHandle(PageHandle(kResultPage))) {
        const RECT c = ClientRect();
        w->setGeometry(ClientToWindowX(2), ClientToWindowY(1), c.Width() - 4, c.Height() - 4);
    }
}

void CQZMUIDlg::OnCaptionResize(int) { ResultPageLayout(); }

// ---- commands ----

bool CQZMUIDlg::OnCommand(WPARAM wParam, LPARAM lParam) {
    const int id = LOWORD(wParam);
    if (id == HomeBaseDialog::kCmdClose) {
        ConfirmExit();
        return true;
    }
    if (HomeBaseDialog::OnCommand(wParam, lParam)) return true;
    OnClickCmd(id, reinterpret_cast<HWND>(lParam));
    return true;
}

int CQZMUIDlg::OnClickCmd(int id, HWND sender) {
    HWND show = currentPage_;
    bool pageChanged = false;
    switch (id) {
    case HomeBaseDialog::kCmdClose:
        ConfirmExit();
        break;
    case CMD_MAIN_MENU:
        OnClickMenu();
        wizardUsed_ = true;
        break;
    case CMD_NEXT:
        LogEntry(__LINE__);
        if (sender && sender == PageHandle(kFileTypePage)) StepStripShow();
        if (importItem_) importItem_->Enable(false);
        PreparePlacePage();
        show = PageHandle(kPlacePage);
        pageChanged = true;
        if (placeRefresh_) {
            placeRefresh_ = false;
            LogEntry(__LINE__);
            PostMessage(PageHandle(kPlacePage), WM_COMMAND, CMD_PLACE_ENUMERATE, 0);
        }
        StepStripShow();
        LogEntry(__LINE__);
        break;
    case CMD_BACK:
        StatsEvent(kStatsBack);
        if (sender && sender == PageHandle(kPlacePage)) {
            StepStripHide();
            show = PageHandle(kFileTypePage);
            pageChanged = true;
            if (importItem_) importItem_->Enable(true);
        }
        StepStripHide();
        wizardUsed_ = true;
        break;
    case CMD_START_SCAN:
        StatsEvent(kStatsStartScan);
        if (sender && sender == PageHandle(kPlacePage)) {
            StepStripHide();
            show = PageHandle(kResultPage);
            pageChanged = true;
            StartScanOnResultPage();
        }
        UpdateCaptionButtons();
        wizardUsed_ = true;
        break;
    case CMD_GO_HOME:
        StatsEvent(kStatsGoHome);
        if (!recoveryRan_) ReportStatsExtendTable();
        recoveryRan_ = false;
        wizardUsed_ = false;
        ShowPageWindow(PageHandle(kResultPage), false);
        StepStripHide();
        StepStripHide();
        if (auto* strip = StepStrip(); strip && strip->Widget()) strip->Widget()->show();
        show = PageHandle(kFileTypePage);
        pageChanged = true;
        if (importItem_) importItem_->Enable(true);
        ResetFileTypePage();
        if (HWND reason = PageHandle(kReasonPage)) SendMessage(reason, WM_COMMAND, CMD_REASON_NONE, 0);
        if (IsMaximized()) HomeBaseDialog::OnCommand(kCmdRestore, 0);
        UpdateCaptionButtons();
        break;
    case CMD_DEEP_SCAN:
    case CMD_RECOVER:
    case CMD_SAVE_SCAN:
        if (HWND result = PageHandle(kResultPage)) SendMessage(result, WM_COMMAND, static_cast<WPARAM>(id), 0);
        break;
    case CMD_IMPORT_SCAN:
        ImportScanResult(&show);
        if (show != currentPage_) pageChanged = true;
        wizardUsed_ = true;
        break;
    default:
        break;
    }
    if (show && show != currentPage_) {
        if (pageChanged) DrawFrame();
        ShowPageWindow(currentPage_, false);
        ShowPageWindow(show, true);
        currentPage_ = show;
        if (QWidget* w = ui::WindowCore::WidgetFromHandle(show)) w->update();
    }
    return 0;
}

// ---- main menu ----

QMenu* CQZMUIDlg::BuildMenu() {
    const TiXmlElement* root = FindWindowResource("MenuItem");
    if (!root) return nullptr;
    UiResources& res = UiResources::Instance();
    auto* menu = new QMenu(this);
    // A white menu with the thin grey frame of a system menu; the entry under the pointer keeps
    // dark text on a light highlight, so it stays readable on white.
    menu->setStyleSheet(QStringLiteral("QMenu { background: white; border: 1px solid #979797; padding: 2px 0px; }"
                                       "QMenu::item { background: transparent; color: #212121; padding: 4px 28px 4px 28px; }"
                                       "QMenu::item:selected { background: #cce8ff; color: #000000; }"
                                       "QMenu::item:disabled { color: #8c8c8c; }"
                                       "QMenu::item:disabled:selected { background: #e5e5e5; color: #8c8c8c; }"
                                       "QMenu::separator { height: 1px; background: #d7d7d7; margin: 3px 0px; }"));
    languageFiles_.clear();
    const bool canSwitch = ConfigCanSwitchLanguage() != 0;
    const int current = ConfigLanguage();
    for (const TiXmlElement* e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const std::string name = e->Value() ? e->Value() : "";
        if (name.find("Language") != std::string::npos) {
            if (!canSwitch) continue;
            QMenu* sub = menu->addMenu(Localized(name.c_str()));
            for (const TiXmlElement* l = e->FirstChildElement(); l; l = l->NextSiblingElement()) {
                const int id = ParseId(l);
                const char* caption = l->Attribute("caption");
                if (id == 0 || !caption) continue;
                const char* file = l->Attribute("file");
                languageFiles_.push_back(file ? file : "");
                QAction* a = sub->addAction(Localized(caption));
                a->setData(id);
                if (static_cast<int>(languageFiles_.size()) - 1 == current) {
                    a->setCheckable(true);
                    a->setChecked(true);
                    a->setEnabled(false);
                }
            }
            continue;
        }
        const int id = ParseId(e);
        if (id == 0 || id == kMenuHidden) continue;
        QAction* a = menu->addAction(ui::FromUtf8(res.GetString(e->Attribute("caption"))));
        a->setData(id);
        if (const int icon = SkinInt(e, "iconId")) {
            if (const QImage* img = res.LoadImageFromResource(kResTypeBitmap, icon))
                a->setIcon(QIcon(QPixmap::fromImage(img->scaled(kMenuIconSize, kMenuIconSize))));
        }
    }
    return menu;
}

int CQZMUIDlg::OnClickMenu() {
    const QPoint cursor = QCursor::pos();
    std::unique_ptr<QMenu> menu(BuildMenu());
    if (!menu) return 0;
    QAction* chosen = menu->exec(QPoint(cursor.x(), cursor.y() + kMenuDropBelowCursor));
    const int id = chosen ? chosen->data().toInt() : 0;
    menu.reset();
    WriteLog("%s click %d\r\n", "CQZMUIDlg::OnClickMenu", id);
    return RunMenuEntry(id);
}

int CQZMUIDlg::RunMenuEntry(int id) {
    auto openText = [](const char* key) {
        const std::string url = UiResources::Instance().GetString(key);
        const bool opened = !url.empty() && QDesktopServices::openUrl(QUrl(ui::FromUtf8(url)));
        WriteLog("[%s:%d] goto %s\r\n", "CQZMUIDlg::OnClickMenu", opened ? 42 : 2, url.c_str());
    };
    switch (id) {
    case kMenuAbout: {
        AboutDlg about(Handle());
        about.DoModal();
        StatsEvent(kStatsAbout);
        return 0;
    }
    case kMenuHelp:
        openText("helpUrl");
        StatsEvent(kStatsHelp);
        return 0;
    case kMenuUpdate: {
        CheckUpdate update(Handle());
        update.DoModal();
        StatsEvent(kStatsUpdate);
        return 0;
    }
    case kMenuToolbarUrl:
        openText("TBUrlMenu");
        return 0;
    default:
        if (id >= kMenuLanguageFirst && id <= kMenuLanguageLast) return SwitchLanguage(id - kMenuLanguageFirst);
        return 0;
    }
}

int CQZMUIDlg::SwitchLanguage(int index) {
    if (languageFiles_.empty()) delete BuildMenu();  // the list comes with the menu
    if (index < 0 || static_cast<size_t>(index) >= languageFiles_.size()) return -1;
    const std::string file = languageFiles_[static_cast<size_t>(index)];
    UiResources::Instance().SetLanguage(index, file.c_str());
    SetUiLanguage(static_cast<u32>(index), file.c_str());
    for (auto& [id, item] : CaptionItems()) item->ApplyLanguage();
    for (auto& [id, item] : ClientItems()) item->ApplyLanguage();
    for (auto& page : pages_)
        if (page) page->ApplyLanguage();
    setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
    placeRefresh_ = true;
    if (QWidget* w = ui::WindowCore::WidgetFromHandle(currentPage_)) w->update();
    DrawFrame();
    update();
    const std::string note = "LanguageName:" + file;
    StatsText(kStatsLanguage, note.c_str());
    return 0;
}

// ---- import ----

int CQZMUIDlg::ImportScanResult(HWND* pageToShow) {
    StatsEvent(kStatsImport);
    const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), Localized("rsfDesc"));
    if (path.isEmpty()) return -1;
    return ImportScanResultFrom(path.toStdString(), pageToShow);
}

int CQZMUIDlg::ImportScanResultFrom(const std::string& path, HWND* pageToShow) {
    std::string ending = path.size() >= 4 ? path.substr(path.size() - 4) : path;
    AsciiToLower(ending.data());
    UiResources& res = UiResources::Instance();
    if (ending != ".rsf") {
        ShowMessageBox(Handle(), res.GetString("InvalidRsf").c_str(), nullptr, MB_ICONWARNING);
        return -2;
    }
    UiCtrl::RecoveryGraphWnd* result = ResultPage();
    // The loaded trees take the place of whatever the last scan left: the browser lets go of the
    // old trees before they are released, so nothing is shown twice or after it was freed.
    if (result) result->ClearScanState();
    // A disk plugged in (or back) since the disks were listed is found only in a new list; the
    // load waits for it.
    if (devicesChanged_) {
        devicesChanged_ = false;
        EnumCollectPartition::Instance().StartEnumeration();
    }
    SaveRestoreScanResult window(Handle(), ScanResultTransfer::kImport, path);
    if (window.DoModal() == SaveRestoreScanResult::kSucceeded) {
        UpdateCaptionButtons();
        if (pageToShow) *pageToShow = PageHandle(kResultPage);
        if (result) ResultPageLayout();
        // The strip stays out of the result page's way.
        if (auto* strip = StepStrip(); strip && strip->Widget()) strip->Widget()->hide();
        if (importItem_) importItem_->Enable(false);
        return 0;
    }
    if (!window.Cancelled() && window.Delivered() == 0)
        ShowMessageBox(Handle(), res.GetString("ImportFailed").c_str(), nullptr, MB_ICONWARNING);
    // Whatever part of the result arrived goes again: the first page shows no trees.
    if (result) result->ClearScanState();
    return -3;
}

// ---- closing ----

void CQZMUIDlg::ConfirmExit() {
    if (ShowMessageBox(Handle(), UiResources::Instance().GetString("ExitNow").c_str(), nullptr,
                       MB_YESNO | MB_ICONQUESTION) == kMessageBoxFirstButton)
        PostMessage(Handle(), WM_CLOSE, 0, 0);
}

void CQZMUIDlg::OnClose() {
    if (closing_) return;
    closing_ = true;
    if (tooltip_) tooltip_->hide();
    RecoveryGraph::Instance().SetStopRequested(1);
    ResultPageQuit();
}

void CQZMUIDlg::reject() {
    OnClose();
    HomeBaseDialog::reject();
}

// ---- messages ----

void CQZMUIDlg::OnDeviceChange(WPARAM event, LPARAM data) {
    if (event != kDbtDeviceArrival && event != kDbtDeviceRemoveComplete && event != kDbtDevNodesChanged) return;
    devicesChanged_ = true;
    if (currentPage_ && currentPage_ == PageHandle(kPlacePage)) PostMessage(Handle(), WM_UI_DEVICES_CHANGED, 0, 0);
    else placeRefresh_ = true;
    // Linux volumes have no drive letter to name the one that left.
    if (event == kDbtDeviceRemoveComplete && data == kDbtDevtypVolume) PostMessage(Handle(), WM_UI_VOLUME_REMOVED, 0, 0);
    if (event == kDbtDevNodesChanged) PostMessage(Handle(), WM_UI_DEVNODES_CHANGED, 0, 0);
}

LRESULT CQZMUIDlg::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CLOSE:
        OnClose();
        EndDialog(IDCANCEL);
        return 0;
    case WM_DEVICECHANGE:
        OnDeviceChange(wParam, lParam);
        return 1;
    case WM_UI_DEVICES_CHANGED:
        if (HWND place = PageHandle(kPlacePage)) SendMessage(place, WM_COMMAND, CMD_PLACE_ENUMERATE, 0);
        return 0;
    case WM_UI_VOLUME_REMOVED:
    case WM_UI_DEVNODES_CHANGED:
        ResultPageLostDevice();
        return 0;
    default:
        return HomeBaseDialog::OnMessage(message, wParam, lParam);
    }
}

bool CQZMUIDlg::PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_KEYDOWN && keyHook_ && keyHookContext_) keyHook_(keyHookContext_, message, wParam);
    if (message == WM_KEYDOWN && (wParam == VK_ESCAPE || wParam == VK_RETURN)) return true;
    return HomeBaseDialog::PreTranslateMessage(message, wParam, lParam);
}

int CQZMUIDlg::SetKeyHook(void* context, KeyHook callback) {
    keyHookContext_ = context;
    keyHook_ = callback;
    return 0;
}

bool CQZMUIDlg::ShowCaptionTip(int x, int y, int show, const std::string& text, int flag) {
    if (!tooltip_) return false;
    if (show == 1 && !text.empty()) {
        tooltip_->setFont(*UiResources::Instance().GetFont(15, 500, false));
        tooltip_->setText(ui::FromUtf8(text));
        tooltip_->adjustSize();
        const QPoint anchor = mapToGlobal(QPoint(x, ClientToWindowY(kTipCaptionY)));
        const QPoint below = mapToGlobal(QPoint(x, y + kTipBelowCaption));
        // Kept inside the window: the items at the right edge would push it off the screen.
        const int right = mapToGlobal(QPoint(width(), 0)).x();
        tooltip_->move(std::min(anchor.x(), right - tooltip_->width()), flag ? anchor.y() : below.y());
        tooltip_->show();
        tooltip_->raise();
    } else {
        tooltip_->hide();
    }
    return true;
}

int CQZMUIDlg::DrawBackground(ui::Dc* dc) {
    if (!dc) return 0;
    dc->FillRect(ClientRect(), 0xFFFFFF);
    return 0;
}
