#include "browser/views/Icons.h"

#include <QApplication>
#include <QFileInfo>
#include <QPointer>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QStyleOption>
#include <QStyle>
#include <map>

#include "browser/model/BindingNode.h"
#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"

namespace FileSelCtrl {

QIcon IconForIndex(i32 index) {
    static std::map<i32, QIcon> cache;
    auto it = cache.find(index);
    if (it != cache.end()) return it->second;
    QStyle* style = QApplication::style();
    QIcon icon;
    switch (index) {
        case kIconFolder:
            icon = style->standardIcon(QStyle::SP_DirIcon);
            break;
        case kIconDrive:
            icon = style->standardIcon(QStyle::SP_DriveHDIcon);
            break;
        default: {
            const std::string name = CFileSelIconManager::Instance().IconName(index);
            if (!name.empty()) icon = QIcon::fromTheme(QString::fromStdString(name));
            if (icon.isNull()) icon = style->standardIcon(QStyle::SP_FileIcon);
        }
    }
    cache.emplace(index, icon);
    return icon;
}

Qt::CheckState CheckStateOfImage(u32 image) {
    if (image == kImageChecked) return Qt::Checked;
    if (image == kImagePartly) return Qt::PartiallyChecked;
    return Qt::Unchecked;
}

const QImage& SkinImage(const std::string& fileName) {
    static std::map<std::string, QImage> cache;
    auto it = cache.find(fileName);
    if (it != cache.end()) return it->second;
    const CFileSelCtrlConfig& config = CFileSelCtrlConfig::Instance();
    QImage image;
    for (const std::string& folder : {config.GetResourcePath(), config.GetResourceFolder()}) {
        const QString path = QString::fromStdString(folder + "/" + fileName);
        if (QFileInfo::exists(path) && image.load(path)) break;
    }
    return cache.emplace(fileName, image).first->second;
}

QColor FromColour(u32 c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

QColor FromArgb(u32 argb) { return QColor((argb >> 16) & 0xFF, (argb >> 8) & 0xFF, argb & 0xFF, (argb >> 24) & 0xFF); }

QPixmap StripImage(const QImage& strip, int index, int width, u32 maskColour, bool useMask) {
    if (strip.isNull() || width <= 0 || (index + 1) * width > strip.width()) return {};
    QImage piece = strip.copy(index * width, 0, width, strip.height()).convertToFormat(QImage::Format_ARGB32);
    if (useMask) {
        const QRgb mask = FromColour(maskColour).rgb();
        for (int y = 0; y < piece.height(); ++y) {
            auto* line = reinterpret_cast<QRgb*>(piece.scanLine(y));
            for (int x = 0; x < piece.width(); ++x) {
                if ((line[x] & 0xFFFFFF) == (mask & 0xFFFFFF)) line[x] = 0;
            }
        }
    }
    return QPixmap::fromImage(piece);
}

}  // namespace FileSelCtrl

namespace FileSelCtrl {

namespace {

class CSkinCheckStyle : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_IndicatorItemViewItemCheck) {
            const BrowserSkin& s = Skin();
            u32 image = kImageUnchecked;
            if (option->state & State_On) image = kImageChecked;
            if (option->state & State_NoChange) image = kImagePartly;
            const QPixmap pixmap = StripImage(SkinImage(s.checkStateFile), static_cast<int>(image), s.checkStateWidth,
                                              s.checkStateMask, true);
            if (!pixmap.isNull()) {
                painter->drawPixmap(SkinCheckImageRect(option->rect).topLeft(), pixmap);
                return;
            }
        }
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
};

}  // namespace

QFont SkinFont(const FontSpec& font) {
    constexpr int kDefaultPoints = 10;
    constexpr int kBoldFrom = 600;
    QFont f(QString::fromStdString(font.face));
    f.setPointSize(font.points > 0 ? font.points : kDefaultPoints);
    f.setWeight(font.weight >= kBoldFrom ? QFont::Bold : QFont::Normal);
    return f;
}

QRect SkinCheckImageRect(const QRect& indicator) {
    const BrowserSkin& s = Skin();
    const QImage& strip = SkinImage(s.checkStateFile);
    if (strip.isNull() || s.checkStateWidth <= 0) return indicator;
    const QSize cell(s.checkStateWidth, strip.height());
    return QRect(QPoint(indicator.x() + (indicator.width() - cell.width()) / 2, indicator.y() + (indicator.height() - cell.height()) / 2), cell);
}

QStyle* SkinCheckStyle() {
    static QPointer<QStyle> style;
    if (!style) {
        style = new CSkinCheckStyle();
        style->setParent(qApp);
    }
    return style;
}

}  // namespace FileSelCtrl
