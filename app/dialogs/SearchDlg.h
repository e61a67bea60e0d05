#pragma once
// The small skinned dialog in which the user types the name to search the found files for: a
// caption with its close item, a line telling what to type, the edit in its grey frame, and the
// Search and Cancel buttons. Search stays disabled while the edit is empty.
#include <string>

#include "app/ui/HomeBaseDialog.h"
#include "browser/views/SearchDlg.h"

class QLineEdit;
class QTimer;

class SearchDlg : public HomeBaseDialog {
public:
    enum ItemId { kItemSearch = 100, kItemCancel = 101 };
    // After Search the dialog stays this long, its edit disabled, before it ends.
    static constexpr int kEndAfterSearchMs = 500;

    explicit SearchDlg(FileSelCtrl::SearchHandler search);

    QLineEdit* Edit() const { return edit_; }
    // Whether a search was handed on and the dialog waits to end.
    bool Searching() const;
    // How long it waits (kEndAfterSearchMs); a test holds the wait open while it looks.
    int EndDelay() const;
    void SetEndDelay(int ms);
    const std::string& Text() const { return text_; }

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

protected:
    bool OnInitDialog() override;

private:
    void OnTextChanged();

    FileSelCtrl::SearchHandler search_;
    std::string text_;
    QLineEdit* edit_ = nullptr;  // owned by the dialog's widget tree
    QTimer* endTimer_ = nullptr;  // likewise
};

// Makes the browser's search command open this dialog.
void InstallSearchDialog();
