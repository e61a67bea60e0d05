#include "devices/DynamicVolumeDevice.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace {

constexpr u32 kDefaultSectorSize = 512;

u32 SectorSizeOf(IStorageDevice* disk) {
    const u32 size = disk ? disk->GetSectorSize() : 0;
    return size ? size : kDefaultSectorSize;
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
    CExtentVolumeDevice(u32 type, const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents)
        : m_extents(extents), m_info(info), m_type(type) {}

    u64 GetTotalSectors() override { return m_info.totalSectors; }
    u32 GetSectorSize() override { return m_extents.empty() ? kDefaultSectorSize : SectorSizeOf(m_extents[0].disk); }
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
        const bool mapped = ForEachMemberRange(firstSector, count, [&unread](const DynamicExtent& e, u64 sector, u64 n) {
            unread = unread || e.disk == nullptr || e.disk->HasUnreadSectors(sector, n);
        });
        return unread || !mapped;
    }

protected:
    // The member sectors that hold volume sectors [first, first + count), in volume order: false
    // where a position lies on no member. A member whose disk is missing is given too. Volumes
    // that rebuild what a member lacks (parity, a mirror) have no such one-to-one map.
    using MemberRange = std::function<void(const DynamicExtent&, u64 sector, u64 count)>;
    virtual bool ForEachMemberRange(u64 first, u64 count, const MemberRange& each) {
        (void)first, (void)count, (void)each;
        return true;
    }
    // Reads through the member map; a missing member reads as zeros.
    u32 ReadMembers(void* buffer, u64 first, u64 count) {
        const u32 ss = GetSectorSize();
        u64 n = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), ss, n)) return 0;
        u8* out = static_cast<u8*>(buffer);
        return ForEachMemberRange(first, n, [&out, ss](const DynamicExtent& e, u64 sector, u64 chunk) {
                   if (e.disk) e.disk->Read(out, sector, chunk);
                   out += chunk * ss;
               })
                   ? 1
                   : 0;
    }

    std::vector<DynamicExtent> m_extents;
    LdmVolumeInfo m_info;
    u32 m_type;
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
        if (e.disk == nullptr) return 0;
        return n == 0 ? 1 : e.disk->Read(buffer, e.diskStart + first, n);
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
    CStripedVolumeDevice(u32 type, const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents)
        : CExtentVolumeDevice(type, info, extents), m_stripe(std::max(1u, kStripeBytes / GetSectorSize())) {}

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
    CRaid5VolumeDevice(u32 type, const LdmVolumeInfo& info, const std::vector<DynamicExtent>& extents)
        : CExtentVolumeDevice(type, info, extents), m_stripe(std::max(1u, kStripeBytes / GetSectorSize())) {}

    u32 Read(void* buffer, u64 first, u64 count) override {
        const u32 ss = GetSectorSize();
        u64 left = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), ss, left)) return 0;
        const u64 columns = m_extents.size();
        // One member holds no data column: the factory refuses such a volume.
        if (columns < 2) return 0;
        u8* out = static_cast<u8*>(buffer);
        std::vector<std::vector<u8>> others;
        for (u64 cur = first; left > 0;) {
            const u64 row = cur / ((columns - 1) * m_stripe);
            const u64 parity = (columns - 1) - (row % columns);
            const u64 data = (cur / m_stripe) % (columns - 1);
            const u64 column = (data + parity + 1) % columns;
            const u64 within = cur % m_stripe;
            const u64 chunk = std::min(left, m_stripe - within);
            const u64 position = row * m_stripe + within;
            if (!ReadMember(column, position, chunk, out)) {
                // Rebuilt from the other columns, parity included: their XOR is the lost one.
                others.assign(columns - 1, std::vector<u8>(chunk * ss));
                size_t k = 0;
                for (u64 c = 0; c < columns; ++c) {
                    if (c == column) continue;
                    if (!ReadMember(c, position, chunk, others[k++].data())) return 0;
                }
                std::memset(out, 0, chunk * ss);
                for (const std::vector<u8>& b : others) {
                    for (size_t i = 0; i < b.size(); ++i) out[i] ^= b[i];
                }
            }
            out += chunk * ss;
            cur += chunk;
            left -= chunk;
        }
        return 1;
    }

