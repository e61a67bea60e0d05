#include "app/pages/SelDataLostPartitionWnd.h"

#include <QDir>
#include <QPainter>
#include <QSignalBlocker>
#include <QStandardPaths>
#include <cstdio>
#include <iterator>

#include "core/Shell.h"
#include "core/Strings.h"
#include "app/pages/Tip3StepWnd.h"
#include "browser/views/ScrollBar.h"
#include "app/pages/WizardArt.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "devices/FileSystemCode.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"
#include "plugins/Plugins.h"

namespace UiCtrl {
namespace {
// The title starts over the tiles' icons.
constexpr int kTitleLeft = 62;
constexpr int kTitleHeight = 40;
// The title strip's drawing: the title in the top band, a faint rule level with the refresh
// button's middle from the title to short of the button, and while the disks are looked for the
// spinner and the wait text on the rule.
constexpr int kTitleBand = 20;
constexpr COLORREF kTitleColour = 0x638205;
constexpr int kTitleFontHeight = 16;
constexpr int kTitleFontWeight = 100;
constexpr int kRefreshFromRight = 70;
constexpr int kRefreshSize = 24;
constexpr COLORREF kRuleColour = 0xF2F2F2;
constexpr int kRuleY = 12;
constexpr int kRuleAfterTitle = 60;
constexpr int kRuleEarliest = 280;
constexpr int kRuleBeforeRefresh = 40;
const RECT kSpinnerRect = ui::MakeRect(230, 2, 241, 13);
constexpr int kSpinnerBitmap = 229;  // one bitmap a frame, where the resources have them
constexpr int kWaitTextLeft = 312;
// The white kept round the wait text, so the rule stops short of it.
constexpr int kWaitTextPad = 4;
constexpr u32 kStatsRefresh = 8456;
constexpr u32 kStatsScanPlace = 12290;
constexpr int CMD_BACK = 201;
constexpr int CMD_START_SCAN = 202;
// The system drive's mount point stands in for its letter.
const char* const kSystemMount = "/";

std::string Localized(const char* key) { return UiResources::Instance().GetString(key); }

void Log(int line) { WriteRunToLog("UiCtrl::SelDataLostPartitionWnd::TimerProc", line); }
}  // namespace

// ---- tile ----

namespace {
// Icon and selected icon of each kind, by the kind's number.
constexpr int kKindBitmaps[][2] = {{226, 283}, {254, 286}, {287, 288}, {253, 285}, {252, 284}, {250, 282}};
constexpr int kIconKinds = static_cast<int>(std::size(kKindBitmaps));
// Offsets within a row: the frame stops short of the right end, where the scroll bar goes.
constexpr int kFrameInsetRight = 20;
constexpr int kIconLeft = 5, kIconTop = 2, kIconSize = 30;
constexpr int kMarkFromRight = 70, kMarkWidth = 30, kMarkTop = 5;
constexpr int kTextTop = 5;
constexpr int kText1Left = 40, kText2Left = 290, kText3Left = 490, kText3Right = 690;
constexpr int kTextGap = 10;  // a text may run up to the next one's start, less this
constexpr int kTileFontHeight = 15, kTileFontWeight = 500;
constexpr int kFolderFontHeight = 16, kFolderFontWeight = 600;
}  // namespace

RECT VolumeItem::RowRect(int id) { return ui::MakeRect(kLeft, kRowHeight * id + 1, kRight, kRowHeight * id + kRowHeight + 1); }

int VolumeItem::IconBitmap(int kind, bool selected) {
    if (kind < 0 || kind >= kIconKinds) return 0;
    return kKindBitmaps[kind][selected ? 1 : 0];
}

int VolumeItem::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    const RECT& r = rect_;
    const RECT frame = ui::MakeRect(r.left, r.top, r.right - kFrameInsetRight, r.bottom);
    const RECT inner = ui::MakeRect(r.left + 1, r.top + 1, r.right - kFrameInsetRight - 1, r.bottom - 1);
    // A chosen or pressed row is framed; it and a hovered one are filled.
    const bool framed = state_ == kStatePressed || selected;
    if (framed || state_ == kStateHover) dc->FillRect(inner, kFillColour);
    if (framed) dc->FrameRect(frame, kFrameColour);
    UiResources& res = UiResources::Instance();
    if (PictureHandle icon = res.LoadImageFromResource(kResTypeBitmap, IconBitmap(iconKind, selected)))
        res.DrawImage(dc, icon, r.left + kIconLeft, r.top + kIconTop, r.left + kIconLeft + kIconSize, r.top + kIconTop + kIconSize, 0xFFFFFF);
    if (selected)
        if (PictureHandle mark = res.LoadImageFromResource(kResTypeBitmap, kSelectedMark))
            res.DrawImage(dc, mark, r.right - kMarkFromRight, r.top + kMarkTop, r.right - kMarkFromRight + kMarkWidth, r.bottom, 0xFFFFFF);
    const bool folder = iconKind == art::kIconDocuments || iconKind == art::kIconDesktop;
    dc->SetFont(*res.GetFont(folder ? kFolderFontHeight : kTileFontHeight, folder ? kFolderFontWeight : kTileFontWeight, false));
    dc->SetTextColor(0x000000);
    const u32 flags = DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS;
    // Each text may use the room up to the next one: a long name or a file system's name whole
    // rather than shortened.
    dc->DrawText(text1, ui::MakeRect(r.left + kText1Left, r.top + kTextTop, r.left + kText2Left - kTextGap, r.bottom), flags);
    dc->DrawText(text2, ui::MakeRect(r.left + kText2Left, r.top + kTextTop, r.left + kText3Left - kTextGap, r.bottom), flags);
    dc->DrawText(text3, ui::MakeRect(r.left + kText3Left, r.top + kTextTop, r.left + kText3Right, r.bottom), flags);
    return 1;
}

