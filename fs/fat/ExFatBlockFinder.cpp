#include "fs/fat/ExFatBlockFinder.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <unordered_set>

#include "fs/fat/ExFatCutJoin.h"
#include "fs/fat/ExFatPartition.h"
#include "fs/fat/ExFatVolume.h"
#include "platform/Text.h"

namespace {
constexpr u8 kDeletedMask = u8(~kExFatTypeInUse);
constexpr u32 kLabelUnits = 11;
constexpr u32 kNameUnitsPerEntry = 15;
// Fields of the file entry and the stream extension that a handed-on set carries.
constexpr u32 kFileEntryCreateOffset = 8;
constexpr u32 kFileEntryModifyOffset = 12;
constexpr u32 kFileEntryAccessOffset = 16;
constexpr u32 kStreamNameLengthOffset = 3;
// A hint's name length is one byte.
constexpr size_t kMaxHintNameUnits = 255;
// Hints kept at the most: a device full of look-alike folders stops adding more.
constexpr size_t kMaxTypeHints = 1u << 22;
// Sectors per cluster at the most: 32 MiB clusters of 512-byte sectors.
constexpr u64 kMaxSectorsPerCluster = ExFatDirectoryBlock::kMaxClusterBytes / 512;
// Folders a tree test follows at the most.
constexpr size_t kMaxTreeFolders = 1u << 16;
// The sector of a set's file entry within its block fits the extent's field.
constexpr u64 kMaxExtentSector = (1u << 30) - 1;

bool IsSetOrSystemEntry(u8 type) {
    switch (u8(type | kExFatTypeInUse)) {
        case kExFatFileEntry:
        case kExFatStreamEntry:
        case kExFatNameEntry:
        case kExFatBitmapEntry:
        case kExFatUpcaseEntry:
        case kExFatLabelEntry:
            return true;
        default:
            return false;
    }
}

// Whether a sector can be directory data at all: its first entry that is not a benign one must be
// an entry of a set or of the root's system entries. A data sector that merely begins with a
// benign type (one byte in 25) is not taken into the block before it, whose cluster size it
// would make look larger. Most sectors are turned away by their first byte.
bool MayBeDirectorySector(const u8* bytes, u32 entries) {
    for (u32 i = 0; i < entries; ++i) {
        const u8 type = bytes[u64(i) * kExFatEntrySize];
        if (IsSetOrSystemEntry(type)) return true;
        if (!IsExFatBenignEntryType(type)) return false;
    }
    return true;
}

u64 LowestSetBit(u64 value) { return value & (~value + 1); }

// Whether a cluster lies in a heap of `clusters` clusters.
bool InHeap(u64 cluster, u64 clusters) { return cluster >= 2 && cluster - 2 < clusters; }
// Whether the files of a block, whose highest first cluster is `highest` (below 2 for none), all
// start in such a heap.
bool FilesInHeap(u32 highest, u64 clusters) { return highest < 2 || InHeap(highest, clusters); }

// The smallest power of two not below value (value above 0).
u64 PowerOfTwoAtLeast(u64 value) {
    u64 p = 1;
    while (p < value && p <= ExFatDirectoryBlock::kMaxClusterBytes) p <<= 1;
    return p;
}
}  // namespace

void ExFatBlockWalker::SetGeometry(u64 deviceSectors, u32 sectorSize) {
    m_sectorShift = Log2Floor(sectorSize);
    // The cluster shift of the largest cluster: every length check is as loose as a volume can be.
    m_limits = ExFatWalkLimits::Make(deviceSectors, m_sectorShift, Log2Floor(u32(ExFatDirectoryBlock::kMaxClusterBytes)));
}

void ExFatBlockWalker::SkipSet(u32 secondaries) {
    m_set = SetInProgress();
    m_skip = std::min(secondaries, kExFatMaxSecondaries);
}

