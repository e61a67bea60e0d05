#include "devices/ImageFileDevice.h"

#include "devices/VolumeRecord.h"
#include "platform/Text.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr u32 kVolumeSourceImage = 1;
constexpr u32 kMinSectorSize = 512;
constexpr u32 kMaxSectorSize = 4096;
// Stored blocks may be a little larger than the raw block: 0.2 % of room.
constexpr u32 kRoomPerMille = 2;
// Decompressors signal the end of their stream with one of these (zlib and LZMA 1, bzip2 4).
constexpr i32 kStreamEndCodes[] = {1, 4};
constexpr int kMaxDecompressRounds = 64;

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

template <typename... Args>
std::string Format(const char* format, Args... args) {
    char text[768];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

}  // namespace

// ---- CImageFile ----

CImageFile::CImageFile(const char* indexPath) : m_indexPath(indexPath ? indexPath : "") {}

bool CImageFile::OpenIndex(u32 mode) { return !m_indexPath.empty() && m_index.Open(m_indexPath.c_str(), mode); }

bool CImageFile::ReadIndexU32(u64 offset, u32& out) {
    u8 b[4];
    if (!m_index.Seek(offset) || m_index.Read(b, sizeof b) != sizeof b) return false;
    out = ReadLE32(b);
    return true;
}

u32 CImageFile::GetSectorSize() {
    if (m_sectorSize < 0) {
        u32 v = 0;
        if (!ReadIndexU32(kImageSectorSizeOffset, v) || v < kMinSectorSize || v > kMaxSectorSize ||
            v % kMinSectorSize != 0) {
            v = kMinSectorSize;
        }
        m_sectorSize = static_cast<i32>(v);
    }
    return static_cast<u32>(m_sectorSize);
}

u32 CImageFile::GetCompressionType() {
    u32 v = 0;
    return ReadIndexU32(kImageCompressionOffset, v) ? v : 0;
}

u32 CImageFile::GetPartCount() {
    u32 v = 0;
    return ReadIndexU32(kImagePartCountOffset, v) ? v : 0;
}

u32 CImageFile::GetBlockCount() {
    u32 v = 0;
    return ReadIndexU32(kImageBlockCountOffset, v) ? v : 0;
}

std::vector<u32> CImageFile::GetBlocksPerPart() {
    const u32 parts = std::min(GetPartCount(), kImageMaxParts);
    std::vector<u32> out;
    for (u32 i = 0; i < parts; ++i) {
        u32 v = 0;
        if (!ReadIndexU32(kImageBlocksPerPartOffset + 4ull * i, v)) break;
        out.push_back(v);
    }
    return out;
}

std::string CImageFile::PartListPath(const std::string& indexPath) {
    const size_t dot = indexPath.rfind('.');
    const size_t slash = indexPath.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return indexPath.substr(0, dot + 1) + kImagePartListExtension;
}

