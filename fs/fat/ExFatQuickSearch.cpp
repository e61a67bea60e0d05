#include "fs/fat/ExFatQuickSearch.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <unordered_set>

#include "devices/StorageDevice.h"
#include "engine/DirectoryTreeBuilder.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/Progress.h"
#include "fs/fat/ExFatFileProperties.h"
#include "fs/fat/ExFatVolume.h"
#include "platform/Log.h"
#include "platform/Time.h"

FILETIME64 ExFatTimeToFileTime(u32 timestamp, u8 tenMilliseconds) {
    // Hundredths of a second in FILETIME's 100-nanosecond units; a count past two seconds is
    // no valid one.
    constexpr u64 kTenMilliseconds = 100000;
    constexpr u8 kMaxTenMilliseconds = 199;
    u64 value = 0;
    if (!DosDateTimeToFileTime(u16(timestamp >> 16), u16(timestamp & 0xFFFF), value)) return 0;
    return tenMilliseconds <= kMaxTenMilliseconds ? value + tenMilliseconds * kTenMilliseconds : value;
}

bool ExFatClusterRanges::Insert(u32 cluster) {
    auto next = m_ranges.upper_bound(cluster);
    if (next != m_ranges.begin()) {
        auto at = std::prev(next);
        if (cluster < at->second) return false;
        if (cluster == at->second) {
            at->second = u64(cluster) + 1;
            if (next != m_ranges.end() && next->first == at->second) {
                at->second = next->second;
                m_ranges.erase(next);
            }
            return true;
        }
    }
    u64 end = u64(cluster) + 1;
    if (next != m_ranges.end() && next->first == end) {
        end = next->second;
        m_ranges.erase(next);
    }
    m_ranges.emplace(cluster, end);
    return true;
}

void ExFatClusterRanges::InsertRange(u64 first, u64 end) {
    if (first >= end || first > 0xFFFFFFFFull) return;
    // Ranges that begin inside or right after the new one, or end inside or right before it,
    // become part of it.
    auto at = m_ranges.upper_bound(u32(first));
    if (at != m_ranges.begin() && std::prev(at)->second >= first) {
        --at;
        first = at->first;
    }
    while (at != m_ranges.end() && at->first <= end) {
        end = std::max(end, at->second);
        at = m_ranges.erase(at);
    }
    m_ranges.emplace(u32(first), end);
}

bool ExFatClusterRanges::Overlaps(u64 first, u64 end) const {
    if (first >= end || first > 0xFFFFFFFFull) return false;
    auto next = m_ranges.upper_bound(u32(first));
    if (next != m_ranges.begin() && first < std::prev(next)->second) return true;
    return next != m_ranges.end() && next->first < end;
}

bool ExFatClusterRanges::Contains(u32 cluster) const {
    auto next = m_ranges.upper_bound(cluster);
    return next != m_ranges.begin() && cluster < std::prev(next)->second;
}

u64 ExFatClusterRanges::NextOutside(u64 cluster) const {
    if (cluster > 0xFFFFFFFFull) return cluster;
    auto next = m_ranges.upper_bound(u32(cluster));
    if (next == m_ranges.begin()) return cluster;
    const u64 end = std::prev(next)->second;
    return cluster < end ? end : cluster;
}

void CExFatQuickSearch::GetSearchedPartitions(std::vector<CSearchedPartitionInfo*>& out) {
    if (m_partition) out.push_back(m_partition.get());
}

bool CExFatQuickSearch::Prepare(const u8* bootSector) {
    const CExFatBootSector boot(bootSector);
    const u32 sectorSize = m_volume->GetSectorSize();
    const u32 spc = boot.GetSectorsPerCluster();
    m_clusterBytes = sectorSize * spc;  // at most 32 MiB by the boot-sector check

    m_partition = std::make_unique<CExFatPartition>(sectorSize);
    CExFatPartition& p = *m_partition;
    p.m_sectorSize = sectorSize;
    p.m_bytesPerSector = sectorSize;
    p.m_sectorsPerCluster = spc;
    p.m_heapStart = boot.GetClusterHeapOffset();
    p.m_rootCluster = boot.GetRootCluster();
    const u64 fatEntries = u64(boot.GetFatLength()) * boot.GetBytesPerSector() / 4;
    p.m_clusterLimit = u32(std::min<u64>(std::max<u64>(boot.GetClusterCount(), fatEntries), 0xFFFFFFFFull));
    // The used-cluster set covers only the clusters the device can hold.
    const u64 total = m_volume->GetTotalSectors();
    if (boot.GetVolumeLength() > total) {
        // A partial copy of a failing disk: the volume is walked as far as the copy goes.
        ReleaseTrace("exFAT volume of %" PRIu64 " sectors, of which the device holds %" PRIu64
                     ": what lies past its end cannot be read",
                     boot.GetVolumeLength(), total);
    }
    const u64 deviceClusters = total > p.m_heapStart ? (total - p.m_heapStart) / spc : 0;
    p.SetClusterCount(boot.GetClusterCount(), deviceClusters);
    p.SetSectorsPerCluster(spc);
    p.SetPartitionStart(p.m_heapStart);

    // A file may be longer than the device holds, up to the volume's own length.
    const u64 lengthLimit = std::max(total, boot.GetAddressableLength());
    m_parser.SetLimits(ExFatWalkLimits::Make(lengthLimit, Log2Floor(sectorSize), Log2Floor(m_clusterBytes)));
    m_parser.Reset();
    m_parser.ClearSets();
    if (m_fatUsable) p.m_fat.Open(m_volume, boot.GetFatOffset(), boot.GetFatLength(), boot.GetClusterCount());
    m_cluster.assign(m_clusterBytes, 0);
    m_readClusters.Clear();
    m_liveRead.Clear();
    m_taken.Clear();
    m_cutLiveFolders.clear();
    m_folderStarts.clear();
    m_queue.clear();
    m_deletedQueue.clear();
    m_deferred.clear();
    m_bitmap.Clear();
    m_liveHeld.Clear();
    m_liveFiles.clear();
    m_owners.clear();
    m_heldDeleted.clear();
    m_deletedFolders.clear();
    m_takenCount = 0;
    m_firstTaken.clear();
    m_chainUnknownCount = 0;
    m_firstChainUnknown.clear();
    m_blankCount = 0;
    m_firstBlank.clear();
    PlaceBitmap(boot.GetActiveFat());
    return true;
}

