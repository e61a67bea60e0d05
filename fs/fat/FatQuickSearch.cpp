#include "fs/fat/FatQuickSearch.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/RecycleBin.h"
#include "fs/fat/FatDirEntry.h"
#include "fs/fat/FatQuickWalker.h"
#include "fs/fat/FatRevise.h"
#include "platform/Log.h"
#include "raw/AnalyserRegistry.h"

namespace {
constexpr u32 kPieceSectors = 128;
constexpr u32 kBufferSectors = 130;
constexpr u32 kMaxCarriedBytes = 1023;
constexpr u64 kFatBackupBootSector = 6;
// Runs of zeros amid folder entries the walk writes a trace line for; the rest are counted.
constexpr u64 kMaxTracedZeroRuns = 1024;

// Whether the 32 bytes of an entry are all zero: a never-used slot, or a sector a failing disk
// gave back as zeros.
bool IsZeroEntry(const u8* entry) {
    return std::all_of(entry, entry + kFatDirEntrySize, [](u8 b) { return b == 0; });
}

}  // namespace

namespace fatwalk {

CFATQuickWalker::CFATQuickWalker(CFATQuickSearch& search, IStorageDevice* device, IProgress* progress,
                                 const CFATDBR& dbr, IFATTable* fat)
    : m_search(search),
      m_device(device),
      m_progress(progress),
      m_builder(search.GetBuilder()),
      m_fsCode(dbr.GetFATType()),
      m_spc(dbr.GetSectorsPerCluster()),
      m_fat(fat),
      m_sectorSize(device->GetSectorSize()) {
    const FatWalkOptions& options = search.GetWalkOptions();
    m_keepTree = options.keepTree;
    m_fatless = options.keepTree && !options.loadFat1 && !options.loadFat2;
    if (m_fatless) m_continuations.insert(options.continuationClusters.begin(), options.continuationClusters.end());
    const u64 fatsEnd = u64(dbr.GetReservedSectors()) + u64(dbr.GetFATCount()) * dbr.GetFATSize();
    if (m_fsCode == kFsFat16) {
        m_rootStart = fatsEnd;
        m_rootSectors = CFATVolumeReader::RootRegionSectors(dbr);
        m_dataStart = m_rootStart + m_rootSectors;
    } else {
        m_dataStart = fatsEnd;
        m_rootCluster = dbr.GetRootCluster();
        m_rootStart = ClusterSector(m_rootCluster < 2 ? 2 : m_rootCluster);
    }
    // The volume reaches as far as its boot sector says, within the clusters its FAT can name (a
    // damaged total claims more). The device may end before it does (an image cut short): what
    // lies past its end cannot be read, but a file there is still the volume's, its runs where
    // they are, and the reader says it finds nothing.
    m_volumeSectors = options.fatSizeGuessed ? std::max<u64>(dbr.GetTotalSectors(), m_dataStart)
                                             : CFATVolumeReader::AddressableSectors(dbr);
    m_totalSectors = std::min<u64>(m_volumeSectors, device->GetTotalSectors());
    m_clusterLimit = m_totalSectors > m_dataStart ? (m_totalSectors - m_dataStart) / m_spc : 0;
    m_volumeClusterLimit = (m_volumeSectors - m_dataStart) / m_spc;
    m_geometry = {m_fat, m_spc, m_sectorSize, m_volumeSectors, m_dataStart, m_totalSectors};
    // The second copy is read for the clusters it gives to chains where the scan may read it.
    if (options.keepTree ? options.loadFat2 : dbr.GetFATCount() > 1) {
        m_secondFatStart = u64(dbr.GetReservedSectors()) + dbr.GetFATSize();
        m_fatSectors = dbr.GetFATSize();
    }
}

CFATQuickWalker::~CFATQuickWalker() {
    DropDiscarded();
    DestroySubtree(m_root);
}

bool CFATQuickWalker::Continue() {
    if (m_runState == kRunStopped) return false;
    if (m_progress->Continued() == 0) {
        m_runState = kRunStopped;
        return false;
    }
    return true;
}

void CFATQuickWalker::Report(u64 done) {
    m_info.Type = kProgressUpdate;
    m_info.Total = 100;
    m_info.Done = done;
    m_progress->OnProgress(&m_info);
}

void CFATQuickWalker::Hand(CFileNode* node) {
    if (m_keepTree) return;
    // A deleted folder whose entry names cluster 0 and that no higher word gave holds nothing;
    // by that id the builder would take it for the root.
    if (node != m_root && node->GetId() == m_root->GetId() && IsFatFolderNode(node)) return;
    TreeNodePtr clone = CloneTreeNode(node);
    if (!clone) return;
    u32 error = 0;
    if (m_builder->AddFoundFileNode(clone.get(), kTreeKindFat, &error) != 0) clone.release();
}

FileSystemNodePtr CFATQuickWalker::MakeRootNode() {
    FileSystemNodePtr root = CreateFileSystemNode();
    PropertiesRef<CFATFileProperties> p(NewFATFileProperties());
    if (!root || !p) return nullptr;
    p->SetName(IsFatCode(m_fsCode) ? FileSystemTypeName(m_fsCode) : "UNKNOWN");
    p->SetAttributes(u16(p->GetAttributes() | kAttrDirectory));
    p->SetFirstCluster(0);
    p->SetParentCluster(0xFFFFFFFFu);
    root->SetFileProperties(p.release());
    root->SetPartitionGeometry(m_dataStart, m_spc);
    root->SetFileSystemType(m_fsCode);
    root->SetId(0);
    return root;
}

void CFATQuickWalker::Run() {
    if (m_fsCode == kFsFat32 && GetScanOptions().GetFatRevise() != 0) {
        m_analysers = m_search.GetReviseAnalysers();
        // Without header analysers every deleted file would look headerless and be moved by the
        // estimate; the pass is left out until they are available.
        m_revise = !m_analysers.empty();
        if (m_revise) m_headers = CFatHeaderExpectation(&CRawFileAnalyserRegistry::Instance());
    }
    m_buffer.assign(u64(kBufferSectors) * m_sectorSize, 0);

    Report(0);
    if (!Continue()) return;
    if (m_volumeSectors > m_totalSectors) {
        ReleaseTrace("FAT volume of %llu sectors: the device holds only %llu of them (an image shorter than the "
                     "volume); what lies from cluster %llu on cannot be read",
                     static_cast<unsigned long long>(m_volumeSectors), static_cast<unsigned long long>(m_totalSectors),
                     static_cast<unsigned long long>(m_clusterLimit + 2));
    }

    m_root = MakeRootNode().release();
    if (m_root == nullptr) return;
    if (!m_keepTree) {
        FileSystemNodePtr rootClone(static_cast<CFileSystemNode*>(m_root->Clone()));
        if (!rootClone || m_builder->AddFileSystemTree(rootClone.get()) == 0) return;
        rootClone.release();
    }
    m_search.GetRecord().SetSectorsPerCluster(m_spc);
    m_search.GetRecord().SetFirstDataSector(m_dataStart);
    // Runs hold cluster - 2: the writer places them from the record's start, so the start it
    // hands out is the first sector of the cluster area, not the volume's first sector.
    m_search.GetRecord().SetPartitionStart(m_dataStart);

    bool rootWalked = false;
    if (m_fsCode == kFsFat32) {
        rootWalked = WalkFolderChain(m_root, m_rootCluster, true);
    } else {
        std::vector<u8> region;
        if (m_rootSectors > 0) {
            region.assign(m_rootSectors * m_sectorSize, 0);
            if (m_device->Read(region.data(), m_rootStart, m_rootSectors)) {
                ZeroRun zeros;
                FollowZeros(zeros, m_root, 0, region.data(), region.size(), m_rootStart);
                FolderContext ctx;
                ctx.folder = m_root;
                ParseFolderBuffer(region.data(), u32(region.size()), ctx);
                JudgeDeletedFiles(ctx);
                rootWalked = true;
            }
        }
    }

    if (rootWalked) DrainQueue();
    if (rootWalked) PlaceUnclaimedFolders();
    // Every volume whose clusters hold folder sectors gets its "Lost Folders" in one place, first
    // among the root's additions, whether or not anything comes to hang there.
    if (m_keepTree && HoldsFolderSightings()) LostFoldersNode();
    // The files found so far may hold a stored volume, and so may those of the lost folders.
    if (m_keepTree && m_runState != kRunStopped) FindStoredVolumes();
    if (m_keepTree && m_runState != kRunStopped) FindFileHeldSightings();
    if (m_keepTree && m_runState != kRunStopped) PlaceLostFolders();
    if (m_keepTree && m_runState != kRunStopped) FindStoredVolumes();
    if (m_keepTree && m_runState != kRunStopped) PlaceLostClusters();
    // Every walk has run: a folder that went to "Lost Folders" before the walk that found its
    // parent goes there now.
    if (m_runState != kRunStopped) m_placement.Rehome();
    if (m_leftToFiles != 0) {
        ReleaseTrace("FAT walk: %llu folder sectors lie in the clusters of live files; they are those files' content, "
                     "not folders of this volume",
                     static_cast<unsigned long long>(m_leftToFiles));
    }
    if (m_zeroRunsTraced > kMaxTracedZeroRuns) {
        ReleaseTrace("FAT walk: past the first %llu lines, %llu more runs of zeros amid folder entries were passed over "
                     "without a line in the log",
                     static_cast<unsigned long long>(kMaxTracedZeroRuns),
                     static_cast<unsigned long long>(m_zeroRunsTraced - kMaxTracedZeroRuns));
    }
    CheckProvisionalFirstClusters();
    DropDiscarded();
    if (m_keepTree && m_runState != kRunStopped) {
        MergeTemporaryFolders(m_root, [this](u32 cluster) { return DotCreationTime(cluster); });
    }
    WeighClaims();

    if (m_lostFolders != nullptr && !m_keepTree) {
        // The deleted-file scan shows "Lost Folders" only where something stayed there.
        if (m_lostFolders->GetFirstChild() != nullptr) {
            Hand(m_lostFolders);
        } else {
            m_root->RemoveChild(m_lostFolders);
            DestroySubtree(m_lostFolders);
            m_lostFolders = nullptr;
        }
    }
    for (CFileNode* folder : m_deferred) Hand(folder);
    m_deferred.clear();
    if (m_keepTree) {
        m_search.SetStoredVolumeSightings(m_leftToStored, m_storedStarts.size());
        m_search.SetWalkedFolderClusters(m_dirClusters);
        m_search.KeepTree(m_root);
        m_root = nullptr;
    }
}

void CFATQuickWalker::DrainQueue() {
    u64 count = 1;
    u64 lastPercent = 1;
    while (!m_queue.empty() || !m_later.empty() || !m_higherWordsWaiting.empty()) {
        if (m_queue.empty()) {
            if (m_later.empty()) {
                // Every folder the walks lead to has been read: the entries that look at the
                // higher words choose together, and the folders they take are walked in turn.
                RetryHigherWords();
                if (m_runState == kRunStopped) break;
                continue;
            }
            for (CFileNode* later : m_later) {
                if (!IsDiscarded(later)) Enqueue(later);
            }
            m_later.clear();
            continue;
        }
        CFileNode* folder = m_queue.front();
        if (IsDiscarded(folder)) {
            m_queue.pop_front();
            --m_discardedQueued;
            continue;
        }
        ++count;
        const u64 percent = count * 100 / (count + m_queue.size() - m_discardedQueued);
        if (percent > lastPercent) {
            Report(percent);
            lastPercent = percent;
        }
        if (!Continue()) break;
        m_queue.pop_front();
        m_queued.erase(folder);
        // A folder placed by its ".." may hold folders placed under it before it was read: only
        // a walk, not a child, says its entries were read.
        if (m_walkedFolders.count(folder) != 0) continue;
        CFATFileProperties* p = FatPropertiesOf(folder);
        const u64 first = p->GetFirstCluster();
        const bool looksHigher = LooksAtHigherWords(folder);
        // A deleted folder whose ".." names another folder than the one that lists it may have
        // moved, or its cluster may be a live folder's now: walked after the others, so that a
        // live entry naming the cluster claims it first and no live file is handed as deleted.
        if (p->GetState() == kFatDeletedState && m_postponed.insert(folder).second) {
            const u64 home = looksHigher ? kNoHome : DotDotCluster(first);
            if (looksHigher || (home != kNoHome && MatchDotDot(home, p->GetParentCluster()) == DotDotMatch::kNone)) {
                m_later.push_back(folder);
                continue;
            }
        }
        m_walkedFolders.insert(folder);
        if (!looksHigher && WalkFolderChain(folder, first, false)) continue;
        if (m_runState == kRunStopped) break;
        if (m_fsCode == kFsFat32 && p->GetState() == kFatDeletedState) m_higherWordsWaiting.push_back(folder);
    }
}

FatFolderClaim CFATQuickWalker::ClaimOf(CFileNode* folder) const {
    const CFATFileProperties* p = FatPropertiesOf(folder);
    FatFolderClaim claim;
    claim.deleted = (p->GetState() & kFatDeletedState) != 0;
    claim.temporary = (p->GetState() & kFatTemporaryState) != 0;
    claim.lowWordOnly = FatNamesLowWordOnly(m_fsCode == kFsFat32, p->GetState(), p->GetFirstCluster());
    p->GetModificationTime(claim.modified);
    claim.listedIn = p->GetParentCluster();
    return claim;
}

bool CFATQuickWalker::LooksAtHigherWords(CFileNode* folder) const {
    const auto holder = m_folders.find(FatPropertiesOf(folder)->GetFirstCluster());
    if (holder == m_folders.end() || holder->second == folder || IsDiscarded(holder->second)) return false;
    return JudgeClusterClaim(ClaimOf(holder->second), ClaimOf(folder)) == FatClaimOutcome::kChallengerLooksHigher;
}

void CFATQuickWalker::Supersede(CFileNode* old, CFileNode* node) {
    // The folder is known at its entry's cluster and by its id, the cluster a retry of higher
    // words found it at where that differs. The entries already handed name it by that id.
    for (const u64 cluster : {u64(FatPropertiesOf(old)->GetFirstCluster()), old->GetId()}) {
        if (const auto mapped = m_folders.find(cluster); mapped != m_folders.end() && mapped->second == old) {
            mapped->second = node;
        }
    }
    node->SetId(old->GetId());
}

void CFATQuickWalker::MoveChildren(CFileNode* from, CFileNode* to) {
    while (CFileNode* child = from->GetFirstChild()) {
        from->RemoveChild(child);
        to->AddChild(child);
    }
}

bool CFATQuickWalker::ChallengerWins(CFileNode* holder, CFileNode* challenger, const CFileNode* challengerPlace,
                                     u64 cluster) {
    // A folder that holds the challenger (directly or further up) cannot give way to it: its
    // children would be moved below one of themselves.
    if (FatIsAncestorOrSelf(holder, challengerPlace)) return false;
    // The cluster's ".." is read only when the comparison gets as far as needing it.
    u64 home = kNoHome;
    bool homeRead = false;
    const auto matchHome = [&](u64 parent) {
        if (!homeRead) home = DotDotCluster(cluster);
        homeRead = true;
        return MatchDotDot(home, parent);
    };
    return FatChallengerReplaces(ClaimOf(holder), ClaimOf(challenger), matchHome);
}

void CFATQuickWalker::JudgeDuplicate(CFileNode* folder, u64 cluster) {
    const auto it = m_folders.find(cluster);
    if (it == m_folders.end() || it->second == folder || IsDiscarded(it->second)) return;
    CFileNode* holder = it->second;
    const bool folderWins = ChallengerWins(holder, folder, folder, cluster);
    CFileNode* loser = folderWins ? holder : folder;
    if (folderWins) {
        MoveChildren(holder, folder);
        it->second = folder;
        Supersede(holder, folder);
    }
    const CFATFileProperties* lp = FatPropertiesOf(loser);
    DebugTrace("Discard a directory named %s, cur: %x, parent:%x", lp->GetName(), unsigned(lp->GetFirstCluster()),
               unsigned(lp->GetParentCluster()));
    Discard(loser);
}

CFileNode* CFATQuickWalker::MakeReferenceNode(const u8* entries, u32 length, u64 cluster, FolderContext& ctx) {
    PropertiesRef<CFATFileProperties> properties = CreateFATFilePropertiesFromEntries(entries, length);
    TreeNodePtr ref = properties ? CreateFileNode() : nullptr;
    if (!ref) return nullptr;
    properties->SetFirstCluster(u32(cluster));
    ref->SetFileProperties(properties.release());
    ctx.ownedReferences.push_back(std::move(ref));
    return ctx.ownedReferences.back().get();
}

bool CFATQuickWalker::WalkFolderChain(CFileNode* folder, u64 firstCluster, bool dotsForbidden) {
    // A chain must start at a cluster of the volume; one that leads outside it reads nothing.
    if (!IsCluster(firstCluster)) return false;
    FolderContext ctx;
    ctx.folder = folder;
    u32 carried = 0;
    u64 cluster = firstCluster;
    bool first = true;
    ZeroRun zeros;
    bool zeroStart = false;  // the folder's first entries are zeros
    const FatFolderPieceAge pieceAge = FolderClaimAge(folder);
    // Each piece adds at least one new cluster to the set of directory clusters, so the number of
    // pieces is bounded by the volume's clusters.
    while (IsCluster(cluster)) {
        std::vector<u64> piece{cluster};
        u64 last = cluster;
        u32 next = NextFolderCluster(last);
        // Pieces hold at most 128 sectors; a cluster of 128 sectors is a piece by itself.
        while (u64(piece.size()) * m_spc < kPieceSectors && next == last + 1 && IsCluster(next)) {
            piece.push_back(next);
            last = next;
            next = NextFolderCluster(last);
        }
        if (!Continue()) return false;
        const u64 sectors = u64(piece.size()) * m_spc;
        if (!m_device->Read(m_buffer.data() + carried, ClusterSector(piece.front()), sectors)) {
            // A piece that cannot be read ends the chain; nothing stale is parsed.
            ReleaseTrace("FAT folder of first cluster %llu: cluster %llu (sector %llu) could not be read; the "
                         "folder's entries from there on are missing",
                         static_cast<unsigned long long>(firstCluster), static_cast<unsigned long long>(piece.front()),
                         static_cast<unsigned long long>(ClusterSector(piece.front())));
            return !first;
        }
        if (m_dirClusters.count(piece.front()) != 0) return false;
        for (u64 c : piece) m_dirClusters.insert(c);
        if (piece.front() == firstCluster && first) {
            const u8* start = m_buffer.data() + carried;
            CFATDirEntry dot(start);
            CFATDirEntry dotDot(start + kFatDirEntrySize);
            if (dotsForbidden) {
                if (dot.IsDotEntry() || dotDot.IsDotDotEntry()) return false;
            } else if (!dot.IsDotEntry() || !dotDot.IsDotDotEntry()) {
                // A live folder's chain is its own: where its first entries came back as zeros (a
                // copy of a failing disk), the entries after them in its chain are still its. A
                // deleted folder's cluster may be another's by now.
                const bool live = (FatPropertiesOf(folder)->GetState() & kFatDeletedState) == 0;
                zeroStart = live && IsZeroEntry(start) && IsZeroEntry(start + kFatDirEntrySize);
                if (live && !zeroStart) {
                    ReleaseTrace("FAT folder \"%s\" (first cluster %llu): its first sector %llu does not begin with "
                                 "\".\" and \"..\"; the folder cannot be read",
                                 FolderName(folder), static_cast<unsigned long long>(firstCluster),
                                 static_cast<unsigned long long>(ClusterSector(firstCluster)));
                }
                if (!zeroStart) return false;
            }
        }
        first = false;
        NoteFolderPiece(piece.front(), piece.size(), pieceAge);
        FollowZeros(zeros, folder, firstCluster, m_buffer.data() + carried, sectors * m_sectorSize,
                    ClusterSector(piece.front()));
        const u32 length = carried + u32(sectors * m_sectorSize);
        const i64 consumed = ParseFolderBuffer(m_buffer.data(), length, ctx);
        if (consumed < 0) break;
        const u32 left = length - u32(consumed);
        if (left >= 1 && left <= kMaxCarriedBytes) {
            ReleaseTrace("Found unproessed buffer, lengh:%d bytes", int(left));
            std::memmove(m_buffer.data(), m_buffer.data() + consumed, left);
            carried = left;
        } else {
            carried = 0;
        }
        if (!IsFatNextCluster(next)) break;
        if (PastDeviceEnd(next)) {
            // What the entries there list is not known, not even how many files.
            TellPastDeviceEnd("FAT folder of first cluster " + std::to_string(firstCluster) +
                                  ": its chain goes on at cluster " + std::to_string(next) + ",",
                              next, "the folder's entries from there on cannot be read");
            break;
        }
        cluster = next;
    }
    if (zeroStart && !zeros.listedAfter) {
        ReleaseTrace("FAT folder \"%s\" (first cluster %llu): its clusters hold only zeros; the folder cannot be "
                     "read",
                     FolderName(folder), static_cast<unsigned long long>(firstCluster));
        return false;
    }
    JudgeDeletedFiles(ctx);
    return true;
}

const char* CFATQuickWalker::FolderName(CFileNode* folder) {
    const CFATFileProperties* p = FatPropertiesOf(folder);
    return folder->GetParent() == nullptr || p == nullptr || p->GetName() == nullptr ? "(root)" : p->GetName();
}

void CFATQuickWalker::FollowZeros(ZeroRun& run, CFileNode* folder, u64 firstCluster, const u8* bytes, u64 length,
                                  u64 firstSector) {
    for (u64 at = 0; at + kFatDirEntrySize <= length; at += kFatDirEntrySize) {
        const u64 sector = firstSector + at / m_sectorSize;
        if (IsZeroEntry(bytes + at)) {
            if (!run.open) run.first = sector;
            run.open = true;
            run.last = sector;
            continue;
        }
        if (!run.open) continue;
        run.open = false;
        // Zeros followed by anything but an entry are the folder's end, or damage past it.
        if (!CFATDirEntry(bytes + at).IsValid(false)) continue;
        run.listedAfter = true;
        // A disk that failed all over gives one run in nearly every folder: past the first ones
        // they are counted, and the count said once the walk ends.
        if (m_zeroRunsTraced++ >= kMaxTracedZeroRuns) continue;
        ReleaseTrace("FAT folder \"%s\" (first cluster %llu): sectors %llu to %llu of the volume hold only zeros amid "
                     "its entries; passed over, its entries after them are listed",
                     FolderName(folder), static_cast<unsigned long long>(firstCluster),
                     static_cast<unsigned long long>(run.first), static_cast<unsigned long long>(run.last));
    }
}

void CFATQuickWalker::TellPastDeviceEnd(const std::string& where, u64 cluster, const char* what) const {
    ReleaseTrace("%s past the device's end at sector %llu of %llu: %s", where.c_str(),
                 static_cast<unsigned long long>(ClusterSector(cluster)),
                 static_cast<unsigned long long>(m_device->GetTotalSectors()), what);
}

void CFATQuickWalker::BookFolder(CFileNode* node, FolderContext& ctx, bool& kept) {
    CFATFileProperties* p = FatPropertiesOf(node);
    const u64 cluster = p->GetFirstCluster();
    DebugTrace("Find directory: %s at cluster :%x, parent :%x", p->GetName(), unsigned(cluster),
               unsigned(p->GetParentCluster()));
    kept = true;
    bool walkedBefore = false;
    auto it = m_folders.find(cluster);
    const FatClaimOutcome claim = it == m_folders.end() ? FatClaimOutcome::kDuplicates
                                                        : JudgeClusterClaim(ClaimOf(it->second), ClaimOf(node));
    if (it == m_folders.end()) {
        m_folders[cluster] = node;
        if (m_noteNewFolders) m_newFolders.push_back(cluster);
    } else if (claim == FatClaimOutcome::kChallengerLooksHigher) {
        // The entry stays apart; it is judged a duplicate only when no higher word gives it a
        // folder of its own.
    } else if (claim == FatClaimOutcome::kHolderLooksHigher) {
        // A live folder has the cluster a deleted entry named by its low word alone: the cluster is
        // the live folder's, and the deleted entry looks for its own at the higher words. What a
        // walk from the entry read there is the live folder's.
        CFileNode* old = it->second;
        it->second = node;
        if (old->GetId() == cluster && m_walkedFolders.erase(old) != 0) {
            MoveChildren(old, node);
            walkedBefore = true;
            Enqueue(old);
        }
    } else {
        CFileNode* old = it->second;
        const bool newWins = ChallengerWins(old, node, ctx.folder, cluster);
        if (newWins && ctx.strict) {
            // A lost cluster's entry describes the folder better, but the folder keeps its place
            // in the tree: it only takes the entry's name, times and state.
            IFileProperties* before = old->GetFileProperties();
            old->SetFileProperties(node->GetFileProperties());
            node->SetFileProperties(before);
            CFATFileProperties* op = FatPropertiesOf(node);
            DebugTrace("Discard a directory named %s, cur: %x, parent:%x", op->GetName(),
                       unsigned(op->GetFirstCluster()), unsigned(op->GetParentCluster()));
            kept = false;
            return;
        }
        if (newWins) {
            // A folder walked already read the cluster the new entry names: walked again the
            // new one would find it read and look for its cluster at the higher words, taking
            // another folder's files.
            walkedBefore = m_walkedFolders.count(old) != 0;
            MoveChildren(old, node);
            it->second = node;
            Supersede(old, node);
            if (!ctx.recyclePending.empty()) ctx.recyclePending.remove(old);
            CFATFileProperties* op = FatPropertiesOf(old);
            DebugTrace("Discard a directory named %s, cur: %x, parent:%x", op->GetName(), unsigned(op->GetFirstCluster()),
                       unsigned(op->GetParentCluster()));
            Discard(old);
        } else {
            DebugTrace("Discard a directory named %s, cur:%x, parent:%x", p->GetName(), unsigned(cluster),
                       unsigned(p->GetParentCluster()));
            kept = false;
            return;
        }
    }
    if (walkedBefore) {
        m_walkedFolders.insert(node);
    } else {
        Enqueue(node);
    }
    if ((p->GetState() & 1) != 0) ctx.referenceFolders.push_back(node);
}

void CFATQuickWalker::Discard(CFileNode* folder) {
    // Nothing reads a discarded folder's properties again: only the node waits for the walk's end.
    if (IFileProperties* properties = folder->GetFileProperties()) {
        folder->SetFileProperties(nullptr);
        properties->Release();
    }
    m_discardedNodes.emplace_back(folder);
    m_discarded.insert(folder);
    m_walkedFolders.erase(folder);
    if (m_queued.erase(folder) != 0) ++m_discardedQueued;
}

void CFATQuickWalker::DropDiscarded() {
    if (m_discardedNodes.empty()) return;
    const auto discarded = [this](CFileNode* node) { return IsDiscarded(node); };
    std::erase_if(m_queue, discarded);
    std::erase_if(m_later, discarded);
    std::erase_if(m_deferred, discarded);
    m_discardedQueued = 0;
    std::unordered_set<CFileNode*> parents;
    for (const TreeNodePtr& d : m_discardedNodes) {
        if (d->GetParent() != nullptr) parents.insert(d->GetParent());
    }
    std::vector<CFileNode*> kept;
    for (CFileNode* parent : parents) {
        kept.clear();
        while (CFileNode* child = parent->GetFirstChild()) {
            parent->RemoveChild(child);
            if (!IsDiscarded(child)) kept.push_back(child);
        }
        // Children are added in front: in reverse, they come back in their order.
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) parent->AddChild(*it);
    }
    m_discardedNodes.clear();
    m_discarded.clear();
}

