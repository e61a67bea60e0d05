#include "devices/DynamicVolumeDevice.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "platform/Log.h"

namespace {

constexpr u32 kDefaultSectorSize = 512;

// The sector size the volume's present members share, which every read of the volume fills its
// buffer in: a member whose disk is absent has none, so the first present one gives it (512 when
// none is present). 0 when the present members disagree, or one cannot tell its own, and the
// log says which: their sectors cannot be laid side by side in one buffer.
u32 CommonSectorSize(const LdmVolumeInfo& info, const std::vector<IStorageDevice*>& members) {
    u32 common = 0;
    size_t first = 0;
    for (size_t i = 0; i < members.size(); ++i) {
        if (members[i] == nullptr) continue;
        const u32 size = members[i]->GetSectorSize();
        if (size == 0) {
            LogError("Dynamic volume \"%.*s\" not made: member %zu answers no sector size",
                     int(sizeof info.volumeName), info.volumeName, i);
            return 0;
        }
        if (common == 0) {
            common = size;
            first = i;
        } else if (size != common) {
            LogError("Dynamic volume \"%.*s\" not made: member %zu has %u-byte sectors, member %zu %u-byte sectors",
                     int(sizeof info.volumeName), info.volumeName, first, common, i, size);
            return 0;
        }
    }
    return common == 0 ? kDefaultSectorSize : common;
}

u32 CommonSectorSize(const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents) {
    std::vector<IStorageDevice*> disks;
    for (const DynamicExtent& e : extents) disks.push_back(e.disk);
    return CommonSectorSize(info, disks);
}

// What every volume read does first: a zeroed buffer, the range test and the sectors that lie
// inside the volume (0 when the read starts at its end).
bool BeginRead(void* buffer, u64 first, u64 count, u64 total, u32 sectorSize, u64& n) {
    std::memset(buffer, 0, count * sectorSize);
    if (first > total || count > total) return false;
    n = first + count > total ? total - first : count;
    return true;
}

// The member sector a stripe-relative position falls on, when the member holds it.
bool MemberSector(const DynamicExtent& e, u64 volumeRelative, u64 chunk, u64& out) {
    // A position before the member or running past its end is not on it.
    if (volumeRelative < e.offsetInVolume || volumeRelative - e.offsetInVolume + chunk > e.length) return false;
    out = e.diskStart + (volumeRelative - e.offsetInVolume);
    return true;
}

class CExtentVolumeDevice : public IDynamicDevice {
public:
    // sectorSize: what the present members share (CommonSectorSize).
    CExtentVolumeDevice(u32 type, const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents, u32 sectorSize)
        : m_extents(extents), m_info(info), m_type(type), m_sectorBytes(sectorSize) {}

