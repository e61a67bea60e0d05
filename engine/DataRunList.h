#pragma once
// Where a file's data lies: an ordered list of extents in clusters (sectors for files found by
// signature), with a cursor for walking it.
#include <cstddef>
#include <deque>

#include "platform/Types.h"

class IRSData;

// One extent of a file's data. start is the first cluster relative to the partition (the first
// sector relative to the device for files found by signature); -1 is a sparse extent, which
// has no clusters and reads as zeros; -2 an extent whose clusters lie past the end of the
// volume the file was found on, which keeps the file's later extents in their places but has
// nothing that can be read as the file's.
struct DataRunExtent {
    i64 start = 0;
    u64 length = 0;
    friend bool operator==(const DataRunExtent&, const DataRunExtent&) = default;
};

constexpr i64 kSparseExtentStart = -1;
constexpr i64 kOutsideVolumeExtentStart = -2;

// GetKind answers.
constexpr u32 kRunListFat = 0;
constexpr u32 kRunListNtfsResident = 1;
constexpr u32 kRunListNtfsNonResident = 2;
constexpr u32 kRunListRaw = 3;
constexpr u32 kRunListExFat = 4;

class IDataRunList {
public:
    IDataRunList() = default;
    IDataRunList(const IDataRunList&) = delete;
    IDataRunList& operator=(const IDataRunList&) = delete;
    virtual ~IDataRunList() = default;

    virtual bool IsResident() const { return false; }
    virtual u32 GetResidentOffset() const { return 0; }
    // u32 count, then count extents of 16 bytes (i64 start, u64 length).
    virtual void Save(IRSData* stream) const;
    // Appends the extents of a saved form.
    virtual void Load(IRSData* stream);
    virtual u32 GetKind() const = 0;

    void AddExtent(const DataRunExtent& extent) { m_extents.push_back(extent); }
    void AppendExtent(u64 start, u64 length) { m_extents.push_back({static_cast<i64>(start), length}); }
    void Clear();

    // The cursor: GetFirstExtent puts it on the first extent; null when the list is empty or
    // the cursor has passed the last one. Pointers stay valid until Clear or destruction.
    DataRunExtent* GetFirstExtent();
    DataRunExtent* GetNextExtent();
    bool IsAtEnd() const { return m_cursor >= m_extents.size(); }

    size_t GetExtentCount() const { return m_extents.size(); }
    const DataRunExtent& GetExtent(size_t index) const { return m_extents[index]; }
    DataRunExtent* GetLastExtent() { return m_extents.empty() ? nullptr : &m_extents.back(); }

private:
    // A deque keeps element addresses stable when extents are appended.
    std::deque<DataRunExtent> m_extents;
    size_t m_cursor = 0;
};

class CNoneResidentNTFSDataRunList : public IDataRunList {
public:
    u32 GetKind() const override { return kRunListNtfsNonResident; }
    // Appends the extents of NTFS mapping pairs; stops at a 0 header, at the end of the bytes,
    // and at a pair whose fields are longer than 8 bytes or run past the end. Returns 1.
    u32 DecodeMappingPairs(const u8* pairs, i32 length);
};

// The one extent of an attribute whose value lives inside its MFT record.
class CResidentNTFSDataRunList : public IDataRunList {
public:
    bool IsResident() const override { return true; }
    u32 GetResidentOffset() const override { return m_residentOffset; }
    void Save(IRSData* stream) const override;  // the base form, then the u32 offset
    void Load(IRSData* stream) override;
    u32 GetKind() const override { return kRunListNtfsResident; }

    // Appends {start, length} and keeps the offset of the value inside the record.
    void SetResidentData(u64 start, u64 length, u32 offset);

private:
    u32 m_residentOffset = 0;
};

class CRAWDataRunList : public IDataRunList {
public:
    u32 GetKind() const override { return kRunListRaw; }
};

// Appends the extents of NTFS mapping pairs to any list (see DecodeMappingPairs); returns the
// number of bytes of complete, well-formed pairs that were consumed.
size_t DecodeMappingPairsInto(IDataRunList& list, const u8* pairs, size_t length);