i64 CFATQuickWalker::ParseFolderBuffer(const u8* buffer, u32 length, FolderContext& ctx) {
    CFATFileProperties* parentProps = FatPropertiesOf(ctx.folder);
    const bool parentDeleted = (parentProps->GetState() & 1) != 0;
    const u64 parentCluster = parentProps->GetFirstCluster();
    const bool inRecycleBin = IsInRecycleBin(ctx.folder);
    i64 runStart = -1;
    u32 dots = 0;

    for (u32 offset = 0; offset + kFatDirEntrySize <= length; offset += kFatDirEntrySize) {
        const u8* raw = buffer + offset;
        CFATDirEntry entry(raw);
        if (!entry.IsValid(false)) {
            runStart = -1;
            if (ctx.strict) return offset;
            continue;
        }
        if (entry.IsLongNameEntry()) {
            if (runStart < 0) runStart = offset;
            continue;
        }
        if (entry.IsVolumeLabel()) {
            runStart = -1;
            continue;
        }
        if (raw[0] == '.') {
            runStart = -1;
            if (++dots >= 3) return -1;
            continue;
        }
        const u32 begin = runStart >= 0 ? u32(runStart) : offset;
        runStart = -1;
        const bool isDirectory = entry.IsDirectory();
        const bool deleted = entry.IsDeleted();

        if (!isDirectory && !deleted && !parentDeleted && !m_keepTree) {
            NoteLiveFile(raw);
            if (m_revise) {
                if (CFileNode* ref = MakeReferenceNode(buffer + begin, offset + kFatDirEntrySize - begin,
                                                       entry.GetFirstCluster(), ctx)) {
                    ctx.referenceFiles.push_back(ref);
                }
            }
            continue;
        }
        if (m_revise && isDirectory && !deleted) {
            if (CFileNode* ref = MakeReferenceNode(buffer + begin, offset + kFatDirEntrySize - begin,
                                                   entry.GetFirstCluster(), ctx)) {
                ctx.referenceFolders.push_back(ref);
            }
        }

        const u64 cluster = entry.GetFirstCluster();
        if (cluster > 2 && cluster - 2 >= m_volumeClusterLimit) {
            if (ctx.strict) return offset;
            continue;
        }
        if (isDirectory && PastDeviceEnd(cluster)) {
            // The folder is passed over, and the log says which. A file there is kept: its bytes
            // are counted as unread where it is recovered.
            TellPastDeviceEnd("FAT folder of first cluster " + std::to_string(cluster) +
                                  ", listed in the folder of first cluster " + std::to_string(parentCluster) + ", lies",
                              cluster, "its entries cannot be read");
            continue;
        }
        // An entry naming its own folder is passed over. The FAT32 root has no cluster 0: a
        // deleted folder's entry there that names 0 lost the high word of its first cluster, and
        // so did a deleted file of some bytes that names 0 or 1 anywhere: the revise pass looks
        // for it at the higher words.
        const bool deletedFat32 = (deleted || parentDeleted) && m_fsCode == kFsFat32;
        const bool lostHighWord =
            deletedFat32 && (isDirectory ? cluster == 0
                                         : m_revise && cluster < kFatFirstDataCluster && entry.GetSize() != 0);
        if (cluster == parentCluster && !lostHighWord) continue;

        PropertiesRef<CFATFileProperties> properties =
            CreateFATFilePropertiesFromEntries(buffer + begin, offset + kFatDirEntrySize - begin);
        TreeNodePtr made = properties ? CreateFileNode() : nullptr;
        if (!made) continue;
        CFATFileProperties* p = properties.get();
        if (parentDeleted) p->SetState(1);
        p->SetParentCluster(u32(parentCluster));
        p->SetFirstCluster(u32(cluster));
        made->SetFileProperties(properties.release());
        CFileNode* node = made.get();
        node->SetParentId(ctx.folder->GetId());
        node->SetId(cluster);

        if (!isDirectory) {
            DebugTrace("Found a File %s!", p->GetName());
            // A live file's chain is in the FAT; a deleted one's clusters are taken in a row.
            const bool liveChain = !deleted && !parentDeleted;
            CFATDataRunList* runs = BuildFATRuns(m_geometry, u32(cluster), p->GetSize(), !liveChain);
            if (runs == nullptr && !lostHighWord) {
                DebugTrace("Failed build Datarun list!");
                continue;
            }
            p->SetDataRunList(runs);
            // A live file the complete scan keeps is a reference as the deleted-file scan's live
            // reference nodes are: its neighbours' estimates read its first cluster.
            ctx.referenceFiles.push_back(node);
            if (!deleted && parentDeleted) {
                ctx.unmarked.insert(node);
                m_unmarked.insert(p);
            }
        } else {
            bool kept = false;
            BookFolder(node, ctx, kept);
            if (!kept) continue;
        }

        if (!isDirectory) ++m_treeFiles;
        ctx.folder->AddChild(made.release());
        if (inRecycleBin) {
            if (CFileNode* companion = FindRecycleBinPair(ctx.recyclePending, node)) {
                const bool nodeIsInfo = IsRecycleBinInfoFile(node);
                RestoreRecycledFileName(m_device, nodeIsInfo ? companion : node, nodeIsInfo ? node : companion);
            }
        }
        if (isDirectory && (p->GetState() & 1) != 0) {
            m_deferred.push_back(node);
        } else {
            Hand(node);
        }
    }
    if (runStart >= 0) {
        DebugTrace("Unporcessed long file name directory entry at %d", int(runStart));
        return runStart;
    }
    return length;
}

