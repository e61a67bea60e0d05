#pragma once
// Which clusters of an NTFS volume its records in use hold, and the files whose clusters another
// file holds now. A deleted file, or a file of an older volume the disk was formatted over, may
// have lost its clusters to a newer file or to the volume's own structures; its bytes there are
// not its own any more, and both scans count such a file incomplete by the same test. The
// clusters are those the records in use hold rather than what the $Bitmap marks: a deleted
// record whose clusters were never freed (a delete the journal did not finish) still holds its
// own bytes.
#include <memory>
#include <vector>

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
    // Every cluster of the map that holds a cluster of a non-resident attribute of the record (its
    // fixups applied) of a volume at fileStart of fileSpc sectors per cluster: a record in use
    // holds all of them, its data streams, its indexes and the metadata files' own.
    void MarkRecordClusters(const u8* fixedRecord, u32 length, u64 fileStart, u32 fileSpc);
    // Whether a cluster of the map holds a sector of the file's first `size` bytes (in a volume
    // at fileStart of fileSpc sectors per cluster) and is used. Holes and extents that are not
    // on the volume hold no sector.
    bool AnyUsed(const IDataRunList& runs, u64 size, u64 fileStart, u32 fileSpc) const;
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
    // The map's clusters that hold any of `count` sectors from `first` on.
    void MarkSectors(u64 first, u64 count);
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

// A file (of the volume at fileStart, of fileSpc sectors per cluster) of which a cluster `used`
// marks is held by another file now: it gets kStateClustersTaken, so that it is never counted
// whole. Answers whether it got it.
bool MarkClustersTaken(IFileProperties& properties, u64 fileStart, u32 fileSpc, const CClusterUseMap& used);
