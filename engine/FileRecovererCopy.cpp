#include "engine/FileRecovererCopy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <memory>
#include <vector>

#include "devices/StorageDevice.h"
#include "devices/Win32File.h"
#include "engine/DataRunList.h"
#include "engine/DataRunReader.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileRecoverCallback.h"
#include "engine/FileRecoverer.h"
#include "engine/FileSystemPlugins.h"
#include "engine/Lznt1.h"
#include "engine/RecoveryController.h"
#include "platform/Errors.h"
#include "platform/Log.h"
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

// Reads `sectors` sectors of the extent at cluster `start` into buffer; a sparse extent, a
// sector outside the device or a failed read leaves zeros.
void ReadOrZero(const RecoverReadContext& context, i64 start, u64 sectorOffset, u64 sectors, u8* buffer, size_t bytes) {
    std::memset(buffer, 0, bytes);
    u64 sector = 0;
    if (start == kSparseExtentStart || !SectorOf(context, start, sectorOffset, sector)) return;
    if (context.device->Read(buffer, sector, sectors) == 0) std::memset(buffer, 0, bytes);
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
    CompressedWriter(RecoverReadContext& context, CWin32File& target, u64 size)
        : m_context(context), m_target(target), m_remaining(size) {
        m_sectorSize = context.device->GetSectorSize();
        m_clusterBytes = m_sectorSize * context.sectorsPerCluster;
        m_unitBytes = m_clusterBytes * kUnitClusters;
        m_in.assign(kCopyBlock, 0);
        m_out.assign(kCopyBlock, 0);
    }
    u64 Remaining() const { return m_remaining; }

    u32 WriteUnit(const std::vector<CompressionPiece>& pieces, u32 type) {
        if (type == kUnitCompressed) return WriteCompressed(pieces);
        for (const CompressionPiece& piece : pieces) {
            if (m_remaining == 0) break;
            const size_t bytes = size_t(piece.length) * m_clusterBytes;
            if (type == kUnitZeros) {
                std::memset(m_in.data(), 0, bytes);
            } else {
                ReadOrZero(m_context, piece.start, 0, u64(piece.length) * m_context.sectorsPerCluster, m_in.data(), bytes);
            }
            const u32 r = Emit(m_in.data(), bytes);
            if (r != kRecoverOk) return r;
        }
        return kRecoverOk;
    }

private:
    // The unit's allocated pieces hold its compressed chunks; they expand to the whole unit, and
    // whatever the chunks do not cover is zeros.
    u32 WriteCompressed(const std::vector<CompressionPiece>& pieces) {
        size_t gathered = 0;
        for (const CompressionPiece& piece : pieces) {
            if (piece.start == kSparseExtentStart) continue;
            const size_t bytes = size_t(piece.length) * m_clusterBytes;
            if (bytes > m_in.size() - gathered) break;
            ReadOrZero(m_context, piece.start, 0, u64(piece.length) * m_context.sectorsPerCluster,
                       m_in.data() + gathered, bytes);
            gathered += bytes;
        }
        std::memset(m_out.data(), 0, m_unitBytes);
        if (gathered >= 2 && ReadLE16(m_in.data()) == 0) {
            // Data that does not begin with a chunk header is taken as it is.
            std::memcpy(m_out.data(), m_in.data(), std::min<size_t>(gathered, m_unitBytes));
        } else if (gathered > 0) {
            size_t produced = 0;
            if (!DecompressLznt1Buffer(m_in.data(), gathered, m_out.data(), m_unitBytes, &produced)) {
                LogInfo("Damaged compression unit at %" PRIu64 " bytes before the end", m_remaining);
                return kRecoverFailed;
            }
        }
        return Emit(m_out.data(), m_unitBytes);
    }

    u32 Emit(const u8* data, size_t bytes) {
        const u32 n = u32(std::min<u64>(bytes, m_remaining));
        if (n == 0) return kRecoverOk;
        if (!m_target.Write(data, n)) return kRecoverFailed;
        m_remaining -= n;
        if (m_context.callback != nullptr && Cancelled(m_context.callback->OnBytesDone(n))) return kRecoverCancelled;
        return kRecoverOk;
    }

    RecoverReadContext& m_context;
    CWin32File& m_target;
    u64 m_remaining;
    u32 m_sectorSize = 0;
    u32 m_clusterBytes = 0;
    size_t m_unitBytes = 0;
    std::vector<u8> m_in;
    std::vector<u8> m_out;
};