bool CImageFile::ReadPartList(const std::string& listPath, u32 max, std::vector<std::string>& out) {
    out.clear();
    CWin32File list;
    if (listPath.empty() || !list.Open(listPath.c_str(), CWin32File::kModeRead)) return false;
    std::string line;
    bool cutting = false;
    char buffer[4096];
    for (;;) {
        const u32 n = list.Read(buffer, sizeof buffer);
        for (u32 i = 0; i < n && out.size() < max; ++i) {
            const char c = buffer[i];
            if (c == '\n') {
                // Only the line end goes: a CR before the LF, nothing else.
                if (!line.empty() && line.back() == '\r') line.pop_back();
                out.push_back(line);
                line.clear();
                cutting = false;
            } else if (!cutting) {
                line += c;
                // A line longer than a path line may be is cut there.
                if (line.size() > kImagePartLineMax) {
                    line.resize(kImagePartLineMax);
                    cutting = true;
                }
            }
        }
        if (n < sizeof buffer || out.size() >= max) break;
    }
    if (out.size() < max && !line.empty()) {
        if (line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return true;
}

bool CImageFile::OpenPart(i32 part) {
    if (part == m_openPart && m_part.IsFileHandleValid()) return true;
    if (part < 0) return false;
    std::vector<std::string> lines;
    if (!ReadPartList(PartListPath(m_indexPath), static_cast<u32>(part) + 1, lines) ||
        lines.size() <= static_cast<size_t>(part)) {
        return false;
    }
    m_part.Close();
    m_openPart = -1;
    if (!m_part.Open(lines[static_cast<size_t>(part)].c_str(), CWin32File::kModeRead)) return false;
    m_openPart = part;
    return true;
}

u32 CImageFile::ReadPart(void* buffer, u64 offset, u32 length) {
    if (!m_part.IsFileHandleValid() || !m_part.Seek(offset)) return 0;
    return m_part.Read(buffer, length);
}

// ---- CImageFileDeviceWithDecompress ----

CImageFileDeviceWithDecompress::CImageFileDeviceWithDecompress(const char* indexPath)
    : m_indexPath(indexPath ? indexPath : "") {
    if (m_indexPath.size() >= kMaxPath) m_indexPath.resize(kMaxPath - 1);
    OpenImage();
}

CImageFileDeviceWithDecompress::~CImageFileDeviceWithDecompress() { DestroyDecompressor(m_decompressor); }

void CImageFileDeviceWithDecompress::OpenImage() {
    m_image = std::make_unique<CImageFile>(m_indexPath.c_str());
    if (!m_image->OpenIndex(CWin32File::kModeRead)) {
        m_error = Format("cannot open the image index %s", m_indexPath.c_str());
        return;
    }
    const u32 parts = m_image->GetPartCount();
    if (parts == 0 || parts > kImageMaxParts) {
        m_error = Format("image index %s: %u parts (a header holds 1 to %u)", m_indexPath.c_str(), parts, kImageMaxParts);
        return;
    }
    const u32 blocks = m_image->GetBlockCount();
    std::vector<u32> perPart = m_image->GetBlocksPerPart();
    u64 sum = 0;
    for (u32 n : perPart) sum += n;
    if (perPart.size() != parts || sum != blocks) {
        m_error = Format("image index %s: the parts hold %llu blocks, the header says %u", m_indexPath.c_str(),
                         static_cast<unsigned long long>(sum), blocks);
        return;
    }
    u32 last = 0;
    if (blocks != 0 && !m_image->ReadIndexU32(kImageBlockTableOffset + 4ull * (blocks - 1), last)) {
        m_error = Format("image index %s: the block table of %u blocks is cut short", m_indexPath.c_str(), blocks);
        return;
    }
    m_compression = m_image->GetCompressionType();
    m_decompressor = CreateDecompressor(m_compression);
    m_blocksPerPart = std::move(perPart);
    m_totalSectors = static_cast<u64>(blocks) * kImageBlockSectors;
}

u32 CImageFileDeviceWithDecompress::GetSectorSize() { return m_image ? m_image->GetSectorSize() : kMinSectorSize; }

std::string CImageFileDeviceWithDecompress::Error() const {
    std::lock_guard<std::mutex> lk(m_lock);
    return m_error;
}

bool CImageFileDeviceWithDecompress::LocateBlock(u32 block, BlockPlace& out) {
    u64 first = 0;
    for (u32 p = 0; p < m_blocksPerPart.size(); ++p) {
        if (block < first + m_blocksPerPart[p]) {
            u32 own = 0;
            u32 start = 0;
            if (!m_image->ReadIndexU32(kImageBlockTableOffset + 4ull * block, own) ||
                (block != first && !m_image->ReadIndexU32(kImageBlockTableOffset + 4ull * (block - 1), start))) {
                m_error = Format("image %s: block table entry %u cannot be read", m_indexPath.c_str(), block);
                return false;
            }
            // The first block of a part starts its data area, whatever the entry before it says.
            if (own < start) {
                m_error = Format("image %s: block table entry %u ends at %u, before its start %u", m_indexPath.c_str(),
                                 block, own, start);
                return false;
            }
            out.part = p;
            out.offset = static_cast<u64>(start) + kImageHeaderSize;
            out.length = own - start;
            return true;
        }
        first += m_blocksPerPart[p];
    }
    m_error = Format("image %s: block %u lies in no part", m_indexPath.c_str(), block);
    return false;
}

bool CImageFileDeviceWithDecompress::Decompress(const std::vector<u8>& stored, u32 block, u32 blockBytes) {
    const u32 length = static_cast<u32>(stored.size());
    if (m_decompressor != nullptr && m_decompressor->Init() == 0) {
        m_decompressor->SetInput(stored.data(), length);
        m_decompressor->SetOutput(m_work.data(), blockBytes);
        i32 rc = 0;
        u32 produced = 0;
        for (int round = 0; round < kMaxDecompressRounds; ++round) {
            rc = m_decompressor->Decompress();
            const u32 now = blockBytes - m_decompressor->GetAvailOut();
            const bool ended = std::find(std::begin(kStreamEndCodes), std::end(kStreamEndCodes), rc) !=
                               std::end(kStreamEndCodes);
            const bool stalled = now == produced;
            produced = now;
            if (rc < 0 || ended || stalled || produced == blockBytes) break;
        }
        m_decompressor->End();
        if (produced == blockBytes) return true;
        if (rc >= 0) {
            m_error = Format("image %s: block %u decompressed to %u of %u bytes", m_indexPath.c_str(), block,
                             produced, blockBytes);
            return false;
        }
    }
    // Blocks that did not compress are kept as they are: a raw block exactly.
    if (length == blockBytes) {
        std::memcpy(m_work.data(), stored.data(), length);
        return true;
    }
    m_error = m_decompressor != nullptr
                  ? Format("image %s: block %u (%u stored bytes) does not decompress", m_indexPath.c_str(), block,
                           length)
                  : Format("image %s: block %u is stored in %u bytes, not as a %u-byte block", m_indexPath.c_str(),
                           block, length, blockBytes);
    return false;
}

bool CImageFileDeviceWithDecompress::LoadBlock(u32 block, u32 blockBytes) {
    BlockPlace place;
    if (!LocateBlock(block, place)) return false;
    const u32 room = blockBytes + blockBytes / 1000 * kRoomPerMille;
    if (place.length > room) {
        m_error = Format("image %s: block %u is stored in %u bytes, more than a %u-byte block can take",
                         m_indexPath.c_str(), block, place.length, blockBytes);
        return false;
    }
    if (!m_image->OpenPart(static_cast<i32>(place.part))) {
        m_error = Format("image %s: part %u (line %u of %s) cannot be opened", m_indexPath.c_str(), place.part,
                         place.part + 1, CImageFile::PartListPath(m_indexPath).c_str());
        return false;
    }
    std::vector<u8> stored(place.length);
    if (place.length != 0 && m_image->ReadPart(stored.data(), place.offset, place.length) != place.length) {
        m_error = Format("image %s: part %u ends before block %u (%u bytes at %llu)", m_indexPath.c_str(), place.part,
                         block, place.length, static_cast<unsigned long long>(place.offset));
        return false;
    }
    return Decompress(stored, block, blockBytes);
}

u32 CImageFileDeviceWithDecompress::Read(void* buffer, u64 firstSector, u64 count) {
    std::lock_guard<std::mutex> lk(m_lock);
    if (buffer == nullptr || m_totalSectors == 0 || firstSector > m_totalSectors || count > m_totalSectors) return 0;
    const u32 sectorSize = GetSectorSize();
    const u32 blockBytes = sectorSize * kImageBlockSectors;
    m_work.assign(blockBytes, 0);
    // The error of a read is the first fault it met; the faults after it often only follow.
    m_error.clear();
    std::string firstError;
    const u64 n = firstSector + count > m_totalSectors ? m_totalSectors - firstSector : count;
    u8* out = static_cast<u8*>(buffer);
    bool ok = true;
    for (u64 pos = firstSector, left = n; left > 0;) {
        const u64 offset = pos % kImageBlockSectors;
        const u64 chunk = std::min<u64>(kImageBlockSectors - offset, left);
        const u32 block = static_cast<u32>(pos / kImageBlockSectors);
        if (LoadBlock(block, blockBytes)) {
            std::memcpy(out, m_work.data() + offset * sectorSize, chunk * sectorSize);
        } else {
            std::memset(out, 0, chunk * sectorSize);
            if (ok) firstError = m_error;
            ok = false;
        }
        std::fill(m_work.begin(), m_work.end(), 0);
        out += chunk * sectorSize;
        pos += chunk;
        left -= chunk;
    }
    if (count > n) std::memset(out, 0, (count - n) * sectorSize);
    if (!ok) m_error = firstError;
    return ok ? 1 : 0;
}

bool CImageFileDeviceWithDecompress::CheckImageFiles() {
    if (!FileExists(m_indexPath)) return false;
    const std::string list = CImageFile::PartListPath(m_indexPath);
    const u32 parts = m_image ? static_cast<u32>(m_blocksPerPart.size()) : 0;
    std::vector<std::string> lines;
    if (list.empty() || parts == 0 || !CImageFile::ReadPartList(list, parts, lines) || lines.size() < parts) {
        return false;
    }
    for (const std::string& line : lines) {
        if (!FileExists(line)) return false;
    }
    return true;
}

void MakeImageVolumeRecord(CImageFileDeviceWithDecompress* image, u32 fsCode, const char* label, VolumeRecord& out) {
    out = VolumeRecord();
    out.source = kVolumeSourceImage;
    out.device = image;
    out.fsCode = fsCode;
    out.SetLabel(label);
    CopyUtf8Bounded(out.imagePath, sizeof out.imagePath, image->GetIndexPath().c_str());
}