u32 CExFatQuickSearch::Search(IStorageDevice* volume, IProgress* progress) {
    if (volume == nullptr || progress == nullptr || m_builder == nullptr) return kExFatQuickMissingArgument;
    m_volume = volume;
    m_progress = progress;
    u8 bootSector[512];
    if (!ReadExFatBootSector(volume, 0, bootSector)) return kExFatQuickNoBootSector;
    if (!Prepare(bootSector)) return kExFatQuickNoBootSector;
    CExFatPartition& p = *m_partition;

    FileSystemNodePtr root = CreateFileSystemNode();
    PropertiesRef<CExFatFileProperties> rootProperties(NewExFatFileProperties());
    if (!root || !rootProperties) return kExFatQuickDone;
    SetFolderPropertiesName(rootProperties.get(), "exFAT");
    rootProperties->SetFirstCluster(p.m_rootCluster);
    rootProperties->SetSecondClusterWord(kExFatRootClusterWord);
    root->SetFileProperties(rootProperties.release());
    root->SetPartitionGeometry(p.m_heapStart, p.m_sectorsPerCluster);
    root->SetFileSystemType(kFsExFat);
    root->SetId(p.ClusterToSector(p.m_rootCluster));
    if (m_builder->AddFileSystemTree(root.get()) == 0) return kExFatQuickDone;
    root.release();

    PendingFolder rootFolder;
    rootFolder.firstCluster = p.m_rootCluster;
    rootFolder.budget = u64(m_clusterBytes) * p.m_clusterLimit;
    m_deferDeleted = true;
    // A root that cannot be read whole still hands on the folders its readable clusters list.
    if (m_rootKnown) {
        WalkDirectory(rootFolder);
        WalkQueued();
    }
    m_deferDeleted = false;
    // Deleted folders met before the user stopped the walk still stand in the tree.
    ReleaseDeferred();
    m_queue.clear();
    m_deletedQueue.clear();
    if (m_rootKnown) FinishHandOver();
    Report(1, 1);
    return kExFatQuickDone;
}

void CExFatQuickSearch::WalkQueued() {
    u64 done = 0;
    u64 lastPercent = 0;
    while (m_progress->Continued() != 0) {
        if (m_queue.empty() && !m_deferred.empty()) {
            m_deferDeleted = false;
            ReleaseDeferred();
            continue;
        }
        std::deque<PendingFolder>& queue = m_queue.empty() ? m_deletedQueue : m_queue;
        if (queue.empty()) break;
        const PendingFolder folder = queue.front();
        queue.pop_front();
        // A folder that cannot be read costs only its own entries: every other folder is still
        // walked (a partial image of a failing card ends in the middle of the heap).
        WalkDirectory(folder);
        ++done;
        const u64 total = done + m_queue.size() + m_deletedQueue.size() + m_deferred.size();
        const u64 percent = done * 100 / total;
        if (percent > lastPercent) {
            lastPercent = percent;
            Report(done, total);
        }
    }
}

void CExFatQuickSearch::ReleaseDeferred() {
    std::vector<DeferredFolder> deferred;
    deferred.swap(m_deferred);
    for (const DeferredFolder& d : deferred) HandOver(d.set, false, d.parentId);
}

void CExFatQuickSearch::HandOverSet(const ExFatEntrySet& set, u64 parentId, bool deletedParent, bool displaced) {
    if (!m_partition || !m_volume) return;
    HandOver(set, deletedParent, parentId, displaced);
    m_queue.clear();
    m_deletedQueue.clear();
}

u64 CExFatQuickSearch::DisplacedFolderId(const ExFatEntrySet& set) const {
    // Only asked once a search has placed the volume.
    return set.EntryNumber(m_partition->m_sectorSize) | kDisplacedIdBit;
}

