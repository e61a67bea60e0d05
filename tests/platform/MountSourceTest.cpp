// Which file systems are read from a given disk, on a made-up mount table and sysfs tree around
// the real device of a temporary folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "TestUtil.h"
#include "platform/MountSource.h"

namespace {

namespace fs = std::filesystem;

std::string DeviceOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return "";
    return std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
}

void WriteText(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

// A sysfs tree in which the device `device` is a loop device (or its first partition) backed
// by `backing`.
std::string LoopSysfs(const std::string& root, const std::string& device, const std::string& backing,
                      bool partition) {
    const std::string loop = root + "/devices/virtual/block/loop7";
    WriteText(loop + "/loop/backing_file", backing + "\n");
    std::string target = loop;
    if (partition) {
        target = loop + "/loop7p1";
        WriteText(target + "/partition", "1\n");
    }
    fs::create_directories(root + "/dev/block");
    fs::create_symlink(target, root + "/dev/block/" + device);
    return root;
}

TEST(MountSource, FoldersOnAFileSystemReadFromTheDisk) {
    testutil::TempDir tmp;
    const std::string image = tmp.File("my disk.img");
    const std::string other = tmp.File("other.img");
    testutil::WriteFileBytes(image, std::vector<u8>(4096));
    testutil::WriteFileBytes(other, std::vector<u8>(4096));
    const std::string dest = tmp.File("dest");
    fs::create_directories(dest);
    const std::string device = DeviceOf(dest);
    ASSERT_FALSE(device.empty());
    const std::string noSys = tmp.File("empty-sys");
    fs::create_directories(noSys);

    // A FUSE mount names the image in the table, with the space escaped.
    std::string escaped = image;
    escaped.replace(escaped.find(' '), 1, "\\040");
    const std::string fuse = "36 25 " + device + " / /mnt/x rw,relatime shared:1 - fuse " + escaped + " rw\n";
    EXPECT_TRUE(IsFolderOnDisk(dest, image, fuse, noSys));
    EXPECT_TRUE(IsFolderOnDisk(dest + "/not/made/yet", image, fuse, noSys));
    EXPECT_FALSE(IsFolderOnDisk(dest, other, fuse, noSys));
    EXPECT_FALSE(IsFolderOnDisk(dest, tmp.File("missing.img"), fuse, noSys));
    // The same source on another file system says nothing about this one.
    const std::string elsewhere = "36 25 999:999 / /mnt/x rw - fuse " + escaped + " rw\n";
    EXPECT_FALSE(IsFolderOnDisk(dest, image, elsewhere, noSys));

    // A kernel file system on a loop device over the image, or on a partition of one.
    for (bool partition : {false, true}) {
        SCOPED_TRACE(partition ? "partition" : "whole loop device");
        const std::string sys =
            LoopSysfs(tmp.File(partition ? "sys-part" : "sys-loop"), device, image, partition);
        EXPECT_TRUE(IsFolderOnDisk(dest, image, "", sys));
        EXPECT_TRUE(IsFolderOnDisk(dest + "/new", image, "", sys));
        EXPECT_FALSE(IsFolderOnDisk(dest, other, "", sys));
    }
    // A device-mapper volume over a partition of such a loop device; a tree that loops back on
    // itself ends the walk.
    const std::string dm = tmp.File("sys-dm");
    const std::string mapped = dm + "/devices/virtual/block/dm-3";
    fs::create_directories(mapped + "/slaves");
    LoopSysfs(tmp.File("sys-dm-parts"), "7:1", image, true);
    fs::create_symlink(tmp.File("sys-dm-parts") + "/devices/virtual/block/loop7/loop7p1", mapped + "/slaves/loop7p1");
    fs::create_symlink(mapped, mapped + "/slaves/dm-3");
    fs::create_directories(dm + "/dev/block");
    fs::create_symlink(mapped, dm + "/dev/block/" + device);
    EXPECT_TRUE(IsFolderOnDisk(dest, image, "", dm));
    EXPECT_FALSE(IsFolderOnDisk(dest, other, "", dm));

    EXPECT_FALSE(IsFolderOnDisk(dest, image, "", noSys));
}

}  // namespace
