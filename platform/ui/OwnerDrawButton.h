#pragma once
// A real child button window that paints itself: WM_PAINT becomes DrawItem with the
// owner-draw item state, and a click reaches the parent as WM_COMMAND (control id, BN_CLICKED).
#include <QAbstractButton>
#include <string>

#include "platform/ui/Window.h"

namespace ui {

class OwnerDrawButton : public WindowOf<QAbstractButton> {
public:
    OwnerDrawButton(QWidget* parent, int controlId, u32 style = 0);
    int ControlId() const { return controlId_; }
    u32 Style() const { return style_; }
    std::string WindowText() const;
    void SetWindowText(const std::string& text);

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;

protected:
    // Paints the button; itemState carries ODS_SELECTED, ODS_DISABLED and ODS_FOCUS.
    virtual void DrawItem(Dc* dc, const RECT& rect, u32 itemState, u32 itemAction) = 0;
    // The click as the button itself sees it (a reflected BN_CLICKED), before the parent.
    virtual void OnClicked() {}
    void focusInEvent(QFocusEvent* e) override;
    void focusOutEvent(QFocusEvent* e) override;

private:
    int controlId_;
    u32 style_;
    u32 pendingAction_ = ODA_DRAWENTIRE;
};

}  // namespace ui
