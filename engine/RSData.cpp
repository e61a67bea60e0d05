#include "engine/RSData.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/Log.h"

const MGUID kScanResultMagic = {0x1BB3F4EA, 0x4305, 0x4AB6, {0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB}};

namespace {

constexpr u32 kHeaderSize = sizeof(ScanResultHeader);
constexpr u32 kSectionHeaderSize = sizeof(ScanResultSectionHeader);
constexpr size_t kChecksumOffset = 20;
constexpr i32 kMaxVersion = 4;
// Section offsets and lengths are 32-bit: no stored byte may lie at or beyond this end.
constexpr u64 kMaxFileEnd = 0xFFFFFFFFull;

const std::array<u16, 256>& CrcTable() {
    static const std::array<u16, 256> table = [] {
        std::array<u16, 256> t{};
        for (u32 i = 0; i < 256; ++i) {
            u16 crc = static_cast<u16>(i << 8);
            for (int bit = 0; bit < 8; ++bit) {
                crc = (crc & 0x8000) ? static_cast<u16>((crc << 1) ^ 0x8005) : static_cast<u16>(crc << 1);
            }
            t[i] = crc;
        }
        return t;
    }();
    return table;
}

// Takes the field's address: the stored headers are packed, and their fields bind to no reference.
bool MagicMatches(const void* g) { return std::memcmp(g, &kScanResultMagic, sizeof(MGUID)) == 0; }

}  // namespace

u16 ScanResultCrc16(const void* data, size_t length) {
    const auto& table = CrcTable();
    const u8* p = static_cast<const u8*>(data);
    u16 crc = 0;
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<u16>((crc << 8) ^ table[((crc >> 8) ^ p[i]) & 0xFF]);
    }
    return crc;
}

u32 ComputeScanResultHeaderChecksum(const ScanResultHeader& header) {
    u8 bytes[kHeaderSize];
    std::memcpy(bytes, &header, kHeaderSize);
    std::memset(bytes + kChecksumOffset, 0, 4);
    return ScanResultCrc16(bytes, kHeaderSize);
}

ScanResultHeader MakeScanResultHeader(i32 version) {
    ScanResultHeader h;
    std::memset(&h, 0, sizeof h);
    h.magic = kScanResultMagic;
    h.signature = kScanResultSignature;
    h.version = version;
    h.checksum = ComputeScanResultHeaderChecksum(h);
    return h;
}

// ---- typed helpers ----

void IRSData::WriteGuid(const MGUID& g) {
    WriteU32(g.Data1);
    WriteU16(g.Data2);
    WriteU16(g.Data3);
    Write(g.Data4, 8);
}

MGUID IRSData::ReadGuid() {
    MGUID g{};
    g.Data1 = ReadU32();
    g.Data2 = ReadU16();
    g.Data3 = ReadU16();
    Read(g.Data4, 8);
    return g;
}

void IRSData::CheckReadable(u64 n) {
    if (!CanRead(n)) throw CRSException(kRSEndOfData);
}

std::vector<u8> IRSData::ReadBlob(u32 n) {
    CheckReadable(n);
    std::vector<u8> out(n);
    if (n != 0) Read(out.data(), n);
    return out;
}

std::string IRSData::ReadString(u32 n) {
    CheckReadable(n);
    std::string out(n, '\0');
    if (n != 0) Read(out.data(), n);
    return out;
}

// ---- CRSData ----

CRSData::CRSData(u32 mode) : m_mode(mode), m_buffer(kBufferSize) {}

CRSData::~CRSData() = default;

void CRSData::ThrowPending() {
    if (m_pending == 0) return;
    const u32 code = m_pending;
    m_pending = 0;
    throw CRSException(code);
}

void CRSData::RequireMode(u32 mode) {
    if (m_mode != mode) {
        Fail(kRSWrongMode);
        ThrowPending();
    }
}

void CRSData::RequireSection() {
    if (!SectionOpen()) {
        Fail(kRSNoSection);
        ThrowPending();
    }
}

void CRSData::ClearSectionState() {
    m_bufferCount = 0;
    std::memset(&m_section, 0, sizeof m_section);
    m_sectionConsumed = 0;
    m_sectionOffset = kNoSection;
}

