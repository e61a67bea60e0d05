#pragma once
// Shared setup of the disk-device tests: the disk table pointed at images, the trace log, and
// small disk images built in a temporary folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "platform/Disks.h"
#include "platform/Log.h"
#include "platform/ProgramDir.h"

namespace disktest {

// Sets MORVENDA_DISKS for one test and restores the previous table, the read faults and the
// skip switch afterwards.
class DiskTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("MORVENDA_DISKS")) {
            hadOld_ = true;
            old_ = old;
        }
        ClearDiskReadFaults();
        ResetDiskReadCount();
        GetScanOptions().SetSkipBadSectors(1);
    }
    void TearDown() override {
        if (hadOld_)
            ::setenv("MORVENDA_DISKS", old_.c_str(), 1);
        else
            ::unsetenv("MORVENDA_DISKS");
        ClearDiskReadFaults();
        GetScanOptions().SetSkipBadSectors(1);
    }
    static void UseDisks(const std::string& list) { ::setenv("MORVENDA_DISKS", list.c_str(), 1); }

private:
    bool hadOld_ = false;
    std::string old_;
};

// The whole file in one read (the fixtures are tens of MiB).
inline std::vector<u8> ReadWholeFile(const std::string& path) {
    std::vector<u8> data;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return data;
    data.resize(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return data;
}

inline std::string LogPath() { return LogFilePath("MorvendaTrace.log"); }

// Sends the trace log to a folder of its own while it lives; Since() returns what was written
// there. Other test processes share the usual log folder, so their lines (and the log's
// rotation) stay out of the way.
class LogMark {
public:
    LogMark() {
        if (const char* old = std::getenv("XDG_STATE_HOME")) {
            hadOld_ = true;
            old_ = old;
        }
        ::setenv("XDG_STATE_HOME", dir_.Path().c_str(), 1);
    }
    ~LogMark() {
        if (hadOld_)
            ::setenv("XDG_STATE_HOME", old_.c_str(), 1);
        else
            ::unsetenv("XDG_STATE_HOME");
    }
    LogMark(const LogMark&) = delete;
    LogMark& operator=(const LogMark&) = delete;
    std::string Since() const {
        const std::vector<u8> all = ReadWholeFile(LogPath());
        return std::string(all.begin(), all.end());
    }

private:
    testutil::TempDir dir_;
    bool hadOld_ = false;
    std::string old_;
};

// An image of `sectors` sectors whose every byte is a function of its offset, so a read can be
// checked without a copy of the file.
inline u8 PatternByte(u64 offset) { return static_cast<u8>((offset * 7 + (offset >> 9) * 13 + 1) & 0xFF); }

inline std::string MakePatternImage(const testutil::TempDir& dir, const std::string& name, u64 bytes) {
    std::vector<u8> data(bytes);
    for (u64 i = 0; i < bytes; ++i) data[i] = PatternByte(i);
    const std::string path = dir.File(name);
    testutil::WriteFileBytes(path, data);
    return path;
}

inline bool MatchesPattern(const u8* p, u64 offset, u64 bytes) {
    for (u64 i = 0; i < bytes; ++i)
        if (p[i] != PatternByte(offset + i)) return false;
    return true;
}

inline bool AllZero(const u8* p, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        if (p[i] != 0) return false;
    return true;
}

}  // namespace disktest

// Ranges of sectors print as first+count in failure messages.
inline void PrintTo(const SectorRange& r, std::ostream* os) { *os << r.first << "+" << r.count; }