void CExFatQuickSearch::Report(u64 done, u64 total) {
    ProgressInfo info;
    info.Type = kProgressUpdate;
    info.Total = total;
    info.Done = done;
    m_progress->OnProgress(&info);
}

u64 CExFatQuickSearch::NextOfRun(u64 cluster, u64 runEnd) const {
    // Each jump lands on a cluster no folder read: it is read next or the run ends there.
    const u64 next = m_taken.NextOutside(cluster);
    return next < runEnd ? next : runEnd;
}

void CExFatQuickSearch::WalkDirectory(const PendingFolder& folder) {
    CExFatPartition& p = *m_partition;
    m_parser.Reset();
    m_parser.ClearSets();
    u64 budget = folder.budget;
    // A deleted folder's chain was freed with it: its entries are looked for in the run of
    // clusters its size spans, passing over the clusters other folders hold (live ones were all
    // walked before). A live folder follows its chain; a cluster read before ends it, so loops
    // and cross-links end there.
    const bool run = folder.deleted;
    const u64 runEnd = u64(folder.firstCluster) + ExFatFolderRunClusters(folder.budget, m_clusterBytes);
    u64 cluster = run ? NextOfRun(u64(folder.firstCluster) + folder.liveClusters, runEnd) : folder.firstCluster;
    bool readOk = true;
    bool chainCut = false;
    u64 walked = 0;  // clusters of the chain met
    ZeroRun zeros;
    // A live folder's entries end before its chain may: the clusters its chain names after that
    // are still its own, held without being read.
    bool listing = true;
    while (cluster < runEnd || !run) {
        if (cluster > 0xFFFFFFFFull || !p.IsHeapCluster(u32(cluster))) {
            chainCut = true;
            break;
        }
        const u32 at = u32(cluster);
        ++walked;
        // Past zeros that may be its end, a folder's chain names the first cluster of another.
        if (listing && zeros.open && at != folder.firstCluster && m_folderStarts.count(at) != 0) listing = false;
        if (listing) {
            if (!m_readClusters.Insert(at)) break;
        } else if (m_liveRead.Contains(at)) {
            break;  // a live folder's already: the chain loops or runs into another folder
        }
        // A cluster a live folder only holds is not read: a live folder that lists on into it
        // (a damaged chain) still reads it.
        m_taken.Insert(at);
        if (!folder.deleted) m_liveRead.Insert(at);
        const u64 sector = p.ClusterToSector(at);
        if (listing) {
            if (m_volume->Read(m_cluster.data(), sector, p.m_sectorsPerCluster) == 0) {
                // Nothing of a failed read is parsed, and what the chain names after it is not known.
                ReleaseTrace("exFAT folder of first cluster %u: cluster %u (sector %" PRIu64
                             ") could not be read; the folder's entries from there on are missing",
                             unsigned(folder.firstCluster), unsigned(at), sector);
                readOk = false;
                break;
            }
            if (run) {
                if (!m_parser.Feed(m_cluster.data(), m_clusterBytes, sector)) break;
            } else if (!FeedLiveCluster(folder, sector, zeros)) {
                listing = false;
            }
        }
        if (run) {
            cluster = NextOfRun(cluster + 1, runEnd);
            continue;
        }
        budget = budget > m_clusterBytes ? budget - m_clusterBytes : 0;
        if (budget == 0) break;
        // Without a FAT only a contiguous folder can go on past its first cluster.
        cluster = m_fatUsable ? p.NextCluster(at, folder.noFatChain)
                              : (folder.noFatChain && at < kExFatChainEnd - 1 ? at + 1 : kExFatNoEntry);
    }
    // Where a live folder's chain ends before its size, its other clusters are not known: a
    // deleted folder that had its first cluster takes none of the clusters its size spans. The
    // root has no size: its chain ends where it ends.
    const bool sizeUnknown = folder.firstCluster == p.m_rootCluster;
    if (!folder.deleted && ((chainCut && !sizeUnknown) || !readOk)) {
        const u64 spanned = ExFatFolderRunClusters(folder.budget, m_clusterBytes);
        m_cutLiveFolders.emplace(folder.firstCluster, spanned);
        if (readOk) {
            ReleaseTrace("exFAT folder \"%s\" (first cluster %u): its chain ends after %" PRIu64 " of the %" PRIu64
                         " clusters its size spans (a damaged FAT); the entries of the others are missing",
                         folder.name.c_str(), unsigned(folder.firstCluster), walked, spanned);
        }
    }

    TellZeroRun(folder, zeros);
    const u64 parentId = folder.displaced ? folder.id : p.ClusterToSector(folder.firstCluster);
    std::vector<ExFatEntrySet> sets;
    sets.swap(m_parser.GetSets());
    for (const ExFatEntrySet& set : sets) HandOver(set, folder.deleted, parentId);
}

