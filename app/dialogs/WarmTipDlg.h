#pragma once
// The picture dialog after a recovery: a language picture with a few words over it, a check box
// that keeps it from showing again (Config.dat "ShowWarm"), a close button, and a link area
// that opens the language file's address.
#include <string>

#include "app/ui/UiItem.h"
#include "platform/ui/Window.h"

class WarmTipDlg : public ui::Dialog {
public:
    enum ItemId { kItemDontShow = 801, kItemClose = 802 };
    static constexpr int kWidth = 540;
    static constexpr int kHeight = 345;
    static constexpr int kFirstPicture = 494;
    static constexpr RECT kLinkRect = {170, 260, 360, 290};

    explicit WarmTipDlg(QWidget* parent = nullptr);

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    bool PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    UiCtrl::UiItem* GetItem(int id);

    // Tests see the address instead of a browser; answers whether it was opened.
    using UrlOpener = bool (*)(const std::string& url);
    static void SetUrlOpener(UrlOpener opener);

protected:
    bool OnInitDialog() override;

private:
    void Paint(ui::Dc* dc);
    void MouseMove(WPARAM wParam, LPARAM lParam);
    void MouseLeave();
    void LButtonDown(WPARAM wParam, LPARAM lParam);
    void LButtonUp(WPARAM wParam, LPARAM lParam);

    UiCtrl::UiItem* hover_ = nullptr;
    UiCtrl::ItemMap items_;
    bool tracking_ = false;
    bool handCursor_ = false;
};

// After a recovery: shows the tip when Config.dat asks for it ("ShowWarm" 1, the default).
void ShowWarmTipIfWanted(QWidget* parent);
