#include "app/ui/HomeBaseDialog.h"

#include <tinyxml.h>

#include <QDesktopServices>
#include <QGuiApplication>
#include <QIcon>
#include <QPixmap>
#include <QScreen>
#include <QUrl>

#include "core/Shell.h"
#include "app/ui/UiResources.h"
#include "platform/Stats.h"

namespace {
constexpr COLORREF kFrameColor = 0xE8E8E8;
constexpr COLORREF kMainCaptionColor = 0x80D21F;
constexpr COLORREF kPopupCaptionColor = 0xE3F3B2;
constexpr COLORREF kMainTitleColor = 0xE4F3B3;
constexpr COLORREF kPopupTitleColor = 0x536D01;
// The client buffer starts in the dialogs' base colour, which the band at their foot, where their
// buttons stand, keeps.
constexpr COLORREF kClientBaseColor = 0xF4F4F4;
constexpr COLORREF kWhite = 0xFFFFFF;
constexpr u32 kStatsHelpKey = 8451;

// Popup dialogs draw every caption item with the same three bitmaps.
constexpr int kPopupNormal = 550;
constexpr int kPopupHover = 549;
constexpr int kPopupPressed = 551;

QWidget* ParentWidget(HWND parent) { return parent ? ui::WindowCore::WidgetFromHandle(parent) : nullptr; }

QRect AvailableScreenArea(const QWidget* w) {
    QScreen* s = w && w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    return s ? s->availableGeometry() : QRect(0, 0, 1024, 768);
}

// The window's place in the middle of its screen at the given size.
QRect CentredOnScreen(const QWidget* w, QSize size) {
    const QRect area = AvailableScreenArea(w);
    return QRect(area.x() + (area.width() - size.width()) / 2, area.y() + (area.height() - size.height()) / 2, size.width(), size.height());
}
}  // namespace

// ---- caption item ----

int HomeBaseDialog::CaptionItem::Draw(ui::Dc* dc) {
    if (!visible_) return 0;
    if (dc) dc->SetTextColor(0xFF0000);
    int index = 2;  // normal
    switch (state_) {
    case UiCtrl::kStateHover: index = 3; break;
    case UiCtrl::kStatePressed: index = 1; break;
    case UiCtrl::kStateDisabled: index = 0; break;
    default: index = 2; break;
    }
    if (!enabled_ && images_[0]) index = 0;
    const QImage* img = images_[index];
    if (!img) return 1;
    UiResources::Instance().DrawImage(dc, img, rect_.left, rect_.top, rect_.right, rect_.bottom, 0);
    return 1;
}

bool HomeBaseDialog::CaptionItem::SetState(int state, ui::Dc* dc) {
    state_ = state;
    if (dc) Draw(dc);
    else if (owner_) ui::InvalidateWindowRect(owner_, rect_);
    return true;
}

bool HomeBaseDialog::CaptionItem::ApplyLanguage() {
    if (!caption_.empty()) name_ = UiResources::Instance().GetString(caption_.c_str());
    return true;
}

void HomeBaseDialog::CaptionItem::SetImages(const QImage* disabled, const QImage* pressed, const QImage* normal,
                                            const QImage* hover) {
    images_[0] = disabled;
    images_[1] = pressed;
    images_[2] = normal;
    images_[3] = hover;
}

// ---- dialog ----

HomeBaseDialog::HomeBaseDialog(int templateId, HWND parent, int value)
    : ui::Dialog(ParentWidget(parent)), templateId_(templateId), value_(value) {
    mainWindow_ = templateId == kMainTemplate;
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_OpaquePaintEvent);
    // The program's icon, loaded once per process.
    static QIcon icon;
    static bool iconLoaded = false;
    if (!iconLoaded) {
        iconLoaded = true;
        if (const QImage* img = UiResources::Instance().LoadImageFromResource(kResTypeBitmap, 245))
            icon = QIcon(QPixmap::fromImage(*img));
    }
    if (!icon.isNull()) setWindowIcon(icon);
    if (mainWindow_) {
        resize(900, 600);
        // The dialogs opened without a parent open over it.
        ui::SetMainWindow(this);
    } else {
        resize(400, 300);
    }
}

