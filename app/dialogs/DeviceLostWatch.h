#pragma once
// The result page tells the dialog it has open by CMD_DEVICE_LOST when the scanned device goes
// away. The program's own dialogs take the command themselves; a dialog of the system's (the
// file dialogs) gets a hidden child window that takes it and ends the dialog as cancelled.
#include <QDialog>

#include "engine/SavedResultTransfer.h"
#include "platform/ui/Window.h"

class DeviceLostWatch : public ui::WindowOf<QWidget> {
public:
    explicit DeviceLostWatch(QDialog* dialog) : ui::WindowOf<QWidget>(dialog), dialog_(dialog) { hide(); }

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_COMMAND && LOWORD(wParam) == CMD_DEVICE_LOST) {
            dialog_->reject();
            return 0;
        }
        return ui::WindowOf<QWidget>::OnMessage(message, wParam, lParam);
    }

private:
    QDialog* dialog_;
};

// Keeps a dialog's handle in the page's slot while the dialog runs.
class OpenDialogSlot {
public:
    OpenDialogSlot(HWND* slot, HWND dialog) : slot_(slot) {
        if (slot_) *slot_ = dialog;
    }
    ~OpenDialogSlot() {
        if (slot_) *slot_ = nullptr;
    }
    OpenDialogSlot(const OpenDialogSlot&) = delete;
    OpenDialogSlot& operator=(const OpenDialogSlot&) = delete;

private:
    HWND* slot_;
};
