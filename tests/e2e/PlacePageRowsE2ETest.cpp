// The first two pages of the real main window, offscreen, driven as a user drives them. The place
// page with more volumes and unpartitioned areas than its groups show: tiles are rows of 35
// pixels, a group's skinned scroll bar shows once three or more tiles are higher than it, its
// arrow, track, thumb and the mouse wheel move the rows, and a click still chooses the tile under
// the pointer. The file-type page's share links open the addresses of their language file. Both
// pages are saved to <build>/screenshots/ in English, German and Japanese.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QTest>
#include <QWheelEvent>
#include <filesystem>
#include <fstream>

#include "TestUtil.h"
#include "WizardDriver.h"
#include "ui/UrlCatcher.h"
#include "app/QZMUIDlg.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/ui/SkinItems.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/views/ScrollBar.h"
#include "core/Settings.h"
#include "devices/VolumeEnumerator.h"
#include "engine/RecoveryGraph.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::PartitionContailerWnd;
using UiCtrl::SelDataLostPartitionWnd;
using UiCtrl::SelFileTypeWnd;
using UiCtrl::VolumeItem;

constexpr int kEnglish = 0;
struct Language {
    int index;
    const char* tag;
};
const Language kLanguages[] = {{0, "en"}, {2, "de"}, {1, "ja"}};

// Volumes beside the window program's disk: eight or more in all.
constexpr int kExtraVolumes = 5;
constexpr int kAreas = 3;

// Disk images of one volume each beside the window program's: the place page reads them, never
// writes them, so a link to the fixture does where the folders share a file system.
const char* const kExtraDisks[] = {"fat16-basic.img", "fat32-basic.img", "exfat-basic.img", "ntfs-basic.img", "gpt-disk.img"};

void AddDisk(const testutil::TempDir& disks, const char* name) {
    std::error_code ec;
    fs::create_hard_link(testutil::FixturePath(name), disks.File(name), ec);
    if (ec) fs::copy_file(testutil::FixturePath(name), disks.File(name));
}

// Blank images large enough for their whole to count as an unpartitioned area.
void AddArea(const testutil::TempDir& disks, int n) {
    const std::string blank = disks.File("blank-" + std::to_string(n) + ".img");
    std::ofstream(blank).close();
    ASSERT_EQ(::truncate(blank.c_str(), off_t(kUnpartitionedGapSectors + 1) * 1024), 0);
}

class PlaceRows : public ::testing::Test {
protected:
    void SetUp() override {
        wizard::StartWindowProgram(program_, disks_);
        for (const char* name : kExtraDisks) AddDisk(disks_, name);
        for (int i = 0; i < kAreas; ++i) ASSERT_NO_FATAL_FAILURE(AddArea(disks_, i));
        wizard::UseLanguage(kEnglish, "English.dat");
        dlg_ = std::make_unique<CQZMUIDlg>();
        dlg_->Create();
    }
    void TearDown() override {
        if (GetUiLanguage() != kEnglish) wizard::SwitchLanguageByMenu(*dlg_, kEnglish);
        dlg_.reset();
        RecoveryGraph::Instance().SelectVolume(-1, static_cast<VolumeRecord*>(nullptr));
        UiResources::Instance().SetLanguage(kEnglish, "English.dat");
        SetUiLanguage(kEnglish, "English.dat");
        ::unsetenv("XDG_STATE_HOME");
        program_.reset();
    }
    SelDataLostPartitionWnd& OpenPlacePage() {
        auto& types = *dlg_->FileTypePage();
        auto& place = *dlg_->PlacePage();
        EXPECT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == types.GetHwnd(); }));
        EXPECT_TRUE(wizard::ClickItem(types, SelFileTypeWnd::kItemNext));
        EXPECT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == place.GetHwnd(); }));
        return place;
    }
    PartitionContailerWnd& Group(SelDataLostPartitionWnd& place, SelDataLostPartitionWnd::Group g) {
        return place.GroupAt(g).container;
    }

    testutil::TempDir disks_;
    std::unique_ptr<wizard::ProgramFolderScope> program_;
    std::unique_ptr<CQZMUIDlg> dlg_;
};

// The content row shown at a container's pixel row y.
int RowAt(const PartitionContailerWnd& c, int y) { return (y + c.ScrollOffset() - 1) / VolumeItem::kRowHeight; }

