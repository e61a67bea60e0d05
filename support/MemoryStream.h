#pragma once
// A saved-result stream over bytes in memory, for the tests and the fuzz harnesses. Header-only.
#include <cstring>
#include <vector>

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

}  // namespace testutil
