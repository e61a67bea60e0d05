#pragma once
// Deleted FAT32 files whose first cluster lost its high word: whether a cluster holds a known file
// header, and an estimate of the full first cluster from the files around the deleted one.
#include <vector>

#include "platform/Types.h"

class CFileNode;
class IRawFileAnalyser;
class IStorageDevice;

// "MZ" at the start and "PE" at the little-endian offset stored at byte 60, the signature lying
// inside the sector.
bool IsPEImageHeader(const u8* sector, u32 sectorSize);

// Whether the first sector of the cluster begins a file that one of the analysers (or the PE
// test) recognises. Clusters above 65536 are taken as known: their high word survived.
bool HasKnownFileHeader(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 cluster,
                        const std::vector<IRawFileAnalyser*>& analysers);

// The entries of one folder (nodes with FAT properties, live and deleted) that the first clusters
// of its deleted files are judged from, read once for all of them.
class CFatReviseReferences {
public:
    explicit CFatReviseReferences(const std::vector<CFileNode*>& references);

    // The first cluster the deleted file `self` (one of the references, or null) of `size` bytes
    // created at `creationTime` most likely had. The low 16 bits are always those of
    // recordedCluster; a recorded cluster of 65536 or more is returned unchanged. The file is no
    // reference for its own estimate.
    u64 Estimate(const CFileNode* self, u64 size, u64 recordedCluster, FILETIME64 creationTime,
                 u64 clusterBytes) const;

private:
    struct Reference {
        u64 seconds;
        u64 cluster;
        u64 size;
        const CFileNode* node;
    };
    // The reference of the latest creation not after `seconds` (the first listed among equals),
    // `self` passed over, and of the earliest after it; null when none. `sorted` by creation,
    // then as listed.
    static const Reference* LatestUpTo(const std::vector<Reference>& sorted, u64 seconds,
                                       const CFileNode* self = nullptr);
    static const Reference* EarliestAfter(const std::vector<Reference>& sorted, u64 seconds);

    std::vector<Reference> m_deleted;
    std::vector<Reference> m_live;
    // The first listed live reference of the highest first cluster; none while m_live is empty.
    Reference m_highestLive{};
};

// The same for one file, its folder's references read anew.
u64 EstimateDeletedFirstCluster(const std::vector<CFileNode*>& references, const CFileNode* self, u64 size,
                                u64 recordedCluster, FILETIME64 creationTime, u64 clusterBytes);

// The offset-signature analysers the revise pass tests cluster headers with; empty while the RAW
// registry offers none, and the revise pass is then left out.
std::vector<IRawFileAnalyser*> GetFatReviseAnalysers();
