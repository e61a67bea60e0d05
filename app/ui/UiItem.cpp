#include "app/ui/UiItem.h"

namespace UiCtrl {

int UiItem::Draw(ui::Dc*) { return 0; }

bool UiItem::SetState(int state, ui::Dc*) {
    state_ = state;
    return false;
}

int UiItem::GetState() { return state_; }

int UiItem::Enable(bool enable) {
    enabled_ = enable;
    state_ = enable ? kStateNormal : kStateDisabled;
    return state_;
}

void UiItem::Setup(HWND owner, int id, int type, int left, int top, int right, int bottom) {
    owner_ = owner;
    id_ = id;
    type_ = type;
    rect_ = ui::MakeRect(left, top, right, bottom);
}

bool UiItem::CreateFromSkin(HWND, int, const RECT&, const TiXmlElement*) { return false; }
int UiItem::OnMouseLBtnDown(WPARAM, LPARAM) { return 0; }
int UiItem::OnMouseLBtnUp(WPARAM, LPARAM) { return 0; }
int UiItem::OnMouseMove(WPARAM, LPARAM) { return 0; }
void UiItem::SetRect(const RECT& rect) { rect_ = rect; }
RECT UiItem::GetRect() { return rect_; }
void UiItem::SetVisible(bool visible) { visible_ = visible; }
bool UiItem::IsVisible() { return visible_; }

bool UiItem::SetName(const std::string& name) {
    name_ = name;
    return true;
}

const char* UiItem::GetName() { return name_.c_str(); }
bool UiItem::ApplyLanguage() { return false; }

UiItem* HitTestItems(const ItemMap& items, int x, int y) {
    for (const auto& [id, item] : items)
        if (item && item->HitTest(x, y)) return item.get();
    return nullptr;
}

}  // namespace UiCtrl
