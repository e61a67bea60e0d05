#pragma once
// Icons and skin images of the browser (UI thread).
#include <QFont>
#include <QIcon>
#include <QImage>
#include <QStyle>
#include <string>

#include "platform/Types.h"

namespace FileSelCtrl {

struct FontSpec;

// The icon of an icon index of CFileSelIconManager.
QIcon IconForIndex(i32 index);
Qt::CheckState CheckStateOfImage(u32 image);
// A skin image from the language folder, else from the resource folder; null when neither has
// it. Loaded once per name.
const QImage& SkinImage(const std::string& fileName);
// One image of a strip of equal-width images, the mask colour made transparent.
QPixmap StripImage(const QImage& strip, int index, int width, u32 maskColour, bool useMask);
QColor FromColour(u32 colourref);
// A font of the configuration file's face, points and weight.
QFont SkinFont(const FontSpec& font);
// The style of the trees and lists: check boxes drawn from the skin's check-state strip.
QStyle* SkinCheckStyle();
// Where the skin's check image of a check box is drawn: its cell centred on the style's
// indicator rectangle, which it may overhang.
QRect SkinCheckImageRect(const QRect& indicator);
QColor FromArgb(u32 argb);

}  // namespace FileSelCtrl