void CFATQuickWalker::JudgeDeletedFiles(FolderContext& ctx) {
    if (m_revise) RevisePass(ctx);
}

std::vector<std::pair<u64, u64>> CFATQuickWalker::ChainOfSize(u64 first, u64 size) const {
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    const u64 needed = (size + clusterBytes - 1) / clusterBytes;
    std::vector<std::pair<u64, u64>> chain;  // [first, end) of each run, in chain order
    u64 c = first;
    for (u64 taken = 0; taken < needed; ++taken) {
        if (!Taken(c)) return {};
        if (!chain.empty() && chain.back().second == c) {
            ++chain.back().second;
        } else {
            chain.emplace_back(c, c + 1);
        }
        const u32 next = m_fat->GetEntry(u32(c));
        // The chain ends with the file's last cluster, not before and not after.
        if (IsFatNextCluster(next) == (taken + 1 == needed)) return {};
        c = next;
    }
    return chain;
}

void CFATQuickWalker::RevisePass(FolderContext& ctx) {
    ctx.referenceFiles.insert(ctx.referenceFiles.end(), ctx.referenceFolders.begin(), ctx.referenceFolders.end());
    if (!m_discarded.empty()) {
        std::erase_if(ctx.referenceFiles, [this](CFileNode* node) { return IsDiscarded(node); });
    }
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    const u64 highestCluster = m_volumeClusterLimit + kFatFirstDataCluster - 1;
    // The deleted files whose first cluster may have lost its high word, and the clusters the
    // others are known to begin at.
    std::vector<CFileNode*> pending;
    for (CFileNode* node : ctx.referenceFiles) {
        CFATFileProperties* p = FatPropertiesOf(node);
        if (p == nullptr || (p->GetState() & kFatDeletedState) == 0 || (p->GetAttributes() & kAttrDirectory) != 0 ||
            p->GetSize() == 0) {
            continue;
        }
        // An entry a lost folder lists unmarked was never deleted: nothing cleared its high word.
        // Such a folder may be bytes of a file that only look like one: its entries claim nothing.
        if (ctx.unmarked.count(node) != 0) continue;
        const u64 recorded = p->GetFirstCluster();
        if (FatNamesHighWord(recorded)) {
            ClaimFirstClusters(p, recorded, true);
            continue;
        }
        if (p->GetState() != kFatDeletedState || node->GetParent() != ctx.folder) continue;
        pending.push_back(node);
    }
    if (pending.empty()) return;
    if (!m_heads) m_heads = std::make_unique<CFatClusterHeads>(m_device, m_dataStart, m_spc, m_clusterLimit);
    CFatReviseReferences references(ctx.referenceFiles, FolderStart(ctx.folder), &ctx.unmarked);

    struct Pending {
        CFileNode* node;
        CFATFileProperties* p;
        FILETIME64 created = 0;
        std::vector<std::string> families;
        bool done = false;
    };
    std::vector<Pending> files;
    std::vector<u64> likeliest;
    for (CFileNode* node : pending) {
        Pending f{node, FatPropertiesOf(node), 0, {}, false};
        f.p->GetCreationTime(f.created);
        f.families = m_headers.CalledFor(f.p->GetName());
        // The likeliest cluster of every file is read with those near it before any is weighed.
        const FatFirstClusterCandidates candidates = references.Candidates(
            node, f.p->GetSize(), f.p->GetFirstCluster(), f.created, clusterBytes, highestCluster);
        if (!candidates.clusters.empty() && !Taken(candidates.clusters.front())) {
            likeliest.push_back(candidates.clusters.front());
        }
        files.push_back(std::move(f));
    }
    m_heads->Read(std::move(likeliest));

    // Files placed by those around them bound their neighbours in turn: the first round settles
    // those it can confirm, the second takes the rest as they stand.
    constexpr int kRounds = 2;
    for (int round = 0; round < kRounds; ++round) {
        const bool last = round + 1 == kRounds;
        for (Pending& f : files) {
            if (f.done) continue;
            const u64 recorded = f.p->GetFirstCluster();
            const u64 size = f.p->GetSize();
            FatCandidateLook look;
            look.taken = [this](u64 cluster) { return Taken(cluster); };
            look.blank = [this, size](u64 cluster) { return m_heads->Blank(cluster, size); };
            look.claimed = [this](u64 cluster) {
                return m_reviseClaims.Holds(cluster) || m_dirClusters.count(cluster) != 0;
            };
            look.willLook = [this](const std::vector<u64>& clusters) {
                std::vector<u64> free;
                for (const u64 c : clusters) {
                    if (!Taken(c)) free.push_back(c);
                }
                m_heads->Read(std::move(free));
            };
            if (!f.families.empty()) {
                look.holdsHeader = [this, &f](u64 cluster) {
                    const std::vector<u8>* head = m_heads->Head(cluster);
                    return head != nullptr && m_headers.Holds(f.families, head->data(), u32(head->size()));
                };
            }
            const FatFirstClusterEstimate estimate = EstimateDeletedFirstCluster(
                references, f.node, size, recorded, f.created, clusterBytes, highestCluster, look);
            if (!estimate.confirmed && !last) continue;
            f.done = true;
            if (estimate.confirmed) {
                using Evidence = FatFirstClusterEvidence;
                const Evidence by = estimate.evidence;
                // Written bytes alone are too little to place the files around it by, and a cluster a
                // chain holds now may be where its entry says rather than where it lay.
                if (by != Evidence::kWritten && !Taken(estimate.cluster)) {
                    references.Resolve(f.node, estimate.cluster);
                }
                // A file whose first cluster a chain holds now was written over: what is left of it
                // bounds no other deleted file, which may well be newer.
                const bool bounding = (by == Evidence::kOnly || by == Evidence::kBetween) && !Taken(estimate.cluster);
                if (Taken(estimate.cluster)) m_writtenOver.insert(f.p);
                ClaimFirstClusters(f.p, estimate.cluster, bounding);
                if (by == Evidence::kBeside || by == Evidence::kHeader || by == Evidence::kWritten) {
                    f.p->AddRef();
                    m_provisional.push_back({PropertiesRef<CFATFileProperties>(f.p), estimate.cluster, by});
                }
            } else {
                // Where it may lie: a file placed at that cluster by too little is not counted whole.
                ClaimFirstClusters(f.p, estimate.cluster, false);
                const char* name = f.p->GetName() != nullptr ? f.p->GetName() : "";
                if (estimate.evidence == FatFirstClusterEvidence::kRecorded) {
                    ReleaseTrace("Deleted file %s (first cluster %llx): a chain holds its recorded cluster now, and "
                                 "no other cluster of its low word may hold its bytes; its data is read from there "
                                 "and counted incomplete",
                                 name, static_cast<unsigned long long>(recorded));
                } else {
                    ReleaseTrace("Deleted file %s (first cluster %llx): of the clusters of its low word, none is "
                                 "told apart as its own by the files around it, its type's header and the clusters "
                                 "no other file holds; its data is kept where the estimate puts it, at cluster %llx, "
                                 "and counted incomplete",
                                 name, static_cast<unsigned long long>(recorded),
                                 static_cast<unsigned long long>(estimate.cluster));
                }
                f.p->SetState(u8(f.p->GetState() | kStateContentUnconfirmed));
            }
            // The entry's own cluster already has its runs; 0 and 1 have none.
            if (estimate.cluster == recorded && recorded >= kFatFirstDataCluster) continue;
            CFATDataRunList* runs = BuildFATRuns(m_geometry, u32(estimate.cluster), size, true);
            if (runs != nullptr) f.p->SetDataRunList(runs);
        }
    }
    m_heads->Clear();
}