void ExFatBlockWalker::CompleteSet() {
    ExFatDirectoryBlock& b = m_block;
    ++b.setCount;
    const u32 first = m_set.firstCluster;
    const bool directory = (m_set.attributes & kExFatAttrDirectory) != 0;
    if (IsExFatChainCluster(first)) {
        b.lowestCluster = std::min(b.lowestCluster, first);
        if (!directory) b.lowestFileCluster = std::min(b.lowestFileCluster, first);
        b.highestCluster = std::max(b.highestCluster, first);
        if (m_set.inUse) {
            // Until its first sector is counted, a block begins with the sector being walked.
            const u64 blockFirst = b.sectorCount != 0 ? b.firstSector : m_sector;
            const u64 at = m_set.position > blockFirst ? m_set.position - blockFirst : 0;
            b.files.emplace_back(first, m_set.dataLength, m_set.contiguous, directory, u32(std::min<u64>(at, kMaxExtentSector)));
            if (directory) b.flags |= kExFatBlockListsFolders;
        } else if (directory) {
            b.deletedFolders.push_back(first);
        }
    }
    if (m_hints != nullptr && m_hints->GetCount() < kMaxTypeHints && !directory && IsExFatChainCluster(first) &&
        !m_set.name.empty()) {
        CFileTypeHint hint;
        const u8 length = u8(std::min<size_t>(m_set.name.size(), kMaxHintNameUnits));
        if (hint.InitFromWideName(m_set.name.data(), length, first - 2, m_set.position)) m_hints->Add(hint);
    }
    // A folder's length is a whole number of clusters.
    if (directory && m_set.dataLength != 0) b.maxCluster = u32(std::min<u64>(b.maxCluster, LowestSetBit(m_set.dataLength)));
    b.nameUnits = u32(std::min<u64>(u64(b.nameUnits) + m_set.name.size(), ~u32(0)));
    if (m_sink) HandOnSet();
    m_set = SetInProgress();
}

void ExFatBlockWalker::HandOnSet() const {
    ExFatEntrySet set;
    set.inUse = m_set.inUse ? 1 : 0;
    set.attributes = m_set.attributes;
    set.createTime = m_set.createTime;
    set.modifyTime = m_set.modifyTime;
    set.accessTime = m_set.accessTime;
    set.dataLength = m_set.dataLength;
    set.firstCluster = m_set.firstCluster;
    set.noFatChain = m_set.contiguous ? 1 : 0;
    set.nameLength = m_set.nameLength;
    set.nameUnits = m_set.name.substr(0, m_set.nameLength != 0 ? m_set.nameLength : m_set.name.size());
    set.name.assign(Utf8Prefix(Utf16ToUtf8(set.nameUnits, '_'), kExFatMaxNameBytes));
    set.position = m_set.position;
    m_sink(set);
}

