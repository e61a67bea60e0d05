#pragma once
// The first wizard page: which kinds of files the user wants back. All types, or any of photos,
// music, office documents, videos and other files; next hands the choice to the scan session.
#include "app/ui/UiSdkWndBase.h"

namespace UiCtrl {

class SelFileTypeWnd : public UiSdkWndBase {
public:
    enum ItemId {
        kItemAllTypes = 100,
        kItemPhotos = 101,
        kItemMusic = 102,
        kItemDocuments = 103,
        kItemVideos = 104,
        kItemOther = 106,
        kItemNext = 200,
        kItemShareFirst = 303,
        kItemShareLast = 305,
    };
    // Category bits of the scan session's file-type mask.
    enum TypeMask : u32 { kMaskPhotos = 0x02, kMaskMusic = 0x04, kMaskVideos = 0x08, kMaskDocuments = 0x20, kMaskOther = 0x40 };
    static constexpr u32 kMaskAllTypes = kMaskPhotos | kMaskMusic | kMaskVideos | kMaskDocuments | kMaskOther;

    SelFileTypeWnd();
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    void Reset();
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    void OnCommand(int id);
    // The mask that next would hand over now.
    u32 ChosenMask() const;
    bool AllTypes() const { return allTypes_; }
    bool ChoiceMade() const { return choiceMade_; }

private:
    void DrawToggle(ui::Dc* dc, int id);

    bool allTypes_ = false;
    bool choiceMade_ = true;
};

}  // namespace UiCtrl
