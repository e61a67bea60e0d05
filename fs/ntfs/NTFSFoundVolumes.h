#pragma once
// Which NTFS volume a FILE record belongs to, where volumes were formatted over one another: a
// record's data runs count clusters of its own volume, so a record of an older volume read with
// a newer one's geometry gives another file's bytes. A record tells its cluster size through its
// attributes (the allocated size over the clusters of the runs); the volume's start comes from an
// $MFT (or a mirror's copy of its record) that numbers the record where it lies, or from the
// deep search's candidates of that cluster size.
#include <map>
#include <vector>

#include "platform/Types.h"

class CNTFSCandidateSet;
class CSearchedNTFSPartitionInfo;
class NTFSMFTLocation;

// A volume by where it starts and its sectors per cluster.
struct NtfsVolumeKey {
    u64 start = 0;
    u32 sectorsPerCluster = 0;
    auto operator<=>(const NtfsVolumeKey&) const = default;
};

// The bytes per cluster a record's own attributes give: the allocated size of its unnamed $DATA
// (else of its index allocation) over the clusters its runs hold, when that is a cluster size
// NTFS has and a whole number of sectors; 0 when the record does not tell (resident data, no
// clusters, an attribute list whose extension records may hold more of the runs).
u32 RecordClusterBytes(const u8* fixedRecord, u32 length, u32 sectorSize);

// Whether the candidate is a volume another candidate was formatted over, and so stands inside
// that one's found tree: the other has its boot sector at its start, which the candidate lacks
// (formatting wrote the other's there), and the candidate's start and its $MFT (where known) lie
// inside the other. Listed on its own as well, every file of it would be written twice.
bool StandsInsideVolumeFormattedOver(const CSearchedNTFSPartitionInfo& candidate,
                                     const std::vector<const CSearchedNTFSPartitionInfo*>& all);

// Places records of one cluster size that no accepted $MFT holds, inside the volume the tree is
// built for (`chosen`), which stands first where the evidence allows.
class CNtfsVolumePlacer {
public:
    struct Placement {
        NtfsVolumeKey key;
        // Nothing placed a volume of the record's cluster size: the start is the chosen one's,
        // taken for want of another, and nothing confirms it.
        bool guessed = false;
    };

    CNtfsVolumePlacer(NtfsVolumeKey chosen, u32 recordStride, const std::vector<const NTFSMFTLocation*>& mfts,
                      const CNTFSCandidateSet* candidates);
    // A record at `sector` whose header numbers it `recordNumber` (all ones: not told), of
    // sectorsPerCluster sectors per cluster: the volume of that cluster size that an $MFT numbers
    // it in and a candidate confirms; else the chosen one when the size is its own; else the
    // volume an $MFT alone places it in, or a candidate of that size that holds it (the chosen
    // start first, then the best score); else the chosen start, guessed.
    Placement Place(u64 sector, u64 recordNumber, u32 sectorsPerCluster) const;

private:
    struct Candidate {
        u64 start;
        u64 sectors;
        u64 score;
    };
    bool HasCandidate(u64 start, u32 sectorsPerCluster, u64 sector) const;

    NtfsVolumeKey m_chosen;
    u32 m_stride;
    std::vector<const NTFSMFTLocation*> m_mfts;
    // By sectors per cluster, best score first.
    std::map<u32, std::vector<Candidate>> m_candidates;
};
