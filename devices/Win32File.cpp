#include "devices/Win32File.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kMaxPathChars = 4096;

// Only a regular file or a block device holds bytes that stay put between reads.
bool IsDataFile(const struct stat& st) { return S_ISREG(st.st_mode) || S_ISBLK(st.st_mode); }

int OpenFlags(u32 mode) {
    switch (mode) {
    case CWin32File::kModeRead: return O_RDONLY;
    case CWin32File::kModeWrite: return O_WRONLY;
    case CWin32File::kModeReadWrite: return O_RDWR;
    case CWin32File::kModeCreateAlways: return O_RDWR | O_CREAT | O_TRUNC;
    case CWin32File::kModeOpenAlways: return O_RDWR | O_CREAT;
    default: return -1;
    }
}

}  // namespace

CWin32File::CWin32File() = default;

CWin32File::CWin32File(const char* path, u32 mode) { Open(path, mode); }

CWin32File::~CWin32File() { Close(); }

bool CWin32File::Open(const char* path, u32 mode) { return OpenAt(AT_FDCWD, path, mode); }

bool CWin32File::OpenAt(int folder, const char* path, u32 mode) {
    Close();
    const int flags = OpenFlags(mode);
    if (flags < 0 || path == nullptr) return false;
    // The path is used as given (UTF-8); one longer than the wide-path limit cannot be opened.
    if (strnlen(path, kMaxPathChars + 1) > kMaxPathChars) return false;
    // Paths may come from a saved result or a part list: what stands there is looked at before it
    // is opened, and opened without blocking, so that a FIFO or a device that waits for a peer can
    // neither hang the caller nor be read as data.
    struct stat st {};
    if (::fstatat(folder, path, &st, 0) == 0 && !IsDataFile(st)) return false;
    int fd;
    do {
        fd = ::openat(folder, path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    // Something else may have taken the path's place since it was looked at.
    const int status = ::fcntl(fd, F_GETFL);
    if (::fstat(fd, &st) != 0 || !IsDataFile(st) || status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

bool CWin32File::Adopt(int fd) {
    Close();
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !IsDataFile(st)) {
        ::close(fd);
        return false;
    }
    m_handle = fd;
    return true;
}

void CWin32File::Close() {
    if (m_handle != -1) {
        ::close(m_handle);
        m_handle = -1;
    }
}

bool CWin32File::Seek(u64 offset) {
    if (!IsFileHandleValid() || offset > u64(INT64_MAX)) return false;
    return lseek(m_handle, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(-1);
}

bool CWin32File::QueryPosition(u64* out) {
    if (!IsFileHandleValid() || out == nullptr) return false;
    const off_t pos = lseek(m_handle, 0, SEEK_CUR);
    if (pos < 0) return false;
    *out = static_cast<u64>(pos);
    return true;
}

u64 CWin32File::GetPosition() {
    u64 pos = 0;
    return QueryPosition(&pos) ? pos : ~u64(0);
}

void CWin32File::SeekToBegin() {
    if (IsFileHandleValid()) lseek(m_handle, 0, SEEK_SET);
}

void CWin32File::SeekToEnd() {
    if (IsFileHandleValid()) lseek(m_handle, 0, SEEK_END);
}

bool CWin32File::GetSize(u64* out) {
    if (!IsFileHandleValid() || out == nullptr) return false;
    struct stat st {};
    if (fstat(m_handle, &st) != 0) return false;
    *out = static_cast<u64>(st.st_size);
    return true;
}

bool CWin32File::Write(const void* buffer, u32 n) {
    if (!IsFileHandleValid() || (buffer == nullptr && n != 0)) return false;
    const u8* p = static_cast<const u8*>(buffer);
    u32 left = n;
    while (left > 0) {
        const ssize_t done = ::write(m_handle, p, left);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (done == 0) return false;
        p += done;
        left -= static_cast<u32>(done);
    }
    return true;
}

u32 CWin32File::Read(void* buffer, u32 n) {
    if (!IsFileHandleValid() || buffer == nullptr) return 0;
    u8* p = static_cast<u8*>(buffer);
    u32 got = 0;
    // A file read delivers what it can up to n bytes; only the end of the file stops it short.
    while (got < n) {
        const ssize_t done = ::read(m_handle, p + got, n - got);
        if (done < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (done == 0) break;
        got += static_cast<u32>(done);
    }
    return got;
}

bool CWin32File::Flush() {
    if (!IsFileHandleValid()) return false;
    return fsync(m_handle) == 0 || errno == EINVAL;
}

bool CWin32File::WriteLine(const char* bytes, u32 n) {
    if (n == 0) return true;
    if (!Write(bytes, n)) return false;
    if (n >= 2 && bytes[n - 2] == '\r' && bytes[n - 1] == '\n') return true;
    return Write("\r\n", 2);
}

u32 CWin32File::ReadLine(char* buffer, u32 n) {
    if (n == 0 || buffer == nullptr) return 0;
    u32 stored = 0;
    while (stored < n) {
        char c = 0;
        if (Read(&c, 1) != 1) break;
        buffer[stored++] = c;
        if (c == '\n') break;
    }
    if (stored == 0) return 0;
    buffer[stored] = '\0';
    return stored;
}
