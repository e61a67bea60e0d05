#pragma once
// The skinned dialog base: a frameless window that draws its own caption strip (with the
// maximise, restore, minimise and close items of the skin) and frame, moves when the strip is
// dragged, hosts window-less client items, and gives every dialog the same keyboard rules.
#include <QImage>
#include <string>

#include "app/ui/UiItem.h"
#include "platform/ui/Window.h"

class HomeBaseDialog : public ui::Dialog {
public:
    // Caption-strip command ids.
    static constexpr int kCmdMaximize = 133;
    static constexpr int kCmdRestore = 136;
    static constexpr int kCmdMinimize = 139;
    static constexpr int kCmdClose = 148;
    static constexpr int kMainTemplate = 102;
    static constexpr int kPopupTemplate = 227;
    static constexpr int kPreviewTemplate = 330;
    // The caption strip's height; the client area begins below it, inside a 1-pixel frame.
    static constexpr int kCaptionHeight = 35;

    class CaptionItem : public UiCtrl::UiItem {
    public:
        int Draw(ui::Dc* dc) override;
        bool SetState(int state, ui::Dc* dc = nullptr) override;
        bool ApplyLanguage() override;
        void SetImages(const QImage* disabled, const QImage* pressed, const QImage* normal, const QImage* hover);

    private:
        const QImage* images_[4] = {nullptr, nullptr, nullptr, nullptr};  // disabled, pressed, normal, hover
    };

    HomeBaseDialog(int templateId, HWND parent, int value);
    ~HomeBaseDialog() override;

    // Hooks of the derived dialogs.
    virtual bool ShowCaptionTip(int x, int y, int show, const std::string& text, int flag);
    virtual void OnCaptionResize(int maximised);
    virtual int DrawBackground(ui::Dc* dc);
    virtual int DrawContent(ui::Dc* dc);
    // WM_COMMAND; true when handled. The base handles the caption commands.
    virtual bool OnCommand(WPARAM wParam, LPARAM lParam);

    // Builds the caption items from the skin; -1 when the caption element is missing.
    int LayoutCaption();
    // Sizes the window to "width" and "height" of the skin element; false without it.
    bool ApplySkinSize(const char* elementName);
    void UpdateCaptionButtons();
    void DrawFrame();
    void OnSizeFrame();

    UiCtrl::UiItem* GetCaptionItem(int id);
    UiCtrl::UiItem* GetClientItem(int id);
    UiCtrl::ItemMap& CaptionItems() { return captionItems_; }
    UiCtrl::ItemMap& ClientItems() { return clientItems_; }

    int TemplateId() const { return templateId_; }
    bool IsMainWindow() const { return mainWindow_; }
    bool IsMaximized() const { return maximized_; }
    bool IsWideCaption() const { return wideCaption_; }
    // The window style's maximise box decides the wide caption of a dialog other than the main one.
    void SetMaximizeBox(bool on) { maximizeBox_ = on; }
    void SetHelpUrl(const std::string& url) { helpUrl_ = url; }
    const std::string& HelpUrl() const { return helpUrl_; }
    // The client rectangle in client coordinates.
    RECT ClientRect() const;
    // Client coordinates to window coordinates and back.
    static int ClientToWindowX(int x) { return x + 1; }
    static int ClientToWindowY(int y) { return y + kCaptionHeight; }

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;
    // Items invalidate in their own coordinates (window or client): the dialog repaints whole.
    void InvalidateRect(const RECT&) override { update(); }
    bool PreTranslateMessage(u32 message, WPARAM wParam, LPARAM lParam) override;

protected:
    bool OnInitDialog() override;

private:
    void PaintAll(ui::Dc* dc);
    void PaintFrame(ui::Dc* dc);
    void PaintClient(ui::Dc* dc);
    HomeBaseDialog::CaptionItem* CaptionAt(int x, int y);
    void NcMouseMove(int x, int y);
    bool NcLButtonDown(int x, int y);
    bool NcLButtonUp(int x, int y);
    void NcMouseLeave();
    void ClientMouseMove(WPARAM wParam, int x, int y);
    void ClientLButtonDown(WPARAM wParam, int x, int y);
    void ClientLButtonUp(WPARAM wParam, int x, int y);
    void ClientMouseLeave();
    void Maximize();
    void Restore();
    void ShiftCaptionItems(int dx);

    UiCtrl::ItemMap captionItems_;
    RECT windowRect_;
    bool maximized_ = false;
    bool maximized2_ = false;
    bool mainWindow_ = false;
    UiCtrl::UiItem* hoverCaption_ = nullptr;
    UiCtrl::UiItem* hoverClient_ = nullptr;
    bool trackingNc_ = false;
    bool trackingClient_ = false;
    UiCtrl::ItemMap clientItems_;
    bool wideCaption_ = false;
    int templateId_;
    int value_;
    std::string helpUrl_;

    bool maximizeBox_ = false;
    int layoutWidth_ = 0;  // the width the caption items are placed for
    bool dragging_ = false;
    QPoint dragStart_;
    QImage clientBuffer_;
};

// The band at the foot of a dialog's client area, where its buttons stand.
constexpr int kDialogFootHeight = 45;
// Fills a dialog's client area, less one pixel at the left and at the right and less the band at
// its foot, with white; the band keeps the dialog's base colour.
void PaintWhiteClientArea(HWND window, ui::Dc* dc);