private:
    bool ReadMember(u64 column, u64 position, u64 chunk, u8* out) {
        const DynamicExtent& e = m_extents[column];
        u64 sector = 0;
        if (e.disk == nullptr || !MemberSector(e, position, chunk, sector)) return false;
        return e.disk->Read(out, sector, chunk) != 0;
    }

    u64 m_stripe;
};

class CMirrorVolumeDevice : public IDynamicDevice {
public:
    CMirrorVolumeDevice(u32 type, const LdmVolumeInfo& info, std::vector<std::unique_ptr<IDynamicDevice>> members)
        : m_members(std::move(members)), m_info(info), m_type(type) {}

    u64 GetTotalSectors() override { return m_info.totalSectors; }
    u32 GetSectorSize() override { return m_members.empty() ? kDefaultSectorSize : m_members[0]->GetSectorSize(); }
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

    u32 Read(void* buffer, u64 first, u64 count) override {
        const u32 ss = GetSectorSize();
        u64 left = 0;
        if (!BeginRead(buffer, first, count, GetTotalSectors(), ss, left)) return 0;
        u8* out = static_cast<u8*>(buffer);
        for (u64 cur = first; left > 0;) {
            const u64 chunk = std::min<u64>(left, kMirrorChunkSectors);
            if (!ReadFromAnyMember(out, cur, chunk)) {
                for (u64 i = 0; i < chunk; ++i) {
                    if (!ReadFromAnyMember(out + i * ss, cur + i, 1)) std::memset(out + i * ss, 0, ss);
                }
            }
            out += chunk * ss;
            cur += chunk;
            left -= chunk;
        }
        return 1;
    }

private:
    bool ReadFromAnyMember(u8* out, u64 first, u64 count) {
        for (const auto& m : m_members) {
            if (m->Read(out, first, count)) return true;
        }
        return false;
    }

    std::vector<std::unique_ptr<IDynamicDevice>> m_members;
    LdmVolumeInfo m_info;
    u32 m_type;
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
    return std::make_unique<CSimpleVolumeDevice>(type, info, extents);
}

std::unique_ptr<IDynamicDevice> CreateSpannedVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                          const std::vector<DynamicExtent>& extents) {
    if (PresentMembers(extents) < 1) return nullptr;
    return std::make_unique<CSpannedVolumeDevice>(type, info, extents);
}

std::unique_ptr<IDynamicDevice> CreateStripedVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                          const std::vector<DynamicExtent>& extents) {
    if (PresentMembers(extents) < 1) return nullptr;
    return std::make_unique<CStripedVolumeDevice>(type, info, extents);
}

std::unique_ptr<IDynamicDevice> CreateRaid5VolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                        const std::vector<DynamicExtent>& extents) {
    // A single member leaves no data column beside the parity.
    const size_t n = extents.size();
    if (n < 2 || PresentMembers(extents) + 1 < n) return nullptr;
    return std::make_unique<CRaid5VolumeDevice>(type, info, extents);
}

std::unique_ptr<IDynamicDevice> CreateMirrorVolumeDevice(u32 type, const LdmVolumeInfo& info,
                                                         std::unique_ptr<IDynamicDevice> a,
                                                         std::unique_ptr<IDynamicDevice> b) {
    std::vector<std::unique_ptr<IDynamicDevice>> members;
    if (a) members.push_back(std::move(a));
    if (b) members.push_back(std::move(b));
    if (members.empty()) return nullptr;
    return std::make_unique<CMirrorVolumeDevice>(type, info, std::move(members));
}