void CFATQuickWalker::ClaimFirstClusters(CFATFileProperties* p, u64 first, bool bounding) {
    if (!IsCluster(first)) return;
    const u64 clusterBytes = u64(m_spc) * m_sectorSize;
    const u64 count = std::min((p->GetSize() + clusterBytes - 1) / clusterBytes, m_clusterLimit - (first - 2));
    if (bounding) m_reviseClaims.Add(first, count);
    m_firstClusterClaims.Add(first, count, FileIdentity(p, first), AgeFromTimes(*p, 0, false));
}

u64 CFATQuickWalker::FileIdentity(CFATFileProperties* p, u64 first) {
    // Entries of one first cluster, size and creation time describe one file (a folder found
    // twice, the entry a move left): their claims are one.
    FILETIME64 created = 0;
    p->GetCreationTime(created);
    constexpr u64 kMixPrime = 0x100000001B3ULL;  // of the FNV hash
    u64 identity = first;
    for (const u64 part : {p->GetSize(), u64(created)}) identity = (identity ^ part) * kMixPrime;
    return identity;
}

void CFATQuickWalker::CheckProvisionalFirstClusters() {
    for (const ProvisionalFirstCluster& f : m_provisional) {
        CFATFileProperties* p = f.properties.get();
        // Another file the walk found begins or lies there: its bytes may be that one's. Placed by
        // the files around it or its header, it keeps the cluster from files proven written
        // before it; written bytes alone that moved it off its entry's cluster tell nothing of
        // whose they are.
        const u64 recorded = p->GetFirstCluster();
        // Kept where its own entry says, it is as sure as any deleted file: the one weighing of
        // every claim decides whose that cluster is.
        if (f.cluster == recorded) continue;
        const bool byBytes = f.evidence == FatFirstClusterEvidence::kWritten;
        const ClaimAge age = byBytes ? ClaimAge{} : AgeFromTimes(*p, 0, false);
        if (!m_firstClusterClaims.HeldByNotOlder(f.cluster, FileIdentity(p, f.cluster), age)) continue;
        // Its data stays there: a recorded cluster a chain holds would give another file's bytes
        // for certain, where these may still be its own.
        ReleaseTrace("Deleted file %s (first cluster %llx): cluster %llx, where the estimate put it, is held by "
                     "another file the walk found; its data is kept there, and counted incomplete",
                     p->GetName() != nullptr ? p->GetName() : "", static_cast<unsigned long long>(recorded),
                     static_cast<unsigned long long>(f.cluster));
        // Placed by what lies around it or its header, it lay there: it keeps its claim, so that
        // the file holding the cluster is weighed against it as well. Placed by written bytes
        // alone, its place is a guess and takes no cluster.
        p->SetState(u8(p->GetState() | (byBytes ? kStateContentUnconfirmed : kStateClustersTaken)));
    }
    m_provisional.clear();
}

