#pragma once
// The program's main window: 900 x 600, skinned, holding the wizard's pages and switching
// between them on their commands, with the main menu of the caption strip (About, help, update
// check, interface language), the import of a saved scan result, the reaction to disks coming and
// going, the caption strip's tooltip, and the question before the program ends.
#include <QLabel>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "app/ui/HomeBaseDialog.h"
#include "app/ui/UiSdkWndBase.h"
#include "platform/DeviceWatch.h"

class QMenu;
namespace UiCtrl {
class Tip3StepWnd;
class SelFileTypeWnd;
class SelDataLostPartitionWnd;
class RecoveryGraphWnd;
}  // namespace UiCtrl

// Hands the statistics library the text of its extension table and the closing pair, when the
// library is there.
void ReportStatsExtendTable();

// Commands of the pages and the caption strip.
constexpr int CMD_NEXT = 200;
constexpr int CMD_BACK = 201;
constexpr int CMD_START_SCAN = 202;
constexpr int CMD_GO_HOME = 203;
constexpr int CMD_DEEP_SCAN = 204;
constexpr int CMD_RECOVER = 205;
constexpr int CMD_SAVE_SCAN = 206;
constexpr int CMD_IMPORT_SCAN = 299;
constexpr int CMD_MAIN_MENU = 177;
// Commands a page takes from the main window.
constexpr int CMD_PLACE_ENUMERATE = 203;
constexpr int CMD_REASON_NONE = 100;

constexpr u32 WM_DEVICECHANGE = WM_DEVICECHANGE_MSG;

class CQZMUIDlg : public HomeBaseDialog {
public:
    // Entries of the main menu.
    enum MenuEntry {
        kMenuAbout = 1,
        kMenuHelp = 2,
        kMenuHidden = 7,
        kMenuUpdate = 8,
        kMenuToolbarUrl = 9,
        kMenuLanguageFirst = 100,
        kMenuLanguageLast = 199,
    };
    // The pages, in the order they are told a language switch.
    enum Page { kStepStrip, kFileTypePage, kReasonPage, kPlacePage, kResultPage, kPageCount };

    using KeyHook = bool (*)(void* context, u32 message, WPARAM wParam);

    explicit CQZMUIDlg(HWND parent = nullptr);
    ~CQZMUIDlg() override;

    int OnClickCmd(int id, HWND sender);
    int OnClickMenu();
    // The menu as OnClickMenu shows it; the caller owns it.
    QMenu* BuildMenu();
    int RunMenuEntry(int id);
    // -1 for an index beyond the listed language files.
    int SwitchLanguage(int index);
    int ImportScanResult(HWND* pageToShow);
    // The import of a chosen file, from the check of its ending on.
    int ImportScanResultFrom(const std::string& path, HWND* pageToShow);
    void ConfirmExit();
    int SetKeyHook(void* context, KeyHook callback);
    void OnDeviceChange(WPARAM event, LPARAM data);

    bool ShowCaptionTip(int x, int y, int show, const std::string& text, int flag) override;
    void OnCaptionResize(int maximised) override;
    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    bool PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;

    UiCtrl::UiSdkWndBase* PageAt(Page page) const { return pages_[page].get(); }
    UiCtrl::Tip3StepWnd* StepStrip() const;
    UiCtrl::SelFileTypeWnd* FileTypePage() const;
    UiCtrl::SelDataLostPartitionWnd* PlacePage() const;
    UiCtrl::RecoveryGraphWnd* ResultPage() const;
    HWND CurrentPage() const { return currentPage_; }
    bool PlaceRefreshPending() const { return placeRefresh_; }
    bool WizardUsed() const { return wizardUsed_; }
    bool RecoveryRanSinceHome() const { return recoveryRan_; }
    void SetRecoveryRan() { recoveryRan_ = true; }
    const std::vector<std::string>& LanguageFiles() const { return languageFiles_; }
    QWidget* TooltipWindow() const { return tooltip_.data(); }
    bool IsClosing() const { return closing_; }

protected:
    bool OnInitDialog() override;
    void reject() override;

private:
    HWND PageHandle(Page page) const;
    void ShowPageWindow(HWND page, bool show);
    // The window-close work: the watcher's messages end, the tooltip goes, a running scan stops.
    void OnClose();

    // What the main window asks of particular pages. A page that does not exist yet has a plain
    // window in its slot; these then do nothing.
    void StepStripShow();
    void StepStripHide();
    void PreparePlacePage();
    void ResetFileTypePage();
    void StartScanOnResultPage();
    void ResultPageLostDevice();
    void ResultPageQuit();
    void ResultPageLayout();

    std::unique_ptr<UiCtrl::UiSdkWndBase> pages_[kPageCount];
    HWND currentPage_ = nullptr;
    UiCtrl::UiItem* importItem_ = nullptr;
    bool placeRefresh_ = false;
    // A device came or went since the disks were last listed for a load.
    bool devicesChanged_ = false;
    bool wizardUsed_ = true;
    bool recoveryRan_ = false;
    bool closing_ = false;
    void* keyHookContext_ = nullptr;
    KeyHook keyHook_ = nullptr;
    QPointer<QLabel> tooltip_;
    std::vector<std::string> languageFiles_;
};
