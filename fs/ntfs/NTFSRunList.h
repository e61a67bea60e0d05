#pragma once
// NTFS run lists: mapping pairs decoded into runs of clusters, lookups over them, where MFT
// records lie on the device, and reading an attribute's data through its runs.
#include <vector>

#include "platform/Types.h"

class IStorageDevice;
class IRSData;
class CNTFSFileRecord;

struct NTFSRun {
    u64 lcn = 0;    // first cluster on the volume; all ones for a sparse run
    u64 vcn = 0;    // first cluster within the attribute
    u64 count = 0;  // clusters
    bool operator==(const NTFSRun&) const = default;
};

constexpr u64 kSparseLCN = ~u64(0);

// Runs in decoding order unless sorted.
using NTFSRunList = std::vector<NTFSRun>;

// Base of the attribute descriptions some searches keep.
class CNTFSFileRecordAttribute {
public:
    virtual ~CNTFSFileRecordAttribute() = default;
};

// A non-resident attribute with its decoded runs.
class CNTFSFileRecordDataRunsAttribute : public CNTFSFileRecordAttribute {
public:
    NTFSRunList runs;
};

// Stands for a $FILE_NAME attribute.
class CNTFSFileRecordFileNameAttribute : public CNTFSFileRecordAttribute {};

// True when the pairs end with a 0 header inside `length` and no field is wider than 4 bytes.
bool ValidateMappingPairs(const u8* bytes, u32 length);
// Appends the decoded runs. Decoding stops at a 0 header, at the end of the bytes, or at a run
// whose fields are wider than 8 bytes or would pass the end.
void DecodeNTFSDataRuns(const u8* bytes, u32 length, NTFSRunList& list);
// Empties the list, validates, decodes.
bool DecodeRunsChecked(NTFSRunList& list, const u8* bytes, u32 length);
// Validates, decodes, shifts the runs by firstVCN and appends them.
bool DecodeRunsAtVCN(NTFSRunList& list, const u8* bytes, u32 length, u64 firstVCN);

// Total clusters of the encoded runs (saturating), decoding only the length fields.
u64 SumMappingPairsLengths(const u8* bytes, u32 length);
u64 TotalRunClusters(const NTFSRunList& list);

// The cluster of a VCN; -1 (all ones) when no run covers it or the run is sparse.
u64 LookupLCN(const NTFSRunList& list, u64 vcn);
u64 LookupVCN(const NTFSRunList& list, u64 lcn);
bool ContainsLCN(const NTFSRunList& list, u64 lcn);

bool RunListsEqual(const NTFSRunList& a, const NTFSRunList& b);
void CopyRunList(const NTFSRunList& from, NTFSRunList& to);
void SortRunsByVCN(NTFSRunList& list);

// Runs of a volume of `volumeClusters` clusters: a run is cut at the volume's end, and a run that
// starts beyond it becomes a hole (sparse) of at most the volume's size, so that the file's later
// runs keep their places. 0 clusters (unknown) changes nothing. Answers whether anything changed.
bool ClipRunsToVolume(NTFSRunList& list, u64 volumeClusters);

// Runs of an unnamed non-resident attribute that passes the header check, appended at the
// attribute's first VCN. dataSize is the attribute's data size (0 without mapping pairs).
bool DecodeAttributeRuns(const u8* attribute, u64* dataSize, u64* firstVCN, NTFSRunList& list);

// The runs of every unnamed $DATA extent of a record (base and extension records); with
// checkLengths, each uncompressed extent's runs must cover exactly its VCN range. dataSize is the
// data size of the extent at VCN 0.
bool CollectUnnamedDataRuns(CNTFSFileRecord& record, NTFSRunList& list, bool checkLengths, u64* dataSize);
// The same over raw record bytes (validated; fixed up on a private copy).
bool CollectUnnamedDataRunsRaw(const u8* bytes, u32 length, NTFSRunList& list, bool checkLengths, u64* dataSize);

// Absolute sector of an MFT record; -1 when the $MFT runs do not reach it.
u64 ComputeRecordSector(u64 recordNumber, u32 sectorsPerCluster, u64 partitionStart, const NTFSRunList& mftRuns,
                        u8 sectorsPerRecord);

// Reads an attribute's data through its mapping pairs into buffer (capacity bytes); a run that
// would pass the capacity ends the reading. Holes stay zero; a run the device cannot read is
// left as it was and the reading goes on.
bool ReadNonResidentAttributeData(const u8* pairs, u32 length, u8* buffer, u64 capacity, u64 partitionStart,
                                  u32 sectorsPerCluster, IStorageDevice* device);

// Where a volume's $MFT lies.
class NTFSMFTLocation {
public:
    NTFSMFTLocation() = default;

    // From the $MFT's own record found at `sector`.
    bool LoadFromRecord(CNTFSFileRecord& record, u64 sector);
    static NTFSMFTLocation* CreateFromRecord(CNTFSFileRecord& record, u64 sector);

    u64 GetMFTStartSector() const { return m_startSector; }
    const NTFSRunList& GetRuns() const { return m_runs; }
    NTFSRunList& GetRuns() { return m_runs; }
    void CopyRuns(NTFSRunList& to) const { CopyRunList(m_runs, to); }
    u32 GetSectorsPerCluster() const { return m_sectorsPerCluster; }
    void SetSectorsPerCluster(u32 value) { m_sectorsPerCluster = value; }
    void SetSectorsPerRecord(u8 value) { m_sectorsPerRecord = value; }
    u8 GetSectorsPerRecord() const { return m_sectorsPerRecord; }
    u64 GetLCNOfFirstCluster() const { return LookupLCN(m_runs, 0); }

    void Save(IRSData* stream) const;
    void Load(IRSData* stream);

private:
    u64 m_startSector = ~u64(0);
    NTFSRunList m_runs;
    u8 m_sectorsPerRecord = 2;
    u32 m_sectorsPerCluster = 0;
};
