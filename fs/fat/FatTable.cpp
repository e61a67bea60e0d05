#include "fs/fat/FatTable.h"

#include <new>
#include <vector>

#include "devices/StorageDevice.h"
#include "fs/fat/FatDBR.h"

namespace {
constexpr u32 kFat16BadMark = 0xFFF7;

bool HasFat32Marks(const u8* p) {
    return (ReadLE32(p) & 0x0FFFFFFF) == 0x0FFFFFF8 && (ReadLE32(p + 4) & 0x0FFFFFF8) == 0x0FFFFFF8;
}
bool HasFat16Mark(const u8* p) { return ReadLE32(p) == 0xFFFFFFF8; }
}  // namespace

IRealFATTable::IRealFATTable(IStorageDevice* device, u64 firstSector, u32 fatSectors, u32 entryWidth)
    : m_device(device),
      m_firstSector(firstSector),
      m_fatSectors(fatSectors),
      m_entryWidth(entryWidth),
      m_sectorSize(device != nullptr ? device->GetSectorSize() : 512) {}

IRealFATTable::~IRealFATTable() { delete[] m_buffer; }

void IRealFATTable::Load(u32 minSectors512, u32 maxSectors512) {
    if (m_device == nullptr || !IsUsableFatSectorSize(m_sectorSize)) return;
    const u32 scale = m_sectorSize / 512;
    if (m_fatSectors < minSectors512 / scale || m_fatSectors > maxSectors512 / scale) return;
    const u64 bytes = u64(m_fatSectors) * m_sectorSize;
    m_buffer = new (std::nothrow) u8[bytes];
    if (m_buffer == nullptr) return;
    if (!m_device->Read(m_buffer, m_firstSector, m_fatSectors)) {
        delete[] m_buffer;
        m_buffer = nullptr;
        return;
    }
    m_entryCount = u32(bytes / m_entryWidth);
}

u32 IRealFATTable::RawEntry(u32 index) const {
    return m_entryWidth == 4 ? ReadLE32(m_buffer + u64(index) * 4) : ReadLE16(m_buffer + u64(index) * 2);
}

bool IRealFATTable::CheckPlausible(u32 badMark) {
    if (m_buffer == nullptr || m_entryCount < 2 || !HasStartMarks()) return false;
    for (u32 i = 2; i < m_entryCount; ++i) {
        const u32 e = RawEntry(i);
        if (e == 1 || e == i) return false;
        if (e >= m_entryCount && e < badMark) return false;
    }
    // Chain consistency: every cluster has at most one predecessor, and no chain closes on
    // itself. Each entry is looked at a bounded number of times, so a long chain that runs
    // backwards through the table costs no more than one that runs forwards.
    std::vector<u32> back;
    std::vector<bool> reached;
    try {
        back.assign(m_entryCount, 0);
        reached.assign(m_entryCount, false);
    } catch (const std::bad_alloc&) {
        return false;
    }
    auto isNext = [badMark](u32 e) { return e >= 2 && e < badMark; };
    // Two chains that join: a cluster named as next by two clusters. The checks before this one
    // keep every next cluster inside the table and never the cluster itself.
    for (u32 i = 2; i < m_entryCount; ++i) {
        const u32 next = RawEntry(i);
        if (!isNext(next)) continue;
        if (back[next] != 0) return false;
        back[next] = i;
    }
    // With one predecessor at most, chains are disjoint: walked from their heads they reach each
    // cluster once. A cluster with a next cluster that no head reaches lies on a closed loop.
    for (u32 head = 2; head < m_entryCount; ++head) {
        if (back[head] != 0) continue;
        for (u32 current = head; !reached[current];) {
            reached[current] = true;
            const u32 next = RawEntry(current);
            if (!isNext(next)) break;
            current = next;
        }
    }
    for (u32 i = 2; i < m_entryCount; ++i) {
        if (!reached[i] && isNext(RawEntry(i))) return false;
    }
    return true;
}

CFAT16Table::CFAT16Table(IStorageDevice* device, u64 firstSector, u32 fatSectors)
    : IRealFATTable(device, firstSector, fatSectors, 2) {
    Load(12, 256);
}

bool CFAT16Table::HasStartMarks() const { return m_buffer != nullptr && m_entryCount >= 4 && HasFat16Mark(m_buffer); }

u32 CFAT16Table::GetEntry(u32 cluster) {
    if (m_buffer == nullptr || cluster >= m_entryCount) return 0;
    const u32 e = RawEntry(cluster);
    if (e == kFat16BadMark) return kFatBadCluster;
    if (e > kFat16BadMark) return kFatEndOfChain;
    return e;
}

bool CFAT16Table::IsValid() { return CheckPlausible(kFat16BadMark); }

CFAT32Table::CFAT32Table(IStorageDevice* device, u64 firstSector, u32 fatSectors)
    : IRealFATTable(device, firstSector, fatSectors, 4) {
    Load(256, 128000);
}

bool CFAT32Table::HasStartMarks() const { return m_buffer != nullptr && m_entryCount >= 2 && HasFat32Marks(m_buffer); }

u32 CFAT32Table::GetEntry(u32 cluster) {
    if (m_buffer == nullptr || cluster >= m_entryCount) return 0;
    return RawEntry(cluster);
}

bool CFAT32Table::IsValid() { return CheckPlausible(kFatBadCluster); }

CDoubleFATTable::~CDoubleFATTable() {
    delete m_copy1;
    delete m_copy2;
}

u32 CDoubleFATTable::GetEntry(u32 cluster) {
    if (m_copy1 != nullptr) return m_copy1->GetEntry(cluster);
    if (m_copy2 != nullptr) return m_copy2->GetEntry(cluster);
    return 0;
}

IRealFATTable* CreateFATTable(IStorageDevice* device, u32 fsCode, u64 firstSector, u32 fatSectors) {
    IRealFATTable* table = nullptr;
    if (fsCode == kFsFat16) {
        table = new (std::nothrow) CFAT16Table(device, firstSector, fatSectors);
    } else if (fsCode == kFsFat32) {
        table = new (std::nothrow) CFAT32Table(device, firstSector, fatSectors);
    }
    if (table != nullptr && !table->IsValid()) {
        delete table;
        table = nullptr;
    }
    return table;
}

CDoubleFATTable* CreateDoubleFATTable(IStorageDevice* device, u64 firstFatSector, u32 fsCode, u32 fatSectors,
                                      bool loadCopy1, bool loadCopy2) {
    IRealFATTable* copy1 = loadCopy1 ? CreateFATTable(device, fsCode, firstFatSector, fatSectors) : nullptr;
    IRealFATTable* copy2 = nullptr;
    if (loadCopy2 && copy1 == nullptr) copy2 = CreateFATTable(device, fsCode, firstFatSector + fatSectors, fatSectors);
    return new CDoubleFATTable(copy1, copy2);
}

bool IsFATStartSector(const u8* sector, u32 sectorSize, u32& fsCode) {
    if (sector == nullptr || sectorSize < 8) return false;
    if (HasFat32Marks(sector)) {
        fsCode = kFsFat32;
        return true;
    }
    if (HasFat16Mark(sector)) {
        fsCode = kFsFat16;
        return true;
    }
    return false;
}
