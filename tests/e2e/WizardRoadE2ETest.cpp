// The whole wizard in the real main window, offscreen, on fixture disks given as MORVENDA_DISKS:
// file types, the place page's tiles (with the spinner while the enumeration runs, and disks
// coming and going), the scan of a chosen volume with its progress strip, the deep-scan offer,
// the deep scan, the found trees on the result page, and going home. What the page lists is held
// against the scan driver's report for the same volume. Each state is saved to
// <build>/screenshots/ for review.
#include <gtest/gtest.h>

#include <filesystem>

#include "E2ESupport.h"
#include "HeldEnumeration.h"
#include "TestUtil.h"
#include "WizardDriver.h"
#include "app/QZMUIDlg.h"
#include "core/Settings.h"
#include "app/dialogs/FreezeTipDlg.h"
#include "app/pages/RecoveryGraphWnd.h"
#include "app/pages/SelDataLostPartitionWnd.h"
#include "app/pages/SelDataLostReasonWnd.h"
#include "app/pages/SelFileTypeWnd.h"
#include "app/pages/Tip3StepWnd.h"
#include "app/ui/MessageBox.h"
#include "app/ui/UiLanguage.h"
#include "app/ui/UiResources.h"
#include "browser/model/BindingNode.h"
#include "browser/model/NodeManager.h"
#include "engine/HeadlessSinks.h"
#include "engine/RecoveryGraph.h"
#include "platform/DeviceWatch.h"
#include "platform/ProgramDir.h"
#include "plugins/Plugins.h"