bool CExFatQuickSearch::FeedLiveCluster(const PendingFolder& folder, u64 sector, ZeroRun& zeros) {
    const u32 sectorSize = m_partition->m_sectorSize;
    u32 from = 0;
    for (;;) {
        if (zeros.open) {
            // The zeros go on up to the next entry of any type.
            while (from < m_clusterBytes && m_cluster[from] == 0) from += kExFatEntrySize;
            if (from >= m_clusterBytes) return true;
            zeros.open = false;
            zeros.passed = true;
            zeros.end = sector + from / sectorSize;
            zeros.setsBefore = m_parser.GetSets().size();
            // The set the zeros cut is gone; what follows begins afresh.
            m_parser.Reset();
        }
        if (m_parser.Feed(m_cluster.data(), m_clusterBytes, sector, from)) break;
        from = m_parser.StoppedAt();
        TellZeroRun(folder, zeros);
        // Any entry but a zero one ends the folder; a zero one is its end only when nothing but
        // zeros follows in the clusters the folder holds.
        if (m_cluster[from] != 0) return false;
        // Zeros again before a set was complete after the last ones: one run, told as one.
        if (!zeros.passed) zeros.first = sector + from / sectorSize;
        zeros.open = true;
    }
    TellZeroRun(folder, zeros);
    return true;
}

void CExFatQuickSearch::TellZeroRun(const PendingFolder& folder, ZeroRun& zeros) {
    // Told once sets follow the zeros: zeros followed by no valid entry are the folder's end.
    if (!zeros.passed || m_parser.GetSets().size() == zeros.setsBefore) return;
    zeros.passed = false;
    ReleaseTrace("exFAT folder \"%s\" (first cluster %u): sectors %" PRIu64 " to %" PRIu64
                 " of the volume hold only zeros amid its entries; passed over, its entries after them are listed",
                 folder.name.empty() ? "(root)" : folder.name.c_str(), unsigned(folder.firstCluster), zeros.first,
                 zeros.end - 1);
}

void CExFatQuickSearch::HandOver(const ExFatEntrySet& set, bool deletedParent, u64 parentId, bool displaced) {
    CExFatPartition& p = *m_partition;
    const bool deleted = deletedParent || set.inUse == 0;
    if (set.IsDirectory()) m_folderStarts.insert(set.firstCluster);
    if (m_deferDeleted && deleted && set.IsDirectory()) {
        m_deferred.push_back({set, parentId});
        return;
    }
    // Live folders are all walked before any deleted one is handed over.
    displaced = displaced || (deleted && set.IsDirectory() && m_liveRead.Contains(set.firstCluster));
    TreeNodePtr node = CreateFileNode();
    PropertiesRef<CExFatFileProperties> properties(NewExFatFileProperties());
    if (!node || !properties) return;
    properties->SetName(set.name.c_str());
    properties->SetFirstCluster(set.firstCluster);
    properties->SetAttributes(set.attributes);
    properties->SetCreationTime(ExFatTimeToFileTime(set.createTime, set.createTime10ms));
    properties->SetModificationTime(ExFatTimeToFileTime(set.modifyTime, set.modifyTime10ms));
    properties->SetAccessTime(ExFatTimeToFileTime(set.accessTime));
    properties->SetSize(set.dataLength);
    properties->SetState(deleted ? kStateDeleted : 0);
    // A deleted folder's FAT entries cannot be trusted any more: its clusters are read as
    // contiguous. A live one follows its FAT chain unless its entry says it has none.
    const bool noFatChain = deleted || set.noFatChain != 0 || !m_fatUsable;
    properties->SetChainFlag(noFatChain ? 1 : 0);
    u64 guessedFrom = 0;
    if (!set.IsDirectory()) {
        CExFatDataRunList* runs = BuildRuns(set, guessedFrom);
        if (runs != nullptr) {
            if (!deleted && (set.noFatChain != 0 || !p.m_fat.IsOpen() || set.dataLength <= m_clusterBytes)) {
                BookClusters(*runs);
            }
            if (!deleted) BookLive(set, runs);
            if (m_layoutGuessed && BeginsBlank(*runs, set.dataLength)) {
                properties->SetState(u8(properties->GetState() | kStateContentUnconfirmed));
                if (m_blankCount++ == 0) m_firstBlank = set.name;
            }
            properties->SetRunList(runs);
        }
    } else if (!deleted) {
        BookLive(set, nullptr);
    } else if (p.IsHeapCluster(set.firstCluster)) {
        m_deletedFolders.emplace_back(set.firstCluster, AgeFromTimes(*properties, 0, false));
    }
    node->SetFileProperties(properties.release());
    node->SetRecordSector(set.position);
    node->SetId(displaced ? DisplacedFolderId(set) : p.ClusterToSector(set.firstCluster));
    node->SetParentId(parentId);
    // A deleted file waits until every live file, and every other deleted one, is known: a file
    // handed over later may hold its clusters, or be the file a move left this entry of.
    if (deleted && !set.IsDirectory()) {
        m_heldDeleted.push_back({std::move(node), KeyOf(set), guessedFrom, set.inUse == 0});
        return;
    }

    u32 error = 0;
    if (m_builder->AddFoundFileNode(node.get(), kTreeKindExFat, &error) == 0) return;
    node.release();
    if (set.IsDirectory()) {
        PendingFolder folder;
        folder.firstCluster = set.firstCluster;
        folder.budget = set.dataLength;
        folder.noFatChain = noFatChain;
        folder.deleted = deleted;
        folder.name = set.name;
        if (displaced) {
            folder.displaced = true;
            folder.id = DisplacedFolderId(set);
            auto cut = m_cutLiveFolders.find(set.firstCluster);
            folder.liveClusters = cut != m_cutLiveFolders.end() ? cut->second : 0;
        }
        (deleted ? m_deletedQueue : m_queue).push_back(folder);
    }
}