HomeBaseDialog::~HomeBaseDialog() {
    if (ui::MainWindow() == this) ui::SetMainWindow(nullptr);
    hoverCaption_ = nullptr;
    hoverClient_ = nullptr;
}

bool HomeBaseDialog::ShowCaptionTip(int, int, int, const std::string&, int) { return false; }
void HomeBaseDialog::OnCaptionResize(int) {}
int HomeBaseDialog::DrawBackground(ui::Dc*) { return 0; }
int HomeBaseDialog::DrawContent(ui::Dc*) { return 0; }

UiCtrl::UiItem* HomeBaseDialog::GetCaptionItem(int id) {
    auto it = captionItems_.find(id);
    return it == captionItems_.end() ? nullptr : it->second.get();
}

UiCtrl::UiItem* HomeBaseDialog::GetClientItem(int id) {
    auto it = clientItems_.find(id);
    return it == clientItems_.end() ? nullptr : it->second.get();
}

RECT HomeBaseDialog::ClientRect() const {
    return ui::MakeRect(0, 0, std::max(0, width() - 2), std::max(0, height() - kCaptionHeight - 1));
}

bool HomeBaseDialog::ApplySkinSize(const char* elementName) {
    const TiXmlElement* e = FindWindowResource(elementName);
    if (!e) return false;
    const int w = SkinInt(e, "width");
    const int h = SkinInt(e, "height");
    if (w <= 0 || h <= 0) return false;
    resize(w, h);
    return true;
}

int HomeBaseDialog::LayoutCaption() {
    wideCaption_ = (maximizeBox_ && templateId_ != kPreviewTemplate) ? true : mainWindow_;
    const char* elementName = (mainWindow_ || wideCaption_) ? "HomeCaption" : "PopBaseCaption";
    hoverCaption_ = nullptr;
    captionItems_.clear();
    const TiXmlElement* caption = FindWindowResource(elementName);
    layoutWidth_ = width();
    if (!caption) return -1;
    UiResources& res = UiResources::Instance();
    const int w = width() - 1;
    RECT r = ui::MakeRect(w - 30, 0, w, 0);
    for (const TiXmlElement* e = caption->FirstChildElement(); e; e = e->NextSiblingElement()) {
        const int id = SkinInt(e, "id");
        r.bottom = SkinInt(e, "bottom");
        auto item = std::make_unique<CaptionItem>();
        item->Setup(Handle(), id, 0, r.left, r.top, r.right, r.bottom);
        if (mainWindow_) {
            const int type = e->Attribute("Catalog") ? kResTypeJpeg : kResTypeBitmap;
            item->SetImages(res.LoadImageFromResource(type, SkinInt(e, "disable")),
                            res.LoadImageFromResource(type, SkinInt(e, "click")),
                            res.LoadImageFromResource(type, SkinInt(e, "normal")),
                            res.LoadImageFromResource(type, SkinInt(e, "over")));
        } else {
            const QImage* pressed = res.LoadImageFromResource(kResTypeBitmap, kPopupPressed);
            item->SetImages(pressed, pressed, res.LoadImageFromResource(kResTypeBitmap, kPopupNormal),
                            res.LoadImageFromResource(kResTypeBitmap, kPopupHover));
        }
        item->SetVisible(SkinInt(e, "show") != 0);
        item->SetCaption(SkinString(e, "caption"));
        item->ApplyLanguage();
        if (mainWindow_ && (id == kCmdMaximize || id == 142)) item->Enable(false);
        captionItems_[id] = std::move(item);
        if (id != kCmdMaximize && id != 142) {
            const int placeWidth = SkinInt(e, "right") - SkinInt(e, "left");
            r.right = r.left - 6;
            r.left = r.right - placeWidth;
        }
        if (!mainWindow_ && wideCaption_ && id == kCmdRestore) break;
    }
    return 0;
}

bool HomeBaseDialog::OnInitDialog() {
    LayoutCaption();
    if (mainWindow_) {
        setWindowTitle(ui::FromUtf8(UiResources::Instance().GetString("caption")));
        PostMessage(Handle(), WM_NCACTIVATE, 1, 0);
        // The window takes its place itself before it is shown: the window system is told where
        // it stands instead of choosing, and the dialogs are placed over it from the first start
        // without waiting to hear where the window system put it.
        move(CentredOnScreen(this, size()).topLeft());
    }
    return true;
}