namespace {

namespace fs = std::filesystem;
using UiCtrl::SelDataLostPartitionWnd;

const char* const kLanguageFiles[] = {"English.dat", "Japanese.dat", "Deutsch.dat"};

std::string Fixture(const std::string& name) { return std::string(MORVENDA_FIXTURES_DIR) + "/" + name; }

struct Road {
    const char* name;
    const char* image;  // the fixture that holds the volume
    const char* fs;     // the tile's file-system text
    const char* label;
    int language;
};

std::ostream& operator<<(std::ostream& os, const Road& r) { return os << r.name; }

// The main window of a test, in a program folder of its own.
class WizardWindow {
public:
    explicit WizardWindow(int language, const std::string& disks) {
        wizard::EnsureApp();
        program_ = std::make_unique<wizard::ProgramFolderScope>();
        ::setenv("MORVENDA_DISKS", disks.c_str(), 1);
        RegisterAllPlugins();
        wizard::UseLanguage(language, kLanguageFiles[language]);
        dlg = std::make_unique<CQZMUIDlg>();
        dlg->Create();
        uiwait::Flush();
    }
    ~WizardWindow() {
        wizard::DeepScanStart().Open();
        wizard::ScanEnd().Open();
        dlg.reset();
        RecoveryGraph::Instance().SetStopRequested(0);
        RecoveryGraph::Instance().SetControllerFactory(nullptr);
        UiResources::Instance().SetLanguage(0, "English.dat");
        SetUiLanguage(0, "English.dat");
    }
    std::unique_ptr<CQZMUIDlg> dlg;

private:
    std::unique_ptr<wizard::ProgramFolderScope> program_;
};

// The tile of the disk group whose file system and label are the road's.
UiCtrl::VolumeItem* FindTile(SelDataLostPartitionWnd& place, const char* fsName, const char* label) {
    auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    for (int i = 0; i < container.TileCount(); ++i) {
        UiCtrl::VolumeItem* t = container.TileAt(i);
        if (t->text2 == fsName && t->text1.find(label) != std::string::npos) return t;
    }
    return nullptr;
}

std::string TileList(SelDataLostPartitionWnd& place) {
    std::string list;
    for (auto g : {SelDataLostPartitionWnd::kGroupDisks, SelDataLostPartitionWnd::kGroupLost}) {
        auto& container = place.GroupAt(g).container;
        for (int i = 0; i < container.TileCount(); ++i)
            list += "[" + container.TileAt(i)->text1 + " | " + container.TileAt(i)->text2 + " | " + container.TileAt(i)->text3 + "] ";
    }
    return list;
}

int CountTiles(SelDataLostPartitionWnd& place, const char* fsName) {
    int n = 0;
    auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    for (int i = 0; i < container.TileCount(); ++i) n += container.TileAt(i)->text2 == fsName;
    return n;
}

void ClickTile(SelDataLostPartitionWnd& place, UiCtrl::VolumeItem* tile) {
    auto& container = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).container;
    const RECT r = tile->GetRect();
    wizard::Click(container, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

// What the scan driver finds on the fixture volume with that label: files, folders, deleted.
std::vector<u64> DriverCounts(const std::string& image, const char* label) {
    testutil::TempDir work;
    const std::string report = work.File("report.json");
    EXPECT_EQ(e2e::RunDriver({"--image", Fixture(image), "--mode", "deleted", "--volume", "all", "--json", report}, work.Path(),
                             work.File("driver.log")),
              0);
    testutil::Json json;
    if (!testutil::ReadJsonFile(report, json)) return {};
    for (const auto& v : json["volumes"].items) {
        if (v["label"].text != label) continue;
        const testutil::Json* scan = e2e::FindScan(json, int(v["index"].number));
        if (!scan || scan->operator[]("trees").items.empty()) return {};
        const auto& tree = scan->operator[]("trees").items[0];
        return {u64(tree["files"].number), u64(tree["folders"].number), u64(tree["deleted"].number)};
    }
    return {};
}

class WizardRoad : public ::testing::TestWithParam<Road> {};

TEST_P(WizardRoad, FromFileTypesThroughTheScanToTheFoundTreesAndHome) {
    const Road road = GetParam();
    const std::string lang = road.language == 0 ? "en" : "de";
    const std::string prefix = std::string("wizard-") + road.name + "-" + lang + "-";
    testutil::TempDir disks;
    for (const char* image : {"mbr-disk.img", "fat32-basic.img"}) fs::copy_file(Fixture(image), disks.File(image));
    if (std::string(road.image) != "mbr-disk.img" && !fs::exists(disks.File(road.image)))
        fs::copy_file(Fixture(road.image), disks.File(road.image));
    const std::vector<u64> expected = DriverCounts(road.image, road.label);
    ASSERT_EQ(expected.size(), 3u) << "the scan driver lists no tree for " << road.label;

    WizardWindow w(road.language, disks.Path());
    CQZMUIDlg& dlg = *w.dlg;
    auto& types = *dlg.FileTypePage();
    auto& place = *dlg.PlacePage();
    auto& result = *dlg.ResultPage();
    auto& strip = *dlg.StepStrip();
    auto& progress = result.Progress();
    RecoveryGraph& session = RecoveryGraph::Instance();

    // File types: all types first; one type alone; back to all types.
    EXPECT_TRUE(types.AllTypes());
    EXPECT_EQ(types.ChosenMask(), 0x6Eu);
    EXPECT_EQ(strip.Counter(), 0);
    wizard::Shot(&dlg, prefix + "01-filetypes");
    ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemMusic));
    uiwait::Flush();
    EXPECT_FALSE(types.AllTypes());
    EXPECT_EQ(types.ChosenMask(), 0x04u);
    wizard::Shot(&dlg, prefix + "02-filetypes-music");
    // Unchecking the only type leaves nothing chosen: next refuses.
    ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemMusic));
    uiwait::Flush();
    EXPECT_FALSE(types.ChoiceMade());
    EXPECT_FALSE(types.GetItem(UiCtrl::SelFileTypeWnd::kItemNext)->IsEnabled());
    ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemAllTypes));
    uiwait::Flush();
    EXPECT_TRUE(types.AllTypes());
    ASSERT_TRUE(wizard::ClickItem(types, UiCtrl::SelFileTypeWnd::kItemNext));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == place.GetHwnd(); }, "the place page"));
    EXPECT_EQ(strip.Counter(), 2);
    EXPECT_TRUE(strip.Widget()->isVisible());
    EXPECT_GT(strip.Widget()->height(), 0);

    // The place page: a refresh, its enumeration held, shows the spinner until the tiles are there.
    ASSERT_TRUE(wizard::PumpUntil([&] { return !place.TimerRunning(); }, "the first enumeration's end"));
    auto& diskTitle = place.GroupAt(SelDataLostPartitionWnd::kGroupDisks).titleStrip;
    testutil::HeldEnumeration held;
    SendMessage(place.GetHwnd(), WM_COMMAND, SelDataLostPartitionWnd::kCmdRefresh, 0);
    uiwait::Paint(&dlg);
    EXPECT_TRUE(diskTitle.busy) << "the refresh showed no spinner";
    EXPECT_EQ(CountTiles(place, road.fs), 0);
    wizard::Shot(&dlg, prefix + "03-place-enumerating");
    held.Release();
    ASSERT_TRUE(wizard::PumpUntil([&] { return !place.TimerRunning(); }, "the refresh's end"));
    EXPECT_FALSE(diskTitle.busy);
    UiCtrl::VolumeItem* tile = FindTile(place, road.fs, road.label);
    ASSERT_NE(tile, nullptr) << "no tile for " << road.label << " among: " << TileList(place);
    wizard::Shot(&dlg, prefix + "04-place-tiles");

    if (std::string(road.name) == "ntfs") {
        // A disk image copied into the watched folder shows up without a restart, and leaves again.
        const int before = CountTiles(place, "EXFAT");
        DeviceWatcher watcher(dlg.Handle(), 50);
        watcher.Start();  // the disks as they are now are taken before it returns
        fs::copy_file(Fixture("exfat-basic.img"), disks.File("exfat-basic.img"));
        EXPECT_TRUE(wizard::PumpUntil([&] { return !place.TimerRunning() && CountTiles(place, "EXFAT") == before + 1; },
                                      "the copied image's tile"));
        fs::remove(disks.File("exfat-basic.img"));
        EXPECT_TRUE(wizard::PumpUntil([&] { return !place.TimerRunning() && CountTiles(place, "EXFAT") == before; },
                                      "the removed image's tile to go"));
        watcher.Stop();
        tile = FindTile(place, road.fs, road.label);
        ASSERT_NE(tile, nullptr);
    }
    ClickTile(place, tile);
    uiwait::Flush();
    EXPECT_EQ(place.SelectedTile(), tile);
    EXPECT_TRUE(place.GetItem(SelDataLostPartitionWnd::kItemScan)->IsEnabled());
    wizard::Shot(&dlg, prefix + "05-place-selected");

    // The scan: the wait box at a phase end and the deep-scan offer at the end are answered as
    // they come.
    int offers = 0, waitBoxes = 0;
    wizard::ModalWatch modal([&](QWidget* m) {
        if (auto* box = dynamic_cast<QZMMessageBox*>(m)) {
            if (box->Text() == UiResources::Instance().GetString("canDeepScan")) {
                ++offers;
                wizard::Shot(m, prefix + "07-deepscan-offer");
            }
            wizard::EndModal(m, 1);
        } else if (dynamic_cast<FreezeTipDlg*>(m)) {
            if (waitBoxes++ == 0) wizard::Shot(m, prefix + "06-waitbox");
            wizard::ScanEnd().Open();  // the scan waited at its end for the box to be looked at
        }
    });
    ASSERT_TRUE(wizard::ClickItem(place, SelDataLostPartitionWnd::kItemScan));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == result.GetHwnd(); }));
    EXPECT_FALSE(strip.Widget()->isVisible());
    EXPECT_EQ(place.PlaceName(), tile->text1);
    // The bar never moves back while the scan runs.
    int highest = 0, fell = 0;
    ASSERT_TRUE(wizard::PumpUntil([&] {
        const int p = progress.Percent();
        fell += p < highest;
        highest = std::max(highest, p);
        return !progress.IsRunningOrTimed() && !session.IsScanRunning();
    }, "the end of the scan"));
    uiwait::Flush();
    EXPECT_EQ(fell, 0);
    EXPECT_EQ(offers, 1);
    EXPECT_GT(progress.Percent(), 0);
    // The session's tree matches the driver's; the browser shows it under its path root.
    const std::vector<CFileSystemNode*> roots = session.GetTreeRoots();
    ASSERT_EQ(roots.size(), 1u);
    const TreeCounts counts = CountTree(roots[0]);
    EXPECT_EQ((std::vector<u64>{counts.files, counts.folders, counts.deleted}), expected);
    ASSERT_NE(result.Browser(), nullptr);
    auto& manager = FileSelCtrl::CFileVirtualNodeManager::Instance();
    ASSERT_TRUE(wizard::PumpUntil([&] { return !manager.HasPending(); }));
    EXPECT_FALSE(manager.PathRoot()->GetChildren()->empty());
    EXPECT_GT(session.GetFoundFileCount(), 0u);
    EXPECT_TRUE(progress.GetItem(UiCtrl::RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    EXPECT_TRUE(progress.GetItem(UiCtrl::RecoveryProgressWnd::kItemHome)->IsVisible());
    wizard::Shot(&dlg, prefix + "08-result-finished");

    // The deep scan on the same volume, held at its start while its tip is looked at and at its
    // end while the wait box of its finishing pass is: the list empties, the tip comes, it ends.
    wizard::DeepScanStart().Close();
    wizard::ScanEnd().Close();
    session.SetControllerFactory(&wizard::MakeDeepScanHeldAtStartAndEnd);
    ASSERT_TRUE(wizard::ClickItem(progress, UiCtrl::RecoveryProgressWnd::kItemDeepScan));
    ASSERT_TRUE(wizard::PumpUntil([&] {
        return progress.GetState() == kProgressRunning && result.Tip().IsShown() &&
               result.Tip().Text() == UiResources::Instance().GetString("TipDeep");
    }, "the running deep scan and its tip"));
    EXPECT_FALSE(progress.OfferDeepScan());
    EXPECT_EQ(session.GetScanMode(), kScanModeComplete);
    wizard::Shot(&dlg, prefix + "09-deepscan-tip");
    wizard::DeepScanStart().Open();
    ASSERT_TRUE(wizard::PumpUntil([&] { return waitBoxes > 0; }, "the wait box of the finishing pass"));
    ASSERT_TRUE(wizard::PumpUntil([&] { return !progress.IsRunningOrTimed() && !session.IsScanRunning(); },
                                  "the end of the deep scan"));
    uiwait::Flush();
    EXPECT_EQ(offers, 1);  // a complete scan offers nothing more
    EXPECT_FALSE(progress.GetItem(UiCtrl::RecoveryProgressWnd::kItemDeepScan)->IsVisible());
    wizard::Shot(&dlg, prefix + "10-deepscan-finished");
    // A command of its own closes the tip.
    if (result.Tip().IsShown()) SendMessage(result.Tip().GetHwnd(), WM_COMMAND, 910, 0);
    EXPECT_FALSE(result.Tip().IsShown());

    // Home: the first page, all types again, the hidden reason page back at reason 0.
    SendMessage(dlg.PageAt(CQZMUIDlg::kReasonPage)->GetHwnd(), WM_COMMAND, 102, 0);
    EXPECT_EQ(session.GetReason(), 2u);
    ASSERT_TRUE(wizard::ClickItem(progress, UiCtrl::RecoveryProgressWnd::kItemHome));
    ASSERT_TRUE(wizard::PumpUntil([&] { return dlg.CurrentPage() == types.GetHwnd(); }));
    EXPECT_TRUE(types.AllTypes());
    EXPECT_EQ(strip.Counter(), 0);
    EXPECT_EQ(static_cast<UiCtrl::SelDataLostReasonWnd*>(dlg.PageAt(CQZMUIDlg::kReasonPage))->Reason(), 0);
    EXPECT_EQ(session.GetReason(), 0u);
    EXPECT_TRUE(manager.PathRoot()->GetChildren()->empty());
    EXPECT_TRUE(session.GetTreeRoots().empty());
    EXPECT_EQ(session.GetFirstVolume(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Volumes, WizardRoad,
                         ::testing::Values(Road{"ntfs", "mbr-disk.img", "NTFS", "Logical NTFS", 0},
                                           Road{"ntfs", "mbr-disk.img", "NTFS", "Logical NTFS", 2},
                                           Road{"fat32", "fat32-basic.img", "FAT32", "FIX_FAT32", 0},
                                           Road{"exfat", "exfat-basic.img", "EXFAT", "FIX EXFAT", 0}),
                         [](const ::testing::TestParamInfo<Road>& info) {
                             return std::string(info.param.name) + (info.param.language == 0 ? "_en" : "_de");
                         });

}  // namespace