CExFatDataRunList* CExFatQuickSearch::BuildRuns(const ExFatEntrySet& set, u64& guessedFrom) {
    CExFatPartition& p = *m_partition;
    if (set.dataLength == 0 || !p.IsHeapCluster(set.firstCluster)) return nullptr;
    CExFatDataRunList* runs = new CExFatDataRunList;
    const u64 heapEnd = u64(p.GetClusterCount()) + 2;  // first cluster number past the heap
    // Clusters past the heap hold nothing of the file.
    auto appendContiguous = [&](u64 from, u64 bytes) {
        const u64 clusters = (bytes + m_clusterBytes - 1) / m_clusterBytes;
        const u64 length = std::min<u64>(clusters, heapEnd > from ? heapEnd - from : 0);
        if (length != 0) runs->AppendClusterRun({i64(from) - 2, length});
    };
    if (set.noFatChain != 0 || set.dataLength <= m_clusterBytes) {
        appendContiguous(set.firstCluster, set.dataLength);
        return runs;
    }
    // Deleting a file frees its FAT chain with it, so the chain of a deleted set ends early (mostly
    // after its first cluster). Its data most likely goes on where the chain stopped.
    if (!m_fatUsable) {
        if (set.inUse == 0) {
            appendContiguous(set.firstCluster, set.dataLength);
            guessedFrom = u64(set.firstCluster) + 1;
        } else {
            // A set in use (also one of a folder whose own entry is gone) kept its chain in a
            // FAT that is not known here: only its first cluster is known to be its own, and
            // the rest is written as unread.
            appendContiguous(set.firstCluster, m_clusterBytes);
            if (m_chainUnknownCount++ == 0) m_firstChainUnknown = set.name;
        }
        return runs;
    }
    // Bytes bound the walk, and so do the heap's end and a cluster met twice.
    std::unordered_set<u32> visited;
    u64 remaining = set.dataLength;
    u32 cluster = set.firstCluster;
    u32 last = cluster;
    bool endsThere = false;
    while (p.IsHeapCluster(cluster) && remaining > 0 && visited.insert(cluster).second) {
        runs->AppendClusterRun({i64(cluster) - 2, 1});
        last = cluster;
        remaining = remaining > m_clusterBytes ? remaining - m_clusterBytes : 0;
        if (remaining == 0) {
            endsThere = p.m_fat.GetEntry(cluster) >= kExFatChainEnd;
            break;
        }
        cluster = p.NextCluster(cluster, false);
    }
    // A chain that runs on past the file's length is not the one its volume gave it: the FAT
    // there is another's, or damaged, and only the first cluster is known to be the file's.
    if (remaining == 0 && !endsThere && set.inUse != 0) {
        delete runs;
        runs = new CExFatDataRunList;
        appendContiguous(set.firstCluster, m_clusterBytes);
        if (m_chainUnknownCount++ == 0) m_firstChainUnknown = set.name;
        return runs;
    }
    // A set in use never had its chain freed, also where its folder's own entry is gone: a chain
    // that ends early is not its own any more past that point.
    if (remaining > 0 && set.inUse == 0) {
        appendContiguous(u64(last) + 1, remaining);
        guessedFrom = u64(last) + 1;
    } else if (remaining > 0 && m_chainUnknownCount++ == 0) {
        m_firstChainUnknown = set.name;
    }
    return runs;
}

void CExFatQuickSearch::PlaceBitmap(u32 activeFat) {
    m_bitmap.Clear();
    CExFatPartition& p = *m_partition;
    if (!m_bitmapTrusted || !p.IsHeapCluster(p.m_rootCluster)) return;
    if (m_volume->Read(m_cluster.data(), p.ClusterToSector(p.m_rootCluster), p.m_sectorsPerCluster) == 0) return;
    // The bitmap of the active FAT (a volume of two FATs has one for each).
    const u8* entry = nullptr;
    for (u32 at = 0; at + kExFatEntrySize <= m_clusterBytes && m_cluster[at] != 0; at += kExFatEntrySize) {
        const u8* e = m_cluster.data() + at;
        if (e[0] != kExFatBitmapEntry || !CheckExFatBitmapEntry(e, m_parser.GetLimits())) continue;
        if (entry == nullptr || (e[1] & 1) == activeFat) entry = e;
        if ((e[1] & 1) == activeFat) break;
    }
    if (entry == nullptr) return;
    const u32 first = ReadLE32(entry + kExFatEntryFirstClusterOffset);
    // Bits past the heap's clusters tell nothing.
    const u64 bytes = std::min<u64>(ReadLE64(entry + kExFatEntryLengthOffset), (u64(p.GetClusterCount()) + 7) / 8);
    const u64 covered = std::min<u64>(bytes * 8, p.GetClusterCount());
    const u64 needed = (bytes + m_clusterBytes - 1) / m_clusterBytes;
    if (!p.IsHeapCluster(first) || needed == 0) return;
    // Its clusters follow its FAT chain where the FAT can be read; a chain that does not hold
    // them all leaves the bitmap unknown.
    std::vector<u64> sectors;
    std::unordered_set<u32> seen;
    const bool chained = p.m_fat.IsOpen();
    for (u32 cluster = first; sectors.size() < needed; cluster = chained ? p.NextCluster(cluster, false) : cluster + 1) {
        if (!p.IsHeapCluster(cluster) || !seen.insert(cluster).second) return;
        sectors.push_back(p.ClusterToSector(cluster));
    }
    m_bitmap.Place(m_volume, std::move(sectors), p.m_sectorsPerCluster, covered);
    if (!m_bitmap.InUse(first) || !m_bitmap.InUse(p.m_rootCluster)) {
        ReleaseTrace("exFAT allocation bitmap at cluster %u does not mark its own cluster and the root's (%u) in use: "
                     "not believed",
                     unsigned(first), unsigned(p.m_rootCluster));
        m_bitmap.Clear();
    }
}