    u64 GetTotalSectors() override { return m_info.totalSectors; }
    u32 GetSectorSize() override { return m_sectorBytes; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    u32 GetVolumeType() override { return m_type; }
    u32 GetLdmVolumeValue() override { return m_info.fsCode; }
    char GetDriveLetter() override { return 0; }
    void GetExtents(std::vector<const DynamicExtent*>& out) override {
        for (const DynamicExtent& e : m_extents) out.push_back(&e);
    }
    bool IsSameVolume(IDynamicDevice* other) override;
    // Sectors of a missing member, or that its disk could not read, are no volume's bytes.
    bool HasUnreadSectors(u64 firstSector, u64 count) override {
        if (IStorageDevice::HasUnreadSectors(firstSector, count)) return true;
        bool unread = false;
        const bool mapped = ForEachMemberRange(firstSector, count, [&](const DynamicExtent& e, u64 sector, u64 n) {
            IStorageDevice* disk = MemberDisk(e);
            unread = unread || disk == nullptr || disk->HasUnreadSectors(sector, n);
        });
        return unread || !mapped;
    }

protected:
    // The member's disk while it answers the volume's sector size; null when it is absent, or
    // has come to answer another size since the volume was made (it would write past the
    // volume's buffers): its sectors are then as a missing member's.
    IStorageDevice* MemberDisk(const DynamicExtent& e) const {
        return e.disk != nullptr && e.disk->GetSectorSize() == m_sectorBytes ? e.disk : nullptr;
    }

    // The member sectors that hold volume sectors [first, first + count), in volume order: false
    // where a position lies on no member. A member whose disk is missing is given too. Volumes
    // that rebuild what a member lacks (parity, a mirror) have no such one-to-one map.
    using MemberRange = std::function<void(const DynamicExtent&, u64 sector, u64 count)>;
    virtual bool ForEachMemberRange(u64 first, u64 count, const MemberRange& each) {
        (void)first, (void)count, (void)each;
        return true;
    }
    // Reads through the member map, keeping every sector a member gives; a missing member reads
    // as zeros. Sectors a member could not read and does not report unread fail the read (after
    // every other sector is in place), so they are never taken for the volume's zeros.
    u32 ReadMembers(void* buffer, u64 first, u64 count) {
        const u32 ss = GetSectorSize();
        u64 n = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), ss, n)) return 0;
        u8* out = static_cast<u8*>(buffer);
        u64 cur = first;
        SectorRanges lost;  // volume sectors
        const bool mapped = ForEachMemberRange(first, n, [&](const DynamicExtent& e, u64 sector, u64 chunk) {
            if (IStorageDevice* disk = MemberDisk(e)) {
                SectorRanges unread;
                ReadEverySector(*disk, out, sector, chunk, unread);
                for (const SectorRange& u : unread) AppendSectorRange(lost, cur + (u.first - sector), u.count);
            }
            out += chunk * ss;
            cur += chunk;
        });
        if (!mapped) return 0;
        return lost.empty() || ReportsUnread(*this, lost) ? 1 : 0;
    }

    std::vector<DynamicExtent> m_extents;
    LdmVolumeInfo m_info;
    u32 m_type;
    u32 m_sectorBytes;
};

bool ExtentListContained(const std::vector<const DynamicExtent*>& mine, const std::vector<const DynamicExtent*>& theirs) {
    for (const DynamicExtent* a : mine) {
        if (std::none_of(theirs.begin(), theirs.end(), [a](const DynamicExtent* b) { return ExtentsEqual(*a, *b); })) {
            return false;
        }
    }
    return true;
}

bool CExtentVolumeDevice::IsSameVolume(IDynamicDevice* other) {
    if (other == nullptr || other->GetVolumeType() != m_type) return false;
    std::vector<const DynamicExtent*> mine, theirs;
    GetExtents(mine);
    other->GetExtents(theirs);
    return ExtentListContained(mine, theirs);
}

class CSimpleVolumeDevice : public CExtentVolumeDevice {
public:
    using CExtentVolumeDevice::CExtentVolumeDevice;
    u32 Read(void* buffer, u64 first, u64 count) override {
        u64 n = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), GetSectorSize(), n)) return 0;
        const DynamicExtent& e = m_extents[0];
        IStorageDevice* disk = MemberDisk(e);
        if (disk == nullptr) return 0;
        return n == 0 ? 1 : disk->Read(buffer, e.diskStart + first, n);
    }

protected:
    bool ForEachMemberRange(u64 first, u64 count, const MemberRange& each) override {
        if (m_extents.empty()) return false;
        each(m_extents[0], m_extents[0].diskStart + first, count);
        return true;
    }
};

class CSpannedVolumeDevice : public CExtentVolumeDevice {
public:
    using CExtentVolumeDevice::CExtentVolumeDevice;
    u32 Read(void* buffer, u64 first, u64 count) override { return ReadMembers(buffer, first, count); }

protected:
    bool ForEachMemberRange(u64 first, u64 count, const MemberRange& each) override {
        u64 cur = first;
        u64 left = count;
        for (const DynamicExtent& e : m_extents) {
            if (left == 0) break;
            if (cur >= e.offsetInVolume && cur - e.offsetInVolume < e.length) {
                const u64 chunk = std::min(left, e.offsetInVolume + e.length - cur);
                each(e, e.diskStart + (cur - e.offsetInVolume), chunk);
                cur += chunk;
                left -= chunk;
            }
        }
        return left == 0;
    }
};

class CStripedVolumeDevice : public CExtentVolumeDevice {
public:
    CStripedVolumeDevice(u32 type, const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents, u32 sectorSize)
        : CExtentVolumeDevice(type, info, extents, sectorSize), m_stripe(std::max(1u, kStripeBytes / sectorSize)) {}

