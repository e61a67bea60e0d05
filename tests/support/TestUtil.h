#pragma once
// Helpers shared by the tests: fixture paths, manifests and temporary folders.
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace testutil {
// Path of an unpacked fixture in the build tree, e.g. FixturePath("ntfs-basic.img"). A fixture
// that is not there throws MissingFixture, which GoogleTest reports as the test's failure with the
// file's name, before any test code can trip over an empty image or manifest.
std::string FixturePath(const std::string& name);

struct MissingFixture : std::runtime_error {
    explicit MissingFixture(const std::string& what) : std::runtime_error(what) {}
};
bool FileExists(const std::string& path);
std::vector<u8> ReadFileBytes(const std::string& path);
// The whole file as text; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
bool WriteFileBytes(const std::string& path, const std::vector<u8>& data);
std::string Sha256Hex(const void* data, size_t size);
std::string Sha256File(const std::string& path);
// For folders deeper than one path can name: a file or folder below `root` by its path relative
// to it, opened through each folder's handle (-1 when missing; the caller closes it), and every
// regular file below `root` by relative path, read the same way.
int OpenBelow(const std::string& root, const std::string& relative);
std::map<std::string, std::vector<u8>> ReadFilesBelow(const std::string& root);

// A fresh folder under the build tree, or under `base`, removed with its contents when the
// object goes.
class TempDir {
public:
    TempDir();
    explicit TempDir(const std::string& base);
    ~TempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Where a test's runtime folder (XDG_RUNTIME_DIR) goes: a short path, as /run/user/<uid> is, for
// the path of the program's socket in it must fit in 108 bytes wherever the suite is built.
inline constexpr const char* kRuntimeTempBase = "/tmp";

// Points an environment variable elsewhere while it lives (a test's own configuration folder:
// tests run side by side, and one test's settings in a shared folder reach another).
class EnvOverride {
public:
    EnvOverride(const char* name, const std::string& value);
    ~EnvOverride();
    EnvOverride(const EnvOverride&) = delete;
    EnvOverride& operator=(const EnvOverride&) = delete;

private:
    const char* name_;
    std::string old_;
    bool had_ = false;
};

// A writable copy of a fixture image in a temporary folder (for tests that damage an image).
std::string CopyFixture(const TempDir& dir, const std::string& name);
}  // namespace testutil