void CExFatQuickSearch::BookLive(const ExFatEntrySet& set, const CExFatDataRunList* runs) {
    if (runs != nullptr) {
        m_liveFiles.insert(KeyOf(set));
        for (size_t i = 0; i < runs->GetExtentCount(); ++i) {
            const DataRunExtent& extent = runs->GetExtent(i);
            if (extent.start >= 0) m_liveHeld.InsertRange(u64(extent.start) + 2, u64(extent.start) + 2 + extent.length);
        }
        return;
    }
    // A folder: its run, or its chain as far as the FAT gives it.
    CExFatPartition& p = *m_partition;
    if (!p.IsHeapCluster(set.firstCluster)) return;
    const u64 clusters = ExFatFolderRunClusters(set.dataLength, m_clusterBytes);
    if (set.noFatChain != 0 || !m_fatUsable || !p.m_fat.IsOpen()) {
        const u64 known = set.noFatChain != 0 ? clusters : 1;
        const u64 end = std::min<u64>(u64(set.firstCluster) + known, u64(p.GetClusterCount()) + 2);
        m_liveHeld.InsertRange(set.firstCluster, end);
        return;
    }
    std::unordered_set<u32> seen;
    for (u32 cluster = set.firstCluster; seen.size() < clusters && p.IsHeapCluster(cluster) && seen.insert(cluster).second;
         cluster = p.NextCluster(cluster, false)) {
        m_liveHeld.Insert(cluster);
    }
}

CClusterClaims::Owner CExFatQuickSearch::OwnerOf(const FileKey& key) {
    // Owner 0 owns nothing: the first file gets 1.
    return m_owners.try_emplace(key, CClusterClaims::Owner(m_owners.size() + 1)).first->second;
}

void CExFatQuickSearch::ClaimClusterRun(CClusterClaims& claims, CClusterClaims::ClaimId claim, u64 first, u64 clusters,
                                        u64 bytes) const {
    const CExFatPartition& p = *m_partition;
    const u64 sectorSize = p.m_sectorSize;
    const u64 runBytes = std::min<u64>(bytes, clusters * m_clusterBytes);
    if (first < 2 || runBytes == 0 || sectorSize == 0) return;
    // The part of a last cluster past the file's end still holds an older file's bytes.
    claims.AddSectors(claim, p.m_heapStart + (first - 2) * p.m_sectorsPerCluster, (runBytes + sectorSize - 1) / sectorSize);
}

void CExFatQuickSearch::ClaimHeld(CClusterClaims& claims, const HeldDeleted& held, const ClaimAge& age,
                                  CClusterClaims::Owner owner) {
    IFileProperties* file = held.node->GetFileProperties();
    std::unique_ptr<IDataRunList> runs(file->CreateDataRunList());
    if (!runs || runs->IsResident()) return;
    const CClusterClaims::ClaimId certain = claims.Add(file, age, owner);
    CClusterClaims::ClaimId guessed = certain;
    if (held.guessedFrom != 0) {
        // Only the guess's end is known: the file was last written no later than its times say.
        ClaimAge guess = age;
        guess.writtenFrom = 0;
        guessed = claims.Add(file, guess, owner);
    }
    u64 left = file->GetSize();
    for (size_t i = 0; i < runs->GetExtentCount() && left > 0; ++i) {
        const DataRunExtent& e = runs->GetExtent(i);
        const u64 runBytes = std::min<u64>(left, e.length * u64(m_clusterBytes));
        left -= runBytes;
        if (e.start < 0) continue;
        const u64 first = u64(e.start) + 2;
        const u64 end = first + e.length;
        const u64 split = held.guessedFrom == 0 ? end : std::clamp<u64>(held.guessedFrom, first, end);
        const u64 certainBytes = std::min<u64>(runBytes, (split - first) * m_clusterBytes);
        ClaimClusterRun(claims, certain, first, split - first, certainBytes);
        ClaimClusterRun(claims, guessed, split, end - split, runBytes - certainBytes);
    }
}

