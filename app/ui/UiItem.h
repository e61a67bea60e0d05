#pragma once
// The base of the window-less items (buttons, check buttons, links, texts, tiles) that pages
// and dialogs draw and hit-test themselves.
#include <map>
#include <memory>
#include <string>

#include "platform/ui/Dc.h"
#include "platform/ui/WinDefs.h"

class TiXmlElement;

namespace UiCtrl {

enum ItemState { kStateNormal = 0, kStateHover = 1, kStatePressed = 2, kStateDisabled = 3 };

class UiItem {
public:
    UiItem() = default;
    virtual ~UiItem() = default;
    UiItem(const UiItem&) = delete;
    UiItem& operator=(const UiItem&) = delete;

    virtual int Draw(ui::Dc* dc);
    virtual bool SetState(int state, ui::Dc* dc = nullptr);
    virtual int GetState();
    // Enabling puts the item back to normal, disabling to state 3; returns the new state.
    virtual int Enable(bool enable);
    virtual void Setup(HWND owner, int id, int type, int left, int top, int right, int bottom);
    // Each item class reads its own attributes; the base stores nothing.
    virtual bool CreateFromSkin(HWND owner, int id, const RECT& rect, const TiXmlElement* element);
    virtual int OnMouseLBtnDown(WPARAM wParam, LPARAM lParam);
    virtual int OnMouseLBtnUp(WPARAM wParam, LPARAM lParam);
    virtual int OnMouseMove(WPARAM wParam, LPARAM lParam);
    virtual void SetRect(const RECT& rect);
    virtual RECT GetRect();
    virtual void SetVisible(bool visible);
    virtual bool IsVisible();
    virtual bool SetName(const std::string& name);
    virtual const char* GetName();
    virtual bool ApplyLanguage();

    int Id() const { return id_; }
    int Type() const { return type_; }
    void SetType(int type) { type_ = type; }
    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& key) { caption_ = key; }
    HWND Owner() const { return owner_; }
    bool IsEnabled() const { return enabled_; }
    bool HitTest(int x, int y) const { return visible_ && rect_.Contains(x, y); }

protected:
    int state_ = kStateNormal;
    std::string name_;
    std::string caption_;
    int id_ = 0;
    int type_ = 0;
    RECT rect_;
    HWND owner_ = nullptr;
    bool visible_ = true;
    bool enabled_ = true;
};

// Items by command id; ascending id order is the drawing and hit-test order.
using ItemMap = std::map<int, std::unique_ptr<UiItem>>;

// The first visible item, in id order, whose rectangle holds the point.
UiItem* HitTestItems(const ItemMap& items, int x, int y);

}  // namespace UiCtrl