u64 CFATQuickWalker::FolderStart(CFileNode* folder) const {
    if (folder == m_root) return m_fsCode == kFsFat32 ? m_rootCluster : 0;
    CFATFileProperties* p = FatPropertiesOf(folder);
    if (p == nullptr) return 0;
    // A deleted folder found at a higher word keeps its recorded cluster; its runs say where it was read.
    std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
    if (runs && runs->GetExtentCount() != 0 && runs->GetExtent(0).start >= 0) {
        return u64(runs->GetExtent(0).start) + kFatFirstDataCluster;
    }
    return p->GetFirstCluster();
}
}  // namespace fatwalk


bool CheckFATBootSector(const u8* sector, u64 partitionStart, IStorageDevice* device, u32& fatCode) {
    fatCode = kFsUnknown;
    const u32 sectorSize = device != nullptr ? device->GetSectorSize() : 512;
    CFATDBR dbr(sector, sectorSize);
    if (!dbr.IsValid()) return false;
    if (u64(dbr.GetFATCount()) * dbr.GetFATSize() > dbr.GetTotalSectors()) return false;
    if (device == nullptr) return false;
    std::vector<u8> buffer(sectorSize, 0);
    const u64 copy1 = partitionStart + dbr.GetReservedSectors();
    const u64 copy2 = copy1 + dbr.GetFATSize();
    bool found = false;
    for (u64 at : {copy1, copy2}) {
        if (!device->Read(buffer.data(), at, 1)) continue;
        if (IsFATStartSector(buffer.data(), sectorSize, fatCode)) found = true;
    }
    return found;
}

