#include "fs/ntfs/NTFSFoundTree.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>

#include "devices/FileSystemCode.h"
#include "devices/ScanOptions.h"
#include "devices/StorageDevice.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileSystemNode.h"
#include "engine/PartitionTree.h"
#include "fs/ntfs/CommonFileRecordInfo.h"
#include "fs/ntfs/NTFSDBR.h"
#include "fs/ntfs/NTFSDeepSearch.h"
#include "fs/ntfs/NTFSFileProperties.h"
#include "fs/ntfs/NTFSFoundVolumes.h"
#include "fs/ntfs/NTFSRecord.h"
#include "fs/ntfs/NTFSVolumePart.h"
#include "platform/Log.h"

namespace {

using namespace ntfsfound;

constexpr u32 kBatchSectors = 128;
constexpr size_t kVolumeNameLimit = 98;
constexpr u32 kMaxLabelCharacters = 64;
constexpr u32 kVolumeRecord = 3;
// A mirror copies at least this many of its $MFT's first records.
constexpr u32 kMirroredRecords = 4;
// Records no $MFT numbers are older than every $MFT's; the $MFTs follow, oldest first.
constexpr u32 kUnnumberedGeneration = 0;
constexpr u32 kFirstMftGeneration = 1;

size_t Utf8Characters(const std::string& s) {
    size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

std::string CutUtf8(const std::string& s, size_t bytes) {
    if (s.size() <= bytes) return s;
    size_t n = bytes;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return s.substr(0, n);
}

// The tree of a found partition: its own volume's records, and those of volumes formatted over it
// or under it (each read with its own geometry, in a folder of its own inside the tree).
class FoundTreeBuilder {
public:
    explicit FoundTreeBuilder(const NTFSFoundTreeInput& in) : m_in(in) {}
    FileSystemNodePtr Build();

private:
    VolumePart& PartAt(NtfsVolumeKey key, bool guessed);
    // The chosen volume's part first, then the others by their start.
    std::vector<VolumePart*> AllParts() const;
    // Parts for the $MFTs the chosen volume does not take, each at the start its record gives;
    // the mirrors of those it takes are kept apart.
    void AddVolumesOfOtherMfts();
    // The part whose $MFT has the same runs as this copy found elsewhere: its mirror.
    VolumePart* MirroredPart(const NTFSMFTLocation& location) const;
    // Whether the record at `sector` is a mirror's copy of a record its $MFT holds.
    bool IsMirrorCopy(u64 sector) const;
    void ReadRecords();
    void PlaceRecord(const u8* raw, u32 length, u64 sector);
    // Records whose own bytes tell no cluster size (resident data, folders without an index
    // allocation) join the volume of the records that name them, or of the folder they name.
    void PlaceUntold();
    // The record's creation time, when later than the group's latest.
    static void NoteCreation(RecordGroup& group, const u8* fixedRecord, u32 length);
    // Orders the $MFTs of every volume by when they were written (each group's generation) and
    // claims the clusters their records in use and metadata files hold.
    void RankGenerations();
    // Weighs every file of every volume, live or deleted, against every other and against the
    // records in use: a file whose clusters a claim proven newer holds is counted incomplete.
    void WeighClaims();
    // The volume a group's records claim sectors of; without a group, records no $MFT numbers,
    // whose volume (of those formatted at this place with this cluster size) is not known: older
    // than every $MFT's.
    NtfsClaimVolume ClaimVolume(const VolumePart& part, const RecordGroup* group) const;
    void MarkGuessedStarts();
    std::string ReadLabel();
    FileSystemNodePtr MakeVolumeFolder(const std::string& name, const VolumeGeometry& g);

    const NTFSFoundTreeInput& m_in;
    VolumeGeometry m_chosen;
    u32 m_sectorSize = 512;
    u32 m_stride = 2;
    u64 m_end = 0;
    std::unique_ptr<VolumePart> m_chosenPart;
    std::map<NtfsVolumeKey, std::unique_ptr<VolumePart>> m_others;
    std::unique_ptr<CNtfsVolumePlacer> m_placer;
    InfoList m_untold;
    CNtfsClaims m_claims;
    // The log sequence numbers of the records not in use, by their sector: a deleted file's age.
    std::unordered_map<u64, u64> m_deletedLsns;
    struct Mirror {
        u64 sector;  // of its copy of record 0
        VolumePart* part;
    };
    std::vector<Mirror> m_mirrors;
};

VolumePart& FoundTreeBuilder::PartAt(NtfsVolumeKey key, bool guessed) {
    if (key == m_chosen.Key()) return *m_chosenPart;
    auto it = m_others.find(key);
    if (it != m_others.end()) {
        // One record that something placed is enough to place the volume.
        it->second->Geometry().guessed = it->second->Geometry().guessed && guessed;
        return *it->second;
    }
    VolumeGeometry g;
    g.start = key.start;
    g.spc = key.sectorsPerCluster;
    g.numbering = m_chosen.numbering;
    g.guessed = guessed;
    const u64 deviceEnd = m_in.device->GetTotalSectors();
    g.totalSectors = deviceEnd > g.start ? deviceEnd - g.start : 0;
    if (m_in.search) {
        m_in.search->GetCandidates().ForSameKey(g.start, g.spc, [&g](CSearchedNTFSPartitionInfo& c) {
            if (g.clusterCount != kNtfsUnknown) return;
            g.totalSectors = c.GetTotalSectors();
            g.clusterCount = c.GetClusterCount();
        });
    }
    if (g.clusterCount == kNtfsUnknown) g.clusterCount = g.totalSectors / g.spc;
    auto part = std::make_unique<VolumePart>(m_in, g, m_sectorSize, m_stride);
    VolumePart& made = *part;
    m_others.emplace(key, std::move(part));
    return made;
}

std::vector<VolumePart*> FoundTreeBuilder::AllParts() const {
    std::vector<VolumePart*> parts{m_chosenPart.get()};
    for (const auto& [key, part] : m_others) parts.push_back(part.get());
    return parts;
}

void FoundTreeBuilder::AddVolumesOfOtherMfts() {
    if (!m_in.mftDetails) return;
    for (const NTFSMftRecordDetail& d : *m_in.mftDetails) {
        const NTFSMFTLocation* loc = d.location;
        if (!loc || m_chosenPart->Accepted(loc)) continue;
        // The mirror's copy of an $MFT the volume holds: what lies there are copies of its records.
        if (VolumePart* of = MirroredPart(*loc)) {
            m_mirrors.push_back({loc->GetMFTStartSector(), of});
            continue;
        }
        const u32 spc = loc->GetSectorsPerCluster();
        const u64 lcn = loc->GetLCNOfFirstCluster();
        if (spc == 0 || lcn == kSparseLCN) continue;
        const unsigned __int128 offset = static_cast<unsigned __int128>(lcn) * spc;
        if (offset > loc->GetMFTStartSector()) continue;
        const NtfsVolumeKey key{loc->GetMFTStartSector() - u64(offset), spc};
        if (key == m_chosen.Key()) continue;
        VolumePart& part = PartAt(key, false);
        if (!part.Accepted(loc)) part.AcceptMFTLocations();
    }
}

VolumePart* FoundTreeBuilder::MirroredPart(const NTFSMFTLocation& location) const {
    for (VolumePart* part : AllParts()) {
        if (part->Geometry().spc != location.GetSectorsPerCluster()) continue;
        for (const RecordGroup& group : part->Groups()) {
            if (group.location->GetMFTStartSector() != location.GetMFTStartSector() &&
                RunListsEqual(group.location->GetRuns(), location.GetRuns())) {
                return part;
            }
        }
    }
    return nullptr;
}

bool FoundTreeBuilder::IsMirrorCopy(u64 sector) const {
    for (const Mirror& m : m_mirrors) {
        const VolumeGeometry& g = m.part->Geometry();
        // The mirror holds the $MFT's first records: four at the least, a whole cluster of them
        // where a cluster holds more.
        const u64 span = std::max<u64>(u64(kMirroredRecords) * m_stride, g.spc);
        if (sector < m.sector || sector - m.sector >= span) continue;
        const u64 number = (sector - m.sector) / m_stride;
        // A copy stands aside only for a record the $MFT itself still holds.
        for (const RecordGroup& group : m.part->Groups()) {
            const u64 primary = ComputeRecordSector(number, g.spc, g.start, group.location->GetRuns(), u8(m_stride));
            std::vector<u8> record(size_t(m_stride) * m_sectorSize);
            if (primary != kSparseLCN && m_in.device->Read(record.data(), primary, m_stride) != 0 &&
                ValidateFileRecord(record.data(), u32(record.size()))) {
                return true;
            }
        }
    }
    return false;
}

void FoundTreeBuilder::PlaceRecord(const u8* raw, u32 length, u64 sector) {
    if (IsMirrorCopy(sector)) return;
    u8 fixed[ntfs::kMaxRecordSize];
    const u32 span = std::min<u32>(RecordSpan(raw, length), sizeof(fixed));
    std::memcpy(fixed, raw, span);
    ApplyFileRecordFixups(fixed, span);
    if (!RecordIsInUse(fixed)) m_deletedLsns[sector] = RecordLogSequenceNumber(fixed);
    const u32 spc = RecordClusterBytes(fixed, span, m_sectorSize) / m_sectorSize;
    // The $MFT that holds the record numbers it, unless its own attributes count clusters of
    // another size: then it is an older volume's record left where the $MFT grew.
    const auto byMft = [&](VolumePart& part) {
        if (spc != 0 && spc != part.Geometry().spc) return false;
        RecordGroup* group = part.GroupOf(sector);
        if (!group || (RecordIsInUse(fixed) && part.Unclaimed(*group, sector))) return false;
        // A volume's records in use hold their clusters, whatever they describe.
        if (RecordIsInUse(fixed)) {
            AppendRecordSectors(fixed, span, part.Geometry().start, part.Geometry().spc, group->inUseSectors);
        }
        NoteCreation(*group, fixed, span);
        if (auto info = part.MakeInfo(raw, length, sector, group)) part.Keep(std::move(info), group);
        return true;
    };
    if (byMft(*m_chosenPart)) return;
    for (auto& [key, part] : m_others) {
        if (byMft(*part)) return;
    }
    if ((m_chosen.numbering >> 32) != 0) return;
    if (spc == 0) {
        if (auto info = m_chosenPart->MakeInfo(raw, length, sector, nullptr)) m_untold.push_back(std::move(info));
        return;
    }
    const u64 number = RecordIsNewerLayout(fixed) ? RecordNumberField(fixed) : ~u64(0);
    const CNtfsVolumePlacer::Placement placed = m_placer->Place(sector, number, spc);
    VolumePart& part = PartAt(placed.key, placed.guessed);
    if (auto info = part.MakeInfo(raw, length, sector, nullptr)) part.Keep(std::move(info), nullptr);
}

void FoundTreeBuilder::ReadRecords() {
    if (!m_in.recordRuns || !m_in.device) return;
    const u64 deviceEnd = m_in.device->GetTotalSectors();
    const u32 look = CNTFSSearchController::kWindowSectors;
    std::vector<u8> buffer(size_t(kBatchSectors + look) * m_sectorSize);
    for (const NtfsRecordRun& run : *m_in.recordRuns) {
        for (u64 k = 0; k < run.count;) {
            const u64 first = run.firstSector + k * m_stride;
            if (first < m_chosen.start) {
                ++k;
                continue;
            }
            if (first >= m_end || first >= deviceEnd) break;
            const u64 batch = std::min<u64>({kBatchSectors, m_end - first, deviceEnd - first});
            const u64 readable = std::min<u64>(batch + look, deviceEnd - first);
            std::fill(buffer.begin(), buffer.end(), 0);
            if (m_in.device->Read(buffer.data(), first, readable) == 0) {
                k += (batch + m_stride - 1) / m_stride;
                continue;
            }
            for (u64 at = 0; at < batch && k < run.count; at += m_stride, ++k) {
                const u8* raw = buffer.data() + at * m_sectorSize;
                const u32 length = static_cast<u32>(std::min<u64>(look, readable - at)) * m_sectorSize;
                if (!ValidateFileRecord(raw, length) || RecordIsExtension(raw)) continue;
                PlaceRecord(raw, length, first + at);
            }
        }
    }
}

void FoundTreeBuilder::PlaceUntold() {
    if (m_untold.empty()) return;
    const std::vector<VolumePart*> parts = AllParts();
    // What each untold folder holds, by the volumes of the records below it: records whose size
    // was told, and untold folders once their own holdings are known. At most two volumes are
    // kept per folder, as two already leave it where it is.
    struct Holdings {
        VolumePart* parts[2] = {nullptr, nullptr};
        bool Add(VolumePart* p) {
            if (!p || parts[0] == p || parts[1] == p || parts[1]) return false;
            (parts[0] ? parts[1] : parts[0]) = p;
            return true;
        }
        VolumePart* Only() const { return parts[1] ? nullptr : parts[0]; }
    };
    std::unordered_multimap<u64, size_t> folders;  // untold folders by record number
    for (size_t i = 0; i < m_untold.size(); ++i) {
        if (m_untold[i]->GetDirectoryFlag() != 0 && m_untold[i]->GetRecordNumber() != ~u64(0)) {
            folders.emplace(m_untold[i]->GetRecordNumber(), i);
        }
    }
    std::vector<Holdings> holdings(m_untold.size());
    std::vector<size_t> work;
    // A record naming folder `parent` (with that sequence) adds the holdings of `from`.
    const auto name = [&](u64 parent, u16 sequence, const std::function<bool(Holdings&)>& add) {
        const auto range = folders.equal_range(parent);
        for (auto it = range.first; it != range.second; ++it) {
            const CCommonFileRecordInfo& folder = *m_untold[it->second];
            if (!FolderSequenceMatches(sequence, folder.GetSequence(), folder.IsInUse())) continue;
            if (add(holdings[it->second])) work.push_back(it->second);
        }
    };
    for (VolumePart* part : parts) {
        for (const auto& info : part->Own()) {
            name(info->GetParentRecord(), info->GetParentSequence(), [part](Holdings& h) { return h.Add(part); });
        }
    }
    // Holdings only grow, and each folder's at most twice: any order reaches the same end.
    while (!work.empty()) {
        const size_t i = work.back();
        work.pop_back();
        const Holdings from = holdings[i];
        name(m_untold[i]->GetParentRecord(), m_untold[i]->GetParentSequence(), [&from](Holdings& h) {
            const bool first = h.Add(from.parts[0]);
            const bool second = h.Add(from.parts[1]);
            return first || second;
        });
    }
    // The folders whose holdings are one volume's join it.
    for (size_t i = 0; i < m_untold.size(); ++i) {
        VolumePart* only = holdings[i].Only();
        if (only && m_untold[i]->GetDirectoryFlag() != 0) only->Keep(std::move(m_untold[i]), nullptr);
    }
    // The rest join the volume of the folder they name, when one volume's folders alone have its
    // number: first the folders, each by what was placed before them all, then the files.
    std::unordered_multimap<u64, std::pair<VolumePart*, const CCommonFileRecordInfo*>> index;
    const auto addFolders = [&index](VolumePart* part, const InfoList& infos) {
        for (const auto& info : infos) {
            if (info && info->GetDirectoryFlag() != 0) index.emplace(info->GetRecordNumber(), std::pair(part, info.get()));
        }
    };
    for (VolumePart* part : parts) addFolders(part, part->Own());
    const auto volumeNamed = [&index, this](const CCommonFileRecordInfo& info) {
        Holdings named;
        const auto range = index.equal_range(info.GetParentRecord());
        for (auto it = range.first; it != range.second; ++it) {
            const CCommonFileRecordInfo& folder = *it->second.second;
            if (FolderSequenceMatches(info.GetParentSequence(), folder.GetSequence(), folder.IsInUse())) {
                named.Add(it->second.first);
            }
        }
        return named.Only() ? named.Only() : m_chosenPart.get();
    };
    std::vector<std::pair<VolumePart*, size_t>> folderMoves;
    for (size_t i = 0; i < m_untold.size(); ++i) {
        if (m_untold[i] && m_untold[i]->GetDirectoryFlag() != 0) folderMoves.emplace_back(volumeNamed(*m_untold[i]), i);
    }
    for (const auto& [part, i] : folderMoves) {
        index.emplace(m_untold[i]->GetRecordNumber(), std::pair(part, m_untold[i].get()));
        part->Keep(std::move(m_untold[i]), nullptr);
    }
    for (auto& info : m_untold) {
        if (info) volumeNamed(*info)->Keep(std::move(info), nullptr);
    }
    m_untold.clear();
}

NtfsClaimVolume FoundTreeBuilder::ClaimVolume(const VolumePart& part, const RecordGroup* group) const {
    NtfsClaimVolume volume;
    volume.start = part.Geometry().start;
    volume.sectorsPerCluster = part.Geometry().spc;
    volume.sectorSize = m_sectorSize;
    volume.generation = group ? group->generation : kUnnumberedGeneration;
    volume.lsnsComparable = group != nullptr;
    return volume;
}

void FoundTreeBuilder::NoteCreation(RecordGroup& group, const u8* fixedRecord, u32 length) {
    NTFSStandardInfo si;
    if (ReadStandardInformation(FindRecordAttribute(fixedRecord, length, ntfs::kAttrStandardInformation, 0), si)) {
        group.latestCreation = std::max(group.latestCreation, si.creationTime);
    }
}

void FoundTreeBuilder::RankGenerations() {
    struct Ranked {
        std::tuple<bool, u64, bool> rank;
        VolumePart* part;
        RecordGroup* group;
    };
    std::vector<Ranked> groups;
    // The metadata files: the search keeps some of their records apart from the others.
    const u32 length = m_stride * m_sectorSize;
    std::vector<u8> record(std::max<u32>(length, ntfs::kMaxRecordSize));
    for (VolumePart* part : AllParts()) {
        const VolumeGeometry& g = part->Geometry();
        const bool bootAtStart = part->HasBootSectorAtStart();
        for (RecordGroup& group : part->Groups()) {
            for (u64 number = 0; number < kFirstUserRecord; ++number) {
                const u64 sector = ComputeRecordSector(number, g.spc, g.start, group.location->GetRuns(), u8(m_stride));
                if (sector == kSparseLCN || m_in.device->Read(record.data(), sector, m_stride) == 0 ||
                    !ValidateFileRecord(record.data(), length)) {
                    continue;
                }
                ApplyFileRecordFixups(record.data(), RecordSpan(record.data(), length));
                // A record whose own runs count clusters of another size is a newer volume's,
                // written where this $MFT lay: its runs say nothing of this volume.
                const u32 clusterBytes = RecordClusterBytes(record.data(), length, m_sectorSize);
                if (clusterBytes != 0 && clusterBytes != g.spc * m_sectorSize) continue;
                NoteCreation(group, record.data(), length);
                if (RecordIsInUse(record.data()) && MftBitmapClaims(group.recordsInUse, number)) {
                    AppendRecordSectors(record.data(), length, g.start, g.spc, group.inUseSectors);
                }
            }
            // A volume formatted later is newer: the one whose boot sector still stands at its
            // start, then the one written last (formatting stamps its $MFT, where the formatter
            // sets a time, and every file made since carries its own), the chosen one where
            // they tie.
            const u64 written = std::max(part->FormatTime(group), group.latestCreation);
            groups.push_back({{bootAtStart, written, part == m_chosenPart.get()}, part, &group});
        }
    }
    std::stable_sort(groups.begin(), groups.end(), [](const Ranked& a, const Ranked& b) { return a.rank < b.rank; });
    for (size_t i = 0; i < groups.size(); ++i) {
        RecordGroup& group = *groups[i].group;
        group.generation = kFirstMftGeneration + u32(i);
        for (const NtfsSectorExtent& e : group.inUseSectors) m_claims.AddStructure(group.generation, e);
        std::vector<NtfsSectorExtent>().swap(group.inUseSectors);
    }
}

void FoundTreeBuilder::WeighClaims() {
    RankGenerations();
    for (VolumePart* part : AllParts()) {
        // Where nothing placed a volume, its files' sectors are a guess: they take none from
        // others, and are counted incomplete on their own (MarkGuessedStarts).
        if (part->Geometry().guessed) continue;
        const auto add = [&](const InfoList& infos, const RecordGroup* group) {
            for (const auto& info : infos) {
                IFileProperties* p = info ? info->GetProperties() : nullptr;
                if (!p) continue;
                const auto lsn = m_deletedLsns.find(info->GetRecordSector());
                m_claims.AddFile(*p, info->GetRecordSector(), lsn != m_deletedLsns.end() ? lsn->second : 0,
                                 info->IsInUse(), ClaimVolume(*part, group));
            }
        };
        add(part->Own(), nullptr);
        for (RecordGroup& group : part->Groups()) add(group.infos, &group);
    }
    m_claims.Weigh("NTFS found volume");
    m_deletedLsns.clear();
}

void FoundTreeBuilder::MarkGuessedStarts() {
    for (auto& [key, part] : m_others) {
        if (!part->Geometry().guessed) continue;
        ReleaseTrace("NTFS records of %u-byte clusters found inside the volume at sector %llu, where nothing places "
                     "a volume of their cluster size: their data is read from that volume's start and counted "
                     "incomplete",
                     unsigned(key.sectorsPerCluster * m_sectorSize), static_cast<unsigned long long>(key.start));
        for (const auto& info : part->Own()) {
            IFileProperties* p = info->GetProperties();
            if (!p || (p->GetAttributes() & kAttrDirectory) != 0) continue;
            std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
            // Resident data lies in the record itself, wherever the volume starts.
            if (runs && !runs->IsResident()) p->SetState(u8(p->GetState() | kStateContentUnconfirmed));
        }
    }
}

std::string FoundTreeBuilder::ReadLabel() {
    const u64 mft = m_chosen.mftSector;
    if (mft == kNtfsUnknown || !m_in.device) return std::string();
    const u32 recordBytes = std::max<u32>(ntfs::kMinRecordSize, m_sectorSize);
    std::vector<u8> record(recordBytes);
    if (m_in.device->Read(record.data(), mft + u64(kVolumeRecord) * m_stride, recordBytes / m_sectorSize) == 0) {
        return std::string();
    }
    char label[100] = {};
    ReadVolumeNameFromRecord(record.data(), recordBytes, label, sizeof(label));
    return label;
}

FileSystemNodePtr FoundTreeBuilder::MakeVolumeFolder(const std::string& name, const VolumeGeometry& g) {
    FileSystemNodePtr volume = CreateFileSystemNode();
    PropertiesRef<CNTFSFileProperties> properties = FolderProperties(name.c_str(), 0);
    if (!volume || !properties) return nullptr;
    volume->SetFileProperties(properties.release());
    volume->SetPartitionGeometry(g.start, g.spc);
    volume->SetFileSystemType(kFsNtfs);
    volume->SetId(kNtfsRootFolderRecord);
    return volume;
}

FileSystemNodePtr FoundTreeBuilder::Build() {
    CSearchedNTFSPartitionInfo* partition = m_in.partition;
    if (!partition || partition->GetKind() != 0 || !m_in.device) return nullptr;
    m_chosen.start = partition->GetPartitionStart();
    m_chosen.spc = std::max<u32>(1, partition->GetSectorsPerCluster());
    m_chosen.totalSectors = partition->GetTotalSectors();
    m_chosen.clusterCount = partition->GetClusterCount();
    m_chosen.numbering = partition->GetMftNumbering();
    m_chosen.mftSector = partition->GetMftSector();
    m_sectorSize = NTFSScanGeometry::For(m_in.device->GetSectorSize()).sectorSize;
    m_stride = NTFSScanGeometry::For(m_sectorSize).recordStride;
    m_end = m_chosen.start + m_chosen.totalSectors;

    m_chosenPart = std::make_unique<VolumePart>(m_in, m_chosen, m_sectorSize, m_stride);
    m_chosenPart->AcceptMFTLocations();
    AddVolumesOfOtherMfts();
    std::vector<const NTFSMFTLocation*> mfts;
    if (m_in.mftDetails) {
        for (const NTFSMftRecordDetail& d : *m_in.mftDetails) mfts.push_back(d.location);
    }
    m_placer = std::make_unique<CNtfsVolumePlacer>(m_chosen.Key(), m_stride, mfts,
                                                   m_in.search ? &m_in.search->GetCandidates() : nullptr);
    ReadRecords();
    PlaceUntold();
    m_chosenPart->CheckFolders();
    for (auto& [key, part] : m_others) part->CheckFolders();
    WeighClaims();
    MarkGuessedStarts();

    const std::string name = CutUtf8(GetScanOptions().GetFoundPartitionName("NTFS", int(m_in.treeId + 1)),
                                     kVolumeNameLimit);
    FileSystemNodePtr volume = MakeVolumeFolder(name, m_chosen);
    if (!volume) return nullptr;
    const std::string label = ReadLabel();
    const size_t characters = Utf8Characters(label);
    if (characters >= 1 && characters <= kMaxLabelCharacters) volume->SetVolumeLabel(label.c_str());
    m_chosenPart->Link(volume.get());
    // Each other volume stands in a folder of its own that carries its geometry, so that its
    // files are read with their own clusters.
    for (auto& [key, part] : m_others) {
        if (part->IsEmpty()) continue;
        char guestName[kVolumeNameLimit + 1];
        std::snprintf(guestName, sizeof(guestName), "%s at sector %llu, %llu-byte clusters", FileSystemTypeName(kFsNtfs),
                      static_cast<unsigned long long>(key.start),
                      static_cast<unsigned long long>(u64(key.sectorsPerCluster) * m_sectorSize));
        FileSystemNodePtr guest = MakeVolumeFolder(guestName, part->Geometry());
        if (!guest) continue;
        part->Link(guest.get());
        if (!guest->GetFirstChild()) continue;
        guest->SetParentId(kNtfsRootFolderRecord);
        volume->AddChild(guest.release());
    }
    m_chosenPart->ResetJournals();
    for (auto& [key, part] : m_others) part->ResetJournals();
    return volume;
}

}  // namespace

FileSystemNodePtr BuildFoundPartitionTree(const NTFSFoundTreeInput& input) {
    FoundTreeBuilder builder(input);
    return builder.Build();
}

void PruneEmptyTreeNodes(CFileNode* folder) {
    if (!folder) return;
    // Children before their folder: a folder is judged after everything below it was pruned.
    std::vector<CFileNode*> order;
    std::vector<CFileNode*> stack;
    for (CFileNode* c = folder->GetFirstChild(); c; c = c->GetNextSibling()) stack.push_back(c);
    while (!stack.empty()) {
        CFileNode* n = stack.back();
        stack.pop_back();
        order.push_back(n);
        for (CFileNode* c = n->GetFirstChild(); c; c = c->GetNextSibling()) stack.push_back(c);
    }
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        CFileNode* n = *it;
        const IFileProperties* p = n->GetFileProperties();
        const bool folderNode = IsFolderNode(n);
        const bool empty = folderNode ? n->GetFirstChild() == nullptr : (p && p->GetSize() == 0);
        if (!empty) continue;
        if (CFileNode* parent = n->GetParent()) parent->RemoveChild(n);
        DestroyTreeNode(n);
    }
}