int VolumeItem::OnMouseLBtnDown(WPARAM, LPARAM) {
    if (page) SendMessage(page, WM_UI_VOLUME_CLICKED, reinterpret_cast<WPARAM>(this), reinterpret_cast<LPARAM>(owner_));
    return 1;
}

int VolumeItem::OnDblClick(WPARAM wParam, LPARAM lParam) {
    OnMouseLBtnDown(wParam, lParam);
    if (page) PostMessage(page, WM_COMMAND, CMD_START_SCAN, 0);
    return 1;
}

// ---- container ----

PartitionContailerWnd::PartitionContailerWnd() : UiSdkWndBase("PartitionContailerWnd", false, false, 8) {}

int PartitionContailerWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    if (!Widget()) {
        UiSdkWndBase::Create(parent, instance, rect, style);
        scrollBar_ = new FileSelCtrl::CFileSelScrollBar(Qt::Vertical, Widget());
        scrollBar_->setSingleStep(VolumeItem::kRowHeight);
        scrollBar_->setPageStep(VolumeItem::kRowHeight);
        scrollBar_->hide();
        QObject::connect(scrollBar_, &QScrollBar::valueChanged, Widget(), [this](int value) {
            // The pointer works the bar: no row is under it.
            if (pointerInside_) {
                pointerInside_ = false;
                OnMouseLeave(0, 0);
            }
            SetScrollOffset(value);
        });
    }
    return OnSize(0, 0);
}

VolumeItem* PartitionContailerWnd::AddTile(std::unique_ptr<VolumeItem> tile) {
    VolumeItem* raw = tile.get();
    const int id = static_cast<int>(tiles_.size());
    const RECT r = VolumeItem::RowRect(id);
    raw->Setup(GetHwnd(), id, 0, r.left, r.top, r.right, r.bottom);
    items_[id] = std::move(tile);
    tiles_.push_back(raw);
    Layout();
    return raw;
}

void PartitionContailerWnd::Clear() {
    // The tile under the pointer is let go while it still exists.
    OnMouseLeave(0, 0);
    tiles_.clear();
    items_.clear();
    Layout();
}

