#pragma once
// The file allocation table, loaded whole into memory and tested for plausibility before any
// search follows a chain through it.
#include "platform/Types.h"

class IStorageDevice;

// Normalised marks that GetEntry answers.
constexpr u32 kFatEndOfChain = 0x0FFFFFF8;
constexpr u32 kFatBadCluster = 0x0FFFFFF7;

// True when a FAT entry names a next cluster: at least 2 and below the bad mark. Every walker
// ends a chain at anything else (free, reserved, bad, end, or a FAT32 value with its top bits
// set), besides bounding the cluster by its volume's cluster count.
inline bool IsFatNextCluster(u32 value) { return value >= 2 && value < kFatBadCluster; }

class IFATTable {
public:
    virtual ~IFATTable() = default;
    // The next cluster of the chain; 0 for a cluster the table does not hold.
    virtual u32 GetEntry(u32 cluster) = 0;
};

// One copy of the FAT as read from the device.
class IRealFATTable {
public:
    IRealFATTable(IStorageDevice* device, u64 firstSector, u32 fatSectors, u32 entryWidth);
    virtual ~IRealFATTable();
    IRealFATTable(const IRealFATTable&) = delete;
    IRealFATTable& operator=(const IRealFATTable&) = delete;

    virtual u32 GetEntry(u32 cluster) = 0;
    virtual bool IsValid() = 0;

    u32 GetEntryCount() const { return m_entryCount; }
    bool IsLoaded() const { return m_buffer != nullptr; }

protected:
    // Loads the whole FAT when its size lies inside [minSectors, maxSectors] (given for 512-byte
    // sectors and scaled to the device's sector size).
    void Load(u32 minSectors512, u32 maxSectors512);
    // The stored entry at the table's width, unnormalised; the caller bounds the index.
    u32 RawEntry(u32 index) const;
    // The three plausibility steps, with the width's bad mark.
    bool CheckPlausible(u32 badMark);
    virtual bool HasStartMarks() const = 0;

    IStorageDevice* m_device;
    u64 m_firstSector;
    u32 m_fatSectors;
    u32 m_entryWidth;
    u32 m_entryCount = 0;
    u8* m_buffer = nullptr;
    u32 m_sectorSize;
};

class CFAT16Table : public IRealFATTable {
public:
    CFAT16Table(IStorageDevice* device, u64 firstSector, u32 fatSectors);
    u32 GetEntry(u32 cluster) override;
    bool IsValid() override;

protected:
    bool HasStartMarks() const override;
};

class CFAT32Table : public IRealFATTable {
public:
    CFAT32Table(IStorageDevice* device, u64 firstSector, u32 fatSectors);
    u32 GetEntry(u32 cluster) override;
    bool IsValid() override;

protected:
    bool HasStartMarks() const override;
};

// The two copies of a volume's FAT; the first present copy answers.
class CDoubleFATTable : public IFATTable {
public:
    CDoubleFATTable(IRealFATTable* copy1, IRealFATTable* copy2) : m_copy1(copy1), m_copy2(copy2) {}
    ~CDoubleFATTable() override;
    CDoubleFATTable(const CDoubleFATTable&) = delete;
    CDoubleFATTable& operator=(const CDoubleFATTable&) = delete;

    u32 GetEntry(u32 cluster) override;
    IRealFATTable* GetCopy1() const { return m_copy1; }
    IRealFATTable* GetCopy2() const { return m_copy2; }

private:
    IRealFATTable* m_copy1;
    IRealFATTable* m_copy2;
};

// Code 1 a FAT16 table, code 2 a FAT32 table; null for other codes and for a table that does
// not load or is not plausible.
IRealFATTable* CreateFATTable(IStorageDevice* device, u32 fsCode, u64 firstSector, u32 fatSectors);
// Copy 2 is loaded only when asked for and copy 1 was not usable. Never null.
CDoubleFATTable* CreateDoubleFATTable(IStorageDevice* device, u64 firstFatSector, u32 fsCode, u32 fatSectors,
                                      bool loadCopy1, bool loadCopy2);

// Whether the sector begins a FAT: FAT32 marks give code 2, the FAT16 mark code 1; fsCode is
// left alone when neither is found.
bool IsFATStartSector(const u8* sector, u32 sectorSize, u32& fsCode);