void CExFatQuickSearch::GuessAroundLive(HeldDeleted& held) {
    if (held.guessedFrom == 0) return;
    const CExFatPartition& p = *m_partition;
    const u64 heapEnd = u64(p.GetClusterCount()) + 2;
    auto* file = static_cast<CExFatFileProperties*>(held.node->GetFileProperties());
    std::unique_ptr<IDataRunList> runs(file->CreateDataRunList());
    if (!runs || runs->IsResident()) return;
    const u64 guessed = held.guessedFrom;
    auto* laid = new CExFatDataRunList;
    std::unique_ptr<CExFatDataRunList> owned(laid);
    u64 certainClusters = 0;
    bool crossesLive = false;
    for (size_t i = 0; i < runs->GetExtentCount(); ++i) {
        const DataRunExtent& e = runs->GetExtent(i);
        if (e.start < 0) return;
        const u64 first = u64(e.start) + 2;
        const u64 end = first + e.length;
        const u64 split = std::clamp<u64>(guessed, first, end);
        if (split > first) laid->AppendClusterRun({e.start, split - first});
        certainClusters += split - first;
        if (split < end && m_liveHeld.Overlaps(split, end)) crossesLive = true;
    }
    if (!crossesLive) return;
    const u64 needed = (file->GetSize() + m_clusterBytes - 1) / m_clusterBytes;
    u64 left = needed > certainClusters ? needed - certainClusters : 0;
    // Bounded by the heap: each step lays at least one cluster or ends the walk.
    for (u64 cluster = m_liveHeld.NextOutside(guessed); left > 0 && cluster < heapEnd;) {
        u64 end = cluster + 1;
        while (end < heapEnd && end - cluster < left && !m_liveHeld.Contains(u32(end))) ++end;
        laid->AppendClusterRun({i64(cluster) - 2, end - cluster});
        left -= end - cluster;
        cluster = m_liveHeld.NextOutside(end);
    }
    file->SetRunList(owned.release());
}

void CExFatQuickSearch::ClaimClusters(CClusterClaims& claims, const std::vector<HeldDeleted>& held) {
    // What each held file is found to be before it is weighed.
    constexpr u8 kStillInUse = 1;  // its entry holds its clusters still, or is a moved file's
    constexpr u8 kShares = 2;      // a cluster of it is another's claim too: it is weighed
    constexpr u32 kNotHeld = ~u32(0);
    struct Span {
        u64 first;
        u64 end;
        u32 held;
    };
    ClaimAge inUse;
    inUse.inUse = true;
    const CClusterClaims::ClaimId live = claims.Add(nullptr, inUse);
    std::vector<Span> spans;
    m_liveHeld.ForEachRange([&](u64 first, u64 end) {
        ClaimClusterRun(claims, live, first, end - first, (end - first) * m_clusterBytes);
        spans.push_back({first, end, kNotHeld});
    });
    for (const auto& [cluster, age] : m_deletedFolders) {
        ClaimClusterRun(claims, claims.Add(nullptr, age), cluster, 1, m_clusterBytes);
        spans.push_back({cluster, u64(cluster) + 1, kNotHeld});
    }
    std::vector<u8> found(held.size(), 0);
    for (u32 k = 0; k < held.size(); ++k) {
        const HeldDeleted& h = held[k];
        std::unique_ptr<IDataRunList> runs(h.node->GetFileProperties()->CreateDataRunList());
        if (!runs) continue;
        const bool moved = m_liveFiles.count(h.key) != 0;
        bool stillInUse = moved;
        if (!h.entryFreed && !moved) {
            // A set whose own entry is in use below a deleted or lost folder holds its clusters
            // still, unless a live file or folder walked holds one of them now.
            stillInUse = true;
            for (size_t i = 0; i < runs->GetExtentCount() && stillInUse; ++i) {
                const DataRunExtent& e = runs->GetExtent(i);
                if (e.start >= 0 && m_liveHeld.Overlaps(u64(e.start) + 2, u64(e.start) + 2 + e.length)) stillInUse = false;
            }
        }
        found[k] = stillInUse ? kStillInUse : 0;
        for (size_t i = 0; i < runs->GetExtentCount(); ++i) {
            const DataRunExtent& e = runs->GetExtent(i);
            if (e.start < 0 || e.length == 0) continue;
            const u64 first = u64(e.start) + 2;
            const u64 end = std::min<u64>(first + e.length, u64(0xFFFFFFFF) + 1);
            spans.push_back({first, end, k});
            // What the bitmap marks in use where a freed entry lies, past what the live files and
            // folders hold: clusters of a file that was not walked (its folder unread, its chain
            // cut), claimed with the volume's.
            if (!m_bitmap.IsPlaced() || stillInUse) continue;
            const bool crossesLive = m_liveHeld.Overlaps(first, end);
            for (u64 cluster = crossesLive ? m_liveHeld.NextOutside(first) : first; cluster < end;
                 cluster = crossesLive ? m_liveHeld.NextOutside(cluster + 1) : cluster + 1) {
                if (!m_bitmap.InUse(u32(cluster))) continue;
                ClaimClusterRun(claims, live, cluster, 1, m_clusterBytes);
                found[k] |= kShares;
            }
        }
    }
    // Only a held file that shares a cluster with another claim can lose it: the others are not
    // weighed, which keeps the weighing of a stick of many deleted files small. A span shares
    // with an earlier one where the furthest end before it passes its start, and with a later
    // one where the next start falls before its end.
    std::sort(spans.begin(), spans.end(), [](const Span& x, const Span& y) { return x.first < y.first; });
    u64 furthest = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        const bool shares = furthest > spans[i].first || (i + 1 < spans.size() && spans[i + 1].first < spans[i].end);
        if (shares && spans[i].held != kNotHeld) found[spans[i].held] |= kShares;
        furthest = std::max(furthest, spans[i].end);
    }
    spans.clear();
    spans.shrink_to_fit();
    for (u32 k = 0; k < held.size(); ++k) {
        if ((found[k] & kShares) == 0) continue;
        // The entry a move left behind names the moved file's clusters: its claim is that file's.
        IFileProperties* file = held[k].node->GetFileProperties();
        ClaimHeld(claims, held[k], AgeFromTimes(*file, 0, (found[k] & kStillInUse) != 0), OwnerOf(held[k].key));
    }
}

