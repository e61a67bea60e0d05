#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "devices/Win32File.h"
#include "tests/support/TestUtil.h"

namespace {

std::string Bytes(const std::string& path) {
    const auto v = testutil::ReadFileBytes(path);
    return std::string(v.begin(), v.end());
}

TEST(Win32File, OpenModesHonourAccessAndDisposition) {
    testutil::TempDir dir;
    const std::string path = dir.File("f.bin");
    CWin32File f;

    // Modes 0 to 2 need an existing file.
    for (u32 mode : {0u, 1u, 2u}) EXPECT_FALSE(f.Open(path.c_str(), mode)) << mode;
    EXPECT_FALSE(testutil::FileExists(path));

    // Mode 4 creates a missing file and keeps an existing one.
    ASSERT_TRUE(f.Open(path.c_str(), 4));
    ASSERT_TRUE(f.Write("hello", 5));
    f.Close();
    ASSERT_TRUE(f.Open(path.c_str(), 4));
    u64 size = 0;
    ASSERT_TRUE(f.GetSize(&size));
    EXPECT_EQ(size, 5u);

    // Mode 0 reads but cannot write.
    ASSERT_TRUE(f.Open(path.c_str(), 0));
    EXPECT_FALSE(f.Write("x", 1));
    char buf[8] = {};
    EXPECT_EQ(f.Read(buf, 8), 5u);
    EXPECT_STREQ(buf, "hello");

    // Mode 1 writes but cannot read.
    ASSERT_TRUE(f.Open(path.c_str(), 1));
    EXPECT_EQ(f.Read(buf, 1), 0u);
    ASSERT_TRUE(f.Write("J", 1));
    f.Close();
    EXPECT_EQ(Bytes(path), "Jello");

    // Mode 2 reads and writes in place.
    ASSERT_TRUE(f.Open(path.c_str(), 2));
    ASSERT_TRUE(f.Seek(4));
    ASSERT_TRUE(f.Write("y", 1));
    ASSERT_TRUE(f.Seek(0));
    EXPECT_EQ(f.Read(buf, 5), 5u);
    f.Close();
    EXPECT_EQ(Bytes(path), "Jelly");

    // Mode 3 empties an existing file.
    ASSERT_TRUE(f.Open(path.c_str(), 3));
    ASSERT_TRUE(f.GetSize(&size));
    EXPECT_EQ(size, 0u);
}

TEST(Win32File, BadModeClosesButLeavesFileAlone) {
    testutil::TempDir dir;
    const std::string path = dir.File("keep.bin");
    ASSERT_TRUE(testutil::WriteFileBytes(path, {'a', 'b', 'c'}));
    CWin32File f(path.c_str(), 0);
    ASSERT_TRUE(f.IsFileHandleValid());
    EXPECT_FALSE(f.Open(path.c_str(), 5));
    EXPECT_FALSE(f.IsFileHandleValid());
    EXPECT_EQ(Bytes(path), "abc");
    EXPECT_FALSE(f.Open(dir.File("none").c_str(), 5));
    EXPECT_FALSE(testutil::FileExists(dir.File("none")));
    EXPECT_FALSE(f.Open(nullptr, 3));
    EXPECT_FALSE(f.Open(dir.Path().c_str(), 0));  // a folder is not a file
}

TEST(Win32File, ClosedFileOperationsFail) {
    CWin32File f;
    EXPECT_FALSE(f.IsFileHandleValid());
    EXPECT_EQ(f.GetPosition(), ~u64(0));
    u64 v = 0;
    EXPECT_FALSE(f.QueryPosition(&v));
    EXPECT_FALSE(f.GetSize(&v));
    EXPECT_FALSE(f.Seek(0));
    EXPECT_FALSE(f.Flush());
    EXPECT_FALSE(f.Write("a", 1));
    char c = 0;
    EXPECT_EQ(f.Read(&c, 1), 0u);
    EXPECT_EQ(f.ReadLine(&c, 0), 0u);
    f.SeekToEnd();
    f.SeekToBegin();
    f.Close();
}

TEST(Win32File, PositionsPastFourGiB) {
    testutil::TempDir dir;
    const std::string path = dir.File("sparse.bin");
    const u64 far = (u64(5) << 30) + 123;  // 5 GiB and a bit: sparse, so no disk space is used
    {
        CWin32File f(path.c_str(), 3);
        ASSERT_TRUE(f.IsFileHandleValid());
        ASSERT_TRUE(f.Seek(far));
        ASSERT_TRUE(f.Write("tail", 4));
        EXPECT_EQ(f.GetPosition(), far + 4);
        u64 size = 0;
        ASSERT_TRUE(f.GetSize(&size));
        EXPECT_EQ(size, far + 4);
        ASSERT_TRUE(f.Flush());
    }
    CWin32File f(path.c_str(), 0);
    ASSERT_TRUE(f.Seek(far + 1));
    u64 pos = 0;
    ASSERT_TRUE(f.QueryPosition(&pos));
    EXPECT_EQ(pos, far + 1);
    char buf[8] = {};
    EXPECT_EQ(f.Read(buf, 8), 3u);
    EXPECT_EQ(std::string(buf, 3), "ail");
    f.SeekToBegin();
    EXPECT_EQ(f.GetPosition(), 0u);
    EXPECT_EQ(f.Read(buf, 4), 4u);
    EXPECT_EQ(std::memcmp(buf, "\0\0\0\0", 4), 0);
    f.SeekToEnd();
    EXPECT_EQ(f.GetPosition(), far + 4);
    EXPECT_FALSE(f.QueryPosition(nullptr));
    EXPECT_FALSE(f.GetSize(nullptr));
}

TEST(Win32File, WriteLineAddsCrLfOnlyWhenMissing) {
    testutil::TempDir dir;
    const std::string path = dir.File("lines.txt");
    CWin32File f(path.c_str(), 3);
    EXPECT_TRUE(f.WriteLine("abc", 3));
    EXPECT_TRUE(f.WriteLine("de\r\n", 4));
    EXPECT_TRUE(f.WriteLine("", 0));
    EXPECT_TRUE(f.WriteLine("\n", 1));
    f.Close();
    EXPECT_EQ(Bytes(path), "abc\r\nde\r\n\n\r\n");
    CWin32File reader(path.c_str(), 0);
    EXPECT_FALSE(reader.WriteLine("x", 1));
}

TEST(Win32File, ReadLineKeepsLineFeedAndStopsAtLimit) {
    testutil::TempDir dir;
    const std::string path = dir.File("lines.txt");
    ASSERT_TRUE(testutil::WriteFileBytes(path, {'a', 'b', '\r', '\n', 'c', 'd'}));
    CWin32File f(path.c_str(), 0);
    char buf[11];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(f.ReadLine(buf, 10), 4u);
    EXPECT_EQ(std::memcmp(buf, "ab\r\n\0", 5), 0);
    EXPECT_EQ(f.ReadLine(buf, 10), 2u);
    EXPECT_EQ(std::memcmp(buf, "cd\0", 3), 0);
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(f.ReadLine(buf, 10), 0u);
    EXPECT_EQ(buf[0], 'Z');  // untouched at the end

    // A line longer than the limit is cut at n bytes; the rest comes with the next call.
    ASSERT_TRUE(f.Seek(0));
    char small[4];
    EXPECT_EQ(f.ReadLine(small, 3), 3u);
    EXPECT_EQ(std::memcmp(small, "ab\r\0", 4), 0);
    EXPECT_EQ(f.ReadLine(small, 3), 1u);
    EXPECT_EQ(std::memcmp(small, "\n\0", 2), 0);
}

}  // namespace