void PutUtf16Tag(u8* out, const char* tag) {
    for (size_t i = 0; tag[i] != 0; ++i) WriteLE16(out + 2 * i, u16(u8(tag[i])));
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Copies the stream into a file made anew at path: Linux has no raw encrypted-file import, so
// the stream the import would take is kept unchanged.
bool ImportRawStream(RecoverReadContext& context, CWin32File& stream, const std::string& path) {
    if (CreateNewFile(path) != 0) return false;
    CWin32File target;
    if (!target.Open(path.c_str(), CWin32File::kModeReadWrite)) return false;
    stream.SeekToBegin();
    std::vector<u8> buffer(kEfsBlockDataSize);
    for (;;) {
        // The import asks once per request; a cancel is not honoured halfway through it.
        if (context.callback != nullptr) context.callback->IsCancelled();
        const u32 n = stream.Read(buffer.data(), u32(buffer.size()));
        if (n == 0) break;
        if (!target.Write(buffer.data(), n)) return false;
    }
    return true;
}

void SetTimes(IFileProperties* properties, const std::string& path) {
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
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) LogInfo("Failed to set file time");
}

// A recovered file is never hidden; read-only clears the write bits. Hidden and system have no
// equivalent here.
void SetAttributes(u16 attributes, const std::string& path) {
    if ((attributes & kAttrReadOnly) == 0) return;
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) ::chmod(path.c_str(), st.st_mode & ~mode_t(0222) & 07777);
}
}  // namespace

int CreateNewFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
}

u32 CopyRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 length) {
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
            ReadOrZero(context, extent->start, done, step, buffer.data(), bytes);
            const u32 n = u32(std::min<u64>(bytes, remaining));
            if (!target.Write(buffer.data(), n)) return kRecoverFailed;
            if (context.callback != nullptr && Cancelled(context.callback->OnBytesDone(n))) return kRecoverCancelled;
            remaining -= n;
            done += step;
        }
    }
    // Runs that end early leave the file short.
    return kRecoverOk;
}