    u32 Read(void* buffer, u64 first, u64 count) override { return ReadMembers(buffer, first, count); }

protected:
    bool ForEachMemberRange(u64 first, u64 count, const MemberRange& each) override {
        const u64 columns = m_extents.size();
        if (columns < 1) return false;
        for (u64 cur = first, left = count; left > 0;) {
            const u64 row = cur / (m_stripe * columns);
            const u64 column = (cur / m_stripe) % columns;
            const u64 within = cur % m_stripe;
            const u64 chunk = std::min(left, m_stripe - within);
            const DynamicExtent& e = m_extents[column];
            u64 sector = 0;
            if (!MemberSector(e, row * m_stripe + within, chunk, sector)) return false;
            each(e, sector, chunk);
            cur += chunk;
            left -= chunk;
        }
        return true;
    }

private:
    u64 m_stripe;
};

class CRaid5VolumeDevice : public CExtentVolumeDevice {
public:
    CRaid5VolumeDevice(u32 type, const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents, u32 sectorSize)
        : CExtentVolumeDevice(type, info, extents, sectorSize), m_stripe(std::max(1u, kStripeBytes / sectorSize)) {}

    u32 Read(void* buffer, u64 first, u64 count) override {
        const u32 ss = GetSectorSize();
        u64 n = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), ss, n)) return 0;
        // One member holds no data column: the factory refuses such a volume.
        if (m_extents.size() < 2) return 0;
        u8* out = static_cast<u8*>(buffer);
        SectorRanges lost;  // volume sectors neither their column nor the rebuild gave
        ForEachChunk(first, n, [&](const Chunk& c) {
            SectorRanges missing;  // positions of the column
            ReadColumn(c.column, c.position, c.count, out, missing);
            for (const SectorRange& m : missing) {
                u8* at = out + (m.first - c.position) * ss;
                SectorRanges unbuilt;
                Rebuild(c.column, m.first, m.count, at, unbuilt);
                for (const SectorRange& u : unbuilt) {
                    std::memset(out + (u.first - c.position) * ss, 0, u.count * ss);
                    AppendSectorRange(lost, c.volumeSector + (u.first - c.position), u.count);
                }
            }
            out += c.count * ss;
            return true;
        });
        return lost.empty() || ReportsUnread(*this, lost) ? 1 : 0;
    }

    // A sector is unread when its column cannot give it and some other column, needed to rebuild
    // it, cannot give it either.
    bool HasUnreadSectors(u64 firstSector, u64 count) override {
        if (IStorageDevice::HasUnreadSectors(firstSector, count)) return true;
        if (m_extents.size() < 2) return count != 0;
        bool unread = false;
        const u64 total = GetTotalSectors();
        const u64 n = firstSector >= total ? 0 : std::min(count, total - firstSector);
        ForEachChunk(firstSector, n, [&](const Chunk& c) {
            SectorRanges missing;
            ReportedUnread(c.column, c.position, c.count, missing);
            for (const SectorRange& m : missing) {
                for (u64 other = 0; other < m_extents.size() && !unread; ++other) {
                    if (other == c.column) continue;
                    SectorRanges alsoMissing;
                    ReportedUnread(other, m.first, m.count, alsoMissing);
                    unread = !alsoMissing.empty();
                }
            }
            return !unread;
        });
        return unread;
    }

