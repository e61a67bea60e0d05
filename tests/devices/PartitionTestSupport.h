#pragma once
// In-memory disks and a stand-in file-system analyser for the partition-table and volume tests.
#include <cstring>
#include <string>
#include <vector>

#include "devices/StorageDevice.h"
#include "devices/VolumeAnalyzerSet.h"
#include "devices/VolumeRecord.h"

namespace parttest {

// A disk held in memory; reads past the end fail.
class MemDisk : public IStorageDevice {
public:
    MemDisk(u64 sectors, u32 sectorSize) : m_sectors(sectors), m_ss(sectorSize), m_data(sectors * sectorSize, 0) {}
    u32 Read(void* buffer, u64 first, u64 count) override {
        ++reads;
        if (first > m_sectors || count > m_sectors - first) return 0;
        std::memcpy(buffer, m_data.data() + first * m_ss, count * m_ss);
        return 1;
    }
    u64 GetTotalSectors() override { return m_sectors; }
    u32 GetSectorSize() override { return m_ss; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }

    u8* Sector(u64 s) { return m_data.data() + s * m_ss; }
    void Signature(u64 s) {
        Sector(s)[510] = 0x55;
        Sector(s)[511] = 0xAA;
    }
    // Entry `index` of the table in sector s.
    void Entry(u64 s, u32 index, u8 type, u32 first, u32 count, u8 boot = 0) {
        u8* e = Sector(s) + 446 + index * 16;
        e[0] = boot;
        e[4] = type;
        WriteLE32(e + 8, first);
        WriteLE32(e + 12, count);
    }
    // A boot sector the stand-in analyser recognises.
    void FakeVolume(u64 s, u32 fsCode, u64 totalSectors, const char* label) {
        u8* p = Sector(s);
        std::memcpy(p + 3, "FAKEFS", 6);
        p[11] = static_cast<u8>(fsCode);
        WriteLE64(p + 40, totalSectors);
        std::strncpy(reinterpret_cast<char*>(p + 64), label, 99);
    }

    int reads = 0;

private:
    u64 m_sectors;
    u32 m_ss;
    std::vector<u8> m_data;
};

// Recognises the FakeVolume boot sector; answers 9 otherwise (as the NTFS and FAT analysers do).
class FakeAnalyzer : public IVolume {
public:
    FakeAnalyzer(IStorageDevice* device, u64 first) {
        std::vector<u8> s(device->GetSectorSize(), 0);
        if (device->Read(s.data(), first, 1) != 1 || std::memcmp(s.data() + 3, "FAKEFS", 6) != 0) return;
        m_code = s[11];
        m_total = ReadLE64(s.data() + 40);
        std::memcpy(m_label, s.data() + 64, 99);
    }
    u32 GetFileSystemType() override { return m_code; }
    u64 GetTotalSectors() override { return m_total; }
    void GetVolumeLabel(char* out, u32 size) override { std::memcpy(out, m_label, size < 100 ? size : 100); }

private:
    u32 m_code = kFsUnknown;
    u64 m_total = 0;
    char m_label[100] = {};
};

inline IVolume* MakeFakeAnalyzer(IStorageDevice* device, u64 first) { return new FakeAnalyzer(device, first); }

// Registers the stand-in in the NTFS slot for the lifetime of the object.
struct FakeAnalyzerScope {
    FakeAnalyzerScope() { RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kNtfs, &MakeFakeAnalyzer); }
    ~FakeAnalyzerScope() { RegisterVolumeAnalyzer(VolumeAnalyzerSlot::kNtfs, nullptr); }
};

}  // namespace parttest
