#include "engine/FileRecovererCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "devices/FileSystemCode.h"
#include "devices/StorageDevice.h"
#include "devices/Win32File.h"
#include "engine/DataRunList.h"
#include "engine/DataRunReader.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemNode.h"
#include "engine/FileSystemPlugins.h"
#include "engine/HeldFile.h"
#include "engine/Lznt1.h"
#include "engine/RecoveryController.h"
#include "platform/Errors.h"
#include "platform/Log.h"
#include "platform/Mounts.h"
#include "platform/Time.h"

namespace {
constexpr u32 kCopyBlock = 65536;
constexpr u32 kResidentCapacity = 4096;
constexpr u32 kEfsMetadataCapacity = 65536;
constexpr u32 kUnitClusters = 16;  // an NTFS compression unit
constexpr u32 kMaxCompressedClusterBytes = 4096;
constexpr u32 kMaxCompressedSectorsPerCluster = 8;
constexpr u16 kAttrReadOnly = 0x01;

bool Cancelled(i32 answer) { return answer == kRecoverCancel; }

// The device sector of cluster `cluster` plus `offset` sectors; false when the sum leaves the
// 64-bit range (a damaged extent), in which case the caller writes zeros.
bool SectorOf(const RecoverReadContext& context, i64 cluster, u64 offset, u64& sector) {
    if (cluster < 0) return false;
    u64 s = 0;
    if (__builtin_mul_overflow(u64(cluster), u64(context.sectorsPerCluster), &s)) return false;
    if (__builtin_add_overflow(s, context.partitionStart, &s)) return false;
    if (__builtin_add_overflow(s, offset, &s)) return false;
    sector = s;
    return true;
}

// Byte ranges [begin, end) of a copy buffer that hold zeros in place of what could not be read,
// in order.
class UnreadSpans {
public:
    void Add(size_t begin, size_t end) {
        if (begin >= end) return;
        if (!m_spans.empty() && m_spans.back().second == begin) {
            m_spans.back().second = end;
            return;
        }
        m_spans.emplace_back(begin, end);
    }
    // The unread bytes of [begin, end).
    size_t Within(size_t begin, size_t end) const {
        size_t n = 0;
        for (const auto& [b, e] : m_spans) {
            if (e > begin && b < end) n += std::min(e, end) - std::max(b, begin);
        }
        return n;
    }
    bool Empty() const { return m_spans.empty(); }
    // Where the first unread byte lies; `bytes` when none does.
    size_t FirstUnread(size_t bytes) const { return m_spans.empty() ? bytes : std::min(bytes, m_spans.front().first); }

private:
    std::vector<std::pair<size_t, size_t>> m_spans;
};

// The cluster `offset` clusters into an extent that starts at `start`: sparse stays sparse, and
// an extent that is not on the volume (outside it, or a start no volume has) gives clusters that
// are not on it either, never a cluster counted from a negative start.
i64 ClusterInExtent(i64 start, u64 offset) {
    if (start == kSparseExtentStart) return kSparseExtentStart;
    if (start < 0) return kOutsideVolumeExtentStart;
    u64 cluster = 0;
    if (__builtin_add_overflow(u64(start), offset, &cluster) || cluster > u64(INT64_MAX)) return kOutsideVolumeExtentStart;
    return i64(cluster);
}

// Reads `sectors` sectors of the extent at cluster `start`, `sectorOffset` sectors in, into buffer
// (`bytes` long, zeroed first) and adds to unread the byte ranges of it that are not the file's
// content: none for a sparse extent, whose content is zeros; all of it for an extent that is not
// on the volume; the sectors past the device's end; and the sectors the device cannot give, one
// by one, so that every sector it does give is kept. A device that cannot tell its length is
// left to refuse the read itself.
void ReadExtentPart(const RecoverReadContext& context, i64 start, u64 sectorOffset, u64 sectors, u8* buffer,
                    size_t bytes, UnreadSpans& unread) {
    std::memset(buffer, 0, bytes);
    if (start == kSparseExtentStart) return;
    u64 sector = 0;
    if (!SectorOf(context, start, sectorOffset, sector)) {
        unread.Add(0, bytes);
        return;
    }
    const u64 total = context.device->GetTotalSectors();
    if (total != 0) sectors = sector >= total ? 0 : std::min(sectors, total - sector);
    const size_t sectorSize = context.device->GetSectorSize();
    SectorRanges missing;
    if (sectors != 0) ReadEverySector(*context.device, buffer, sector, sectors, missing);
    for (const SectorRange& m : missing) {
        unread.Add(size_t(m.first - sector) * sectorSize, size_t(m.first - sector + m.count) * sectorSize);
    }
    unread.Add(std::min(bytes, size_t(sectors) * sectorSize), bytes);
}

// The bytes of [offset, offset + n) of the file that lie before validLength: past it zeros are
// the content, read or not.
size_t ValidBytes(u64 offset, size_t n, u64 validLength) {
    return offset >= validLength ? 0 : size_t(std::min<u64>(n, validLength - offset));
}

// Counts n bytes written of which `unread` could not be read.
void Tally(RecoverReadContext& context, u64 n, u64 unread) {
    unread = std::min(unread, n);
    context.readBytes += n - unread;
    context.unreadBytes += unread;
}

// Zeros the part of [offset, offset + bytes) of the file that lies at or past validLength.
void ZeroPastValid(u8* buffer, u64 offset, size_t bytes, u64 validLength) {
    if (offset + bytes <= validLength) return;
    const size_t keep = offset >= validLength ? 0 : size_t(validLength - offset);
    std::memset(buffer + keep, 0, bytes - keep);
}

// One piece of a compression unit, in clusters.
struct CompressionPiece {
    i64 start = kSparseExtentStart;
    u32 length = 0;
};

constexpr u32 kUnitPlain = 0;
constexpr u32 kUnitCompressed = 1;
constexpr u32 kUnitZeros = 2;

class CompressedWriter {
public:
    CompressedWriter(RecoverReadContext& context, CWin32File& target, u64 size, u64 validLength)
        : m_context(context), m_target(target), m_size(size), m_remaining(size), m_valid(validLength) {
        m_sectorSize = context.device->GetSectorSize();
        m_clusterBytes = m_sectorSize * context.sectorsPerCluster;
        m_unitBytes = m_clusterBytes * kUnitClusters;
        m_in.assign(kCopyBlock, 0);
        m_out.assign(kCopyBlock, 0);
    }
    u64 Remaining() const { return m_remaining; }

