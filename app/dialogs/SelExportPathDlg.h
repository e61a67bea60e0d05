#pragma once
// Asks where recovered files go: the folder tree, a warning line not to recover onto the disk
// being scanned, and a check of the chosen folder before the dialog closes.
#include <string>

#include "app/dialogs/ExportTarget.h"
#include "app/ui/HomeBaseDialog.h"

class CShellTreeCtrl;

class SelExportPathDlg : public HomeBaseDialog {
public:
    enum ItemId { kItemCancel = 500, kItemOk = 501 };
    static constexpr int kWarningPicture = 269;

    explicit SelExportPathDlg(HWND owner);
    // The chosen folder once DoModal answered IDOK.
    const std::string& GetPath() const { return path_; }
    // Checks the chosen folder; a refusal shows its message and keeps the dialog open.
    ExportTargetCheck Validate();
    // Tests pick a folder and read the refusal without a message box.
    void SetPath(const std::string& path) { path_ = path; }
    void SetQuiet(bool quiet) { quiet_ = quiet; }
    CShellTreeCtrl* Tree() const { return tree_; }

    bool OnCommand(WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

protected:
    bool OnInitDialog() override;

private:
    std::string path_;
    CShellTreeCtrl* tree_ = nullptr;  // owned by the dialog's widget tree
    bool quiet_ = false;
};

// The folder the last recovery went to in this run; empty before the first.
std::string& LastExportDestination();
