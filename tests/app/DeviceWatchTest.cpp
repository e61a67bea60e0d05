// Disks that come and go: a folder in MORVENDA_DISKS stands for the images in it, and the watcher
// posts the device-change messages for images copied in, taken out or changed in size.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "TestUtil.h"
#include "ToolImage.h"
#include "devices/DiskDevice.h"
#include "ui/UiWait.h"
#include "platform/DeviceWatch.h"
#include "platform/Disks.h"

namespace {

class DisksFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("MORVENDA_DISKS");
        hadOld_ = old != nullptr;
        saved_ = old ? old : "";
        headless::TakeMessages();
    }
    void TearDown() override {
        if (hadOld_) ::setenv("MORVENDA_DISKS", saved_.c_str(), 1);
        else ::unsetenv("MORVENDA_DISKS");
    }
    void Image(const std::string& name, size_t bytes) {
        std::ofstream(dir_.File(name), std::ios::binary | std::ios::trunc) << std::string(bytes, '\0');
    }
    // The watcher posts to a made-up handle: only the headless sink takes it.
    HeadlessWindowPostScope headlessPost_;
    testutil::TempDir dir_;
    bool hadOld_ = false;
    std::string saved_;
};

HWND Target() { return reinterpret_cast<HWND>(0x4242); }

std::vector<WPARAM> Events() {
    std::vector<WPARAM> out;
    for (const HeadlessMessage& m : headless::TakeMessages())
        if (m.window == Target() && m.message == WM_DEVICECHANGE_MSG) out.push_back(m.wParam);
    return out;
}

TEST_F(DisksFolder, AFolderListsItsImageFilesInNameOrderWithTheFoldersSectorSize) {
    Image("b.img", 4096);
    Image("a.img", 4096);
    Image(".partial.img", 4096);
    std::filesystem::create_directory(dir_.File("sub"));
    ::setenv("MORVENDA_DISKS", (dir_.Path() + "@4096").c_str(), 1);
    const std::vector<DiskTableEntry> table = GetDiskTable();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].path, dir_.File("a.img"));
    EXPECT_EQ(table[1].path, dir_.File("b.img"));
    for (const DiskTableEntry& e : table) {
        EXPECT_TRUE(e.isImage);
        EXPECT_EQ(e.imageSectorSize, 4096u);
    }
}

TEST_F(DisksFolder, EachChangeOfTheFolderPostsItsMessages) {
    ::setenv("MORVENDA_DISKS", dir_.Path().c_str(), 1);
    Image("a.img", 1024);
    DeviceWatcher watcher(Target());
    watcher.Poll();  // the first look: everything is new
    Events();

    const struct {
        const char* what;
        std::function<void()> change;
        std::vector<WPARAM> expected;
    } steps[] = {
        {"nothing", [] {}, {}},
        {"added", [&] { Image("b.img", 2048); }, {kDbtDeviceArrival, kDbtDevNodesChanged}},
        {"grown", [&] { Image("b.img", 4096); }, {kDbtDeviceRemoveComplete, kDbtDeviceArrival, kDbtDevNodesChanged}},
        {"removed", [&] { std::filesystem::remove(dir_.File("a.img")); }, {kDbtDeviceRemoveComplete, kDbtDevNodesChanged}},
    };
    for (const auto& step : steps) {
        step.change();
        watcher.Poll();
        EXPECT_EQ(Events(), step.expected) << step.what;
    }
}

TEST_F(DisksFolder, TheWatcherThreadSeesAnImageCopiedIn) {
    ::setenv("MORVENDA_DISKS", dir_.Path().c_str(), 1);
    DeviceWatcher watcher(Target(), 10);
    watcher.Start();
    Image("new.img", 512);
    std::vector<WPARAM> seen;
    EXPECT_TRUE(uiwait::UntilWithoutEvents([&] {
        for (WPARAM e : Events()) seen.push_back(e);
        return seen.size() >= 2;
    }, "the watcher's two notices"));
    watcher.Stop();
    EXPECT_EQ(seen, (std::vector<WPARAM>{kDbtDeviceArrival, kDbtDevNodesChanged}));
}

// A disk that goes while open: its descriptor still answers, but only a grown image is the same
// disk still. A card taken out of its reader is a loop device emptied (one in use is never let go).
TEST_F(DisksFolder, ADiskThatWentAwayNoLongerAnswersAndTheWatcherTellsIt) {
    const std::string image = dir_.File("disk.img");
    const std::pair<const char*, bool> cases[] = {{"grown", true}, {"cut", false}, {"removed", false}, {"loop emptied", false}};
    for (const auto& [what, answers] : cases) {
        SCOPED_TRACE(what);
        const bool loop = std::string(what) == "loop emptied";
        if (loop && ::geteuid() != 0) continue;  // only root attaches loop devices
        Image("disk.img", 4096);
        std::optional<testutil::LoopDevice> device;
        if (loop) device.emplace(image);
        ::setenv("MORVENDA_DISKS", (loop ? device->Path() : image).c_str(), 1);
        DeviceWatcher watcher(Target());
        watcher.Poll();
        CDiskDevice disk(0);
        ASSERT_EQ(disk.Open(), 1u);
        if (std::string(what) == "removed") std::filesystem::remove(image);
        else std::filesystem::resize_file(image, answers ? 8192 : 0);
        if (loop) {
            ASSERT_TRUE(testutil::RunQuiet("losetup -c " + device->Path()));
        }
        DiskGeometry g{};
        EXPECT_EQ(disk.GetGeometry(&g), answers);
        Events();
        watcher.Poll();
        const std::vector<WPARAM> seen = Events();
        EXPECT_TRUE(!seen.empty() && seen.front() == kDbtDeviceRemoveComplete) << "the watcher did not see it";
    }
}

}  // namespace
