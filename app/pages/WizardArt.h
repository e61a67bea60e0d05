#pragma once
// Pictures of the wizard that are drawn rather than loaded: the spinner, the file-type symbols
// and the state marks of the progress strip. A picture of the program's
// resources with the same id takes precedence where one exists.
#include "platform/ui/Dc.h"

namespace UiCtrl::art {

constexpr int kSpinnerFrames = 12;
constexpr COLORREF kAccent = 0x5F7D05;   // the green of the program's accent buttons
constexpr COLORREF kBarDone = 0x5FCCFF;  // progress bar, done part
constexpr COLORREF kFrameGrey = 0xD8D8D8;
constexpr COLORREF kWarningText = 0x3030C0;  // the red of texts that tell of a loss

// Twelve spokes, the one of `frame` darkest.
void DrawSpinner(ui::Dc* dc, const RECT& r, int frame, int frames = kSpinnerFrames);

enum class TypeSymbol { AllTypes, Photo, Music, Document, Video, Other };
void DrawTypeSymbol(ui::Dc* dc, const RECT& r, TypeSymbol symbol, bool active);

// Icon kinds of the place page's tiles (their pictures are the program's bitmaps).
enum VolumeIconKind { kIconOther = 0, kIconSystem = 1, kIconRemovable = 2, kIconLost = 3, kIconDocuments = 4, kIconDesktop = 5 };

void DrawDoneMark(ui::Dc* dc, const RECT& r);
void DrawPauseMark(ui::Dc* dc, const RECT& r);
// A grey ring round a square: a scan that was stopped before its end.
void DrawStoppedMark(ui::Dc* dc, const RECT& r);
// A round check box: checked, or an empty ring.
void DrawCheckMark(ui::Dc* dc, int x, int y, bool checked);

}  // namespace UiCtrl::art