u32 NextLostFolderNumber() {
    static std::atomic<u32> counter{0};
    return counter.fetch_add(1);
}

CFATQuickSearch::CFATQuickSearch() : m_record(512) {}

CFATQuickSearch::~CFATQuickSearch() { DestroySubtree(m_tree); }

const std::vector<IRawFileAnalyser*>& CFATQuickSearch::GetReviseAnalysers() {
    if (!m_analysersSet) {
        m_analysers = GetFatReviseAnalysers();
        m_analysersSet = true;
    }
    return m_analysers;
}

namespace {
// Says in the log why a volume whose boot sector is sound cannot be walked: neither FAT copy
// where it puts them begins with the FAT's marks (both zeroed, or unreadable), and without a FAT
// no folder's clusters can be followed.
void TellWhyNoBootSector(IStorageDevice* device) {
    const u32 sectorSize = device->GetSectorSize();
    std::vector<u8> sector(sectorSize, 0);
    for (const u64 at : {u64(0), kFatBackupBootSector}) {
        if (!device->Read(sector.data(), at, 1)) continue;
        const CFATDBR dbr(sector.data(), sectorSize);
        if (!dbr.IsValid()) continue;
        const u64 copy1 = dbr.GetReservedSectors();
        ReleaseTrace("FAT boot sector at sector %llu is sound, but neither FAT copy (sectors %llu and %llu of the volume) begins "
                     "with the FAT's marks: without a FAT the volume's folders cannot be followed",
                     static_cast<unsigned long long>(at), static_cast<unsigned long long>(copy1),
                     static_cast<unsigned long long>(copy1 + dbr.GetFATSize()));
        return;
    }
}
}  // namespace