bool CRSData::Open(const char* path, u32 flag) {
    if (path == nullptr || *path == '\0') return false;
    if (m_mode == 0) {
        m_file.Open(path, CWin32File::kModeRead);
    } else if (m_mode == 1) {
        m_file.Open(path, flag == 0 ? CWin32File::kModeOpenAlways : CWin32File::kModeCreateAlways);
    } else {
        return false;
    }
    return m_file.IsFileHandleValid();
}

u32 CRSData::Close() {
    m_file.Close();
    return 1;
}

bool CRSData::IsValidFile() {
    ScanResultHeader h;
    if (m_file.Read(&h, kHeaderSize) != kHeaderSize) return false;
    return MagicMatches(&h.magic) && h.version >= 1 && h.version <= kMaxVersion;
}

bool CRSData::WriteHeader(const ScanResultHeader& header) {
    if (m_mode != 1) return false;
    ScanResultHeader h = header;
    h.signature = kScanResultSignature;
    h.checksum = ComputeScanResultHeaderChecksum(h);
    if (!m_file.Seek(0)) return false;
    return m_file.Write(&h, kHeaderSize);
}

bool CRSData::ReadHeader(ScanResultHeader& out) {
    std::memset(&out, 0, sizeof out);
    if (!m_file.Seek(0)) return false;
    if (m_file.Read(&out, kHeaderSize) != kHeaderSize) return false;
    const u32 stored = out.checksum;
    out.checksum = ComputeScanResultHeaderChecksum(out);
    // The magic is checked too: a file of another kind is not a saved result, whatever its
    // checksum word says.
    return stored == out.checksum && out.signature == kScanResultSignature && MagicMatches(&out.magic);
}

i32 CRSData::GetVersion() {
    RequireMode(0);
    ScanResultHeader h;
    std::memset(&h, 0, sizeof h);
    u32 got = 0;
    if (m_file.Seek(0)) got = m_file.Read(&h, kHeaderSize);
    if (got < offsetof(ScanResultHeader, descriptionLength)) return 0;
    const i32 version = h.version;
    ScanResultHeader checked;
    // A negative version is as unreadable as one above 4.
    if (ReadHeader(checked) && (version > kMaxVersion || version < 0)) {
        Fail(kRSBadHeader);
        ThrowPending();
    }
    return version;
}

bool CRSData::SetVersion(u32 version) {
    RequireMode(1);
    ScanResultHeader h;
    if (ReadHeader(h)) {
        h.version = static_cast<i32>(version);
    } else {
        h = MakeScanResultHeader(static_cast<i32>(version));
    }
    return WriteHeader(h);
}

bool CRSData::SetDescription(const char* text) {
    RequireMode(1);
    ScanResultHeader h;
    if (!ReadHeader(h)) return false;
    const size_t len = text != nullptr ? strnlen(text, kScanResultDescriptionMax) : 0;
    std::memset(h.description, 0, sizeof h.description);
    if (len != 0) std::memcpy(h.description, text, len);
    h.descriptionLength = static_cast<u32>(len);
    return WriteHeader(h);
}

bool CRSData::GetDescription(char* out, i32 size) {
    if (out == nullptr || size < 1) return false;
    RequireMode(0);
    ScanResultHeader h;
    if (!ReadHeader(h)) return false;
    const u32 length = h.descriptionLength;
    if (length > kScanResultDescriptionMax) {
        Fail(kRSBadHeader);
        ThrowPending();
    }
    const u32 n = std::min(length, static_cast<u32>(size - 1));
    std::memcpy(out, h.description, n);
    out[n] = '\0';
    return true;
}

