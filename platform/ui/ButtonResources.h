#pragma once
// Where the owner-drawn buttons take their bitmaps (by the program's resource id) and their fonts
// from: the program's resources, installed by the program. Until they are, a button finds no
// bitmap and draws its text in its own font. UI thread only.
#include <QFont>
#include <QImage>

class QWidget;

namespace ui {

struct ButtonResources {
    const QImage* (*bitmap)(int id) = nullptr;
    QFont (*font)(int height, int weight) = nullptr;
};

void SetButtonResources(const ButtonResources& resources);
// Null when nothing is installed or the id names no bitmap.
const QImage* ButtonBitmap(int id);
QFont ButtonFont(const QWidget& button, int height, int weight);

}  // namespace ui