ExFatBlockWalker::Step ExFatBlockWalker::WalkEntry(const u8* e) {
    const u8 type = e[0];
    const bool inUse = (type & kExFatTypeInUse) != 0;
    if (m_skip != 0) {
        if (type != 0 && (type & kExFatTypeSecondary) != 0) {
            --m_skip;
            return Step::Go;
        }
        m_skip = 0;
    }
    switch (type) {
        case kExFatFileEntry:
        case kExFatFileEntry & kDeletedMask:
            m_set = SetInProgress();
            if (!CheckExFatFileEntry(e)) {
                // Inside a folder already seen, one damaged set costs that set only.
                if (m_block.setCount == 0) return Step::Stop;
                SkipSet(e[1]);
                return Step::Go;
            }
            m_set.taken = 1;
            m_setBytes.assign(e, e + kExFatEntrySize);
            m_set.position = m_sector;
            m_set.expected = e[1];
            m_set.inUse = inUse;
            m_set.attributes = ReadLE16(e + 4);
            m_set.createTime = ReadLE32(e + kFileEntryCreateOffset);
            m_set.modifyTime = ReadLE32(e + kFileEntryModifyOffset);
            m_set.accessTime = ReadLE32(e + kFileEntryAccessOffset);
            return Step::Go;
        case kExFatStreamEntry:
        case kExFatStreamEntry & kDeletedMask: {
            const bool joins = m_set.taken == 1 && m_set.inUse == inUse;
            if (!CheckExFatStreamEntry(e, m_limits)) {
                if (!joins) return Step::Stop;
                SkipSet(m_set.expected - 1);
                return Step::Go;
            }
            if (!joins) {
                m_set = SetInProgress();
                return Step::Go;
            }
            m_set.taken = 2;
            m_setBytes.insert(m_setBytes.end(), e, e + kExFatEntrySize);
            --m_set.expected;
            m_set.contiguous = (e[1] & 2) != 0;
            m_set.nameLength = e[kStreamNameLengthOffset];
            m_set.firstCluster = ReadLE32(e + 20);
            m_set.dataLength = ReadLE64(e + 24);
            return Step::Go;
        }
        case kExFatNameEntry:
        case kExFatNameEntry & kDeletedMask: {
            const bool joins = m_set.taken >= 2 && m_set.inUse == inUse;
            if (!CheckExFatNameEntry(e)) {
                if (!joins) return Step::Stop;
                SkipSet(m_set.expected > 0 ? m_set.expected - 1 : 0);
                return Step::Go;
            }
            if (!joins) {
                m_set = SetInProgress();
                return Step::Go;
            }
            ++m_set.taken;
            m_setBytes.insert(m_setBytes.end(), e, e + kExFatEntrySize);
            if (m_hints != nullptr || m_sink) {
                for (u32 i = 0; i < kNameUnitsPerEntry; ++i) {
                    const u16 unit = ReadLE16(e + 2 + 2 * i);
                    if (unit == 0) break;
                    m_set.name.push_back(char16_t(unit));
                }
            }
            if (--m_set.expected == 0) CompleteSet();
            return Step::Go;
        }
        case kExFatBitmapEntry:
            if ((m_sectorFlags & kExFatBlockBitmap) != 0 || !CheckExFatBitmapEntry(e, m_limits)) return Step::Stop;
            m_sectorFlags |= kExFatBlockBitmap;
            m_block.flags |= kExFatBlockBitmap;
            {
                ExFatRootEntries& root = m_block.EditRootEntries();
                root.bitmapCluster = ReadLE32(e + 20);
                root.bitmapClusters = ReadLE64(e + 24) * 8;
                root.systemEnd = std::max(root.systemEnd, root.bitmapCluster + 1);
            }
            m_set = SetInProgress();
            return Step::Go;
        case kExFatUpcaseEntry:
            if ((m_sectorFlags & kExFatBlockUpcase) != 0 || !CheckExFatUpcaseEntry(e, m_limits)) return Step::Stop;
            m_sectorFlags |= kExFatBlockUpcase;
            m_block.flags |= kExFatBlockUpcase;
            {
                ExFatRootEntries& root = m_block.EditRootEntries();
                root.upcaseCluster = ReadLE32(e + 20);
                root.upcaseLength = ReadLE64(e + 24);
                root.systemEnd = std::max(root.systemEnd, root.upcaseCluster + 1);
            }
            m_set = SetInProgress();
            return Step::Go;
        case kExFatLabelEntry:
        case kExFatLabelEntry & kDeletedMask:
            if (!CheckExFatLabelEntry(e)) return Step::Stop;
            // A volume whose label was cleared keeps its label entry, no longer in use.
            m_block.flags |= kExFatBlockLabel;
            if (inUse) {
                if ((m_sectorFlags & kExFatBlockLabel) != 0) return Step::Stop;
                m_sectorFlags |= kExFatBlockLabel;
                m_block.flags |= kExFatBlockLabel;
                std::u16string& label = m_block.EditRootEntries().label;
                label.clear();
                for (u32 i = 0; i < std::min<u32>(e[1], kLabelUnits); ++i) label.push_back(char16_t(ReadLE16(e + 2 + 2 * i)));
            }
            m_set = SetInProgress();
            return Step::Go;
        default:
            if (!IsExFatBenignEntryType(type)) return Step::Stop;
            // A vendor entry still counts toward its file's set; a benign primary stands alone.
            if ((type & kExFatTypeSecondary) == 0) {
                m_set = SetInProgress();
            } else if (m_set.taken >= 2 && m_set.inUse == inUse) {
                ++m_set.taken;
                m_setBytes.insert(m_setBytes.end(), e, e + kExFatEntrySize);
                if (--m_set.expected == 0) CompleteSet();
            }
            return Step::Go;
    }
}