u32 CopyCompressedRuns(RecoverReadContext& context, CWin32File& target, IDataRunList& runs, u64 size) {
    CompressedWriter writer(context, target, size);
    std::vector<CompressionPiece> unit;
    u32 left = kUnitClusters;  // clusters still missing from the current unit
    for (DataRunExtent* extent = runs.GetFirstExtent(); extent != nullptr && writer.Remaining() > 0;
         extent = runs.GetNextExtent()) {
        if (context.callback != nullptr && Cancelled(context.callback->IsCancelled())) return kRecoverFailed;
        const bool sparse = extent->start == kSparseExtentStart;
        u64 length = extent->length;
        u64 offset = 0;
        while (length >= left && writer.Remaining() > 0) {
            const CompressionPiece closing{sparse ? kSparseExtentStart : i64(u64(extent->start) + offset), left};
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
            unit.push_back({sparse ? kSparseExtentStart : i64(u64(extent->start) + offset), u32(length)});
            left -= u32(length);
        }
    }
    // A last unit the runs do not close is stored as it is.
    if (!unit.empty() && writer.Remaining() > 0) return writer.WriteUnit(unit, kUnitPlain);
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

u32 RestoreEfsFile(RecoverReadContext& context, const std::string& path, u64 size) {
    CWin32File written;
    if (!written.Open(path.c_str(), CWin32File::kModeRead)) {
        LogInfo("Failed to open file %s", path.c_str());
        return kRecoverFailed;
    }
    // The temporary stream lies beside the target and never replaces a file that exists.
    std::string streamPath = path + ".EFS";
    DebugTrace("Creating temporary file: %s", streamPath.c_str());
    if (CreateNewFile(streamPath) != 0) {
        streamPath = FolderOf(path) + "/$~EFS~#1.$EFS";
        if (CreateNewFile(streamPath) != 0) {
            LogInfo("Failed to create efs file.");
            return kRecoverFailed;
        }
    }
    CWin32File stream;
    if (!stream.Open(streamPath.c_str(), CWin32File::kModeReadWrite)) {
        ::unlink(streamPath.c_str());
        LogInfo("Failed to create efs file.");
        return kRecoverFailed;
    }

    bool ok = true;
    bool cancelled = false;
    std::vector<u8> buffer(kEfsBlockHeaderSize + kEfsBlockDataSize);
    u8* header = buffer.data();
    u8* data = buffer.data() + kEfsBlockHeaderSize;
    // The file header and the metadata exactly as the writer put them down.
    if (written.Read(header, kEfsFileHeaderSize) != kEfsFileHeaderSize) ok = false;
    const u32 metadata = ok ? ReadLE32(header + 50) : 0;
    if (ok && (metadata < 16 || metadata - 16 > kEfsMetadataCapacity)) ok = false;
    if (ok) ok = stream.Write(header, kEfsFileHeaderSize);
    if (ok && metadata > 16) {
        ok = written.Read(data, metadata - 16) == metadata - 16 && stream.Write(data, metadata - 16);
    }
    if (ok) {
        BuildEfsStreamHeader(header);
        ok = stream.Write(header, kEfsStreamHeaderSize);
    }
    u64 covered = 0;
    for (u32 number = 0; ok; ++number) {
        const u32 n = written.Read(data, kEfsBlockDataSize);
        if (n == 0) break;
        const u32 fileBytes = u32(std::min<u64>(n, size - std::min(size, covered)));
        BuildEfsBlockHeader(header, n, u16(number), fileBytes);
        ok = stream.Write(buffer.data(), kEfsBlockHeaderSize + n);
        covered += fileBytes;
        if (ok && context.callback != nullptr && Cancelled(context.callback->IsCancelled())) {
            cancelled = true;
            break;
        }
    }
    written.Close();
    ::unlink(path.c_str());
    if (ok && !cancelled) ok = ImportRawStream(context, stream, path);

    stream.Close();
    DebugTrace("Deleting temporary file: %s", streamPath.c_str());
    if (::unlink(streamPath.c_str()) != 0) {
        LogInfo("Failed to delete temporary file : %s, Error code:%d", streamPath.c_str(), int(Win32FromErrno(errno)));
    }
    if (cancelled) return kRecoverCancelled;
    return ok ? kRecoverOk : kRecoverFailed;
}

u32 RecoverOneFile(RecoverReadContext& context, CFileNode* node, const std::string& path) {
    if (node == nullptr || context.device == nullptr) return kRecoverFailed;

    u64 start = 0;
    u32 sectorsPerCluster = 0;
    IRecoveryController* controller = GetCurrentRecoveryController();
    if (controller != nullptr && controller->GetFileSource(node, start, sectorsPerCluster) == 1) {
        context.partitionStart = start;
        context.sectorsPerCluster = sectorsPerCluster;
    } else if (node->GetPartitionGeometry(start, sectorsPerCluster)) {
        context.partitionStart = start;
        context.sectorsPerCluster = sectorsPerCluster;
    } else {
        ReleaseTrace("Failed to get file system info.");
        return kRecoverFailed;
    }
    if (context.sectorsPerCluster == 0) {
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
    const char* name = properties->GetName() != nullptr ? properties->GetName() : "";
    if (context.callback != nullptr && Cancelled(context.callback->OnFileName(name))) return kRecoverCancelled;

    const u32 sectorSize = context.device->GetSectorSize();
    if (sectorSize == 0) return kRecoverFailed;
    const bool compressed = (attributes & kAttrCompressed) != 0;
    if (compressed && u64(sectorSize) * context.sectorsPerCluster > kMaxCompressedClusterBytes) return kRecoverFailed;
    const bool encrypted = (attributes & kAttrEfsEncrypted) != 0;

    CWin32File target;
    if (!target.Open(path.c_str(), CWin32File::kModeCreateAlways)) {
        ::unlink(path.c_str());
        if (!target.Open(path.c_str(), CWin32File::kModeCreateAlways)) return kRecoverFailed;
    }

    const u64 size = properties->GetSize();
    u64 length = size;
    bool efsHeaderWritten = false;
    if (encrypted) {
        std::vector<u8> metadata(kEfsMetadataCapacity);
        u64 metadataSize = 0;
        if (ReadLoggedUtilityStream(node, context.device, metadataSize, metadata.data(), kEfsMetadataCapacity) &&
            metadataSize <= kEfsMetadataCapacity) {
            u8 header[kEfsFileHeaderSize];
            BuildEfsFileHeader(header, u32(metadataSize));
            if (!target.Write(header, kEfsFileHeaderSize) || !target.Write(metadata.data(), u32(metadataSize))) {
                return kRecoverFailed;
            }
            efsHeaderWritten = true;
            // The encrypted stream holds whole sectors.
            length = size + (sectorSize - size % sectorSize) % sectorSize;
        }
    }

    u32 result = kRecoverOk;
    std::unique_ptr<IDataRunList> runs(properties->CreateDataRunList());
    if (!runs) {
        if (size != 0) return kRecoverFailed;
    } else if (runs->IsResident()) {
        std::vector<u8> value(kResidentCapacity);
        u64 valueSize = 0;
        if (!ReadResidentData(node, context.device, valueSize, value.data(), kResidentCapacity) ||
            valueSize > kResidentCapacity) {
            return kRecoverFailed;
        }
        if (!target.Write(value.data(), u32(valueSize))) return kRecoverFailed;
        if (context.callback != nullptr) context.callback->OnBytesDone(valueSize);
    } else if (compressed) {
        if (context.sectorsPerCluster > kMaxCompressedSectorsPerCluster) return kRecoverFailed;
        result = CopyCompressedRuns(context, target, *runs, size);
    } else {
        result = CopyRuns(context, target, *runs, length);
    }
    runs.reset();
    target.Close();
    if (result != kRecoverOk) return result;

    if (efsHeaderWritten) {
        result = RestoreEfsFile(context, path, size);
        if (result != kRecoverOk) return result;
    }

    SetAttributes(attributes, path);
    SetTimes(properties, path);

    if (context.callback != nullptr) {
        context.callback->OnStep(u32(length - size));
        if (Cancelled(context.callback->OnFilesDone(1))) return kRecoverCancelled;
    }
    return kRecoverOk;
}