TEST_F(PlaceRows, TilesAreRowsAndTheScrollBarMovesThemOnceThreeOrMoreAreHigherThanTheGroup) {
    SelDataLostPartitionWnd& place = OpenPlacePage();
    ASSERT_NO_FATAL_FAILURE(wizard::RefreshDisks(place));
    PartitionContailerWnd& disks = Group(place, SelDataLostPartitionWnd::kGroupDisks);
    PartitionContailerWnd& lost = Group(place, SelDataLostPartitionWnd::kGroupLost);
    ASSERT_GE(disks.TileCount(), 3 + kExtraVolumes);
    ASSERT_EQ(lost.TileCount(), kAreas);

    // Every tile is the row of its id, with the picture of its kind.
    for (PartitionContailerWnd* group : {&disks, &lost}) {
        for (int id = 0; id < group->TileCount(); ++id) {
            const RECT r = group->TileAt(id)->GetRect();
            EXPECT_EQ(r.left, 65);
            EXPECT_EQ(r.top, 35 * id + 1);
            EXPECT_EQ(r.right, 880);
            EXPECT_EQ(r.bottom, 35 * id + 36);
            for (bool selected : {false, true})
                EXPECT_NE(UiResources::Instance().LoadImageFromResource(
                              kResTypeBitmap, VolumeItem::IconBitmap(group->TileAt(id)->iconKind, selected)),
                          nullptr);
        }
    }

    // Both groups hold more rows than they show: each has its bar at its right edge.
    for (PartitionContailerWnd* group : {&disks, &lost}) {
        QScrollBar* bar = group->ScrollBar();
        ASSERT_NE(bar, nullptr);
        EXPECT_TRUE(group->NeedsScrollBar());
        EXPECT_TRUE(bar->isVisible());
        EXPECT_EQ(bar->geometry().right(), group->Widget()->width() - 1);
        EXPECT_EQ(bar->maximum(), group->ContentHeight() - group->Widget()->height());
    }
    for (const Language& language : kLanguages) {
        if (GetUiLanguage() != static_cast<u32>(language.index)) {
            ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, language.index));
        }
        uiwait::Flush();
        EXPECT_TRUE(wizard::Shot(dlg_.get(), std::string("place-many-volumes-") + language.tag));
    }
    ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, kEnglish));

    // The arrow moves one row, the track below the thumb one more, the thumb dragged to the end
    // shows the last row; the wheel moves a row back.
    auto* bar = static_cast<FileSelCtrl::CFileSelScrollBar*>(disks.ScrollBar());
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->PartRect(QStyle::SC_ScrollBarAddLine).center());
    EXPECT_EQ(disks.ScrollOffset(), VolumeItem::kRowHeight);
    const QRect thumb = bar->PartRect(QStyle::SC_ScrollBarSlider);
    const QRect down = bar->PartRect(QStyle::SC_ScrollBarAddLine);
    ASSERT_LT(thumb.bottom() + 2, down.top());
    QTest::mouseClick(bar, Qt::LeftButton, {}, QPoint(bar->width() / 2, (thumb.bottom() + down.top()) / 2));
    EXPECT_EQ(disks.ScrollOffset(), 2 * VolumeItem::kRowHeight);
    const QPoint grip = bar->PartRect(QStyle::SC_ScrollBarSlider).center();
    QTest::mousePress(bar, Qt::LeftButton, {}, grip);
    QTest::mouseMove(bar, QPoint(grip.x(), bar->height() - 1));
    QTest::mouseRelease(bar, Qt::LeftButton, {}, QPoint(grip.x(), bar->height() - 1));
    EXPECT_EQ(disks.ScrollOffset(), bar->maximum());
    const RECT last = disks.TileAt(disks.TileCount() - 1)->GetRect();
    EXPECT_LE(last.bottom - disks.ScrollOffset(), disks.Widget()->height()) << "the last row shows whole";
    const int bottom = disks.ScrollOffset();
    const QPoint middle(disks.Widget()->width() / 2, disks.Widget()->height() / 2);
    // The pointer rests on a row, which shows hovered; the wheel brings another row under it,
    // and the hover goes with the pointer, not with the row.
    QMouseEvent rest(QEvent::MouseMove, middle, disks.Widget()->mapToGlobal(middle), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(disks.Widget(), &rest);
    VolumeItem* hovered = disks.TileAt(RowAt(disks, middle.y()));
    ASSERT_EQ(hovered->GetState(), UiCtrl::kStateHover);
    QWheelEvent up(middle, disks.Widget()->mapToGlobal(middle), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                   Qt::NoScrollPhase, false);
    QApplication::sendEvent(disks.Widget(), &up);
    EXPECT_TRUE(wizard::PumpUntil([&] { return disks.ScrollOffset() == bottom - VolumeItem::kRowHeight; }, "the wheel's row"));
    VolumeItem* nowUnder = disks.TileAt(RowAt(disks, middle.y()));
    ASSERT_NE(nowUnder, hovered);
    EXPECT_EQ(nowUnder->GetState(), UiCtrl::kStateHover) << "the row now under the pointer";
    EXPECT_EQ(hovered->GetState(), UiCtrl::kStateNormal) << "the row the wheel moved away";
    uiwait::Flush();
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "place-many-volumes-scrolled"));

    // A click where a row shows chooses that row's tile, wherever the rows stand.
    const int y = disks.Widget()->height() - VolumeItem::kRowHeight / 2;
    VolumeItem* under = disks.TileAt(RowAt(disks, y));
    wizard::Click(disks, 400, y);
    EXPECT_TRUE(wizard::PumpUntil([&] { return place.SelectedTile() == under; }, "the clicked tile chosen"));
    EXPECT_TRUE(place.GetItem(SelDataLostPartitionWnd::kItemScan)->IsEnabled());
    uiwait::Flush();
    EXPECT_TRUE(wizard::Shot(dlg_.get(), "place-many-volumes-chosen"));

    // Two unpartitioned areas fit no more than three rows and show no bar; a third makes one.
    fs::remove(disks_.File("blank-0.img"));
    ASSERT_NO_FATAL_FAILURE(wizard::RefreshDisks(place));
    ASSERT_EQ(lost.TileCount(), kAreas - 1);
    EXPECT_GT(lost.ContentHeight(), lost.Widget()->height()) << "the two rows are higher than their group";
    EXPECT_FALSE(lost.NeedsScrollBar());
    EXPECT_FALSE(lost.ScrollBar()->isVisible());
    // The wheel moves nothing without a bar.
    QApplication::sendEvent(lost.Widget(), &up);
    uiwait::Flush();
    EXPECT_EQ(lost.ScrollOffset(), 0);
}