void ExFatBlockWalker::WalkSector(u64 sector, const u8* bytes, std::vector<ExFatDirectoryBlock>& out) {
    if (m_block.sectorCount != 0 && sector != m_lastSector + 1) FinishBlock(out);
    // The open block began with a tail that may go on here; what follows the tail is left to the
    // checks of the join.
    if (m_tailPending) TakeTailBytes(bytes);
    if (!MayBeDirectorySector(bytes, m_limits.entriesPerSector)) {
        FinishBlock(out);
        return;
    }
    m_sectorFlags = 0;
    m_sector = sector;
    // A block that begins with secondaries that nothing before them starts: the tail of a set
    // cut at the end of another cluster of its folder.
    const bool beginsWithTail = m_block.sectorCount == 0 && m_block.setCount == 0 && m_set.taken == 0 &&
                                IsExFatSetSecondary(bytes[0]);
    u32 counted = 0;
    bool stopped = false;
    for (u32 i = 0; i < m_limits.entriesPerSector; ++i) {
        if (WalkEntry(bytes + u64(i) * kExFatEntrySize) == Step::Stop) {
            stopped = true;
            break;
        }
        ++counted;
    }
    if (counted == 0) {
        FinishBlock(out);
        return;
    }
    if (m_block.sectorCount == 0) m_block.firstSector = sector;
    m_block.sectorCount = u32(sector - m_block.firstSector + 1);
    m_lastSector = sector;
    if (beginsWithTail) {
        m_block.flags |= kExFatBlockBeginsWithTail;
        BeginTail(sector, bytes);
    }
    // A block holds one cluster at the most; a folder's next cluster may lie anywhere.
    if (stopped || (u64(m_block.sectorCount) << m_sectorShift) >= m_block.maxCluster) FinishBlock(out);
}

void ExFatBlockWalker::FinishOpenBlock(std::vector<ExFatDirectoryBlock>& out) {
    // A block of one sector keeps what that sector holds of its tail.
    if (m_tailPending) RegisterPendingTail();
    ExFatDirectoryBlock& b = m_block;
    if (b.sectorCount != 0 && (b.setCount != 0 || b.IsRoot())) {
        // A contiguous file ends before the next file of its folder begins: its length over the
        // clusters between them is a cluster size the volume has at the least.
        std::sort(b.files.begin(), b.files.end(),
                  [](const auto& x, const auto& y) { return x.firstCluster < y.firstCluster; });
        for (size_t i = 1; i < b.files.size(); ++i) {
            const auto& earlier = b.files[i - 1];
            const u64 distance = b.files[i].firstCluster - earlier.firstCluster;
            if (!earlier.contiguous || distance == 0) continue;
            const u64 bound = earlier.length / distance + (earlier.length % distance != 0 ? 1 : 0);
            if (bound > b.minCluster) b.minCluster = u32(PowerOfTwoAtLeast(bound));
        }
        // Kept for the layouts found without a root: they check that no two files share a cluster,
        // and cut the block where a layout's clusters end.
        std::stable_sort(b.files.begin(), b.files.end(), [](const auto& x, const auto& y) { return x.sector < y.sector; });
        b.files.shrink_to_fit();
        b.deletedFolders.shrink_to_fit();
        b.minCluster = std::max<u32>(b.minCluster >> m_sectorShift, 1);
        b.maxCluster >>= m_sectorShift;
        // The folder's cluster ends inside a set: its other entries begin another cluster.
        if (m_set.taken != 0 && m_set.expected != 0 && m_skip == 0) {
            b.flags |= kExFatBlockEndsCut;
            RegisterHead(b.firstSector);
        }
        out.push_back(std::move(b));
    }
    m_block = ExFatDirectoryBlock();
    m_set = SetInProgress();
    m_skip = 0;
    m_lastSector = ~u64(0);
}

