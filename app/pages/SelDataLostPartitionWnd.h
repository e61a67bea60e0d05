#pragma once
// The second wizard page: where to scan. The background enumeration's volumes and unpartitioned
// areas as tiles in two groups, disks and lost partitions; while the enumeration runs the disk
// group's title strip shows a spinner and "please wait". Scanning hands the chosen volume to the
// scan session and passes the command on to the main window.
//
// The page keeps the enumeration's snapshot its tiles were made from, so a refresh (which
// publishes a new snapshot) never leaves a tile pointing at a freed record; a scan holds its
// own record through the session.
#include <QImage>
#include <QScrollBar>
#include <memory>
#include <string>
#include <vector>

#include "app/ui/UiSdkWndBase.h"
#include "devices/VolumeEnumerator.h"

namespace UiCtrl {

class SelDataLostPartitionWnd;

class VolumeItem : public UiItem {
public:
    // A row of the container: the tile of id n lies at (kLeft, kRowHeight x n + 1, kRight,
    // kRowHeight x n + kRowHeight + 1) in content coordinates.
    static constexpr int kRowHeight = 35;
    static constexpr int kLeft = 65;
    static constexpr int kRight = 880;
    static constexpr COLORREF kFrameColour = 0x80D21F;
    static constexpr COLORREF kFillColour = 0xF7FFDF;
    static constexpr int kSelectedMark = 547;
    static RECT RowRect(int id);
    // The bitmap of an icon kind, plain or selected; 0 for an unknown kind.
    static int IconBitmap(int kind, bool selected);

    int Draw(ui::Dc* dc) override;
    int OnMouseLBtnDown(WPARAM wParam, LPARAM lParam) override;
    virtual int OnDblClick(WPARAM wParam, LPARAM lParam);

    bool selected = false;
    std::string text1;  // name
    std::string text3;  // size
    std::string text2;  // file system
    int iconKind = 0;
    VolumeRecord* record = nullptr;
    std::string folderPath;
    HWND page = nullptr;
};

// The scrolling tile container of a group: tiles in rows of 35 pixels, a skinned vertical scroll
// bar once three or more tiles are higher than the container. Tiles keep their content
// coordinates; the view shows them from the scroll offset down.
class PartitionContailerWnd : public UiSdkWndBase {
public:
    static constexpr int kMinTilesForScrollBar = 3;

    PartitionContailerWnd();
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int OnMouseWheel(WPARAM wParam, LPARAM lParam) override;
    int OnSize(WPARAM wParam, LPARAM lParam) override;
    int OnPaint(WPARAM wParam, LPARAM lParam) override;
    int DrawBorder(ui::Dc* dc) override;
    int DrawBackground(ui::Dc* dc) override;
    VolumeItem* AddTile(std::unique_ptr<VolumeItem> tile);
    void Clear();
    int TileCount() const { return static_cast<int>(tiles_.size()); }
    VolumeItem* TileAt(int i) const { return tiles_[static_cast<size_t>(i)]; }
    bool NeedsScrollBar() const;
    int ScrollOffset() const { return scroll_; }
    int ContentHeight() const { return contentHeight_; }
    // The skinned bar at the container's right edge (null before Create).
    QScrollBar* ScrollBar() const { return scrollBar_; }
    // Moves the view as the scroll bar's requests do (SB_LINEUP ... SB_THUMBTRACK).
    void OnVScroll(int request, int thumbPosition);
    void SetScrollOffset(int offset);
    void Layout();

private:
    // The rows moved under a pointer that stood still: the hover goes to the row now under it.
    void FollowPointer();

    std::vector<VolumeItem*> tiles_;  // owned by the item map
    int scroll_ = 0;
    // Where the pointer last stood over the container (window coordinates), while it is over it.
    bool pointerInside_ = false;
    POINT pointer_{};
    int contentHeight_ = 0;
    QScrollBar* scrollBar_ = nullptr;  // a child of the container's window
    QImage content_;                   // the whole content, drawn before the visible part is copied
};

// The 30-pixel title strip above a group, with the spinner and the refresh button of the disks.
class TitleItemWnd : public UiSdkWndBase {
public:
    static constexpr int kRefreshItem = 900;
    TitleItemWnd();
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBorder(ui::Dc* dc) override;
    int DrawBackground(ui::Dc* dc) override;
    int OnSize(WPARAM wParam, LPARAM lParam) override;
    void SetKind(int kind, int count);
    // Where the refresh button stands in a strip of that client rectangle.
    static RECT RefreshRect(const RECT& client);
    void FormatTitle(int count);
    // While busy the strip shows the spinner and the wait text, and its refresh button is hidden
    // and off.
    void SetBusy(bool on);
    int ApplyLanguage() override;

    bool visible = false;
    std::string title;
    std::string name;
    int kind = 0;
    bool busy = false;
    int frame = 0;
    HWND page = nullptr;
};

struct SelHardDiskWnd {
    PartitionContailerWnd container;
    TitleItemWnd titleStrip;
    void Place(const RECT& r);
};

class SelDataLostPartitionWnd : public UiSdkWndBase {
public:
    enum Group { kGroupFolders = 0, kGroupDisks = 1, kGroupLost = 2, kGroupCount = 3 };
    enum ItemId { kItemBack = 201, kItemScan = 202, kCmdRefresh = 203 };
    static constexpr int kTimerId = 1;
    static constexpr u32 kTimerMs = 100;

    SelDataLostPartitionWnd();
    ~SelDataLostPartitionWnd() override;
    int Create(HWND parent, void* instance, RECT rect, u32 style) override;
    void ShowPage();
    int ApplyLanguage() override;
    LRESULT WndProc(u32 message, WPARAM wParam, LPARAM lParam) override;
    int DrawBackground(ui::Dc* dc) override;
    void OnCommand(int id);
    void SelectTile(PartitionContailerWnd* container, VolumeItem* tile);
    // -1 without a selection or before the enumeration finished, -2 after "NotAvalible", 0 once
    // the session holds the volume.
    int DoClickScan();
    void TimerProc();

    SelHardDiskWnd& GroupAt(Group g) { return groups_[g]; }
    VolumeItem* SelectedTile() const { return selected_; }
    bool TimerRunning() const { return timerRunning_; }
    // The name of the place the last scan started on.
    const std::string& PlaceName() const { return placeName_; }
    // The text of a tile's volume as the page shows it.
    static std::string VolumeName(const VolumeRecord& record, const std::string& mountPoint);

private:
    void StartTimer();
    void FillFromEnumeration();
    void EnableScan(bool enable);

    SelHardDiskWnd groups_[kGroupCount];
    int currentGroup_ = -1;
    VolumeItem* selected_ = nullptr;
    VolumeItem* systemTile_ = nullptr;
    bool timerRunning_ = false;
    std::shared_ptr<const EnumeratedVolumes> snapshot_;
    std::string placeName_;
};

}  // namespace UiCtrl