void PartitionContailerWnd::Layout() {
    const RECT c = ClientRect();
    const int rowHeight = VolumeItem::kRowHeight;
    contentHeight_ = std::max<int>(c.Height(), (TileCount() + 1) * rowHeight);
    scroll_ = 0;
    if (scrollBar_) {
        const QSignalBlocker quiet(scrollBar_);
        scrollBar_->setRange(0, std::max(0, contentHeight_ - c.Height()));
        scrollBar_->setValue(0);
        const int width = scrollBar_->sizeHint().width();
        scrollBar_->setGeometry(c.right - width, 0, width, c.Height());
        scrollBar_->setVisible(NeedsScrollBar());
    }
    const int bufferHeight = std::max<int>(contentHeight_, c.Height() + rowHeight);
    if (c.Width() > 0 && (content_.width() != c.Width() || content_.height() != bufferHeight))
        content_ = QImage(c.Width(), bufferHeight, QImage::Format_ARGB32_Premultiplied);
    Invalidate();
}

bool PartitionContailerWnd::NeedsScrollBar() const {
    return contentHeight_ > ClientRect().Height() && TileCount() >= kMinTilesForScrollBar;
}

void PartitionContailerWnd::SetScrollOffset(int offset) {
    const int most = std::max(0, contentHeight_ - ClientRect().Height());
    const int clamped = std::clamp(offset, 0, most);
    if (scrollBar_ && scrollBar_->value() != clamped) {
        const QSignalBlocker quiet(scrollBar_);
        scrollBar_->setValue(clamped);
    }
    if (clamped == scroll_) return;
    scroll_ = clamped;
    FollowPointer();
    Invalidate();
}

void PartitionContailerWnd::FollowPointer() {
    if (!pointerInside_) return;
    UiSdkWndBase::WndProc(WM_MOUSEMOVE, 0, MAKELPARAM(pointer_.x, pointer_.y + scroll_));
}

void PartitionContailerWnd::OnVScroll(int request, int thumbPosition) {
    if (!NeedsScrollBar()) return;
    int position = scroll_;
    switch (request) {
    case SB_LINEUP:
    case SB_PAGEUP: position -= VolumeItem::kRowHeight; break;
    case SB_LINEDOWN:
    case SB_PAGEDOWN: position += VolumeItem::kRowHeight; break;
    case SB_THUMBTRACK: position = thumbPosition; break;
    default: return;
    }
    SetScrollOffset(position);
}

int PartitionContailerWnd::OnMouseWheel(WPARAM wParam, LPARAM lParam) {
    // The wheel turns where the pointer stands.
    pointerInside_ = true;
    pointer_ = POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
    if (contentHeight_ <= ClientRect().Height()) return 1;
    const int delta = static_cast<i16>(HIWORD(wParam));
    PostMessage(GetHwnd(), WM_VSCROLL, delta < 0 ? SB_LINEDOWN : SB_LINEUP, 0);
    return 1;
}

int PartitionContailerWnd::OnSize(WPARAM wParam, LPARAM lParam) {
    const int r = UiSdkWndBase::OnSize(wParam, lParam);
    Layout();
    return r;
}

int PartitionContailerWnd::OnPaint(WPARAM, LPARAM) {
    auto* core = dynamic_cast<ui::WindowCore*>(Widget());
    ui::Dc* screen = core ? core->PaintDc() : nullptr;
    if (!screen || content_.isNull()) return 1;
    const RECT c = ClientRect();
    {
        QPainter p(&content_);
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setRenderHint(QPainter::TextAntialiasing, true);
        ui::Dc dc(&p);
        dc.FillRect(ui::MakeRect(0, 0, content_.width(), content_.height()), 0xFFFFFF);
        for (auto& [id, item] : items_) item->Draw(&dc);
    }
    screen->Painter()->drawImage(QPoint(1, 0), content_, QRect(0, scroll_, c.Width() - 1, c.Height()));
    return 1;
}