namespace {
// The stored partner nearest to `sector` that `joins` accepts, or the store's end.
template <class Store, class Joins>
typename Store::iterator NearestJoiningPartner(Store& store, u64 sector, Joins&& joins) {
    return NearestExFatCutPartner(
        store.begin(), store.end(), store.lower_bound(sector), sector,
        [](const typename Store::value_type& entry) { return entry.first; },
        [&](typename Store::value_type& entry) { return joins(entry.second); });
}

// Keeps a new half, making room by dropping the one furthest back.
template <class Store, class Half>
void StoreHalf(Store& store, u64 blockSector, Half&& half, size_t most) {
    store.emplace(blockSector, std::forward<Half>(half));
    if (store.size() > most) store.erase(store.begin());
}
}  // namespace

void ExFatBlockWalker::RegisterHead(u64 blockSector) {
    if (!m_keepCuts) return;
    StoredHead head;
    head.position = m_set.position;
    head.entries = m_setBytes;
    ExFatEntrySet joined;
    const auto tail = NearestJoiningPartner(m_tails, blockSector, [&](const StoredTail& t) {
        ++m_partnersTried;
        return Rejoin(head, t, joined);
    });
    if (tail != m_tails.end()) {
        const u64 tailBlock = tail->first;
        m_tails.erase(tail);
        Link(blockSector, tailBlock, std::move(joined));
        return;
    }
    StoreHalf(m_heads, blockSector, std::move(head), kMaxStoredCuts);
}

void ExFatBlockWalker::BeginTail(u64 blockSector, const u8* bytes) {
    m_pendingTail = StoredTail();
    m_pendingTailBytes = 0;
    m_pendingTailSector = blockSector;
    m_tailPending = true;
    TakeTailBytes(bytes);
}

void ExFatBlockWalker::TakeTailBytes(const u8* bytes) {
    const size_t sectorBytes = size_t(m_limits.entriesPerSector) * kExFatEntrySize;
    const size_t taken = std::min(kTailBytes - m_pendingTailBytes, sectorBytes);
    std::copy(bytes, bytes + taken, m_pendingTail.entries.begin() + ptrdiff_t(m_pendingTailBytes));
    m_pendingTailBytes += taken;
    if (m_pendingTailBytes == kTailBytes) RegisterPendingTail();
}

void ExFatBlockWalker::RegisterPendingTail() {
    m_tailPending = false;
    StoredTail& tail = m_pendingTail;
    tail.leadingSecondaries = ExFatLeadingSecondaries(tail.entries.data(), m_pendingTailBytes);
    RegisterTail(m_pendingTailSector, tail);
}

void ExFatBlockWalker::RegisterTail(u64 blockSector, const StoredTail& tail) {
    if (!m_keepCuts) return;
    ExFatEntrySet joined;
    const auto head = NearestJoiningPartner(m_heads, blockSector, [&](const StoredHead& h) {
        ++m_partnersTried;
        return Rejoin(h, tail, joined);
    });
    if (head != m_heads.end()) {
        const u64 headBlock = head->first;
        m_heads.erase(head);
        Link(headBlock, blockSector, std::move(joined));
        return;
    }
    StoreHalf(m_tails, blockSector, tail, kMaxStoredCuts);
}

bool ExFatBlockWalker::Rejoin(const StoredHead& head, const StoredTail& kept, ExFatEntrySet& joined) const {
    return JoinExFatCutSet(head.entries.data(), head.entries.size(), head.position, kept.entries.data(),
                           kept.entries.size(), kept.leadingSecondaries, m_limits, joined);
}

void ExFatBlockWalker::Link(u64 headBlock, u64 tailBlock, ExFatEntrySet&& set) {
    if (m_sink) m_sink(set);
    m_links.push_back({headBlock, tailBlock, std::move(set)});
}

