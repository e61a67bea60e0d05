#include "TestUtil.h"

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

namespace testutil {

EnvOverride::EnvOverride(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (old) old_ = old;
    ::setenv(name, value.c_str(), 1);
}

EnvOverride::~EnvOverride() {
    if (had_) ::setenv(name_, old_.c_str(), 1);
    else ::unsetenv(name_);
}


std::string FixturePath(const std::string& name) {
    const std::string path = std::string(MORVENDA_FIXTURES_DIR) + "/" + name;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw MissingFixture("fixture \"" + name + "\" is missing: no file " + path + " (the build unpacks it from " +
                             MORVENDA_FIXTURES_SRC + "/" + name + (name.ends_with(".img") ? ".gz" : "") + ")");
    }
    return path;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::vector<u8> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    const std::streamsize size = in.tellg();
    if (size <= 0) return {};
    std::vector<u8> data(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), size);
    data.resize(static_cast<size_t>(in.gcount()));
    return data;
}

std::string ReadFileText(const std::string& path) {
    const std::vector<u8> bytes = ReadFileBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

bool WriteFileBytes(const std::string& path, const std::vector<u8>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

namespace {
// Every regular file below the open folder `folder` (closed here), by path after `prefix`.
void ReadFilesAt(int folder, const std::string& prefix, std::map<std::string, std::vector<u8>>& out) {
    DIR* dir = folder >= 0 ? ::fdopendir(folder) : nullptr;
    if (dir == nullptr) {
        if (folder >= 0) ::close(folder);
        return;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const int fd = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ReadFilesAt(fd, prefix + name + "/", out);
            continue;
        }
        std::vector<u8>* bytes = fd >= 0 && S_ISREG(st.st_mode) ? &out[prefix + name] : nullptr;
        u8 buffer[4096];
        for (ssize_t n; bytes && (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
            bytes->insert(bytes->end(), buffer, buffer + n);
        }
        if (fd >= 0) ::close(fd);
    }
    ::closedir(dir);
}
}  // namespace

int OpenBelow(const std::string& root, const std::string& relative) {
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (size_t at = 0; fd >= 0 && at < relative.size();) {
        const size_t slash = std::min(relative.find('/', at), relative.size());
        const int next = ::openat(fd, relative.substr(at, slash - at).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        ::close(fd);
        fd = next;
        at = slash + 1;
    }
    return fd;
}

std::map<std::string, std::vector<u8>> ReadFilesBelow(const std::string& root) {
    std::map<std::string, std::vector<u8>> out;
    ReadFilesAt(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), "", out);
    return out;
}

TempDir::TempDir() : TempDir(std::string(MORVENDA_BINARY_DIR) + "/test-tmp") {}

TempDir::TempDir(const std::string& base) {
    std::filesystem::create_directories(base);
    std::string tmpl = base + "/t-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string CopyFixture(const TempDir& dir, const std::string& name) {
    const std::string dst = dir.File(name);
    std::filesystem::copy_file(FixturePath(name), dst, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(dst, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return dst;
}
}  // namespace testutil