TEST_F(PlaceRows, TheShareLinksOpenTheAddressesOfTheLanguageFile) {
    uiwait::UrlCatcher catcher(QStringLiteral("https"));
    auto& types = *dlg_->FileTypePage();
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg_->CurrentPage() == types.GetHwnd(); }));
    const char* const keys[] = {"FACEBOOK", "TWITER", "GOOGLE"};
    for (const Language& language : kLanguages) {
        SCOPED_TRACE(language.tag);
        if (GetUiLanguage() != static_cast<u32>(language.index)) {
            ASSERT_NO_FATAL_FAILURE(wizard::SwitchLanguageByMenu(*dlg_, language.index));
        }
        catcher.opened.clear();
        for (int id = SelFileTypeWnd::kItemShareFirst; id <= SelFileTypeWnd::kItemShareLast; ++id) {
            auto* link = dynamic_cast<UiCtrl::UILinkItem*>(types.GetItem(id));
            ASSERT_NE(link, nullptr);
            EXPECT_TRUE(link->IsVisible());
            EXPECT_FALSE(link->Text().empty());
            // The links stand apart on one line below the choices.
            if (UiCtrl::UiItem* before = types.GetItem(id - 1); before && id > SelFileTypeWnd::kItemShareFirst) {
                EXPECT_LT(before->GetRect().right, link->GetRect().left);
            }
            ASSERT_TRUE(wizard::ClickItem(types, id));
        }
        ASSERT_TRUE(wizard::PumpUntil([&] { return catcher.opened.size() == 3; }, "the three addresses"));
        for (int i = 0; i < 3; ++i) {
            const std::string address = UiResources::Instance().GetString(keys[i]);
            ASSERT_FALSE(address.empty()) << keys[i];
            EXPECT_EQ(catcher.opened[static_cast<size_t>(i)], address) << keys[i] << " opened once, as written";
        }
        // A click on a link leaves the choice of types as it was.
        EXPECT_TRUE(types.GetItem(SelFileTypeWnd::kItemNext)->IsEnabled());
        uiwait::Flush();
        EXPECT_TRUE(wizard::Shot(dlg_.get(), std::string("file-types-links-") + language.tag));
    }
}

}  // namespace
