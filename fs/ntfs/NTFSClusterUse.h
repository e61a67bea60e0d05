#pragma once
// What NTFS records claim of a disk, for the weighing of every claim on its sectors, and which
// clusters of a volume its tree uses, for the files found by signature. A deleted file, or a file
// of an older volume the disk was formatted over, may have lost its clusters to a newer file,
// live or deleted, or to a volume's own structures; its bytes there are not its own any more, and
// both scans count such a file incomplete by the same weighing. What is in use is what the records
// in use hold rather than what the $Bitmap marks: a deleted record whose clusters were never freed
// (a delete the journal did not finish) still holds its own bytes.
#include <map>
#include <memory>
#include <vector>

#include "engine/ClusterClaims.h"
#include "fs/ntfs/NTFSRunList.h"
#include "platform/Types.h"

class IDataRunList;
class IFileProperties;
class IStorageDevice;

// The most clusters a map covers: 512 MiB of bits.
constexpr u64 kMaxVolumeUseClusters = u64(1) << 32;

// One bit per cluster of a volume, laid out as the volume's $Bitmap lays them: cluster k is bit
// k % 8 of byte k / 8.
class CClusterUseMap {
public:
    CClusterUseMap(u64 startSector, u32 sectorsPerCluster, u32 sectorSize, u64 clusters);
    // The cluster of an MFT record, and the next one when a cluster is a single sector (a
    // 1024-byte record then spans two).
    void MarkRecord(u64 recordSector);
    // Every cluster of the runs (cluster numbers of the map's volume) until `size` bytes are covered.
    void MarkExtents(const IDataRunList& runs, u64 size);
    // The same for a file of a volume that starts at fileStart with fileSpc sectors per cluster:
    // every cluster of the map that holds a sector of the file's first `size` bytes.
    void MarkExtents(const IDataRunList& runs, u64 size, u64 fileStart, u32 fileSpc);
    bool IsUsed(u64 cluster) const { return cluster < m_clusters && (m_bits[cluster >> 3] >> (cluster & 7) & 1) != 0; }
    u64 GetStartSector() const { return m_start; }
    u32 GetSectorsPerCluster() const { return m_spc; }
    u32 GetSectorSize() const { return m_sectorSize; }
    u64 GetClusterCount() const { return m_clusters; }
    u64 CountUsed() const;

private:
    void Mark(u64 cluster);
    // Clusters from..to (inclusive), whole bytes of them at once.
    void MarkRange(u64 from, u64 to);
    // The map's clusters (from..to, inclusive) that hold any of the sectors [first, end); false
    // when none does.
    bool ClustersHolding(unsigned __int128 first, unsigned __int128 end, u64& from, u64& to) const;
    // Calls f(first, last) for the map's clusters (inclusive) that hold each stretch of the
    // file's sectors, stopping when f answers true; answers whether one did.
    template <class F>
    bool ForEachStretch(const IDataRunList& runs, u64 size, u64 fileStart, u32 fileSpc, F&& f) const;

    u64 m_start;
    u32 m_spc;
    u32 m_sectorSize;
    u64 m_clusters;
    std::vector<u8> m_bits;
};

// A map of the volume at startSector, of `clusters` clusters; null, with a line in the log, when
// memory for it cannot be had (a volume of billions of clusters): its checks are then left out.
std::unique_ptr<CClusterUseMap> CreateClusterUseMap(u64 startSector, u32 sectorsPerCluster, u32 sectorSize,
                                                    u64 clusters);

// The $MFT's own bitmap of the records in use, read from the $MFT record at mftRecordSector
// (recordSectors long) of a volume at volumeStart of sectorsPerCluster sectors per cluster; empty
// when it cannot be read.
std::vector<u8> ReadMftRecordBitmap(IStorageDevice& device, u64 mftRecordSector, u32 recordSectors, u64 volumeStart,
                                    u32 sectorsPerCluster);
// Whether the $MFT's bitmap has record `number` in use; with no bitmap, every record is taken at
// its word. A record that says it is in use where the bitmap has it free is an older volume's,
// left where this $MFT grew.
bool MftBitmapClaims(const std::vector<u8>& bitmap, u64 number);

// Where an NTFS volume lies on the disk, and which generation it is of the volumes formatted over
// one another there (the newest the largest).
struct NtfsClaimVolume {
    u64 start = 0;
    u32 sectorsPerCluster = 1;
    u32 sectorSize = 512;
    u32 generation = 0;
    // Log sequence numbers count on within one volume's journal only: where a claim's volume is
    // not known for certain, they order nothing.
    bool lsnsComparable = true;
};

// Sectors [first, first + count) of a disk.
struct NtfsSectorExtent {
    u64 first = 0;
    u64 count = 0;
};
// The sectors every non-resident attribute of a record (its fixups applied) holds, in a volume
// at volumeStart of sectorsPerCluster sectors per cluster: its data streams, its indexes and the
// metadata files' own, the $MFT and its mirror among them. Holes hold none.
void AppendRecordSectors(const u8* fixedRecord, u32 length, u64 volumeStart, u32 sectorsPerCluster,
                         std::vector<NtfsSectorExtent>& out);

// The claims of an NTFS scan's records, weighed once when every record is in.
class CNtfsClaims {
public:
    // The sectors of a record in use (AppendRecordSectors). They are the volume's structures:
    // they take sectors from files proven older and are never counted.
    void AddRecordInUse(const u8* fixedRecord, u32 length, const NtfsClaimVolume& volume);
    void AddStructure(u32 generation, const NtfsSectorExtent& extent);
    // A file a scan lists (folders claim nothing here), of the record at recordSector with that
    // log sequence number: a live one holds its clusters up to its size, a deleted one the
    // sectors it had written (up to its initialized size), with the age its record tells. The
    // record's many names and streams never weigh against each other. The properties must
    // outlive Weigh.
    void AddFile(IFileProperties& file, u64 recordSector, u64 lsn, bool inUse, const NtfsClaimVolume& volume);
    // Counts incomplete every file whose sectors a claim proven newer holds, or where no order is
    // proven; `what` names the scan in their trace lines.
    void Weigh(const char* what) { m_claims.Weigh(what); }

private:
    // One claim holds every structure of a volume generation: they never weigh against each
    // other, and the runs of records written one after another join into few extents.
    CClusterClaims::ClaimId StructureClaim(u32 generation);

    CClusterClaims m_claims;
    std::map<u32, CClusterClaims::ClaimId> m_structures;
};