void CExFatQuickSearch::FinishHandOver() {
    std::vector<HeldDeleted> held;
    held.swap(m_heldDeleted);
    CClusterClaims claims;
    if (m_partition) {
        for (HeldDeleted& h : held) GuessAroundLive(h);
        ClaimClusters(claims, held);
    }
    char what[96];
    std::snprintf(what, sizeof(what), "exFAT volume whose heap begins %" PRIu64 " sectors in",
                  m_partition ? m_partition->m_heapStart : 0);
    claims.Weigh(what);
    for (HeldDeleted& h : held) {
        IFileProperties* file = h.node->GetFileProperties();
        if ((file->GetState() & kStateClustersTaken) != 0 && m_takenCount++ == 0 && file->GetName() != nullptr) {
            m_firstTaken = file->GetName();
        }
        u32 error = 0;
        if (m_builder->AddFoundFileNode(h.node.get(), kTreeKindExFat, &error) != 0) h.node.release();
    }
    m_deletedFolders.clear();
    m_owners.clear();
    TellFindings();
}

bool CExFatQuickSearch::BeginsBlank(const CExFatDataRunList& runs, u64 length) {
    const CExFatPartition& p = *m_partition;
    if (runs.GetExtentCount() == 0 || length == 0) return false;
    const DataRunExtent& first = runs.GetExtent(0);
    if (first.start < 0 || !p.IsHeapCluster(u32(first.start + 2))) return false;
    const u64 sectorSize = p.m_sectorSize;
    const u64 bytes = std::min<u64>({length, kBlankProbeBytes, m_clusterBytes});
    const u64 sectors = (bytes + sectorSize - 1) / sectorSize;
    m_probe.assign(sectors * sectorSize, 0);
    if (m_volume->Read(m_probe.data(), p.ClusterToSector(u32(first.start + 2)), sectors) == 0) return false;
    return std::all_of(m_probe.begin(), m_probe.begin() + std::ptrdiff_t(bytes), [](u8 b) { return b == 0; });
}

void CExFatQuickSearch::TellFindings() {
    const u64 heap = m_partition ? m_partition->m_heapStart : 0;
    if (m_takenCount != 0) {
        ReleaseTrace("exFAT volume whose heap begins %" PRIu64 " sectors in: %" PRIu64 " deleted files, the first \"%s\", lie on "
                     "clusters that the allocation bitmap or a live file gives to another file now, or that a file "
                     "written after them took: written as found and counted incomplete",
                     heap, m_takenCount, m_firstTaken.c_str());
    }
    if (m_chainUnknownCount != 0) {
        ReleaseTrace("exFAT volume whose heap begins %" PRIu64 " sectors in: the FAT chains of %" PRIu64 " files, the first \"%s\", "
                     "are not known in full (the volume's FAT is gone, overwritten or damaged): each is written as far "
                     "as its chain is known and counted incomplete",
                     heap, m_chainUnknownCount, m_firstChainUnknown.c_str());
    }
    if (m_blankCount != 0) {
        ReleaseTrace("exFAT volume whose heap begins %" PRIu64 " sectors in, its layout guessed from its folders: %" PRIu64
                     " files, the first \"%s\", begin with zeros where the layout puts them, most likely not "
                     "their own bytes: counted incomplete",
                     heap, m_blankCount, m_firstBlank.c_str());
    }
    m_takenCount = 0;
    m_chainUnknownCount = 0;
    m_blankCount = 0;
}

void CExFatQuickSearch::BookClusters(const CExFatDataRunList& runs) {
    CExFatPartition& p = *m_partition;
    for (size_t i = 0; i < runs.GetExtentCount(); ++i) {
        const DataRunExtent& extent = runs.GetExtent(i);
        if (extent.start < 0) continue;
        for (u64 k = 0; k < extent.length; ++k) {
            const u64 cluster = u64(extent.start) + k + 2;
            if (cluster > 0xFFFFFFFFull) break;
            p.MarkClusterUsed(u32(cluster));
        }
    }
}
