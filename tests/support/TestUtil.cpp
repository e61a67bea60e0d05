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

namespace {
// GoogleTest skips every test of a suite whose SetUpTestSuite failed (a missing fixture there, for
// one), and a skip passes the test command. Each such test fails instead, with the set-up's message.
class SuiteSetUpFailures : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        const ::testing::TestSuite* suite = ::testing::UnitTest::GetInstance()->current_test_suite();
        if (!suite || !suite->ad_hoc_test_result().Failed()) return;
        const ::testing::TestResult& setUp = suite->ad_hoc_test_result();
        for (int i = 0; i < setUp.total_part_count(); ++i) {
            const ::testing::TestPartResult& part = setUp.GetTestPartResult(i);
            if (part.failed()) ADD_FAILURE() << "the suite's set-up failed: " << part.message();
        }
    }
};

[[maybe_unused]] const bool g_suiteSetUpFailuresFail = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new SuiteSetUpFailures);
    return true;
}();
}  // namespace

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
// A small SHA-256, enough to compare recovered files with the manifests.
struct Sha256 {
    u32 h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    u8 buf[64];
    size_t bufLen = 0;
    u64 total = 0;
    static u32 Rotr(u32 x, int n) { return (x >> n) | (x << (32 - n)); }
    void Block(const u8* p) {
        static const u32 k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        u32 w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = (u32(p[4 * i]) << 24) | (u32(p[4 * i + 1]) << 16) | (u32(p[4 * i + 2]) << 8) | p[4 * i + 3];
        for (int i = 16; i < 64; ++i) {
            const u32 s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            const u32 s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        u32 a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], hh = h[7];
        for (int i = 0; i < 64; ++i) {
            const u32 t1 = hh + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + k[i] + w[i];
            const u32 t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            hh = g; g = f; f = e; e = d + t1; d = c; c = b; b = a; a = t1 + t2;
        }
        h[0] += a; h[1] += b; h[2] += c; h[3] += d; h[4] += e; h[5] += f; h[6] += g; h[7] += hh;
    }
    void Update(const u8* p, size_t n) {
        total += n;
        while (n > 0) {
            const size_t take = std::min(n, 64 - bufLen);
            std::copy(p, p + take, buf + bufLen);
            bufLen += take;
            p += take;
            n -= take;
            if (bufLen == 64) {
                Block(buf);
                bufLen = 0;
            }
        }
    }
    std::string Final() {
        const u64 bits = total * 8;
        const u8 pad = 0x80;
        Update(&pad, 1);
        const u8 zero = 0;
        while (bufLen != 56) Update(&zero, 1);
        u8 len[8];
        for (int i = 0; i < 8; ++i) len[i] = static_cast<u8>(bits >> (56 - 8 * i));
        Update(len, 8);
        char out[65];
        for (int i = 0; i < 8; ++i) std::snprintf(out + 8 * i, 9, "%08x", h[i]);
        return std::string(out, 64);
    }
};
}  // namespace

std::string Sha256Hex(const void* data, size_t size) {
    Sha256 s;
    s.Update(static_cast<const u8*>(data), size);
    return s.Final();
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

std::string Sha256File(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    Sha256 s;
    std::vector<char> buf(1 << 20);
    while (in) {
        in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
        s.Update(reinterpret_cast<const u8*>(buf.data()), static_cast<size_t>(in.gcount()));
    }
    return s.Final();
}

TempDir::TempDir() {
    std::string base = std::string(MORVENDA_BINARY_DIR) + "/test-tmp";
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