// Keeps the caption items at their distance from the right edge when the width changes: the
// strip is laid out once, for the width the dialog had then.
void HomeBaseDialog::ShiftCaptionItems(int dx) {
    if (dx == 0) return;
    for (auto& [id, item] : captionItems_) {
        RECT r = item->GetRect();
        r.left += dx;
        r.right += dx;
        item->SetRect(r);
    }
}

void HomeBaseDialog::OnSizeFrame() {
    if (layoutWidth_ != 0 && width() != layoutWidth_) {
        ShiftCaptionItems(width() - layoutWidth_);
        layoutWidth_ = width();
    }
    clientBuffer_ = QImage();
}

void HomeBaseDialog::DrawFrame() { update(QRect(0, 0, width(), kCaptionHeight)); }

void HomeBaseDialog::UpdateCaptionButtons() {
    maximized2_ = !maximized2_;
    const RECT client = ClientRect();
    const bool small = client.right <= 0x38C;
    if (UiCtrl::UiItem* m = GetCaptionItem(kCmdMaximize)) m->SetVisible(small);
    if (UiCtrl::UiItem* r = GetCaptionItem(kCmdRestore)) r->SetVisible(!small);
    DrawFrame();
}

void HomeBaseDialog::Maximize() {
    if (UiCtrl::UiItem* m = GetCaptionItem(kCmdMaximize)) m->SetVisible(false);
    if (UiCtrl::UiItem* r = GetCaptionItem(kCmdRestore)) r->SetVisible(true);
    setGeometry(AvailableScreenArea(this));
    show();
    OnSizeFrame();
    OnCaptionResize(1);
    maximized_ = true;
    DrawFrame();
    update();
}

void HomeBaseDialog::Restore() {
    if (UiCtrl::UiItem* r = GetCaptionItem(kCmdRestore)) r->SetVisible(false);
    if (UiCtrl::UiItem* m = GetCaptionItem(kCmdMaximize)) m->SetVisible(true);
    setGeometry(CentredOnScreen(this, QSize(900, 600)));
    OnSizeFrame();
    OnCaptionResize(0);
    maximized_ = false;
    DrawFrame();
    update();
}

bool HomeBaseDialog::OnCommand(WPARAM wParam, LPARAM) {
    const int id = LOWORD(wParam);
    if (id < kCmdMaximize || id > kCmdClose) return false;
    switch (id) {
    case kCmdMaximize: Maximize(); return true;
    case kCmdRestore: Restore(); return true;
    case kCmdMinimize: showMinimized(); return true;
    case kCmdClose:
        if (!mainWindow_) {
            EndDialog(IDCANCEL);
            return true;
        }
        return false;  // the main window decides itself
    default: return false;
    }
}

HomeBaseDialog::CaptionItem* HomeBaseDialog::CaptionAt(int x, int y) {
    // Hidden items are skipped: 133 and 136 share one place and only the shown one answers.
    return static_cast<CaptionItem*>(UiCtrl::HitTestItems(captionItems_, x, y));
}

void HomeBaseDialog::NcMouseMove(int x, int y) {
    trackingNc_ = true;
    CaptionItem* item = CaptionAt(x, y);
    if (item) {
        if (item != hoverCaption_) {
            if (hoverCaption_ && hoverCaption_->GetState() == UiCtrl::kStateHover)
                hoverCaption_->SetState(UiCtrl::kStateNormal);
            hoverCaption_ = item;
            if (item->GetState() == UiCtrl::kStateNormal) item->SetState(UiCtrl::kStateHover);
            ShowCaptionTip(x, y, 1, item->GetName(), 1);
        }
    } else if (hoverCaption_) {
        if (hoverCaption_->IsEnabled()) hoverCaption_->SetState(UiCtrl::kStateNormal);
        hoverCaption_ = nullptr;
        ShowCaptionTip(x, y, 0, std::string(), 1);
    }
}

