#pragma once
// Deleted FAT32 files whose first cluster lost its high word: whether a cluster holds a known file
// header, and an estimate of the full first cluster from the files around the deleted one and
// from what its name says its first bytes are.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/Types.h"

class CFileNode;
class CRawFileAnalyserRegistry;
class IRawFileAnalyser;
class IStorageDevice;

// "MZ" at the start and "PE" at the little-endian offset stored at byte 60, the signature lying
// inside the sector.
bool IsPEImageHeader(const u8* sector, u32 sectorSize);

// Whether the first sector of the cluster begins a file that one of the analysers (or the PE
// test) recognises. A cluster that names a high word is taken as known: it lost none.
bool HasKnownFileHeader(IStorageDevice* device, u64 dataStart, u32 sectorsPerCluster, u64 cluster,
                        const std::vector<IRawFileAnalyser*>& analysers);

// What a header check is given at the least: one sector of the smallest size.
constexpr u32 kFatMinHeaderBytes = 512;
// Clusters of its low word a deleted file's first cluster is looked for at, at the most: a volume
// of more blocks than that leaves some unlooked at, and no choice among those looked at is then
// the only one there is.
constexpr size_t kFatMaxFirstClusterCandidates = 64;

// What a file's name says its first bytes are, as the carving analysers check headers: a name
// whose extension is the type of one of them (or of the same family: ".jpeg" and ".jpg", ".docx"
// and ".zip", ".nef" and ".tif") calls for that type's header.
class CFatHeaderExpectation {
public:
    // The analysers of the registry; without one, no name calls for a header.
    explicit CFatHeaderExpectation(const CRawFileAnalyserRegistry* registry);

    // The types (by family) whose header a file of this name begins with, of those the analysers
    // know; empty when it calls for none.
    std::vector<std::string> CalledFor(const char* name) const;
    // Whether the bytes (`held` of them from a sector's start, 512 at the least) begin a file of
    // one of the families.
    bool Holds(const std::vector<std::string>& families, const u8* bytes, u32 held) const;

private:
    const CRawFileAnalyserRegistry* m_registry;
    std::set<std::string> m_families;  // of the types the analysers stand for
};

// The clusters a deleted file may begin at, the likeliest first.
struct FatFirstClusterCandidates {
    std::vector<u64> clusters;
    // Every cluster of the volume with the file's low word is among them (none left out by the cap).
    bool all = true;
};

// The entries of one folder (nodes with FAT properties, live and deleted) that the first clusters
// of its deleted files are judged from, read once for all of them.
class CFatReviseReferences {
public:
    explicit CFatReviseReferences(const std::vector<CFileNode*>& references);

    // The first clusters the deleted file `self` (one of the references, or null) of `size` bytes
    // created at `creationTime` may have had, the likeliest first: clusters of the volume (from 2
    // to highestCluster) with the low 16 bits of recordedCluster, the recorded one among them when
    // it is one. A recorded cluster that names a high word is the only one: it lost none. The file
    // is no reference for its own estimate.
    //
    // The likeliest is the block that holds the end of the deleted file created last before it,
    // where that one kept a high word. Else the live files created last before it and first after
    // it: where these lie less than a block apart and a cluster of the low word lies between the
    // first one's data and the second one, the file lies there; else the block of the first
    // cluster of the earlier one, or of the later one, within the data of the live file of the
    // highest first cluster. Then the recorded cluster (the likeliest without any of these), then
    // the clusters of the low word on either side of each of those neighbours, then the other
    // clusters of the low word, lowest first, as many as kFatMaxFirstClusterCandidates allows.
    FatFirstClusterCandidates Candidates(const CFileNode* self, u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                         u64 clusterBytes, u64 highestCluster) const;

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

// Where a deleted file whose entry may have lost the high word of its first cluster begins.
struct FatFirstClusterEstimate {
    u64 cluster = 0;
    // False when the first cluster had to be chosen among more than one where the file may begin
    // and nothing confirms the choice, or where nothing shows the file's bytes are anywhere: its
    // data lies where the estimate guessed, and nothing on the device says that it is its own.
    bool confirmed = true;
};

// Whether the file's first bytes at a cluster are what its name calls for.
using FatHoldsHeader = std::function<bool(u64 cluster)>;

// What the walk sees at a cluster a deleted file may begin at.
struct FatCandidateLook {
    // A chain of the FAT holds it: its bytes are another file's now.
    std::function<bool(u64 cluster)> taken;
    // It cannot be read, or its first bytes are zeros: no file was written there.
    std::function<bool(u64 cluster)> blank;
    // Empty when the file's name calls for no header.
    FatHoldsHeader holdsHeader;
};

// The estimate of the first cluster. Where nothing suggests the entry lost a high word (the
// recorded cluster is the likeliest) and that cluster holds written bytes no chain holds, the
// file lies where its entry says. Else the first candidate no chain holds that begins with what
// the name calls for; else the only candidate no chain holds with written bytes. Where more than
// one such candidate is left, or none, the likeliest of them (the recorded cluster when none is)
// is taken unconfirmed.
FatFirstClusterEstimate EstimateDeletedFirstCluster(const CFatReviseReferences& references, const CFileNode* self,
                                                    u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                                    u64 clusterBytes, u64 highestCluster,
                                                    const FatCandidateLook& look);

// The offset-signature analysers the revise pass tests cluster headers with; empty while the RAW
// registry offers none, and the revise pass is then left out.
std::vector<IRawFileAnalyser*> GetFatReviseAnalysers();