    u32 WriteUnit(const std::vector<CompressionPiece>& pieces, u32 type) {
        // Nothing past the initialized size is read: it is zeros whatever the clusters hold.
        if (m_size - m_remaining >= m_valid) type = kUnitZeros;
        if (type == kUnitCompressed) return WriteCompressed(pieces);
        for (const CompressionPiece& piece : pieces) {
            if (m_remaining == 0) break;
            const size_t bytes = size_t(piece.length) * m_clusterBytes;
            UnreadSpans unread;
            if (type == kUnitZeros) {
                std::memset(m_in.data(), 0, bytes);
            } else {
                ReadExtentPart(m_context, piece.start, 0, u64(piece.length) * m_context.sectorsPerCluster, m_in.data(),
                               bytes, unread);
            }
            const u32 r = Emit(m_in.data(), bytes, unread);
            if (r != kRecoverOk) return r;
        }
        return kRecoverOk;
    }

private:
    // The unit's allocated pieces hold its compressed chunks; they expand to the whole unit, and
    // whatever the chunks do not cover is zeros. Chunks are found only one after the other, so
    // what follows a hole in them is unread, and so is what follows a damaged chunk (a failing
    // disk's copy gives unreadable sectors as zeros, which the decoder sees): its bytes cannot
    // be told from another file's. A unit stored in fewer clusters than it holds is always
    // compressed: its bytes are never the file's as they lie.
    u32 WriteCompressed(const std::vector<CompressionPiece>& pieces) {
        size_t gathered = 0;
        UnreadSpans holes;  // of the gathered bytes
        for (const CompressionPiece& piece : pieces) {
            if (piece.start == kSparseExtentStart) continue;
            const size_t bytes = size_t(piece.length) * m_clusterBytes;
            if (bytes > m_in.size() - gathered) break;
            UnreadSpans unread;
            ReadExtentPart(m_context, piece.start, 0, u64(piece.length) * m_context.sectorsPerCluster,
                           m_in.data() + gathered, bytes, unread);
            const size_t hole = unread.FirstUnread(bytes);
            if (hole < bytes) holes.Add(gathered + hole, gathered + bytes);
            gathered += bytes;
        }
        const size_t readable = holes.FirstUnread(gathered);
        std::memset(m_out.data(), 0, m_unitBytes);
        UnreadSpans unread;
        if (gathered > 0) {
            const u64 offset = m_size - m_remaining;
            const size_t needed = ValidBytes(offset, size_t(std::min<u64>(m_unitBytes, m_remaining)), m_valid);
            const bool decoded = DecompressLznt1Buffer(m_in.data(), readable, m_out.data(), m_unitBytes, needed,
                                                       m_sectorSize, m_decoded);
            const size_t kept = decoded && readable == gathered ? m_unitBytes : m_decoded.good;
            std::memset(m_out.data() + kept, 0, m_unitBytes - kept);
            for (const auto& [begin, end] : m_decoded.zeroedStored) unread.Add(begin, std::min(end, kept));
            unread.Add(kept, m_unitBytes);
            const size_t damagedBytes = unread.Within(0, needed);
            if (damagedBytes != 0) {
                LogInfo("Damaged compression unit at %" PRIu64 " bytes before the end: %zu of its %zu bytes decoded, "
                        "%zu of the file's bytes in it unread",
                        m_remaining, kept, m_unitBytes, damagedBytes);
            }
        }
        return Emit(m_out.data(), m_unitBytes, unread);
    }