LRESULT PartitionContailerWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK: {
        // The tiles keep their content coordinates: the pointer is moved by the scroll offset.
        const LPARAM shifted = MAKELPARAM(GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam) + scroll_);
        if (message == WM_MOUSEMOVE && Widget()) Widget()->setFocus();
        pointerInside_ = true;
        pointer_ = POINT{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
        if (message == WM_LBUTTONDBLCLK) {
            if (auto* tile = dynamic_cast<VolumeItem*>(HitTestItems(items_, GET_X_LPARAM(shifted), GET_Y_LPARAM(shifted)))) {
                tile->SetState(kStatePressed);
                tile->OnDblClick(wParam, shifted);
                Invalidate();
            }
            return 0;
        }
        return UiSdkWndBase::WndProc(message, wParam, shifted);
    }
    case WM_VSCROLL:
        OnVScroll(LOWORD(wParam), static_cast<i16>(HIWORD(wParam)));
        return 0;
    case WM_MOUSELEAVE:
        pointerInside_ = false;
        return UiSdkWndBase::WndProc(message, wParam, lParam);
    default:
        return UiSdkWndBase::WndProc(message, wParam, lParam);
    }
}

int PartitionContailerWnd::DrawBorder(ui::Dc*) { return 0; }

int PartitionContailerWnd::DrawBackground(ui::Dc*) { return 0; }

// ---- title strip ----

TitleItemWnd::TitleItemWnd() : UiSdkWndBase("SelHardDiskWnd", true, false, 0) {}

int TitleItemWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    LoadSkinItems(items_, "TitleItem", GetHwnd());
    visible = true;
    return 0;
}

int TitleItemWnd::OnSize(WPARAM wParam, LPARAM lParam) {
    const int r = UiSdkWndBase::OnSize(wParam, lParam);
    if (UiItem* refresh = GetItem(kRefreshItem)) refresh->SetRect(RefreshRect(ClientRect()));
    return r;
}

RECT TitleItemWnd::RefreshRect(const RECT& client) {
    const int left = client.right - kRefreshFromRight;
    return ui::MakeRect(left, client.top, left + kRefreshSize, client.top + kRefreshSize);
}

void TitleItemWnd::SetKind(int k, int count) {
    kind = k;
    name = k == 1 ? Localized("HardDiskDriver") : (k == 2 ? Localized("LostDiskDriver") : std::string());
    if (UiItem* refresh = GetItem(kRefreshItem)) refresh->SetVisible(k == 1);
    FormatTitle(count);
}

void TitleItemWnd::FormatTitle(int count) {
    if (kind == 0) {
        title = name;
    } else {
        char buf[512];
        std::snprintf(buf, sizeof buf, "%s (%d)", name.c_str(), count);
        title = buf;
    }
    Invalidate();
}

int TitleItemWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    return 0;
}

void TitleItemWnd::SetBusy(bool on) {
    busy = on;
    if (UiItem* refresh = GetItem(kRefreshItem)) {
        refresh->SetVisible(!on && kind == 1);
        refresh->Enable(!on);
    }
    Invalidate();
}

LRESULT TitleItemWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kRefreshItem) {
        SetBusy(true);
        if (page) PostMessage(page, WM_COMMAND, SelDataLostPartitionWnd::kCmdRefresh, 0);
        return 0;
    }
    if (message == WM_LBUTTONDOWN && !HitTestItems(items_, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)) && page) {
        PostMessage(page, WM_UI_TOGGLE_PAGE, static_cast<WPARAM>(kind), 0);
        return 0;
    }
    return UiSdkWndBase::WndProc(message, wParam, lParam);
}

int TitleItemWnd::DrawBorder(ui::Dc* dc) {
    dc->FillRect(ClientRect(), 0xFFFFFF);
    return 0;
}