bool HomeBaseDialog::NcLButtonDown(int x, int y) {
    ShowCaptionTip(x, y, 0, std::string(), 1);
    CaptionItem* item = CaptionAt(x, y);
    if (item && item->IsEnabled()) {
        item->SetState(UiCtrl::kStatePressed);
        return true;
    }
    return false;
}

bool HomeBaseDialog::NcLButtonUp(int x, int y) {
    CaptionItem* item = CaptionAt(x, y);
    if (item && item->IsEnabled()) {
        ui::PostCommand(Handle(), item->Id());
        item->SetState(UiCtrl::kStateHover);
        return true;
    }
    return false;
}

void HomeBaseDialog::NcMouseLeave() {
    trackingNc_ = false;
    if (hoverCaption_) {
        if (hoverCaption_->IsEnabled()) hoverCaption_->SetState(UiCtrl::kStateNormal);
        hoverCaption_ = nullptr;
    }
    DrawFrame();
}

void HomeBaseDialog::ClientMouseMove(WPARAM wParam, int x, int y) {
    if (!trackingClient_) {
        trackingClient_ = true;
        TrackMouseLeave();
    }
    UiCtrl::UiItem* item = UiCtrl::HitTestItems(clientItems_, x, y);
    if (item && item == hoverClient_) {
        item->OnMouseMove(wParam, MAKELPARAM(x, y));
        return;
    }
    if (hoverClient_ && hoverClient_->IsEnabled()) hoverClient_->SetState(UiCtrl::kStateNormal);
    hoverClient_ = item;
    if (item && item->GetState() == UiCtrl::kStateNormal) item->SetState(UiCtrl::kStateHover);
    update();
}

void HomeBaseDialog::ClientLButtonDown(WPARAM wParam, int x, int y) {
    setFocus();
    UiCtrl::UiItem* item = UiCtrl::HitTestItems(clientItems_, x, y);
    if (item && item->IsEnabled()) {
        item->SetState(UiCtrl::kStatePressed);
        item->OnMouseLBtnDown(wParam, MAKELPARAM(x, y));
    }
    update();
}

void HomeBaseDialog::ClientLButtonUp(WPARAM wParam, int x, int y) {
    if (UiCtrl::UiItem* item = UiCtrl::HitTestItems(clientItems_, x, y)) item->OnMouseLBtnUp(wParam, MAKELPARAM(x, y));
    update();
}

void HomeBaseDialog::ClientMouseLeave() {
    trackingClient_ = false;
    if (hoverClient_) {
        if (hoverClient_->IsEnabled()) hoverClient_->SetState(UiCtrl::kStateNormal);
        hoverClient_ = nullptr;
        update();
    }
}

LRESULT HomeBaseDialog::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    const int x = GET_X_LPARAM(lParam);
    const int y = GET_Y_LPARAM(lParam);
    switch (message) {
    case WM_SIZE:
        OnSizeFrame();
        return 0;
    case WM_ACTIVATE:
    case WM_NCACTIVATE:
    case WM_NCPAINT:
        DrawFrame();
        return 1;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        PaintAll(PaintDc());
        return 0;
    case WM_MOUSEMOVE:
        if (dragging_) {
            move(pos() + (QPoint(x, y) - dragStart_));
            return 0;
        }
        // Mouse input arrives in window coordinates: the strip is the non-client area.
        if (y < kCaptionHeight) {
            if (trackingClient_) ClientMouseLeave();
            TrackMouseLeave();
            NcMouseMove(x, y);
        } else {
            if (trackingNc_) NcMouseLeave();
            ClientMouseMove(wParam, x - 1, y - kCaptionHeight);
        }
        return 0;
    case WM_LBUTTONDOWN:
        if (y < kCaptionHeight) {
            if (!NcLButtonDown(x, y)) {
                // Not on an enabled item: the strip moves the window.
                dragging_ = true;
                dragStart_ = QPoint(x, y);
            }
            return 0;
        }
        ClientLButtonDown(wParam, x - 1, y - kCaptionHeight);
        return 1;
    case WM_LBUTTONUP:
        if (dragging_) {
            // The end of a move releases whatever item the press was on.
            dragging_ = false;
            NcLButtonUp(dragStart_.x(), dragStart_.y());
            return 0;
        }
        if (y < kCaptionHeight) {
            NcLButtonUp(x, y);
            return 0;
        }
        ClientLButtonUp(wParam, x - 1, y - kCaptionHeight);
        return 1;
    case WM_LBUTTONDBLCLK:
        if (y < kCaptionHeight) {
            if (GetCaptionItem(kCmdMaximize)) {
                if (maximized_) Restore();
                else Maximize();
            }
            return 0;
        }
        ClientLButtonDown(wParam, x - 1, y - kCaptionHeight);
        return 1;
    case WM_MOUSELEAVE:
        if (trackingNc_) NcMouseLeave();
        ClientMouseLeave();
        return 0;
    case WM_MOUSEWHEEL:
        return 1;
    case WM_COMMAND:
        OnCommand(wParam, lParam);
        return 0;
    default:
        return 0;
    }
}

