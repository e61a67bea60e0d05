// The place page of the real main window, offscreen, on a disk whose table and boot sector are
// gone: its unpartitioned area is a tile of the lost group without a file-system name (its
// record's code is only a placeholder), beside the volume of a sound disk, which keeps its name.
// The page is saved to <build>/screenshots/ for review.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "devices/VolumeEnumerator.h"
#include "engine/RecoveryGraph.h"
#include "plugins/Plugins.h"

namespace {

using UiCtrl::SelDataLostPartitionWnd;

TEST(PlacePageArea, AnUnpartitionedAreaShowsNoFileSystemName) {
    testutil::TempDir disks;
    std::filesystem::copy_file(testutil::FixturePath("fat16-basic.img"), disks.File("fat16-basic.img"));
    // Blank, and large enough for its whole to count as an unpartitioned area.
    const std::string blank = disks.File("blank.img");
    std::ofstream(blank).close();
    ASSERT_EQ(::truncate(blank.c_str(), off_t(kUnpartitionedGapSectors + 1) * 1024), 0);

    wizard::EnsureApp();
    wizard::ProgramFolderScope program;
    ::setenv("MORVENDA_DISKS", disks.Path().c_str(), 1);
    RegisterAllPlugins();
    auto dlg = std::make_unique<CQZMUIDlg>();
    dlg->Create();
    auto& types = *dlg->FileTypePage();
    auto& place = *dlg->PlacePage();
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg->CurrentPage() == types.GetHwnd(); }));
    ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg->CurrentPage() == place.GetHwnd(); }));
    ASSERT_NO_FATAL_FAILURE(wizard::RefreshDisks(place));
    ASSERT_GT(place.GroupAt(SelDataLostPartitionWnd::kGroupLost).container.TileCount(), 0);

    auto& lost = place.GroupAt(SelDataLostPartitionWnd::kGroupLost).container;
    for (int i = 0; i < lost.TileCount(); ++i) {
        EXPECT_EQ(lost.TileAt(i)->text2, "") << lost.TileAt(i)->text1;
        EXPECT_NE(lost.TileAt(i)->text1.find("Lost Partition"), std::string::npos) << lost.TileAt(i)->text1;
    }
    auto& volumes = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    ASSERT_EQ(volumes.TileCount(), 1);
    EXPECT_EQ(volumes.TileAt(0)->text2, "FAT16");
    EXPECT_TRUE(wizard::Shot(dlg.get(), "place-unpartitioned-area"));
    dlg.reset();
    RecoveryGraph::Instance().SelectVolume(-1, static_cast<VolumeRecord*>(nullptr));
}

}  // namespace
