#pragma once
// The page window: a plain child window that owns skin items by id, draws them into one back
// buffer and routes the mouse to them by hit test.
#include <QImage>
#include <QPointer>
#include <string>

#include "app/ui/SkinItems.h"
#include "platform/ui/Window.h"

namespace UiCtrl {

class UiSdkWndBase {
public:
    UiSdkWndBase(const char* className, bool band, bool picture, u32 classStyle);
    virtual ~UiSdkWndBase();
    UiSdkWndBase(const UiSdkWndBase&) = delete;
    UiSdkWndBase& operator=(const UiSdkWndBase&) = delete;

    // Makes the child window (or, when it exists, only rebuilds the back buffer).
    virtual int Create(HWND parent, void* instance, RECT rect, u32 style);
    virtual int ApplyLanguage();
    virtual LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam);
    virtual int OnLButtonDown(WPARAM wParam, LPARAM lParam);
    virtual int OnLButtonUp(WPARAM wParam, LPARAM lParam);
    virtual int OnMouseMove(WPARAM wParam, LPARAM lParam);
    virtual int OnMouseLeave(WPARAM wParam, LPARAM lParam);
    virtual int OnMouseWheel(WPARAM wParam, LPARAM lParam);
    virtual int OnSize(WPARAM wParam, LPARAM lParam);
    virtual int OnPaint(WPARAM wParam, LPARAM lParam);
    virtual int DrawBorder(ui::Dc* dc);
    virtual int DrawBackground(ui::Dc* dc);

    HWND GetHwnd() const { return hwnd_; }
    QWidget* Widget() const;
    ItemMap& Items() { return items_; }
    UiItem* GetItem(int id);
    UiItem* HoverItem() const { return hover_; }
    const std::string& ClassName() const { return className_; }
    // The client rectangle (0 while no window exists).
    RECT ClientRect() const;
    void Invalidate();

    // The window procedure of the class: forwards to the object whose window it is.
    static LRESULT StaticWndProc(UiSdkWndBase* object, HWND hwnd, u32 message, WPARAM wParam, LPARAM lParam);

protected:
    // Where the back buffer reaches the screen: a page shows it one pixel in from the left, one
    // short at the right and at the bottom; a box that frames itself shows the whole buffer at
    // (0, 0), or its frame's outer pixels would show what lies below it; a strip whose last row
    // is its divider shows the client area's width and height one pixel in from the left.
    enum class ScreenCopy { kPageInset, kWhole, kWholeFromX1 };
    void SetScreenCopy(ScreenCopy copy) { screenCopy_ = copy; }

    ItemMap items_;

private:
    class PageWidget;
    std::string className_;
    HWND hwnd_ = nullptr;
    bool tracking_ = false;
    QPointer<QWidget> widget_;
    QImage backBuffer_;
    UiItem* hover_ = nullptr;
    bool band_;
    bool picture_;
    u32 classStyle_;
    ScreenCopy screenCopy_ = ScreenCopy::kPageInset;
    PictureHandle picture525_ = nullptr;
    PictureHandle picture541_ = nullptr;
};

}  // namespace UiCtrl