std::optional<ExFatBlockPiece> ExFatPieceAt(const std::vector<ExFatDirectoryBlock>& blocks, u64 sector, u64 spc) {
    auto it = FirstExFatBlockFrom(blocks, sector);
    if (it == blocks.end() || it->firstSector != sector) {
        if (it == blocks.begin()) return std::nullopt;
        --it;
        if (sector - it->firstSector >= it->sectorCount) return std::nullopt;
    }
    ExFatBlockPiece piece;
    piece.block = size_t(it - blocks.begin());
    piece.first = u32(sector - it->firstSector);
    piece.end = u32(std::min<u64>(u64(piece.first) + spc, it->sectorCount));
    if (piece.first == 0) return piece;
    // A block walked across clusters of the layout began at one of them; inside it a cluster
    // begins with one of its folder's sets (a set that runs across the sector is the block's
    // own, and the sector no cluster's start).
    if (piece.first % spc != 0) return std::nullopt;
    const auto [from, to] = ExFatPieceFiles(*it, piece);
    if (from == to || from->sector != piece.first) return std::nullopt;
    return piece;
}

std::pair<std::vector<ExFatDirectoryBlock::Extent>::const_iterator, std::vector<ExFatDirectoryBlock::Extent>::const_iterator>
ExFatPieceFiles(const ExFatDirectoryBlock& block, const ExFatBlockPiece& piece) {
    const auto bySector = [](const ExFatDirectoryBlock::Extent& e, u32 s) { return e.sector < s; };
    const auto from = std::lower_bound(block.files.begin(), block.files.end(), piece.first, bySector);
    return {from, std::lower_bound(from, block.files.end(), piece.end, bySector)};
}

