#pragma once
// The tests' saved-result streams: one section kept in memory, and one section written to and
// read back from a real saved-result file. Header-only, so that the support library needs no
// engine code.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "engine/RSData.h"

namespace testutil {

// A stream that keeps one section's bytes in memory; `pos` is where the next read starts.
class MemoryStream : public IRSData {
public:
    std::vector<u8> bytes;
    size_t pos = 0;

    bool IsValidFile() override { return true; }
    bool Open(const char*, u32) override { return true; }
    u32 Close() override { return 1; }
    bool WriteHeader(const ScanResultHeader&) override { return true; }
    bool ReadHeader(ScanResultHeader&) override { return true; }
    i32 GetVersion() override { return 1; }
    bool SetVersion(u32) override { return true; }
    bool SetDescription(const char*) override { return true; }
    bool GetDescription(char*, i32) override { return false; }
    bool BeginSection(const MGUID&) override { return true; }
    u32 EndSection() override { return 0; }
    u32 GetSectionLength() override { return static_cast<u32>(bytes.size()); }
    u32 Read(void* buffer, u32 n) override {
        if (bytes.size() - pos < n) throw CRSException(kRSEndOfData);
        std::memcpy(buffer, bytes.data() + pos, n);
        pos += n;
        return n;
    }
    u32 Write(const void* data, u32 n) override {
        const u8* p = static_cast<const u8*>(data);
        bytes.insert(bytes.end(), p, p + n);
        return n;
    }
    bool CanRead(u64 n) override { return bytes.size() - pos >= n; }
};

// Writes one section `section` of a new saved-result file `dir`/`name` and returns its path.
inline std::string WriteSection(const TempDir& dir, const std::string& name, const MGUID& section,
                                const std::function<void(IRSData*)>& write) {
    const std::string path = dir.File(name);
    CRSDataEx out(1);
    EXPECT_TRUE(out.Open(path.c_str(), 1));
    EXPECT_TRUE(out.WriteHeader(MakeScanResultHeader(1)));
    out.BeginSection(section);
    write(&out);
    out.EndSection();
    out.Close();
    return path;
}

// The data bytes of the file's section, which must be exactly `size` long.
inline std::vector<u8> SectionBytes(const std::string& path, const MGUID& section, u32 size) {
    CRSDataEx in(0);
    EXPECT_TRUE(in.Open(path.c_str(), 0));
    in.BeginSection(section);
    std::vector<u8> data = in.ReadBlob(size);
    EXPECT_THROW(in.ReadU8(), IRSException);
    return data;
}

}  // namespace testutil