int TitleItemWnd::DrawBackground(ui::Dc* dc) {
    UiResources& res = UiResources::Instance();
    const RECT c = ClientRect();
    dc->SetFont(*res.GetFont(kTitleFontHeight, kTitleFontWeight, false));
    dc->SetTextColor(kTitleColour);
    const RECT titleRect = ui::MakeRect(c.left + kTitleLeft, c.top, c.right, c.top + kTitleBand);
    constexpr u32 kLine = DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS;
    RECT drawn = titleRect;
    dc->DrawText(title, drawn, kLine);
    RECT measured = titleRect;
    dc->DrawText(title, measured, kLine | DT_CALCRECT);
    const int titleRight = std::min(measured.right, titleRect.right);
    if (kind == 1) {
        const RECT button = RefreshRect(c);
        const int from = std::max(titleRight + kRuleAfterTitle, kRuleEarliest) - kRuleAfterTitle;
        const int to = button.left - kRuleBeforeRefresh;
        if (to > from) dc->FillRect(ui::MakeRect(from, c.top + kRuleY, to, c.top + kRuleY + 1), kRuleColour);
    }
    if (busy) {
        const RECT spin = ui::MakeRect(c.left + kSpinnerRect.left, c.top + kSpinnerRect.top, c.left + kSpinnerRect.right,
                                       c.top + kSpinnerRect.bottom);
        dc->FillRect(spin, 0xFFFFFF);
        if (PictureHandle p = res.LoadImageFromResource(kResTypeBitmap, kSpinnerBitmap + frame))
            res.DrawImage(dc, p, spin.left, spin.top, spin.right, spin.bottom, 0);
        else
            art::DrawSpinner(dc, spin, frame);
        const std::string wait = Localized("PlsWaitEnum");
        RECT waitRect = ui::MakeRect(c.left + kWaitTextLeft, c.top, c.right, c.bottom);
        constexpr u32 kWaitFlags = DT_LEFT | DT_SINGLELINE | DT_END_ELLIPSIS;
        RECT waitInk = waitRect;
        dc->DrawText(wait, waitInk, kWaitFlags | DT_CALCRECT);
        dc->FillRect(ui::MakeRect(waitInk.left - kWaitTextPad, waitInk.top, std::min(waitInk.right, waitRect.right) + kWaitTextPad,
                                  waitInk.bottom),
                     0xFFFFFF);
        dc->DrawText(wait, waitRect, kWaitFlags);
    }
    return 0;
}

void SelHardDiskWnd::Place(const RECT& r) {
    QWidget* t = titleStrip.Widget();
    QWidget* k = container.Widget();
    if (!t || !k) return;
    if (r.Height() <= 0) {
        t->hide();
        k->hide();
        return;
    }
    titleStrip.visible = true;
    t->setGeometry(r.left, r.top, r.Width(), kTitleHeight);
    t->show();
    k->setGeometry(r.left, r.top + kTitleHeight, r.Width(), std::max(0, r.Height() - kTitleHeight));
    k->show();
    container.SetScrollOffset(0);
}

// ---- page ----

SelDataLostPartitionWnd::SelDataLostPartitionWnd() : UiSdkWndBase("DataLostPartition", false, false, 0) {}

SelDataLostPartitionWnd::~SelDataLostPartitionWnd() = default;

int SelDataLostPartitionWnd::Create(HWND parent, void* instance, RECT rect, u32 style) {
    UiSdkWndBase::Create(parent, instance, rect, style);
    LoadSkinItems(items_, "DataLostPartition", GetHwnd());
    EnableScan(false);
    Tip3StepWnd::SetPlacePage(GetHwnd());
    for (SelHardDiskWnd& g : groups_) {
        g.titleStrip.Create(GetHwnd(), instance, ui::MakeRect(0, 0, 1, 1), WS_CHILD);
        g.titleStrip.page = GetHwnd();
        g.container.Create(GetHwnd(), instance, ui::MakeRect(0, 0, 1, 1), WS_CHILD);
        if (QWidget* w = g.titleStrip.Widget()) w->hide();
        if (QWidget* w = g.container.Widget()) w->hide();
    }
    groups_[kGroupFolders].titleStrip.SetKind(0, 0);
    groups_[kGroupDisks].Place(ui::MakeRect(4, 30, 900, 280));
    groups_[kGroupDisks].titleStrip.SetKind(1, 0);
    groups_[kGroupLost].Place(ui::MakeRect(4, 280, 900, 430));
    groups_[kGroupLost].titleStrip.SetKind(2, 0);
    RegisterAllPlugins();
    EnumCollectPartition::Instance();
    StartTimer();
    return 0;
}

void SelDataLostPartitionWnd::StartTimer() {
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) timerRunning_ = core->SetTimer(kTimerId, kTimerMs);
}

void SelDataLostPartitionWnd::EnableScan(bool enable) {
    Tip3StepWnd::SetScanEnabled(enable);
    if (UiItem* scan = GetItem(kItemScan); scan && scan->IsEnabled() != enable) {
        scan->Enable(enable);
        Invalidate();
    }
}

