#include "app/pages/SelDataLostPartitionWnd.h"

#include <QDir>
#include <QStandardPaths>
#include <cstdio>

#include "core/Shell.h"
#include "core/Strings.h"
#include "app/pages/Tip3StepWnd.h"
#include "app/pages/WizardArt.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "devices/FileSystemCode.h"
#include "engine/RecoveryGraph.h"
#include "platform/Stats.h"
#include "plugins/Plugins.h"
#include "platform/Sync.h"

namespace UiCtrl {
namespace {
constexpr int kTileGap = 10;
constexpr int kTileMargin = 20;
constexpr int kTitleHeight = 40;
constexpr int kScrollBarWidth = 6;
// Ticks after which a finished flag with unchanged lists is believed.
constexpr int kStaleTicks = 10;
constexpr u32 kStatsRefresh = 8456;
constexpr u32 kStatsScanPlace = 12290;
constexpr int CMD_BACK = 201;
constexpr int CMD_START_SCAN = 202;
// The system drive's mount point stands in for its letter.
const char* const kSystemMount = "/";

std::string Localized(const char* key) { return UiResources::Instance().GetString(key); }

void Log(int line) {
    WriteLog("P[%04d]:T[%04d] run to %s %d\r\n", static_cast<int>(CurrentProcessId()), static_cast<int>(CurrentThreadId()),
             "UiCtrl::SelDataLostPartitionWnd::TimerProc", line);
}
}  // namespace

// ---- tile ----

int VolumeItem::Draw(ui::Dc* dc) {
    if (!visible_ || !dc) return 0;
    const bool hover = state_ == kStateHover;
    dc->FillRect(rect_, selected ? 0xF3FAEE : (hover ? 0xFAFAFA : 0xFFFFFF));
    dc->FrameRect(rect_, selected ? art::kAccent : (hover ? 0xB8B8B8 : art::kFrameGrey));
    art::DrawVolumeIcon(dc, ui::MakeRect(rect_.left + 10, rect_.top + 12, rect_.left + 50, rect_.top + 52), iconKind, selected);
    UiResources& res = UiResources::Instance();
    const int textLeft = rect_.left + 58;
    dc->SetFont(*res.GetFont(15, 700, false));
    dc->SetTextColor(0x333333);
    dc->DrawText(text1, ui::MakeRect(textLeft, rect_.top + 8, rect_.right - 8, rect_.top + 28), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    dc->SetFont(*res.GetFont(14, 400, false));
    dc->SetTextColor(0x686868);
    dc->DrawText(text2, ui::MakeRect(textLeft, rect_.top + 28, rect_.right - 8, rect_.top + 46), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    dc->DrawText(text3, ui::MakeRect(textLeft, rect_.top + 44, rect_.right - 8, rect_.top + 62), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
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

VolumeItem* PartitionContailerWnd::AddTile(std::unique_ptr<VolumeItem> tile) {
    VolumeItem* raw = tile.get();
    const int id = 1000 + static_cast<int>(tiles_.size());
    raw->Setup(GetHwnd(), id, 0, 0, 0, VolumeItem::kWidth, VolumeItem::kHeight);
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
    scroll_ = 0;
    contentHeight_ = 0;
    Invalidate();
}

void PartitionContailerWnd::Layout() {
    const int width = ClientRect().Width() > 0 ? ClientRect().Width() : 896;
    const int perRow = std::max(1, (width - 2 * kTileMargin + kTileGap) / (VolumeItem::kWidth + kTileGap));
    for (size_t i = 0; i < tiles_.size(); ++i) {
        const int row = static_cast<int>(i) / perRow, col = static_cast<int>(i) % perRow;
        const int x = kTileMargin + col * (VolumeItem::kWidth + kTileGap);
        const int y = 3 + row * (VolumeItem::kHeight + kTileGap) - scroll_;
        tiles_[i]->SetRect(ui::MakeRect(x, y, x + VolumeItem::kWidth, y + VolumeItem::kHeight));
    }
    const int rows = tiles_.empty() ? 0 : (static_cast<int>(tiles_.size()) + perRow - 1) / perRow;
    contentHeight_ = rows == 0 ? 0 : 3 + rows * VolumeItem::kHeight + (rows - 1) * kTileGap;
    Invalidate();
}

bool PartitionContailerWnd::NeedsScrollBar() const { return contentHeight_ > ClientRect().Height(); }

void PartitionContailerWnd::SetScrollOffset(int offset) {
    const int most = std::max(0, contentHeight_ - ClientRect().Height());
    scroll_ = std::clamp(offset, 0, most);
    Layout();
}

int PartitionContailerWnd::OnMouseWheel(WPARAM wParam, LPARAM) {
    const int delta = static_cast<i16>(HIWORD(wParam));
    SetScrollOffset(scroll_ - delta / 120 * (VolumeItem::kHeight / 2));
    return 1;
}

int PartitionContailerWnd::OnSize(WPARAM wParam, LPARAM lParam) {
    const int r = UiSdkWndBase::OnSize(wParam, lParam);
    Layout();
    return r;
}

LRESULT PartitionContailerWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LBUTTONDBLCLK) {
        if (auto* tile = dynamic_cast<VolumeItem*>(HitTestItems(items_, GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam))))
            tile->OnDblClick(wParam, lParam);
        return 0;
    }
    return UiSdkWndBase::WndProc(message, wParam, lParam);
}

int PartitionContailerWnd::DrawBorder(ui::Dc* dc) {
    dc->FillRect(ClientRect(), 0xFFFFFF);
    return 0;
}

int PartitionContailerWnd::DrawBackground(ui::Dc* dc) {
    if (!NeedsScrollBar()) return 0;
    const RECT c = ClientRect();
    const int track = c.Height();
    const int thumb = std::max(20, track * track / std::max(1, contentHeight_));
    const int top = (track - thumb) * scroll_ / std::max(1, contentHeight_ - track);
    dc->FillRect(ui::MakeRect(c.right - kScrollBarWidth - 2, 0, c.right - 2, track), 0xF0F0F0);
    dc->FillRect(ui::MakeRect(c.right - kScrollBarWidth - 2, top, c.right - 2, top + thumb), 0xC0C0C0);
    return 0;
}

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
    if (UiItem* refresh = GetItem(kRefreshItem)) {
        const RECT c = ClientRect();
        const RECT old = refresh->GetRect();
        const int w = std::max(old.Width(), 90);
        refresh->SetRect(ui::MakeRect(c.right - w - 24, 6, c.right - 24, 34));
    }
    return r;
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

LRESULT TitleItemWnd::WndProc(u32 message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_COMMAND && LOWORD(wParam) == kRefreshItem) {
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
    const RECT c = ClientRect();
    dc->FillRect(c, 0xFFFFFF);
    dc->Line(kTileMargin, c.bottom - 1, c.right - kTileMargin, c.bottom - 1, 0xE6E6E6);
    return 0;
}

int TitleItemWnd::DrawBackground(ui::Dc* dc) {
    UiResources& res = UiResources::Instance();
    const RECT c = ClientRect();
    dc->SetFont(*res.GetFont(17, 700, false));
    dc->SetTextColor(0x333333);
    RECT measure = ui::MakeRect(kTileMargin, 0, c.right, c.bottom);
    dc->DrawText(title, measure, DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_CALCRECT);
    const int titleRight = std::min<int>(measure.right + 6, c.right - 200);
    dc->DrawText(title, ui::MakeRect(kTileMargin, 0, titleRight, c.bottom), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
    if (busy) {
        const int x = titleRight + 14;
        art::DrawSpinner(dc, ui::MakeRect(x, (c.bottom - 20) / 2, x + 20, (c.bottom + 20) / 2), frame);
        dc->SetFont(*res.GetFont(15, 500, false));
        dc->SetTextColor(0x808080);
        dc->DrawText(Localized("PlsWaitEnum"), ui::MakeRect(x + 28, 0, c.right - 20, c.bottom), DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS);
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
    ticksSinceStart_ = 0;
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
    UiItem* refresh = strip.GetItem(TitleItemWnd::kRefreshItem);
    ++ticksSinceStart_;
    // Right after a refresh the flag may still tell of the enumeration before it: the new one
    // counts as finished once it has published its lists (or, should it publish nothing, once no
    // enumeration runs any more).
    const bool finished = enumeration.IsDone() &&
                          (enumeration.Snapshot() != refreshedFrom_ || (!enumeration.IsRunning() && ticksSinceStart_ > kStaleTicks));
    if (!finished) {
        strip.busy = true;
        if (refresh) {
            refresh->SetVisible(false);
            refresh->Enable(false);
        }
        strip.frame = (strip.frame + 1) % art::kSpinnerFrames;
        strip.Invalidate();
        return;
    }
    if (auto* core = dynamic_cast<ui::WindowCore*>(Widget())) core->KillTimer(kTimerId);
    timerRunning_ = false;
    strip.busy = false;
    if (refresh) {
        refresh->SetVisible(true);
        refresh->Enable(true);
    }
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
        refreshedFrom_ = EnumCollectPartition::Instance().Snapshot();
        EnumCollectPartition::Instance().StartEnumeration();
        StartTimer();
        // The spinner shows at once, not only at the first tick.
        groups_[kGroupDisks].titleStrip.busy = true;
        groups_[kGroupDisks].titleStrip.Invalidate();
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
