// What the disk table takes as a disk: regular files and block devices only, with the sector
// sizes an image may declare.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "TestUtil.h"
#include "platform/Disks.h"

namespace {

class DisksVariable {
public:
    explicit DisksVariable(const std::string& value) { ::setenv("MORVENDA_DISKS", value.c_str(), 1); }
    ~DisksVariable() { ::unsetenv("MORVENDA_DISKS"); }
};

TEST(DiskTableKinds, ANamedPipeOrACharacterDeviceIsRefusedAtOnce) {
    testutil::TempDir tmp;
    const std::string fifo = tmp.File("pipe.img");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string image = tmp.File("disk.img");
    ASSERT_TRUE(testutil::WriteFileBytes(image, std::vector<u8>(8192)));
    // A folder entry stands for the image files in it, so the odd kinds are named one by one.
    DisksVariable disks(fifo + ":/dev/null:" + image);

    // Run apart: a reader of a pipe would wait for a writer for good.
    std::atomic<int> opened{-1};
    std::thread reader([&] {
        DiskHandle h;
        opened = DiskOpen(0, &h) ? 1 : 0;
        DiskClose(&h);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (opened.load() < 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (opened.load() < 0) {
        // Let the waiting open go so that the test can end.
        const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        reader.join();
        if (writer >= 0) ::close(writer);
        FAIL() << "opening a named pipe as a disk did not return";
    }
    reader.join();
    EXPECT_EQ(opened.load(), 0);

    DiskHandle h;
    EXPECT_FALSE(DiskOpen(1, &h));
    ASSERT_TRUE(DiskOpen(2, &h));
    // The descriptor reads as any disk's does, not as a non-blocking one.
    EXPECT_EQ(::fcntl(h.fd, F_GETFL) & O_NONBLOCK, 0);
    DiskClose(&h);
}

TEST(DiskTableKinds, DeclaredSectorSizesArePowersOfTwoFrom512To4096) {
    for (u32 size : {512u, 1024u, 2048u, 4096u}) EXPECT_TRUE(IsSupportedImageSectorSize(size)) << size;
    for (u32 size : {0u, 256u, 520u, 1536u, 3072u, 8192u, 65536u}) EXPECT_FALSE(IsSupportedImageSectorSize(size)) << size;

    DisksVariable disks("/images/a.img@4096:/images/b.img@1536");
    const std::vector<DiskTableEntry> table = GetDiskTable();
    ASSERT_EQ(table.size(), 2u);
    EXPECT_EQ(table[0].path, "/images/a.img");
    EXPECT_EQ(table[0].imageSectorSize, 4096u);
    // An unsupported size is no size: the entry stays a path that names no image.
    EXPECT_EQ(table[1].path, "/images/b.img@1536");
}

}  // namespace
