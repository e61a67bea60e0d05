#include "app/ui/UiSdkWndBase.h"

#include <QPainter>
#include <set>

namespace UiCtrl {

// The child window of a page: every message goes to the page object's window procedure.
class UiSdkWndBase::PageWidget : public ui::WindowOf<QWidget> {
public:
    PageWidget(UiSdkWndBase* owner, QWidget* parent) : ui::WindowOf<QWidget>(parent), owner_(owner) {}
    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override {
        return owner_ ? UiSdkWndBase::StaticWndProc(owner_, Handle(), message, wParam, lParam) : 0;
    }
    void Detach() { owner_ = nullptr; }

private:
    UiSdkWndBase* owner_;
};

namespace {
// Window classes are registered once per process.
std::set<std::string>& RegisteredClasses() {
    static std::set<std::string> classes;
    return classes;
}
}  // namespace

UiSdkWndBase::UiSdkWndBase(const char* className, bool band, bool picture, u32 classStyle)
    : className_(className ? className : ""), band_(band), picture_(picture), classStyle_(classStyle | 1) {
    RegisteredClasses().insert(className_);
    if (picture_) {
        picture525_ = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, 525);
        picture541_ = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, 541);
    }
}

UiSdkWndBase::~UiSdkWndBase() {
    hover_ = nullptr;
    if (widget_) {
        static_cast<PageWidget*>(widget_.data())->Detach();
        delete widget_.data();
    }
    items_.clear();
    hwnd_ = nullptr;
}

QWidget* UiSdkWndBase::Widget() const { return widget_.data(); }

UiItem* UiSdkWndBase::GetItem(int id) {
    auto it = items_.find(id);
    return it == items_.end() ? nullptr : it->second.get();
}

RECT UiSdkWndBase::ClientRect() const {
    return widget_ ? ui::MakeRect(0, 0, widget_->width(), widget_->height()) : RECT{};
}

void UiSdkWndBase::Invalidate() {
    if (widget_) widget_->update();
}

int UiSdkWndBase::Create(HWND parent, void*, RECT rect, u32 style) {
    if (widget_) return OnSize(0, 0);
    QWidget* parentWidget = ui::WindowCore::WidgetFromHandle(parent);
    auto* w = new PageWidget(this, parentWidget);
    widget_ = w;
    hwnd_ = w->Handle();
    w->setGeometry(ui::ToQRect(rect));
    if (style & WS_VISIBLE) w->show();
    return OnSize(0, 0);
}

int UiSdkWndBase::ApplyLanguage() { return 0; }

LRESULT UiSdkWndBase::StaticWndProc(UiSdkWndBase* object, HWND hwnd, u32 message, WPARAM wParam, LPARAM lParam) {
    if (object && object->hwnd_ == hwnd) return object->WndProc(message, wParam, lParam);
    return 0;
}

LRESULT UiSdkWndBase::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE: OnSize(wParam, lParam); return 0;
    case WM_PAINT: return OnPaint(wParam, lParam);
    case WM_ERASEBKGND: return 1;
    case WM_MOUSEMOVE: OnMouseMove(wParam, lParam); return 0;
    case WM_LBUTTONDOWN: OnLButtonDown(wParam, lParam); return 0;
    case WM_LBUTTONUP: OnLButtonUp(wParam, lParam); return 0;
    case WM_LBUTTONDBLCLK: OnSize(wParam, lParam); return 0;
    case WM_MOUSEWHEEL: OnMouseWheel(wParam, lParam); return 0;
    case WM_MOUSELEAVE: OnMouseLeave(wParam, lParam); return 0;
    default: return 0;
    }
}

int UiSdkWndBase::OnSize(WPARAM, LPARAM) {
    if (!widget_) return 0;
    const int w = widget_->width();
    const int h = widget_->height();
    if (w < 1 || h < 1) return 0;
    backBuffer_ = QImage(w, h, QImage::Format_ARGB32_Premultiplied);
    widget_->update();
    return 1;
}

