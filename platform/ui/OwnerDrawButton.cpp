#include "platform/ui/OwnerDrawButton.h"

namespace ui {

OwnerDrawButton::OwnerDrawButton(QWidget* parent, int controlId, u32 style)
    : WindowOf<QAbstractButton>(parent), controlId_(controlId), style_(style) {
    passInputToBase_ = true;
    setAttribute(Qt::WA_Hover, true);
    QObject::connect(this, &QAbstractButton::clicked, this, [this]() {
        OnClicked();
        if (QWidget* p = parentWidget()) {
            if (auto* owner = dynamic_cast<WindowCore*>(p))
                SendMessage(owner->Handle(), WM_COMMAND, MAKEWPARAM(controlId_, BN_CLICKED),
                            static_cast<LPARAM>(reinterpret_cast<std::uintptr_t>(Handle())));
        }
    });
}

std::string OwnerDrawButton::WindowText() const {
    const QByteArray b = text().toUtf8();
    return std::string(b.constData(), static_cast<size_t>(b.size()));
}

void OwnerDrawButton::SetWindowText(const std::string& t) { setText(FromUtf8(t)); }

void OwnerDrawButton::focusInEvent(QFocusEvent* e) {
    pendingAction_ = ODA_FOCUS;
    WindowOf<QAbstractButton>::focusInEvent(e);
}

void OwnerDrawButton::focusOutEvent(QFocusEvent* e) {
    pendingAction_ = ODA_FOCUS;
    WindowOf<QAbstractButton>::focusOutEvent(e);
}

LRESULT OwnerDrawButton::OnMessage(u32 message, WPARAM, LPARAM) {
    if (message != WM_PAINT) return 0;
    Dc* dc = PaintDc();
    if (!dc) return 0;
    u32 state = 0;
    if (isDown()) state |= ODS_SELECTED;
    if (!isEnabled()) state |= ODS_DISABLED;
    if (hasFocus()) state |= ODS_FOCUS;
    const u32 action = pendingAction_;
    pendingAction_ = ODA_DRAWENTIRE;
    dc->Painter()->setRenderHint(QPainter::Antialiasing, true);
    DrawItem(dc, MakeRect(0, 0, width(), height()), state, action);
    return 0;
}

}  // namespace ui
