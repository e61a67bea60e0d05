#include "platform/ui/ButtonResources.h"

#include <QWidget>

namespace ui {

namespace {
ButtonResources& Installed() {
    static ButtonResources resources;
    return resources;
}
}  // namespace

void SetButtonResources(const ButtonResources& resources) { Installed() = resources; }

const QImage* ButtonBitmap(int id) {
    const ButtonResources& r = Installed();
    return r.bitmap && id > 0 ? r.bitmap(id) : nullptr;
}

QFont ButtonFont(const QWidget& button, int height, int weight) {
    const ButtonResources& r = Installed();
    if (r.font) return r.font(height, weight);
    QFont f = button.font();
    f.setPixelSize(height);
    f.setWeight(static_cast<QFont::Weight>(weight));
    return f;
}

}  // namespace ui