int UiSdkWndBase::OnPaint(WPARAM, LPARAM) {
    auto* core = dynamic_cast<ui::WindowCore*>(widget_.data());
    ui::Dc* screen = core ? core->PaintDc() : nullptr;
    if (!screen || backBuffer_.isNull()) return 1;
    const RECT client = ClientRect();
    {
        QPainter p(&backBuffer_);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setRenderHint(QPainter::TextAntialiasing, true);
        ui::Dc dc(&p);
        dc.FillRect(client, 0xFFFFFF);
        DrawBorder(&dc);
        for (auto& [id, item] : items_) item->Draw(&dc);
        DrawBackground(&dc);
    }
    switch (screenCopy_) {
    case ScreenCopy::kWhole: screen->Painter()->drawImage(QPoint(0, 0), backBuffer_); break;
    case ScreenCopy::kWholeFromX1:
        screen->Painter()->drawImage(QPoint(1, 0), backBuffer_, QRect(0, 0, client.Width(), client.Height()));
        break;
    case ScreenCopy::kPageInset:
        screen->Painter()->drawImage(QPoint(1, 0), backBuffer_, QRect(0, 0, client.Width() - 2, client.Height() - 1));
        break;
    }
    return 1;
}

int UiSdkWndBase::DrawBorder(ui::Dc* dc) {
    if (!band_ || !dc) return 0;
    const RECT c = ClientRect();
    DrawGradientRect(dc, 0, c.bottom - 50, c.right, c.bottom, true, 0xF2F2F2, 0xFEFEFE);
    dc->Line(0, c.bottom - 50, c.right, c.bottom - 50, 0xE6E6E6);
    return 0;
}

int UiSdkWndBase::DrawBackground(ui::Dc* dc) {
    if (!picture_ || !dc) return 0;
    const RECT c = ClientRect();
    UiResources::Instance().DrawImage(dc, picture525_, 0, c.bottom - 50, c.right, c.bottom, 0xFFFFFF);
    return 0;
}

int UiSdkWndBase::OnMouseMove(WPARAM wParam, LPARAM lParam) {
    auto* core = dynamic_cast<ui::WindowCore*>(widget_.data());
    if (!tracking_ && core) {
        core->TrackMouseLeave();
        tracking_ = true;
    }
    UiItem* item = HitTestItems(items_, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    if (!item) {
        if (hover_) {
            hover_->SetState(kStateNormal);
            hover_ = nullptr;
            Invalidate();
        }
        return 1;
    }
    if (item == hover_) {
        item->OnMouseMove(wParam, lParam);
        return 1;
    }
    const bool hadHover = hover_ != nullptr;
    if (hover_) hover_->SetState(kStateNormal);
    hover_ = item;
    if (item->GetState() == kStateNormal) {
        item->SetState(kStateHover);
        Invalidate();
    } else if (hadHover) {
        Invalidate();
    }
    return 1;
}

int UiSdkWndBase::OnMouseLeave(WPARAM, LPARAM) {
    tracking_ = false;
    if (hover_) {
        hover_->SetState(kStateNormal);
        hover_ = nullptr;
        Invalidate();
    }
    return 1;
}

int UiSdkWndBase::OnMouseWheel(WPARAM, LPARAM) { return 1; }

int UiSdkWndBase::OnLButtonDown(WPARAM wParam, LPARAM lParam) {
    if (widget_) widget_->setFocus();
    UiItem* item = HitTestItems(items_, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    if (!item || !item->IsEnabled()) return 0;
    item->SetState(kStatePressed);
    item->OnMouseLBtnDown(wParam, lParam);
    Invalidate();
    return 1;
}

int UiSdkWndBase::OnLButtonUp(WPARAM wParam, LPARAM lParam) {
    UiItem* item = HitTestItems(items_, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam));
    if (!item) return 0;
    item->OnMouseLBtnUp(wParam, lParam);
    Invalidate();
    return 1;
}

}  // namespace UiCtrl
