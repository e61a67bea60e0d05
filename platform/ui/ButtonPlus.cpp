#include "platform/ui/ButtonPlus.h"

#include <cerrno>
#include <cstdio>

#include "platform/Log.h"
#include "platform/ui/ButtonResources.h"

namespace {
constexpr int kFontHeight = 16;
constexpr int kFontWeight = 400;
}  // namespace

bool CMaskedBitmap::LoadBitmap(int resourceId) {
    const QImage* p = ui::ButtonBitmap(resourceId);
    if (!p) return false;
    image_ = *p;
    return true;
}

CButtonPlus::CButtonPlus(QWidget* parent, int controlId) : ui::OwnerDrawButton(parent, controlId) {
    const u32 r = Init();
    if (r != 0) LogError("Init CButtonPlus is false error=0x%x,GetLastError=%d", r, errno);
}

CButtonPlus::CButtonPlus(QWidget* parent, int controlId, int normal, int hover, int pushed, int disabled)
    : ui::OwnerDrawButton(parent, controlId) {
    LogError("------------------------ParmInfo:UINT uNormal=%d, UINT uHover=%d, UINT uPush=%d, UINT uDisable=%d", normal,
             hover, pushed, disabled);
    const u32 r = Init();
    if (r != 0) LogError("Init CButtonPlus 002 is false error=0x%x,GetLastError=%d", r, errno);
    LoadBitmaps(normal, hover, pushed, disabled);
    tracking_ = 0;
}

u32 CButtonPlus::Init() {
    if (!normal_) normal_ = std::make_unique<CMaskedBitmap>();
    if (!hover2_) hover2_ = std::make_unique<CMaskedBitmap>();
    if (!pushed_) pushed_ = std::make_unique<CMaskedBitmap>();
    if (!disabled_) disabled_ = std::make_unique<CMaskedBitmap>();
    initResult_ = (normal_ && hover2_ && pushed_ && disabled_) ? 0 : kInitFailed;
    return initResult_;
}

bool CButtonPlus::LoadBitmaps(int normal, int hover, int pushed, int disabled) {
    LogError("------------------------ParmInfo:UINT uNormal=%d, UINT uHover=%d, UINT uPush=%d, UINT uDisable=%d", normal,
             hover, pushed, disabled);
    const u32 r = Init();
    if (r != 0) {
        LogError("Init OwerLoadBitmap is false error=0x%x,GetLastError=%d", r, errno);
        return false;
    }
    bool ok = true;
    if (normal) ok = normal_->LoadBitmap(normal) && ok;
    if (hover) ok = hover2_->LoadBitmap(hover) && ok;
    if (pushed) ok = pushed_->LoadBitmap(pushed) && ok;
    if (disabled) ok = disabled_->LoadBitmap(disabled) && ok;
    if (normal_->IsLoaded()) resize(normal_->Size());
    return ok;
}

bool CButtonPlus::Create(const std::string& caption, const RECT& rect) {
    LogError("------------------------ParmInfo:CREATESTRUCT x=%d y=%d cx=%d cy=%d id=%d", rect.left, rect.top, rect.Width(),
             rect.Height(), ControlId());
    SetWindowText(caption);
    const QSize size = normal_ && normal_->IsLoaded() ? normal_->Size() : QSize(rect.Width(), rect.Height());
    setGeometry(rect.left, rect.top, size.width(), size.height());
    show();
    return true;
}

void CButtonPlus::UpdateCursor(const QPoint& local) {
    QWidget* parent = parentWidget();
    bool hand = false;
    if (parent) {
        const QPoint inParent = mapToParent(local);
        for (QObject* child : parent->children()) {
            auto* button = dynamic_cast<ui::OwnerDrawButton*>(child);
            if (!button || (button->ControlId() != kHandControlA && button->ControlId() != kHandControlB)) continue;
            if (button->geometry().contains(inParent)) hand = true;
        }
    }
    SetCursorShape(hand ? ui::CursorShape::Hand : ui::CursorShape::Arrow);
}

LRESULT CButtonPlus::OnMessage(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEMOVE:
        UpdateCursor(QPoint(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)));
        if (!tracking_) {
            TrackMouseHover(1);
            TrackMouseLeave();
            tracking_ = 1;
        }
        return 0;
    case WM_MOUSEHOVER:
        hover_ = 1;
        update();
        return 0;
    case WM_MOUSELEAVE:
        tracking_ = 0;
        hover_ = 0;
        update();
        return 0;
    case WM_LBUTTONUP:
        update();
        return 0;
    default:
        return ui::OwnerDrawButton::OnMessage(message, wParam, lParam);
    }
}

void CButtonPlus::DrawItem(ui::Dc* dc, const RECT& rect, u32 itemState, u32 itemAction) {
    if ((itemAction & ODA_FOCUS) && !(itemState & ODS_FOCUS)) hover_ = 0;
    const CMaskedBitmap* pick = normal_.get();
    lastPainted_ = 0;
    if ((itemState & ODS_SELECTED) && pushed_ && pushed_->IsLoaded()) {
        pick = pushed_.get();
        lastPainted_ = 2;
    } else if ((itemState & ODS_DISABLED) && disabled_ && disabled_->IsLoaded()) {
        pick = disabled_.get();
        lastPainted_ = 3;
    } else if (hover_ && hover2_ && hover2_->IsLoaded()) {
        pick = hover2_.get();
        lastPainted_ = 1;
    }
    if (pick && pick->IsLoaded()) dc->Painter()->drawImage(QPoint(0, 0), pick->Image());
    const QFont old = dc->Font();
    dc->SetFont(ui::ButtonFont(*this, kFontHeight, kFontWeight));
    dc->DrawText(WindowText(), rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    dc->SetFont(old);
}

int CButtonPlus::CaptionWidth() const {
    return QFontMetrics(ui::ButtonFont(*this, kFontHeight, kFontWeight)).horizontalAdvance(QString::fromStdString(WindowText()));
}