bool CRSData::BeginSection(const MGUID& id) {
    EndSection();
    ScanResultSectionHeader hdr;
    std::memset(&hdr, 0, sizeof hdr);
    if (m_mode == 1) {
        hdr.magic = kScanResultMagic;
        hdr.id = id;
        hdr.length = 0;
        m_file.SeekToEnd();
        const u64 pos = m_file.GetPosition();
        if (pos == ~u64(0)) {
            Fail(kRSWriteFailed);
        } else if (pos + kSectionHeaderSize > kMaxFileEnd) {
            LogError("Saved scan result would pass 4 GiB: section refused at offset %llu",
                     static_cast<unsigned long long>(pos));
            Fail(kRSWriteFailed);
        } else if (!m_file.Write(&hdr, kSectionHeaderSize)) {
            Fail(kRSWriteFailed);
        } else {
            m_section = hdr;
            m_sectionOffset = static_cast<u32>(pos);
        }
        ThrowPending();
        return true;
    }
    if (m_mode != 0) {
        Fail(kRSWrongMode);
        ThrowPending();
    }
    // Every step moves at least one header further and the walk ends at the first short read,
    // so it ends with the file.
    u64 pos = kHeaderSize;
    while (pos + kSectionHeaderSize <= kMaxFileEnd && m_file.Seek(pos) &&
           m_file.Read(&hdr, kSectionHeaderSize) == kSectionHeaderSize) {
        pos += kSectionHeaderSize;
        if (MagicMatches(&hdr.magic) && std::memcmp(&hdr.id, &id, sizeof(MGUID)) == 0) {
            m_section = hdr;
            m_sectionOffset = static_cast<u32>(pos - kSectionHeaderSize);
            m_sectionConsumed = 0;
            return true;
        }
        pos += hdr.length;
    }
    ClearSectionState();
    Fail(kRSSectionNotFound);
    ThrowPending();
    return false;
}

u32 CRSData::EndSection() {
    if (SectionOpen()) {
        if (m_mode == 1) {
            Flush();
            if (!m_file.Seek(m_sectionOffset) || !m_file.Write(&m_section, kSectionHeaderSize)) {
                Fail(kRSWriteFailed);
            }
        }
    }
    ClearSectionState();
    ThrowPending();
    return 1;
}

u32 CRSData::GetSectionLength() {
    RequireSection();
    return m_section.length;
}

bool CRSData::WriteStored(const void* data, u32 n) {
    const u64 at = u64(m_sectionOffset) + kSectionHeaderSize + m_section.length;
    if (at + n > kMaxFileEnd) {
        LogError("Saved scan result would pass 4 GiB: %u bytes refused at offset %llu", n,
                 static_cast<unsigned long long>(at));
        Fail(kRSWriteFailed);
        return false;
    }
    // The header operations move the file position; section data always goes to its own end.
    if (!m_file.Seek(at) || !m_file.Write(data, n)) {
        Fail(kRSWriteFailed);
        return false;
    }
    m_section.length += n;
    return true;
}

u32 CRSData::Read(void* buffer, u32 n) {
    RequireMode(0);
    RequireSection();
    if (n > m_section.length - m_sectionConsumed) {
        Fail(kRSEndOfData);
        ThrowPending();
    }
    const u64 at = u64(m_sectionOffset) + kSectionHeaderSize + m_sectionConsumed;
    if (n != 0 && (!m_file.Seek(at) || m_file.Read(buffer, n) != n)) {
        Fail(kRSEndOfData);
        ThrowPending();
    }
    m_sectionConsumed += n;
    return 0;
}

u32 CRSData::Write(const void* data, u32 n) {
    if (m_pending != 0) return 0;
    RequireMode(1);
    RequireSection();
    const u8* p = static_cast<const u8*>(data);
    while (n > 0) {
        const u32 take = std::min(n, kBufferSize - m_bufferCount);
        std::memcpy(m_buffer.data() + m_bufferCount, p, take);
        m_bufferCount += take;
        p += take;
        n -= take;
        if (m_bufferCount == kBufferSize && !Flush()) {
            Fail(kRSWriteFailed);
            ThrowPending();
        }
    }
    return 0;
}

bool CRSData::Flush() {
    if (m_bufferCount == 0) return false;
    if (!WriteStored(m_buffer.data(), m_bufferCount)) return false;
    m_bufferCount = 0;
    return true;
}

bool CRSData::CanRead(u64 n) {
    RequireMode(0);
    RequireSection();
    if (n > u64(m_section.length - m_sectionConsumed)) return false;
    // The section header's length is the file's word only: the bytes must be in the file too.
    u64 size = 0;
    return n == 0 ||
           (m_file.GetSize(&size) && u64(m_sectionOffset) + kSectionHeaderSize + m_sectionConsumed + n <= size);
}