void SelDataLostPartitionWnd::ShowPage() {
    for (SelHardDiskWnd& g : groups_) g.titleStrip.visible = true;
    const int width = ClientRect().Width() > 0 ? ClientRect().Width() : 896;
    groups_[kGroupDisks].Place(ui::MakeRect(0, 30, width, 265));
    groups_[kGroupLost].Place(ui::MakeRect(0, 265, width, 375));
    if (systemTile_) {
        if (selected_ && selected_ != systemTile_) selected_->selected = false;
        selected_ = systemTile_;
        selected_->selected = true;
        currentGroup_ = kGroupDisks;
    }
    EnableScan(selected_ != nullptr);
}

int SelDataLostPartitionWnd::ApplyLanguage() {
    for (auto& [id, item] : items_) item->ApplyLanguage();
    for (SelHardDiskWnd& g : groups_) {
        g.titleStrip.ApplyLanguage();
        g.titleStrip.SetKind(g.titleStrip.kind, g.container.TileCount());
    }
    Invalidate();
    return 0;
}

std::string SelDataLostPartitionWnd::VolumeName(const VolumeRecord& record, const std::string& mountPoint) {
    const std::string label(record.label, strnlen(record.label, sizeof(record.label)));
    const std::string shown = label.empty() ? Localized("LocalDisk") : label;
    return mountPoint.empty() ? shown : shown + " (" + mountPoint + ")";
}

void SelDataLostPartitionWnd::FillFromEnumeration() {
    EnumCollectPartition& enumeration = EnumCollectPartition::Instance();
    snapshot_ = enumeration.Snapshot();
    for (VolumeRecord* record : snapshot_->volumes.Records()) {
        if (!record) continue;
        auto tile = std::make_unique<VolumeItem>();
        std::string size, mountPoint;
        float used = 0;
        GetVolumeSizeText(record, snapshot_->mounted, &size, &used, &mountPoint);
        tile->text1 = VolumeName(*record, mountPoint);
        tile->text2 = ScanFileSystemName(record->fsCode);
        tile->text3 = size;
        tile->record = record;
        tile->page = GetHwnd();
        const bool system = mountPoint == kSystemMount;
        tile->iconKind = system ? art::kIconSystem : (record->usb ? art::kIconRemovable : art::kIconOther);
        VolumeItem* added = groups_[kGroupDisks].container.AddTile(std::move(tile));
        if (system) {
            systemTile_ = added;
            if (selected_) selected_->selected = false;
            selected_ = added;
            added->selected = true;
        }
    }
    for (VolumeRecord* record : snapshot_->areas.Records()) {
        if (!record) continue;
        auto tile = std::make_unique<VolumeItem>();
        std::string size, mountPoint;
        float used = 0;
        GetVolumeSizeText(record, snapshot_->mounted, &size, &used, &mountPoint);
        const std::string label(record->label, strnlen(record->label, sizeof(record->label)));
        tile->text1 = (label.empty() ? Localized("LocalDisk") : label) + " ";
        // An unpartitioned area holds no file system the table vouches for: its record's code is
        // only a placeholder, and no name is shown for it.
        tile->text2.clear();
        tile->text3 = size;
        tile->record = record;
        tile->page = GetHwnd();
        tile->iconKind = art::kIconLost;
        groups_[kGroupLost].container.AddTile(std::move(tile));
    }
    for (SelHardDiskWnd& g : groups_) g.titleStrip.FormatTitle(g.container.TileCount());
}

void SelDataLostPartitionWnd::TimerProc() {
    EnumCollectPartition& enumeration = EnumCollectPartition::Instance();
    TitleItemWnd& strip = groups_[kGroupDisks].titleStrip;
    if (!enumeration.IsDone()) {
        strip.frame = (strip.frame + 1) % art::kSpinnerFrames;
        strip.SetBusy(true);
        return;
    }
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) core->KillTimer(kTimerId);
    timerRunning_ = false;
    strip.SetBusy(false);
    Log(__LINE__);
    FillFromEnumeration();
    currentGroup_ = kGroupDisks;
    EnableScan(selected_ != nullptr);
    Invalidate();
    strip.Invalidate();
    Log(__LINE__);
}

