#include "browser/preview/EmbeddedJpeg.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace FileSelCtrl {

namespace {
constexpr u8 kMarker = 0xFF;
constexpr u8 kStartOfImage = 0xD8;
constexpr u8 kEndOfImage = 0xD9;
// The written span runs 4 bytes past the start of the end marker.
constexpr u32 kEndTail = 4;
constexpr u32 kMinScanned = 8;
}  // namespace

bool MappedFile::Open(const std::string& path) {
    Close();
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0) return false;
    struct stat st {};
    if (::fstat(m_fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) {
        Close();
        return false;
    }
    // Only the scanned head is mapped: the rest of a large file is never touched.
    m_size = static_cast<u64>(st.st_size);
    const size_t mapped = static_cast<size_t>(std::min<u64>(m_size, kEmbeddedScanLimit));
    void* view = ::mmap(nullptr, mapped, PROT_READ, MAP_PRIVATE, m_fd, 0);
    if (view == MAP_FAILED) {
        Close();
        return false;
    }
    m_view = static_cast<const u8*>(view);
    return true;
}

void MappedFile::Close() {
    if (m_view) ::munmap(const_cast<u8*>(m_view), static_cast<size_t>(std::min<u64>(m_size, kEmbeddedScanLimit)));
    if (m_fd >= 0) ::close(m_fd);
    m_view = nullptr;
    m_fd = -1;
    m_size = 0;
}

EmbeddedSpan FindEmbeddedJpeg(const u8* data, u64 size) {
    EmbeddedSpan span;
    const u32 limit = static_cast<u32>(std::min<u64>(size, kEmbeddedScanLimit));
    if (!data || limit <= kMinScanned) return span;
    const u32 end = limit - 4;
    bool started = false;
    u32 start = 0;
    u32 stop = 0;
    for (u32 i = kEmbeddedScanStart; i < end; ++i) {
        if (data[i] != kMarker) continue;
        if (!started) {
            if (data[i + 1] == kStartOfImage && data[i + 2] == kMarker) {
                started = true;
                start = i;
                i += kEmbeddedSkipAfterStart;
            }
        } else if (data[i + 1] == kEndOfImage) {
            stop = i + kEndTail;
            break;
        }
    }
    // No end marker in the scanned head: nothing whole to show.
    if (!started || stop <= start) return span;
    const u32 length = stop - start;
    if (length >= kEmbeddedScanLimit || stop > limit) return span;
    span.start = start;
    span.length = length;
    return span;
}

bool WantsEmbeddedJpeg(const std::string& name, u64 size) {
    return size > kEmbeddedMinFileSize && name.find(".jpg") != std::string::npos;
}

bool ExtractEmbeddedJpeg(const std::string& path, const std::string& jpegPath) {
    MappedFile file;
    if (!file.Open(path)) return false;
    const EmbeddedSpan span = FindEmbeddedJpeg(file.Data(), file.Size());
    if (span.length == 0) return false;
    std::FILE* out = std::fopen(jpegPath.c_str(), "wb");
    if (!out) return false;
    const bool written = std::fwrite(file.Data() + span.start, 1, span.length, out) == span.length;
    const bool closed = std::fclose(out) == 0;
    file.Close();
    if (!written || !closed) {
        std::remove(jpegPath.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::copy_file(jpegPath, path, std::filesystem::copy_options::overwrite_existing, ec);
    // The picture now lives in path; its separate copy is not left behind.
    std::remove(jpegPath.c_str());
    return !ec;
}

}  // namespace FileSelCtrl
