#pragma once
// A push button painted from four bitmaps (normal, hover, pressed, disabled) with its caption
// centred on top; it takes the size of its normal bitmap.
#include <QImage>
#include <memory>
#include <string>

#include "platform/ui/OwnerDrawButton.h"

// One bitmap of the button.
class CMaskedBitmap {
public:
    bool LoadBitmap(int resourceId);
    const QImage& Image() const { return image_; }
    bool IsLoaded() const { return !image_.isNull(); }
    QSize Size() const { return image_.size(); }

private:
    QImage image_;
};

class CButtonPlus : public ui::OwnerDrawButton {
public:
    static constexpr u32 kInitFailed = 0x401;
    // The parent's controls over which the hand cursor shows.
    static constexpr int kHandControlA = 1229;
    static constexpr int kHandControlB = 1230;

    CButtonPlus(QWidget* parent, int controlId);
    CButtonPlus(QWidget* parent, int controlId, int normal, int hover, int pushed, int disabled);

    u32 Init();
    bool LoadBitmaps(int normal, int hover, int pushed, int disabled);
    // Places the button; its size is always that of the normal bitmap.
    bool Create(const std::string& caption, const RECT& rect);
    bool IsHover() const { return hover_ != 0; }
    // The size of the normal bitmap; empty while none is loaded.
    QSize NormalSize() const { return normal_ && normal_->IsLoaded() ? normal_->Size() : QSize(); }
    // The width of the caption in the font it is painted with, for a button without bitmaps that
    // must be sized to its caption.
    int CaptionWidth() const;
    // Which bitmap the last paint used: 0 normal, 1 hover, 2 pressed, 3 disabled.
    int LastPainted() const { return lastPainted_; }

    LRESULT OnMessage(u32 message, WPARAM wParam, LPARAM lParam) override;

protected:
    void DrawItem(ui::Dc* dc, const RECT& rect, u32 itemState, u32 itemAction) override;

private:
    void UpdateCursor(const QPoint& local);

    u32 initResult_ = kInitFailed;
    std::unique_ptr<CMaskedBitmap> normal_, hover2_, pushed_, disabled_;
    i32 hover_ = 0;
    i32 tracking_ = 0;
    int lastPainted_ = 0;
};
