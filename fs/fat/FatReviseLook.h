#pragma once
// What the estimate of a deleted file's first cluster reads and remembers while it weighs the
// clusters of its low word: their first bytes, read together where they lie near one another and
// once each, and the clusters other files of the volume are known to begin or lie at.
#include <map>
#include <unordered_map>
#include <vector>

#include "engine/ClusterClaims.h"
#include "platform/Types.h"

class IStorageDevice;

// The first bytes of clusters (enough for a header check), kept for the walk of one folder.
class CFatClusterHeads {
public:
    // The data area begins at device sector `dataStart`; `clusters` of the volume lie on the device.
    CFatClusterHeads(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 clusters);

    // Reads the heads of the clusters not read yet, those that lie near one another in one read.
    void Read(std::vector<u64> clusters);
    // The head of the cluster, read now where it was not; null when it cannot be read.
    const std::vector<u8>* Head(u64 cluster);
    // Whether the first `bytes` the cluster holds (its head at the most) are zeros, or cannot be
    // read: nothing was written there.
    bool Blank(u64 cluster, u64 bytes);
    void Clear() { m_heads.clear(); }
    // Device reads made so far.
    u64 GetReadCount() const { return m_reads; }

private:
    bool IsCluster(u64 cluster) const { return cluster >= 2 && cluster - 2 < m_clusters; }
    u64 SectorOf(u64 cluster) const { return m_dataStart + (cluster - 2) * m_spc; }
    // Reads [first, first + count) sectors and keeps the heads of `clusters` (sorted) among them.
    void ReadRun(u64 firstSector, u64 count, const std::vector<u64>& clusters);

    IStorageDevice* m_device;
    u64 m_dataStart;
    u32 m_spc;
    u64 m_clusters;
    u32 m_sectorSize;
    u64 m_headSectors;  // sectors a head holds
    std::unordered_map<u64, std::vector<u8>> m_heads;  // empty where it could not be read
    u64 m_reads = 0;
};

// Where the deleted files a walk found begin and lie, each with what is known of when it was
// written, asked once all are in.
class CFatFileClaims {
public:
    // [first, first + count) for the file `owner`.
    void Add(u64 first, u64 count, u64 owner, const ClaimAge& age);
    // Whether a file other than `owner` that is not proven written before `age` holds the cluster:
    // its bytes may be that file's.
    bool HeldByNotOlder(u64 cluster, u64 owner, const ClaimAge& age);

private:
    struct Claim {
        u64 first;
        u64 end;
        u64 owner;
        ClaimAge age;
    };
    std::vector<Claim> m_claims;  // by first once asked
    std::vector<u64> m_maxEnd;    // the furthest end up to each claim
    bool m_sorted = false;
};

// Clusters other files are known to hold (a deleted file whose first cluster is known whole, one
// whose place was found): a union of ranges.
class CFatClaimedClusters {
public:
    // [first, first + count).
    void Add(u64 first, u64 count);
    bool Holds(u64 cluster) const;

private:
    std::map<u64, u64> m_ranges;  // first -> end, disjoint
};
