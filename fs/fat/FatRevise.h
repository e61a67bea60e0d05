#pragma once
// Deleted FAT32 files whose first cluster lost its high word: an estimate of the full first
// cluster from the files written around the deleted one, its folder's cluster, what its name says
// its first bytes are and the clusters other files hold.
#include <functional>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/Types.h"

class CFileNode;
class CRawFileAnalyserRegistry;
class IRawFileAnalyser;

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
    mutable std::map<std::string, std::vector<std::string>> m_calledFor;  // by lower-case extension
};

// The clusters a deleted file may begin at, the likeliest first.
struct FatFirstClusterCandidates {
    std::vector<u64> clusters;
    // Every cluster of the volume with the file's low word is among them (none left out by the cap).
    bool all = true;
    // The first `inWindow` clusters lie between the files written around it (see Candidates).
    size_t inWindow = 0;
    // The window is bounded on both sides.
    bool closed = false;
    // The files written around it place it at the first cluster alone.
    bool placed = false;
    // Only its folder's own cluster bounds the window, from below.
    bool byFolderAlone = false;
};

// The entries of one folder (nodes with FAT properties, live and deleted, as the folder lists
// them) that the first clusters of its deleted files are judged from, read once for all of them.
class CFatReviseReferences {
public:
    // `folderCluster`: where the folder's own entries begin (0 when unknown): its files were
    // written after it was made. `unmarked`: entries of a deleted or lost folder that were never
    // deleted themselves, whose first clusters are whole.
    explicit CFatReviseReferences(const std::vector<CFileNode*>& references, u64 folderCluster = 0,
                                  const std::unordered_set<const CFileNode*>* unmarked = nullptr);

    // The first clusters the deleted file `self` (one of the references, or null) of `size` bytes
    // created at `creationTime` may have had: clusters of the volume (from 2 to highestCluster)
    // with the low 16 bits of recordedCluster. A recorded cluster that names a high word is the
    // only one: it lost none. The file is no reference for its own estimate.
    //
    // Files are written one after another: the file lies after the data of the nearest entry
    // before it in the folder's listing whose first cluster is whole (a live file, a deleted one
    // that kept its high word or whose place was found) and before the nearest such entry after
    // it; before the first of them lies the folder's own cluster. Where creation times narrow
    // that window (the latest such file created before it, the earliest created after it), they
    // do. The clusters in the window come first: where it is closed on both sides and holds one,
    // or is open on one side (the nearest to its closed side), the file is placed there. Then
    // the recorded cluster, then the other clusters of the low word, lowest first, as many as
    // kFatMaxFirstClusterCandidates allows.
    FatFirstClusterCandidates Candidates(const CFileNode* self, u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                         u64 clusterBytes, u64 highestCluster) const;

    // The deleted reference `node` was found to begin at `cluster`: it bounds its neighbours'
    // windows from now on.
    void Resolve(const CFileNode* node, u64 cluster);

private:
    struct Reference {
        u64 seconds;
        u64 cluster;
        u64 size;
        const CFileNode* node;
        bool whole;  // its first cluster is known whole: a window's bound
    };
    // The bounds (exclusive; 0 for none) of the clusters the file `self` may begin at.
    std::pair<u64, u64> Window(const CFileNode* self, u64 seconds, u64 clusterBytes) const;

    std::vector<Reference> m_listed;  // files with clusters, as the folder lists them
    std::vector<size_t> m_byTime;     // indices of m_listed by creation, then as listed
    std::unordered_map<const CFileNode*, size_t> m_index;
    u64 m_folderCluster = 0;
};

// What told where a deleted file begins.
enum class FatFirstClusterEvidence {
    kNone,      // nothing: a guess
    kOnly,      // the volume has one cluster of its low word
    kBetween,   // the files written before and after it lie around it
    kBeside,    // the files written on one side of it (or its folder) lie next to it
    kHeader,    // the one cluster no other file holds that begins what its name calls for
    kWritten,   // the one cluster no other file holds with written bytes
    kRecorded,  // its recorded cluster, a chain's now, where no other may hold its bytes
};

// Where a deleted file whose entry may have lost the high word of its first cluster begins.
struct FatFirstClusterEstimate {
    u64 cluster = 0;
    // False when the first cluster had to be chosen among more than one where the file may begin
    // and nothing confirms the choice, or where nothing shows the file's bytes are anywhere: its
    // data lies where the estimate guessed, and nothing on the device says that it is its own.
    bool confirmed = true;
    FatFirstClusterEvidence evidence = FatFirstClusterEvidence::kNone;
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
    // Another file (a deleted one whose first cluster is known whole, a folder) claims it.
    std::function<bool(u64 cluster)> claimed;
    // Called once with every candidate before any of the others is asked, so that what they
    // read is read together.
    std::function<void(const std::vector<u64>& clusters)> willLook;
};

// The estimate of the first cluster. A volume of one cluster of the low word leaves nothing to
// choose. Where the files around it place it, and the cluster holds what its name calls for (any
// written bytes where it calls for none) and no other file claims it, it lies there; where a chain
// holds that cluster, it lay there and was written over since (the claim weighing counts it
// incomplete). Else the one cluster no chain holds and no other file claims that holds what its
// name calls for (any written bytes where it calls for none). A recorded cluster a chain holds,
// where nothing places the file elsewhere, is where it began: it is not moved. Where more than one
// cluster is left, or none, the likeliest is taken unconfirmed.
FatFirstClusterEstimate EstimateDeletedFirstCluster(const CFatReviseReferences& references, const CFileNode* self,
                                                    u64 size, u64 recordedCluster, FILETIME64 creationTime,
                                                    u64 clusterBytes, u64 highestCluster,
                                                    const FatCandidateLook& look);

// The offset-signature analysers the revise pass tests cluster headers with; empty while the RAW
// registry offers none, and the revise pass is then left out.
std::vector<IRawFileAnalyser*> GetFatReviseAnalysers();