    u32 Emit(u8* data, size_t bytes, const UnreadSpans& unread) {
        const u32 n = u32(std::min<u64>(bytes, m_remaining));
        if (n == 0) return kRecoverOk;
        const u64 offset = m_size - m_remaining;
        ZeroPastValid(data, offset, n, m_valid);
        if (!m_target.Write(data, n)) return kRecoverFailed;
        m_remaining -= n;
        Tally(m_context, n, unread.Within(0, ValidBytes(offset, n, m_valid)));
        if (m_context.callback != nullptr && Cancelled(m_context.callback->OnBytesDone(n))) return kRecoverCancelled;
        return kRecoverOk;
    }

    RecoverReadContext& m_context;
    CWin32File& m_target;
    u64 m_size;
    u64 m_remaining;
    u64 m_valid;
    u32 m_sectorSize = 0;
    u32 m_clusterBytes = 0;
    size_t m_unitBytes = 0;
    std::vector<u8> m_in;
    std::vector<u8> m_out;
    Lznt1UnitResult m_decoded;
};

void PutUtf16Tag(u8* out, const char* tag) {
    for (size_t i = 0; tag[i] != 0; ++i) WriteLE16(out + 2 * i, u16(u8(tag[i])));
}

// A file beside the target in the same folder.
std::string SiblingName(const RecoverTarget& target, const std::string& leaf) {
    const size_t slash = target.name.rfind('/');
    return slash == std::string::npos ? leaf : target.name.substr(0, slash + 1) + leaf;
}

void SetTimes(IFileProperties* properties, const RecoverTarget& target) {
    const u32 valid = properties->GetValidFields();
    struct timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    times[0].tv_sec = times[1].tv_sec = 0;
    FILETIME64 t = 0;
    // A time of 0 is an unknown one: it is left alone rather than set to 1601.
    if ((valid & kValidAccessTime) != 0) {
        properties->GetAccessTime(t);
        if (t != 0) {
            i64 seconds = 0;
            u32 nanoseconds = 0;
            FileTimeToUnix(t, seconds, nanoseconds);
            times[0].tv_sec = time_t(seconds);
            times[0].tv_nsec = long(nanoseconds);
        }
    }
    if ((valid & kValidModificationTime) != 0) {
        properties->GetModificationTime(t);
        if (t != 0) {
            i64 seconds = 0;
            u32 nanoseconds = 0;
            FileTimeToUnix(t, seconds, nanoseconds);
            times[1].tv_sec = time_t(seconds);
            times[1].tv_nsec = long(nanoseconds);
        }
    }
    if (::futimens(target.file.Get(), times) != 0) LogInfo("Failed to set file time");
}

// A recovered file is never hidden; read-only clears the write bits. Hidden and system have no
// equivalent here.
void SetAttributes(u16 attributes, const RecoverTarget& target) {
    if ((attributes & kAttrReadOnly) == 0) return;
    struct stat st;
    if (::fstat(target.file.Get(), &st) == 0) ::fchmod(target.file.Get(), st.st_mode & ~mode_t(0222) & 07777);
}
}  // namespace

void OwnedFd::Reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

RecoverTarget RecoverTarget::AtPath(const std::string& path) {
    RecoverTarget target;
    target.folder = AT_FDCWD;
    target.name = path;
    target.path = path;
    return target;
}

int RecoverTarget::Create(int inFolder, const std::string& newName, const std::string& fullPath, u32 mode) {
    int error = 0;
    OwnedFd made = CreateNewFileAt(inFolder, newName, error, mode);
    if (!made.IsOpen()) return error;
    folder = inFolder;
    name = newName;
    path = fullPath;
    file = std::move(made);
    return 0;
}

bool NamesOpenFile(int folder, const std::string& name, int fd) {
    struct stat named {};
    struct stat own {};
    return ::fstat(fd, &own) == 0 && ::fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           named.st_dev == own.st_dev && named.st_ino == own.st_ino;
}