u32 CFATQuickSearch::Search(IStorageDevice* device, IProgress* progress) {
    if (device == nullptr || progress == nullptr || m_builder == nullptr) return kFatQuickMissingArgument;
    m_device = device;
    m_progress = progress;
    const u32 sectorSize = device->GetSectorSize();
    m_record = CFATSearchedPartitionInfo(sectorSize);
    m_record.SetPartitionStart(0);
    m_record.SetFileSystemCode(kFsFat32);
    m_record.SetSectorsPerCluster(1);
    const u64 total = device->GetTotalSectors();
    m_record.SetTotalSectors(total > 0 ? total - 1 : 0);

    if (!IsUsableFatSectorSize(sectorSize)) {
        ReleaseTrace("Failed to read DBR information!");
        return kFatQuickNoBootSector;
    }
    // One sector of the device's own size: the boot sector is judged in its first 512 bytes.
    std::vector<u8> sector(sectorSize, 0);
    u32 fatCode = kFsUnknown;
    bool usable = device->Read(sector.data(), 0, 1) && CheckFATBootSector(sector.data(), 0, device, fatCode);
    if (!usable) {
        std::fill(sector.begin(), sector.end(), 0);
        usable = device->Read(sector.data(), kFatBackupBootSector, 1) &&
                 CheckFATBootSector(sector.data(), 0, device, fatCode);
    }
    const bool fatless = m_options.keepTree && !m_options.loadFat1 && !m_options.loadFat2;
    if (!usable && fatless) {
        // Both FAT copies are gone: the boot sector (a stand-in) stands without their marks.
        std::fill(sector.begin(), sector.end(), 0);
        usable = device->Read(sector.data(), 0, 1) && CFATDBR(sector.data(), sectorSize).IsValid();
        fatCode = CFATDBR(sector.data(), sectorSize).GetFATType();
    }
    if (!usable) {
        TellWhyNoBootSector(device);
        ReleaseTrace("Failed to read DBR information!");
        return kFatQuickNoBootSector;
    }
    m_record.AddFlags((fatCode == kFsFat16 ? 0x03u : 0x0Cu) | 0xC0u);

    CFATDBR dbr(sector.data(), sectorSize);
    // The complete scan says which copies its candidate may read; the quick search reads the first,
    // and the second only where the first lost its start (a failed sector): without any FAT every
    // folder would end after its first cluster, and the deleted files further on would be lost.
    const bool loadCopy1 = (m_record.GetFlags() & 0x80) != 0 && (!m_options.keepTree || m_options.loadFat1);
    const bool loadCopy2 = m_options.keepTree ? m_options.loadFat2 : dbr.GetFATCount() > 1;
    std::unique_ptr<CDoubleFATTable> fat(CreateDoubleFATTable(device, dbr.GetReservedSectors(), dbr.GetFATType(),
                                                              dbr.GetFATSize(), loadCopy1, loadCopy2));
    {
        fatwalk::CFATQuickWalker walker(*this, device, progress, dbr, fat.get());
        walker.Run();
    }
    fat.reset();
    return progress->Continued() == 0 ? kFatQuickStopped : kFatQuickDone;
}