bool HomeBaseDialog::PreTranslateMessage(u32 message, WPARAM wParam, LPARAM) {
    if (message != WM_KEYDOWN) return false;
    if (wParam == VK_ESCAPE || wParam == VK_RETURN) return true;
    if (wParam == VK_F1) {
        const std::string url = UiResources::Instance().GetString("helpUrl");
        const bool opened = !url.empty() && QDesktopServices::openUrl(QUrl(ui::FromUtf8(url)));
        WriteLog("[%s:%d] goto %s\r\n", "HomeBaseDialog::PreTranslateMessage", opened ? 42 : 2, url.c_str());
        StatsEvent(kStatsHelpKey);
        return true;
    }
    return false;
}

void HomeBaseDialog::PaintAll(ui::Dc* dc) {
    if (!dc) return;
    PaintFrame(dc);
    PaintClient(dc);
}

void HomeBaseDialog::PaintFrame(ui::Dc* dc) {
    const int w = width();
    const int h = height();
    dc->FillRect(ui::MakeRect(0, 0, w, h), kFrameColor);
    dc->FillRect(ui::MakeRect(0, 0, w + 283, 105), mainWindow_ ? kMainCaptionColor : kPopupCaptionColor);
    for (auto& [id, item] : captionItems_) item->Draw(dc);
    UiResources& res = UiResources::Instance();
    dc->SetFont(*res.GetFont(15, 500, false));
    dc->SetTextColor(mainWindow_ ? kMainTitleColor : kPopupTitleColor);
    RECT text = ui::MakeRect(6, 8, w - 100 + (wideCaption_ ? 0 : 30), 35);
    const QByteArray title = windowTitle().toUtf8();
    dc->DrawText(std::string(title.constData(), static_cast<size_t>(title.size())), text, DT_VCENTER | DT_END_ELLIPSIS);
}

void HomeBaseDialog::PaintClient(ui::Dc* dc) {
    const RECT client = ClientRect();
    if (client.Width() <= 0 || client.Height() <= 0) return;
    if (clientBuffer_.size() != QSize(client.Width(), client.Height()))
        clientBuffer_ = QImage(client.Width(), client.Height(), QImage::Format_ARGB32_Premultiplied);
    clientBuffer_.fill(ui::ColorFromRef(kClientBaseColor));
    {
        QPainter p(&clientBuffer_);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setRenderHint(QPainter::TextAntialiasing, true);
        ui::Dc mem(&p);
        DrawBackground(&mem);
        for (auto& [id, item] : clientItems_) item->Draw(&mem);
        DrawContent(&mem);
    }
    dc->Painter()->drawImage(QPoint(1, kCaptionHeight), clientBuffer_);
}

void PaintWhiteClientArea(HWND window, ui::Dc* dc) {
    if (!dc) return;
    RECT client;
    ui::WindowCore* core = ui::WindowCore::FromHandle(window);
    if (auto* dlg = dynamic_cast<HomeBaseDialog*>(core)) client = dlg->ClientRect();
    else if (core && core->Widget()) client = ui::FromQRect(core->Widget()->rect());
    else return;
    dc->FillRect(ui::MakeRect(client.left + 1, client.top, client.right - 1, client.bottom - kDialogFootHeight), kWhite);
}
