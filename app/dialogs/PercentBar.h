#pragma once
// The text line and bar the transfer dialogs (recovery, saving and loading a result) draw: a
// white field in a light frame, filled from the left by the part done.
#include "platform/ui/Dc.h"
#include "platform/ui/WinDefs.h"

namespace percentbar {

constexpr RECT kTextRect = {15, 60, 432, 80};
constexpr RECT kBarRect = {15, 80, 432, 100};
constexpr COLORREF kBarColour = RGB(0x26, 0xA0, 0xDA);
constexpr COLORREF kBarFrameColour = RGB(0xB5, 0xD7, 0xEE);
constexpr COLORREF kFieldColour = RGB(0xFF, 0xFF, 0xFF);
constexpr int kPercentFull = 100;

inline void Draw(ui::Dc* dc, int percent) {
    dc->FillRect(kBarRect, kFieldColour);
    dc->FrameRect(kBarRect, kBarFrameColour);
    RECT done = kBarRect;
    done.right = kBarRect.left + percent * (kBarRect.right - kBarRect.left) / kPercentFull;
    if (done.right > done.left) dc->FillRect(done, kBarColour);
}

}  // namespace percentbar