private:
    // One stripe's part of a request: its column and the position there, and the volume sector
    // it begins at.
    struct Chunk {
        u64 volumeSector;
        u64 column;
        u64 position;  // sector of the column, relative to the volume's rows
        u64 count;
    };
    // Walks the chunks of [first, first + count) in order while each answers true.
    template <typename Each>
    void ForEachChunk(u64 first, u64 count, Each each) {
        const u64 columns = m_extents.size();
        for (u64 cur = first, left = count; left > 0;) {
            const u64 row = cur / ((columns - 1) * m_stripe);
            const u64 parity = (columns - 1) - (row % columns);
            const u64 data = (cur / m_stripe) % (columns - 1);
            const u64 within = cur % m_stripe;
            const u64 chunk = std::min(left, m_stripe - within);
            if (!each(Chunk{cur, (data + parity + 1) % columns, row * m_stripe + within, chunk})) return;
            cur += chunk;
            left -= chunk;
        }
    }

    // Reads `count` sectors of a column at `position` into out, every sector its disk gives; the
    // positions it cannot give (all of them for a missing member) are zeros and go to unread.
    void ReadColumn(u64 column, u64 position, u64 count, u8* out, SectorRanges& unread) {
        const DynamicExtent& e = m_extents[column];
        IStorageDevice* disk = MemberDisk(e);
        u64 sector = 0;
        if (disk == nullptr || !MemberSector(e, position, count, sector)) {
            std::memset(out, 0, count * GetSectorSize());
            AppendSectorRange(unread, position, count);
            return;
        }
        SectorRanges lost;
        ReadEverySector(*disk, out, sector, count, lost);
        for (const SectorRange& l : lost) AppendSectorRange(unread, position + (l.first - sector), l.count);
    }

    // The positions of a column its member reports unread, or all of them for a missing member.
    void ReportedUnread(u64 column, u64 position, u64 count, SectorRanges& unread) {
        const DynamicExtent& e = m_extents[column];
        IStorageDevice* disk = MemberDisk(e);
        u64 sector = 0;
        if (disk == nullptr || !MemberSector(e, position, count, sector)) {
            AppendSectorRange(unread, position, count);
            return;
        }
        SectorRanges lost;
        FindUnreadSectors(*disk, sector, count, lost);
        for (const SectorRange& l : lost) AppendSectorRange(unread, position + (l.first - sector), l.count);
    }

    // The lost column's sectors at `position` as the XOR of every other column, parity included;
    // positions some other column cannot give cannot be rebuilt and go to unbuilt.
    void Rebuild(u64 column, u64 position, u64 count, u8* out, SectorRanges& unbuilt) {
        const size_t bytes = count * GetSectorSize();
        std::vector<u8> other(bytes);
        std::memset(out, 0, bytes);
        SectorRanges lost;
        for (u64 c = 0; c < m_extents.size(); ++c) {
            if (c == column) continue;
            ReadColumn(c, position, count, other.data(), lost);
            for (size_t i = 0; i < bytes; ++i) out[i] ^= other[i];
        }
        // What two columns cannot give may overlap.
        JoinSectorRanges(lost);
        unbuilt.insert(unbuilt.end(), lost.begin(), lost.end());
    }

    u64 m_stripe;
};

class CMirrorVolumeDevice : public IDynamicDevice {
public:
    // The members share sectorSize (CommonSectorSize); a volume's own never changes.
    CMirrorVolumeDevice(u32 type, const LdmVolumeInfo& info, std::vector<std::unique_ptr<IDynamicDevice>> members,
                        u32 sectorSize)
        : m_members(std::move(members)), m_info(info), m_type(type), m_sectorBytes(sectorSize) {}

    u64 GetTotalSectors() override { return m_info.totalSectors; }
    u32 GetSectorSize() override { return m_sectorBytes; }
    u32 Open() override { return 1; }
    u32 Close() override { return 1; }
    u32 GetVolumeType() override { return m_type; }
    u32 GetLdmVolumeValue() override { return m_info.fsCode; }
    char GetDriveLetter() override { return 0; }
    void GetExtents(std::vector<const DynamicExtent*>& out) override {
        for (const auto& m : m_members) m->GetExtents(out);
    }
    bool IsSameVolume(IDynamicDevice* other) override {
        if (other == nullptr || other->GetVolumeType() != m_type) return false;
        std::vector<const DynamicExtent*> mine, theirs;
        GetExtents(mine);
        other->GetExtents(theirs);
        return ExtentListContained(mine, theirs);
    }

