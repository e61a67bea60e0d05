#pragma once
// A device that keeps the blocks a sector-by-sector search has just scanned in one ring of memory
// and serves reads that fall wholly inside them without touching the scanned device; other reads
// pass to the device behind it.
#include <memory>

#include "devices/StorageDevice.h"

class CBufferStorageDevice : public IStorageDevice {
public:
    static constexpr u32 kDefaultSectorSize = 512;

    CBufferStorageDevice() = default;
    ~CBufferStorageDevice() override;

    // The ring numbers its sectors by counting: the first block appended holds `windowFirst`, each
    // later block follows the one before. False (and nothing held) when the sizes are zero, their
    // product overflows or the memory cannot be had.
    bool Init(IStorageDevice* inner, u64 windowFirst, u32 sectorSize, u32 sectorsPerBlock, u32 blockCount);
    // Copies one block of sectors-per-block sectors in; the oldest block drops out once full.
    void AppendBlock(const void* block);
    u32 IsFull() const { return m_initialised && m_held == m_capacity ? 1 : 0; }

    u32 Read(void* buffer, u64 firstSector, u64 count) override;
    // Where the held sectors [firstSector, firstSector + count) lie in the ring when they lie there
    // one after another, else null: a reader can look at them without a copy. Valid until the
    // next AppendBlock.
    const u8* Peek(u64 firstSector, u64 count) const;
    // The scanned device's size, so that readers near its end know how much is left to read
    // (the held count would make every read past the window look like a read past the end).
    u64 GetTotalSectors() override { return m_inner ? m_inner->GetTotalSectors() : m_held; }
    u64 GetHeldSectors() const { return m_held; }
    u32 GetSectorSize() override { return m_sectorSize > 0 ? static_cast<u32>(m_sectorSize) : kDefaultSectorSize; }
    u32 Open() override { return 1; }
    u32 Close() override;
    IStorageDevice* GetInnerDevice() override { return m_inner; }

    u64 GetWindowFirst() const { return m_windowFirst; }

private:
    // Ring position (in sectors) of a held device sector.
    u32 PositionOf(u64 sector) const;

    std::unique_ptr<u8[]> m_ring;
    IStorageDevice* m_inner = nullptr;
    i32 m_sectorSize = 0;
    u64 m_windowFirst = 0;
    u64 m_held = 0;
    u32 m_head = 0;
    u32 m_sectorsPerBlock = 0;
    u32 m_blockCount = 0;
    u32 m_capacity = 0;
    bool m_initialised = false;
};