bool RecoverTarget::Remove() const {
    // Without a handle there is nothing of the writer's own to tell the name by.
    if (file.IsOpen() && !NamesOpenFile(folder, name, file.Get())) return false;
    return ::unlinkat(folder, name.c_str(), 0) == 0;
}

OwnedFd CreateNewFileAt(int folder, const std::string& name, int& error, u32 mode) {
    OwnedFd fd(::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_t(mode)));
    error = fd.IsOpen() ? 0 : errno;
    return fd;
}

OwnedFd MakeRecoveryFolder(const std::string& parentPath, const std::string& name, bool mayExist, int& error) {
    const OwnedFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.IsOpen() || (::mkdirat(parent.Get(), name.c_str(), 0777) != 0 && !(mayExist && errno == EEXIST))) {
        error = errno;
        return OwnedFd();
    }
    OwnedFd made(::openat(parent.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    error = made.IsOpen() ? 0 : errno;
    return made;
}

bool RemoveFolderIfEmpty(int parent, const std::string& name, int folder) {
    return NamesOpenFile(parent, name, folder) && ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0;
}

bool RemoveRecoveryFolderIfEmpty(const std::string& parentPath, const std::string& name, int folder) {
    const OwnedFd parent(::open(parentPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return parent.IsOpen() && RemoveFolderIfEmpty(parent.Get(), name, folder);
}

IStorageDevice* RecoverySourceDevice(IStorageDevice* device, CFileNode* node) {
    if (device == nullptr || node == nullptr) return device;
    if (IsExtCode(node->GetFileSystemType())) return device->Get512ByteSectorDevice();
    return device;
}

u32 CopyRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 length, u64 validLength) {
    const u32 sectorSize = context.device->GetSectorSize();
    if (sectorSize == 0 || sectorSize > kCopyBlock) return kRecoverFailed;
    const u64 stepSectors = kCopyBlock / sectorSize;
    std::vector<u8> buffer(kCopyBlock);
    u64 remaining = length;
    for (DataRunExtent* extent = runs.GetFirstExtent(); extent != nullptr && remaining > 0; extent = runs.GetNextExtent()) {
        u64 sectors = 0;
        if (__builtin_mul_overflow(extent->length, u64(context.sectorsPerCluster), &sectors)) sectors = ~u64(0);
        for (u64 done = 0; done < sectors && remaining > 0;) {
            const u64 step = std::min(stepSectors, sectors - done);
            const size_t bytes = size_t(step * sectorSize);
            const u64 offset = length - remaining;
            UnreadSpans unread;
            if (offset >= validLength) {
                std::memset(buffer.data(), 0, bytes);
            } else {
                ReadExtentPart(context, extent->start, done, step, buffer.data(), bytes, unread);
                ZeroPastValid(buffer.data(), offset, bytes, validLength);
            }
            const u32 n = u32(std::min<u64>(bytes, remaining));
            if (!target.Write(buffer.data(), n)) return kRecoverFailed;
            Tally(context, n, unread.Within(0, ValidBytes(offset, n, validLength)));
            if (context.callback != nullptr && Cancelled(context.callback->OnBytesDone(n))) return kRecoverCancelled;
            remaining -= n;
            done += step;
        }
    }
    // Extents that end early leave the file short: what they do not reach is unknown.
    Tally(context, remaining, remaining);
    return kRecoverOk;
}

u32 CopyCompressedRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 size,
                       u64 validLength) {
    CompressedWriter writer(context, target, size, validLength);
    std::vector<CompressionPiece> unit;
    u32 left = kUnitClusters;  // clusters still missing from the current unit
    for (DataRunExtent* extent = runs.GetFirstExtent(); extent != nullptr && writer.Remaining() > 0;
         extent = runs.GetNextExtent()) {
        if (context.callback != nullptr && Cancelled(context.callback->IsCancelled())) return kRecoverCancelled;
        const bool sparse = extent->start == kSparseExtentStart;
        u64 length = extent->length;
        u64 offset = 0;
        while (length >= left && writer.Remaining() > 0) {
            const CompressionPiece closing{ClusterInExtent(extent->start, offset), left};
            // A unit that ends in a sparse piece holds compressed data, unless the sparse piece
            // is the whole unit.
            u32 type = kUnitPlain;
            if (sparse) type = left == kUnitClusters ? kUnitZeros : kUnitCompressed;
            unit.push_back(closing);
            const u32 r = writer.WriteUnit(unit, type);
            if (r != kRecoverOk) return r;
            unit.clear();
            length -= left;
            offset += left;
            left = kUnitClusters;
        }
        if (length > 0 && writer.Remaining() > 0) {
            unit.push_back({ClusterInExtent(extent->start, offset), u32(length)});
            left -= u32(length);
        }
    }
    // A last unit the runs do not close is stored as it is.
    if (!unit.empty() && writer.Remaining() > 0) {
        const u32 r = writer.WriteUnit(unit, kUnitPlain);
        if (r != kRecoverOk) return r;
    }
    Tally(context, writer.Remaining(), writer.Remaining());
    return kRecoverOk;
}

void BuildEfsFileHeader(u8* out, u32 metadataBytes) {
    std::memset(out, 0, kEfsFileHeaderSize);
    WriteLE32(out + 0, 0x00000100);
    PutUtf16Tag(out + 4, "ROBS");
    WriteLE32(out + 20, 0x1E);
    PutUtf16Tag(out + 24, "NTFS");
    WriteLE32(out + 44, 2);
    WriteLE16(out + 48, 0x1910);
    WriteLE32(out + 50, metadataBytes + 16);
    PutUtf16Tag(out + 54, "GURE");
}

void BuildEfsStreamHeader(u8* out) {
    std::memset(out, 0, kEfsStreamHeaderSize);
    WriteLE32(out + 0, kEfsStreamHeaderSize);
    PutUtf16Tag(out + 4, "NTFS");
    WriteLE32(out + 24, 14);
    PutUtf16Tag(out + 28, "::$DATA");
}

void BuildEfsBlockHeader(u8* out, u32 dataBytes, u16 number, u32 fileBytes) {
    std::memset(out, 0, kEfsBlockHeaderSize);
    WriteLE32(out + 0, dataBytes + kEfsBlockHeaderSize);
    PutUtf16Tag(out + 4, "GURE");
    WriteLE16(out + 18, number);
    WriteLE32(out + 24, 0x1F0);
    WriteLE32(out + 28, fileBytes);
    WriteLE32(out + 32, fileBytes);
    WriteLE32(out + 36, 0x10100000);
    WriteLE32(out + 40, 0x0001010B);
    WriteLE32(out + 44, dataBytes);
}

u32 RestoreEfsFile(RecoverReadContext& context, RecoverTarget& target, u64 size) {
    CWin32File written;
    // The written file is read through its own handle; a target given by path only is opened,
    // never through a link.
    const bool opened = target.file.IsOpen()
                            ? written.Adopt(::dup(target.file.Get())) && written.Seek(0)
                            : written.Adopt(::openat(target.folder, target.name.c_str(),
                                                     O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!opened) {
        LogInfo("Failed to open file %s", target.path.c_str());
        return kRecoverFailed;
    }
    // The temporary stream lies beside the target and never replaces a file that exists.
    // The stream takes the written file's place: it is no more open to others than that file.
    struct stat writtenStat {};
    const u32 mode = target.file.IsOpen() && ::fstat(target.file.Get(), &writtenStat) == 0
                         ? u32(writtenStat.st_mode & 0777)
                         : kPrivateFileMode;
    RecoverTarget stream;
    DebugTrace("Creating temporary file: %s", (target.path + ".EFS").c_str());
    if (stream.Create(target.folder, target.name + ".EFS", target.path + ".EFS", mode) != 0) {
        const std::string fallback = SiblingName(target, "$~EFS~#1.$EFS");
        if (stream.Create(target.folder, fallback, fallback, mode) != 0) {
            LogInfo("Failed to create efs file.");
            return kRecoverFailed;
        }
    }
    CWin32File streamFile;
    if (!streamFile.Adopt(::dup(stream.file.Get()))) {
        stream.Remove();
        LogInfo("Failed to create efs file.");
        return kRecoverFailed;
    }
    const std::string& streamName = stream.name;

    bool ok = true;
    bool cancelled = false;
    std::vector<u8> buffer(kEfsBlockHeaderSize + kEfsBlockDataSize);
    u8* header = buffer.data();
    u8* data = buffer.data() + kEfsBlockHeaderSize;
    // The file header and the metadata exactly as the writer put them down.
    if (written.Read(header, kEfsFileHeaderSize) != kEfsFileHeaderSize) ok = false;
    const u32 metadata = ok ? ReadLE32(header + 50) : 0;
    if (ok && (metadata < 16 || metadata - 16 > kEfsMetadataCapacity)) ok = false;
    if (ok) ok = streamFile.Write(header, kEfsFileHeaderSize);
    if (ok && metadata > 16) {
        ok = written.Read(data, metadata - 16) == metadata - 16 && streamFile.Write(data, metadata - 16);
    }
    if (ok) {
        BuildEfsStreamHeader(header);
        ok = streamFile.Write(header, kEfsStreamHeaderSize);
    }
    u64 covered = 0;
    for (u32 number = 0; ok; ++number) {
        const u32 n = written.Read(data, kEfsBlockDataSize);
        if (n == 0) break;
        const u32 fileBytes = u32(std::min<u64>(n, size - std::min(size, covered)));
        BuildEfsBlockHeader(header, n, u16(number), fileBytes);
        ok = streamFile.Write(buffer.data(), kEfsBlockHeaderSize + n);
        covered += fileBytes;
        if (ok && context.callback != nullptr && Cancelled(context.callback->IsCancelled())) {
            cancelled = true;
            break;
        }
    }
    written.Close();
    streamFile.Close();
    // Linux has no raw encrypted-file import: the stream is what it would take, and it takes the
    // written file's place in one step, so a failure leaves that file as it was.
    if (ok && !cancelled) {
        if (::renameat(target.folder, streamName.c_str(), target.folder, target.name.c_str()) == 0) {
            target.file = std::move(stream.file);
            return kRecoverOk;
        }
        LogInfo("Failed to import %s, Error code:%d", target.path.c_str(), int(Win32FromErrno(errno)));
        ok = false;
    }
    DebugTrace("Deleting temporary file: %s", streamName.c_str());
    if (!stream.Remove()) {
        LogInfo("Failed to delete temporary file : %s, Error code:%d", streamName.c_str(), int(Win32FromErrno(errno)));
    }
    return cancelled ? kRecoverCancelled : kRecoverFailed;
}

namespace {
// The size rounded up to whole sectors, as an encrypted stream holds it; all ones past 2^64.
u64 WholeSectorBytes(u64 size, u32 sectorSize) {
    return sectorSize == 0 ? size : SaturatingAdd(size, (sectorSize - size % sectorSize) % sectorSize);
}

// What CopyRuns writes of `length` bytes: no more than the extents reach.
u64 BytesReached(IDataRunList& runs, u64 length, u32 sectorSize, u32 sectorsPerCluster) {
    u64 clusterBytes = 0;
    if (__builtin_mul_overflow(u64(sectorsPerCluster), u64(sectorSize), &clusterBytes)) return length;
    u64 reached = 0;
    for (DataRunExtent* extent = runs.GetFirstExtent(); extent != nullptr && reached < length;
         extent = runs.GetNextExtent()) {
        u64 bytes = 0;
        if (__builtin_mul_overflow(extent->length, clusterBytes, &bytes)) return length;
        reached = bytes >= length - reached ? length : reached + bytes;
    }
    return reached;
}

// The bytes the writer puts down for a file of these properties and runs: the size, in whole
// sectors for an encrypted stream, but for a file copied by its extents no more than they reach,
// however large the size its bytes give (one found by signature and cut at the device's end).
// Nothing for a non-empty file without runs, which fails.
u64 BytesToWrite(const IFileProperties& properties, IDataRunList* runs, u32 sectorSize, u32 sectorsPerCluster,
                 bool wholeSectors) {
    const u16 attributes = properties.GetAttributes();
    const bool compressed = (attributes & kAttrCompressed) != 0;
    const bool encrypted = (attributes & kAttrEfsEncrypted) != 0;
    const u64 size = properties.GetSize();
    if (runs == nullptr) return 0;
    u64 length = size;
    if (wholeSectors) length = WholeSectorBytes(size, sectorSize);
    const bool copiedByExtents = !runs->IsResident() && !compressed && !encrypted;
    return copiedByExtents ? BytesReached(*runs, length, sectorSize, sectorsPerCluster) : length;
}

// The partition the node lies in, into the context: from the current scan mode when it knows
// the node, else from the node's tree. A held file carries the place the scan gave it when it
// was taken: the scan may have moved on or gone since.
bool PlaceNode(RecoverReadContext& context, CFileNode* node) {
    u64 start = 0;
    u32 sectorsPerCluster = 0;
    const bool placed = CHeldFile::IsHeldNode(node)
                            ? node->GetPartitionGeometry(start, sectorsPerCluster)
                            : FoundFileSource(GetCurrentRecoveryController(), node, start, sectorsPerCluster);
    if (!placed) return false;
    context.partitionStart = start;
    context.sectorsPerCluster = sectorsPerCluster;
    return sectorsPerCluster != 0;
}

// The file's data into the open target: the EFS file header first for an encrypted file whose
// metadata can be read (efsHeaderWritten), then the data through its extents. length receives
// the bytes of data written (whole sectors for an encrypted stream). 0, 1 or 2.
u32 WriteContent(RecoverReadContext& context, CFileNode* node, const IFileProperties& properties, CWin32File& target,
                 const RecoverTarget& where, u64& length, bool& efsHeaderWritten) {
    const u32 sectorSize = context.device->GetSectorSize();
    const u16 attributes = properties.GetAttributes();
    const bool compressed = (attributes & kAttrCompressed) != 0;
    const bool encrypted = (attributes & kAttrEfsEncrypted) != 0;
    const u64 size = properties.GetSize();
    length = size;

    std::vector<u8> metadata;
    u64 metadataSize = 0;
    if (encrypted) {
        metadata.resize(kEfsMetadataCapacity);
        u64 metadataUnread = 0;
        if (ReadLoggedUtilityStream(node, context.device, metadataSize, metadata.data(), kEfsMetadataCapacity,
                                    metadataUnread) &&
            metadataSize <= kEfsMetadataCapacity) {
            efsHeaderWritten = true;
            // Zeros in the key stream spoil the whole file's decryption: the file is incomplete.
            Tally(context, metadataUnread, metadataUnread);
            // The encrypted stream holds whole sectors.
            length = WholeSectorBytes(size, sectorSize);
        }
    }
    std::unique_ptr<IDataRunList> runs;
    {
        const std::lock_guard<std::mutex> placing(FilePlacementLock());
        runs = CHeldFile::RunsOf(node);
    }
    // Refused before a byte is written: a damaged size would otherwise fill the target. A folder
    // whose room cannot be read is left to fail at its first refused write.
    const u64 needed = BytesToWrite(properties, runs.get(), sectorSize, context.sectorsPerCluster, efsHeaderWritten);
    const std::optional<u64> freeBytes = FolderFreeBytesAt(where.folder);
    if (needed != 0 && freeBytes && needed >= *freeBytes) {
        LogInfo("NoSpaceAvailiable: %s needs %" PRIu64 " bytes, %" PRIu64 " free", where.path.c_str(), needed,
                *freeBytes);
        context.noSpace = true;
        return kRecoverFailed;
    }
    if (efsHeaderWritten) {
        u8 header[kEfsFileHeaderSize];
        BuildEfsFileHeader(header, u32(metadataSize));
        if (!target.Write(header, kEfsFileHeaderSize) || !target.Write(metadata.data(), u32(metadataSize))) {
            return kRecoverFailed;
        }
    }
    // Ciphertext is copied whole: zeroing part of it would only spoil the decryption.
    const u64 valid = encrypted ? length : std::min(properties.GetInitializedSize(), size);

    if (!runs) return size == 0 ? kRecoverOk : kRecoverFailed;
    if (runs->IsResident()) {
        std::vector<u8> value(kResidentCapacity);
        u64 valueSize = 0;
        if (!ReadResidentData(node, context.device, valueSize, value.data(), kResidentCapacity) ||
            valueSize > kResidentCapacity) {
            return kRecoverFailed;
        }
        ZeroPastValid(value.data(), 0, size_t(valueSize), valid);
        if (!target.Write(value.data(), u32(valueSize))) return kRecoverFailed;
        Tally(context, valueSize, 0);
        if (valueSize < size) Tally(context, size - valueSize, size - valueSize);
        if (context.callback != nullptr) context.callback->OnBytesDone(valueSize);
        return kRecoverOk;
    }
    if (compressed) {
        if (context.sectorsPerCluster > kMaxCompressedSectorsPerCluster) return kRecoverFailed;
        return CopyCompressedRuns(context, target, *runs, size, valid);
    }
    return CopyRuns(context, target, *runs, length, valid);
}
}  // namespace

std::mutex& FilePlacementLock() {
    static std::mutex lock;
    return lock;
}

bool FoundFileSource(IRecoveryController* controller, CFileNode* node, u64& startSector, u32& sectorsPerCluster) {
    if (node == nullptr) return false;
    if (controller != nullptr && controller->GetFileSource(node, startSector, sectorsPerCluster) == 1) return true;
    return node->GetPartitionGeometry(startSector, sectorsPerCluster);
}

u64 RecoveryBytes(CFileNode* node, IStorageDevice* device) {
    IFileProperties* properties = node != nullptr ? node->GetFileProperties() : nullptr;
    if (properties == nullptr || device == nullptr || (properties->GetAttributes() & kAttrDirectory) != 0) return 0;
    RecoverReadContext context;
    std::unique_ptr<IDataRunList> runs;
    {
        const std::lock_guard<std::mutex> placing(FilePlacementLock());
        if (!PlaceNode(context, node)) return 0;
        runs = CHeldFile::RunsOf(node);
    }
    const bool encrypted = (properties->GetAttributes() & kAttrEfsEncrypted) != 0;
    return BytesToWrite(*properties, runs.get(), device->GetSectorSize(), context.sectorsPerCluster, encrypted);
}

u64 CheckedRecoveryBytes(CFileNode* folder, IStorageDevice* device) {
    if (folder == nullptr || folder->GetCheckState() == kUnchecked) return 0;
    device = RecoverySourceDevice(device, folder);
    u64 total = 0;
    // Depth first without recursion, entering what the folder walk enters.
    std::vector<CFileNode*> pending{folder->GetFirstChild()};
    while (!pending.empty()) {
        CFileNode* node = pending.back();
        if (node == nullptr) {
            pending.pop_back();
            continue;
        }
        pending.back() = node->GetNextSibling();
        const IFileProperties* properties = node->GetFileProperties();
        if (properties == nullptr || node->GetCheckState() == kUnchecked) continue;
        if ((properties->GetAttributes() & kAttrDirectory) != 0) {
            pending.push_back(node->GetFirstChild());
        } else {
            total = SaturatingAdd(total, RecoveryBytes(node, device));
        }
    }
    return total;
}

u32 RecoverOneFile(RecoverReadContext& context, CFileNode* node, RecoverTarget& target) {
    context.readBytes = 0;
    context.unreadBytes = 0;
    context.noSpace = false;
    context.complete = false;
    if (node == nullptr || context.device == nullptr) return kRecoverFailed;
    bool placed = false;
    {
        const std::lock_guard<std::mutex> placing(FilePlacementLock());
        placed = PlaceNode(context, node);
    }
    if (!placed) {
        ReleaseTrace("Failed to get file system info.");
        return kRecoverFailed;
    }

    IFileProperties* properties = node->GetFileProperties();
    if (properties == nullptr) return kRecoverFailed;
    const u16 attributes = properties->GetAttributes();
    if ((attributes & kAttrDirectory) != 0) {
        LogInfo("It is a directory.Not valid!");
        return kRecoverFailed;
    }
    const std::string name = CHeldFile::NameOf(node);
    if (context.callback != nullptr && Cancelled(context.callback->OnFileName(name.c_str()))) return kRecoverCancelled;

    const u32 sectorSize = context.device->GetSectorSize();
    if (sectorSize == 0) return kRecoverFailed;
    const bool compressed = (attributes & kAttrCompressed) != 0;
    if (compressed && u64(sectorSize) * context.sectorsPerCluster > kMaxCompressedClusterBytes) return kRecoverFailed;

    // The data goes through the handle the target was created with; the name is never opened
    // again, so nothing put in its place meanwhile receives it.
    CWin32File file;
    if (!target.file.IsOpen() || !file.Adopt(::dup(target.file.Get()))) return kRecoverFailed;
    const u64 size = properties->GetSize();
    u64 length = size;
    bool efsHeaderWritten = false;
    u32 result = WriteContent(context, node, *properties, file, target, length, efsHeaderWritten);
    file.Close();
    if (result == kRecoverOk && efsHeaderWritten) result = RestoreEfsFile(context, target, size);
    // A file of which nothing could be read holds nothing of its own.
    if (result == kRecoverOk && context.unreadBytes != 0 && context.readBytes == 0) {
        LogInfo("No data could be read for %s", target.path.c_str());
        result = kRecoverFailed;
    }
    // No empty or half-written file stays beside the recovered ones.
    if (result != kRecoverOk) {
        target.Remove();
        return result;
    }

    SetAttributes(attributes, target);
    SetTimes(properties, target);

    if (context.callback != nullptr) context.callback->OnStep(u32(length - size));
    if (context.unreadBytes != 0) {
        LogInfo("Incomplete file, %" PRIu64 " of %" PRIu64 " bytes could not be read: %s", context.unreadBytes, length,
                target.path.c_str());
        return kRecoverIncomplete;
    }
    if ((properties->GetState() & kStateContentUnconfirmed) != 0) {
        LogInfo("Incomplete file, its data lies where the scan guessed it and nothing on the disk confirmed it: %s",
                target.path.c_str());
        return kRecoverIncomplete;
    }
    if ((properties->GetState() & kStateClustersTaken) != 0) {
        LogInfo("Incomplete file, clusters of its data belong to another file now: %s", target.path.c_str());
        return kRecoverIncomplete;
    }
    context.complete = true;
    if (context.callback != nullptr && Cancelled(context.callback->OnFilesDone(1))) return kRecoverCancelled;
    return kRecoverOk;
}
