#include "platform/ProgramDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>

namespace {
std::mutex g_dirLock;
std::string g_programDir;
bool g_programDirSet = false;

std::string WithSlash(std::string s) {
    if (s.empty() || s.back() != '/') s.push_back('/');
    return s;
}

std::string ExecutableDir() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
    if (n <= 0) return "./";
    std::string path(buf, static_cast<size_t>(n));
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}
}  // namespace

const std::string& GetProgramDir() {
    std::lock_guard<std::mutex> lk(g_dirLock);
    if (!g_programDirSet) {
        const char* env = std::getenv("MORVENDA_PROGRAM_DIR");
        g_programDir = (env && *env) ? WithSlash(env) : ExecutableDir();
        g_programDirSet = true;
    }
    return g_programDir;
}

void SetProgramDir(const std::string& dir) {
    std::lock_guard<std::mutex> lk(g_dirLock);
    g_programDir = WithSlash(dir);
    g_programDirSet = true;
}

bool MakeDirectories(const std::string& path, unsigned mode) {
    if (path.empty()) return false;
    std::string cur;
    size_t pos = 0;
    while (pos <= path.size()) {
        const size_t next = path.find('/', pos);
        cur = path.substr(0, next == std::string::npos ? path.size() : next);
        if (!cur.empty() && ::mkdir(cur.c_str(), mode_t(mode)) != 0 && errno != EEXIST) return false;
        if (next == std::string::npos) break;
        pos = next + 1;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
constexpr unsigned kSharedDirMode = 0755;
// What only the user may enter: the base folders as their standard asks, and our cache.
constexpr unsigned kPrivateDirMode = 0700;

// One XDG base folder: the variable when set to an absolute path, else the fallback under the
// home folder, with "Morvenda/" appended and made on demand; a private one is also narrowed to
// the user when it was made wider before.
std::string UserDir(const char* variable, const char* homeFallback, unsigned mode = kSharedDirMode) {
    std::string base;
    const char* xdg = std::getenv(variable);
    if (xdg && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home && *home ? home : "/tmp") + homeFallback;
    }
    std::string dir = WithSlash(base) + "Morvenda/";
    MakeDirectories(dir, mode);
    struct stat st {};
    const std::string named = dir.substr(0, dir.size() - 1);  // a trailing '/' would follow a link
    if (mode == kPrivateDirMode && ::lstat(named.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        (st.st_mode & 0777) != kPrivateDirMode) {
        ::chmod(named.c_str(), kPrivateDirMode);
    }
    return dir;
}
}  // namespace

std::string GetUserConfigDir() { return UserDir("XDG_CONFIG_HOME", "/.config"); }
std::string GetUserStateDir() { return UserDir("XDG_STATE_HOME", "/.local/state"); }
std::string GetUserCacheDir() { return UserDir("XDG_CACHE_HOME", "/.cache", kPrivateDirMode); }