bool ExFatClustersStandBeforeTheirFiles(const std::vector<ExFatDirectoryBlock>& blocks, size_t first, size_t end,
                                        u64 own, u64 clusters, u32 lowest, u32 lowestFile, u64 clusterBytes) {
    const auto before = [&](u32 firstFile) { return firstFile >= 2 + clusters && own == firstFile - clusters; };
    if (!before(lowest) && !before(lowestFile)) return false;
    std::vector<std::pair<u64, u64>> ranges{{own, own + clusters}};
    for (size_t at = first; at < end; ++at) {
        for (const auto& f : blocks[at].files) {
            const u64 taken = f.contiguous ? std::max<u64>(1, (f.length + clusterBytes - 1) / clusterBytes) : 1;
            if (f.firstCluster + taken - 1 >= kExFatChainEnd) return false;
            ranges.emplace_back(f.firstCluster, f.firstCluster + taken);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    for (size_t i = 1; i < ranges.size(); ++i) {
        if (ranges[i].first < ranges[i - 1].second) return false;
    }
    return true;
}

std::optional<u64> ExFatPartitionFinder::TreeScore(const std::vector<ExFatDirectoryBlock>& blocks, size_t root, u64 heapStart,
                                    u64 spc, u64 clusterCount, u64& found) const {
    found = 0;
    u64 score = 0;
    std::unordered_set<u32> visited;
    std::deque<std::pair<ExFatBlockPiece, u64>> queue{{ExFatFirstPiece(blocks, root, spc), 1}};
    while (!queue.empty()) {
        const auto [piece, depth] = queue.front();
        queue.pop_front();
        const auto [from, to] = ExFatPieceFiles(blocks[piece.block], piece);
        for (auto f = from; f != to; ++f) {
            if (!f->directory) continue;
            if (visited.size() >= kMaxTreeFolders) return score;
            if (!visited.insert(f->firstCluster).second) continue;
            if (!InHeap(f->firstCluster, clusterCount)) return std::nullopt;
            // A folder past the device's end (an image cut short) cannot be read: it scores nothing.
            const u64 offset = u64(f->firstCluster - 2) * spc;
            if (offset >= m_deviceSectors || heapStart >= m_deviceSectors - offset) continue;
            const std::optional<ExFatBlockPiece> child = ExFatPieceAt(blocks, heapStart + offset, spc);
            if (!child) continue;
            // The folder's block must admit the cluster size, and its files lie in the heap.
            const ExFatDirectoryBlock& b = blocks[child->block];
            if (!b.Admits(spc) || !FilesInHeap(b.highestCluster, clusterCount)) return std::nullopt;
            score += depth;
            ++found;
            queue.emplace_back(*child, depth + 1);
        }
    }
    return score;
}

namespace {
// The clusters a root block may stand at end before its lowest first cluster: a file's data is
// never at its folder's own cluster. A folder entry may name the root itself, though (a copy of
// the root's entry, or a hostile one); the lowest cluster is then the root's as likely as not.
u32 RootClustersEnd(const ExFatDirectoryBlock& root) {
    const bool fileThere = std::any_of(root.files.begin(), root.files.end(), [&](const ExFatDirectoryBlock::Extent& f) {
        return f.firstCluster == root.lowestCluster && !f.directory;
    });
    return fileThere || root.lowestCluster >= kExFatChainEnd ? root.lowestCluster : root.lowestCluster + 1;
}
}  // namespace

std::vector<ExFatInferredVolume> ExFatPartitionFinder::Find(const std::vector<ExFatDirectoryBlock>& blocks,
                                                            const std::vector<u64>& upcaseStarts,
                                                            const BitmapProbe& bitmapAgrees) const {
    std::vector<ExFatInferredVolume> out;
    for (size_t r = 0; r < blocks.size(); ++r) {
        const ExFatDirectoryBlock& b = blocks[r];
        if (!b.IsRoot()) continue;
        const ExFatRootEntries& rootEntries = b.RootEntries();
        ExFatInferredVolume best;
        u64 bestScore = 0;
        const u32 rootEnd = RootClustersEnd(b);
        for (u64 spc = b.minCluster; spc != 0 && spc <= b.maxCluster && spc <= kMaxSectorsPerCluster; spc <<= 1) {
            for (u32 rootCluster = rootEntries.systemEnd;
                 rootCluster < rootEnd && rootCluster - rootEntries.systemEnd < kMaxRootClustersTried; ++rootCluster) {
                const u64 offset = u64(rootCluster - 2) * spc;
                if (offset > b.firstSector) break;
                const u64 heap = b.firstSector - offset;
                // The device may end before the heap does (an image cut short): the bitmap, not the
                // device, says how far the heap reaches.
                if (!FilesInHeap(b.highestCluster, rootEntries.bitmapClusters) || heap >= m_deviceSectors) continue;
                u64 score = 0;
                const u64 upcase = heap + u64(rootEntries.upcaseCluster - 2) * spc;
                if (std::binary_search(upcaseStarts.begin(), upcaseStarts.end(), upcase)) score += kUpcaseWeight;
                if (bitmapAgrees) {
                    const BitmapVerdict verdict = bitmapAgrees(heap + u64(rootEntries.bitmapCluster - 2) * spc, b, rootCluster);
                    if (verdict == BitmapVerdict::Disagrees) continue;
                    if (verdict == BitmapVerdict::Agrees) score += kBitmapWeight;
                }
                // A layout that neither the up-case table nor the bitmap confirms is a guess from
                // a copy of the root's entries.
                if (score == 0) continue;
                u64 found = 0;
                const std::optional<u64> tree = TreeScore(blocks, r, heap, spc, rootEntries.bitmapClusters, found);
                if (!tree) continue;
                score += *tree;
                if (score <= bestScore) continue;
                bestScore = score;
                best.heapStart = heap;
                best.sectorsPerCluster = u32(spc);
                best.rootCluster = rootCluster;
                best.blocks = found + 1;
            }
        }
        if (bestScore == 0) continue;
        best.clusterCount = rootEntries.bitmapClusters;
        best.label = rootEntries.label;
        best.bitmapCluster = rootEntries.bitmapCluster;
        if (best.clusterCount == 0) continue;
        out.push_back(best);
    }
    return out;
}
