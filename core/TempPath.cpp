#include "core/TempPath.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "platform/ProgramDir.h"

namespace {
constexpr const char* kPrefix = "~@!";
constexpr const char* kTmpEnding = ".tmp";
constexpr const char* kSiblingEndings[] = {".doc", ".xls"};
// Unique numbers are 16-bit, as the system's temporary names have them; on a clash the next is
// tried, at most once each.
constexpr unsigned kUniqueRange = 0x10000;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void RemoveFile(const std::string& path) {
    ::chmod(path.c_str(), S_IRUSR | S_IWUSR);
    ::unlink(path.c_str());
}
}  // namespace

CTempPathNameSignle& CTempPathNameSignle::GetInstance() {
    static CTempPathNameSignle instance;
    return instance;
}

CTempPathNameSignle::~CTempPathNameSignle() { DeleteTempCopies(last_); }

std::string CTempPathNameSignle::GetTempName() {
    const std::string folder = GetUserCacheDir();
    static std::atomic<unsigned> next{static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ static_cast<unsigned>(::getpid()))};
    for (unsigned tries = 0; tries < kUniqueRange; ++tries) {
        unsigned unique = next.fetch_add(1) % kUniqueRange;
        if (unique == 0) unique = 1;
        char hex[8];
        std::snprintf(hex, sizeof(hex), "%X", unique);
        const std::string name = folder + kPrefix + hex + kTmpEnding;
        // Made new, so no other copy's name is handed out twice.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        ::close(fd);
        last_ = name;
        DeleteTempCopies(name);
        return name;
    }
    last_.clear();
    return std::string();
}

bool CTempPathNameSignle::Exists() const {
    if (last_.empty()) return false;
    struct stat st {};
    return ::stat(last_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

void DeleteTempCopies(const std::string& name) {
    if (name.empty()) return;
    RemoveFile(name);
    if (!EndsWith(name, kTmpEnding)) return;
    const std::string stem = name.substr(0, name.size() - std::char_traits<char>::length(kTmpEnding));
    for (const char* ending : kSiblingEndings) RemoveFile(stem + ending);
}