    // Each chunk from the first member, and whatever sectors it cannot give from the other; what
    // neither gives is zeros. Zeros neither member reports unread fail the read.
    u32 Read(void* buffer, u64 first, u64 count) override {
        const u32 ss = GetSectorSize();
        u64 left = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), ss, left)) return 0;
        u8* out = static_cast<u8*>(buffer);
        SectorRanges lost;
        for (u64 cur = first; left > 0;) {
            const u64 chunk = std::min<u64>(left, kMirrorChunkSectors);
            SectorRanges wanted;
            ReadEverySector(*m_members[0], out, cur, chunk, wanted);
            for (size_t m = 1; m < m_members.size() && !wanted.empty(); ++m) {
                SectorRanges still;
                for (const SectorRange& w : wanted) {
                    ReadEverySector(*m_members[m], out + (w.first - cur) * ss, w.first, w.count, still);
                }
                wanted.swap(still);
            }
            for (const SectorRange& w : wanted) AppendSectorRange(lost, w.first, w.count);
            out += chunk * ss;
            cur += chunk;
            left -= chunk;
        }
        return lost.empty() || ReportsUnread(*this, lost) ? 1 : 0;
    }

    // Sectors that every member reports unread.
    bool HasUnreadSectors(u64 firstSector, u64 count) override {
        if (IStorageDevice::HasUnreadSectors(firstSector, count)) return true;
        if (count == 0) return false;
        SectorRanges unread{{firstSector, count}};
        for (const auto& m : m_members) {
            SectorRanges onThis;
            for (const SectorRange& u : unread) FindUnreadSectors(*m, u.first, u.count, onThis);
            unread.swap(onThis);
            if (unread.empty()) return false;
        }
        return true;
    }

private:
    std::vector<std::unique_ptr<IDynamicDevice>> m_members;
    LdmVolumeInfo m_info;
    u32 m_type;
    u32 m_sectorBytes;
};

size_t PresentMembers(const std::vector<DynamicExtent>& extents) {
    return static_cast<size_t>(
        std::count_if(extents.begin(), extents.end(), [](const DynamicExtent& e) { return e.disk != nullptr; }));
}

}  // namespace

bool ExtentsEqual(const DynamicExtent& a, const DynamicExtent& b) {
    return a.length == b.length && a.diskStart == b.diskStart && a.offsetInVolume == b.offsetInVolume &&
           a.disk == b.disk && std::strncmp(a.diskGuid, b.diskGuid, kDiskGuidTextSize) == 0;
}

std::unique_ptr<IDynamicDevice> CreateSimpleVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                         const std::vector<DynamicExtent>& extents) {
    if (PresentMembers(extents) != 1 || extents[0].disk == nullptr) return nullptr;
    const u32 sectorSize = CommonSectorSize(info, extents);
    if (sectorSize == 0) return nullptr;
    return std::make_unique<CSimpleVolumeDevice>(type, info, extents, sectorSize);
}

std::unique_ptr<IDynamicDevice> CreateSpannedVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                          const std::vector<DynamicExtent>& extents) {
    if (PresentMembers(extents) < 1) return nullptr;
    const u32 sectorSize = CommonSectorSize(info, extents);
    if (sectorSize == 0) return nullptr;
    return std::make_unique<CSpannedVolumeDevice>(type, info, extents, sectorSize);
}

std::unique_ptr<IDynamicDevice> CreateStripedVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                          const std::vector<DynamicExtent>& extents) {
    if (PresentMembers(extents) < 1) return nullptr;
    const u32 sectorSize = CommonSectorSize(info, extents);
    if (sectorSize == 0) return nullptr;
    return std::make_unique<CStripedVolumeDevice>(type, info, extents, sectorSize);
}

std::unique_ptr<IDynamicDevice> CreateRaid5VolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                        const std::vector<DynamicExtent>& extents) {
    // A single member leaves no data column beside the parity.
    const size_t n = extents.size();
    if (n < 2 || PresentMembers(extents) + 1 < n) return nullptr;
    const u32 sectorSize = CommonSectorSize(info, extents);
    if (sectorSize == 0) return nullptr;
    return std::make_unique<CRaid5VolumeDevice>(type, info, extents, sectorSize);
}

std::unique_ptr<IDynamicDevice> CreateMirrorVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                         std::unique_ptr<IDynamicDevice> a,
                                                         std::unique_ptr<IDynamicDevice> b) {
    const u32 sectorSize = CommonSectorSize(info, std::vector<IStorageDevice*>{a.get(), b.get()});
    std::vector<std::unique_ptr<IDynamicDevice>> members;
    if (a) members.push_back(std::move(a));
    if (b) members.push_back(std::move(b));
    if (members.empty() || sectorSize == 0) return nullptr;
    return std::make_unique<CMirrorVolumeDevice>(type, info, std::move(members), sectorSize);
}