void SelDataLostPartitionWnd::SelectTile(PartitionContailerWnd* container, VolumeItem* tile) {
    if (!container || !tile) return;
    int group = -1;
    for (int g = 0; g < kGroupCount; ++g)
        if (&groups_[g].container == container) group = g;
    if (group < 0) return;
    if (currentGroup_ >= 0 && currentGroup_ != group) groups_[currentGroup_].container.Invalidate();
    currentGroup_ = group;
    if (selected_ && selected_ != tile) selected_->selected = false;
    selected_ = tile;
    tile->selected = true;
    container->Invalidate();
    EnableScan(true);
}

int SelDataLostPartitionWnd::DoClickScan() {
    if (!selected_ || timerRunning_ || !EnumCollectPartition::Instance().IsDone()) return -1;
    RecoveryGraph& session = RecoveryGraph::Instance();
    session.SelectVolume(0, static_cast<VolumeRecord*>(nullptr));
    VolumeItem* tile = selected_;
    if (!tile->record) return -1;
    if (!GetFirstDiskGeometry(tile->record)) {
        ShowMessageBox(GetHwnd(), Localized("NotAvalible").c_str(), nullptr, MB_ICONWARNING);
        return -2;
    }
    // The session holds the record (and through it the snapshot's devices) while it scans.
    session.SelectVolume(tile->iconKind, EnumCollectPartition::HoldEnumerated(tile->record));
    WriteLog("%s SelDataLostPartition %c:\r\n", "UiCtrl::SelDataLostPartitionWnd::DoClickScan", '*');
    StatsText(kStatsScanPlace, "*:");
    // A Linux volume has no letter to stand for it: its shown name is its name in every language.
    placeName_ = tile->text1.empty() ? Localized("UnknownDrive") : tile->text1;
    session.SetReason(currentGroup_ == kGroupLost ? 1 : 0);
    return 0;
}

void SelDataLostPartitionWnd::OnCommand(int id) {
    switch (id) {
    case kItemBack:
    case kItemScan:
        if (id == kItemScan && DoClickScan() != 0) return;
        if (QWidget* w = Widget())
            if (auto* parent = dynamic_cast<ui::WindowCore*>(w->parentWidget()))
                PostMessage(parent->Handle(), WM_COMMAND, static_cast<WPARAM>(id == kItemBack ? CMD_BACK : CMD_START_SCAN),
                            reinterpret_cast<LPARAM>(GetHwnd()));
        break;
    case kCmdRefresh:
        if (timerRunning_) return;
        EnableScan(false);
        for (SelHardDiskWnd& g : groups_) {
            g.container.Clear();
            g.titleStrip.FormatTitle(0);
        }
        currentGroup_ = -1;
        selected_ = nullptr;
        systemTile_ = nullptr;
        StatsEvent(kStatsRefresh);
        EnumCollectPartition::Instance().StartEnumeration();
        StartTimer();
        // The spinner shows at once, not only at the first tick.
        groups_[kGroupDisks].titleStrip.SetBusy(true);
        Invalidate();
        break;
    default:
        break;
    }
}

LRESULT SelDataLostPartitionWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        OnCommand(LOWORD(wParam));
        return 0;
    case WM_TIMER:
        if (wParam == kTimerId) TimerProc();
        return 0;
    case WM_UI_TOGGLE_PAGE: {
        const int g = static_cast<int>(wParam);
        if (g < 0 || g >= kGroupCount) return 0;
        SelHardDiskWnd& group = groups_[g];
        group.titleStrip.visible = !group.titleStrip.visible;
        if (QWidget* k = group.container.Widget()) k->setVisible(group.titleStrip.visible);
        return 0;
    }
    case WM_UI_VOLUME_CLICKED:
        for (SelHardDiskWnd& g : groups_)
            if (g.container.GetHwnd() == reinterpret_cast<HWND>(lParam)) SelectTile(&g.container, reinterpret_cast<VolumeItem*>(wParam));
        return 0;
    default:
        return UiSdkWndBase::WndProc(message, wParam, lParam);
    }
}

int SelDataLostPartitionWnd::DrawBackground(ui::Dc*) { return 0; }

}  // namespace UiCtrl
