#pragma once
// The About dialog: the banner, the product version compiled into the program, the homepage and
// the copyright line.
#include <string>

#include "app/ui/HomeBaseDialog.h"
#include "app/ui/UiResources.h"

class AboutDlg : public HomeBaseDialog {
public:
    static constexpr int kBannerImage = 320;

    explicit AboutDlg(HWND owner);
    int DrawBackground(ui::Dc* dc) override;
    int DrawContent(ui::Dc* dc) override;

    const std::string& Version() const { return version_; }
    const std::string& Copyright() const { return copyright_; }

protected:
    bool OnInitDialog() override;

private:
    std::string version_;
    std::string copyright_;
    PictureHandle banner_ = nullptr;
};

// The path of the running program file.
std::string ProgramFilePath();
