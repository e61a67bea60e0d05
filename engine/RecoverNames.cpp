#include "engine/RecoverNames.h"

#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace {
constexpr size_t kMaxKeptExtension = 32;
constexpr u8 kFirstPrintable = 0x20;
constexpr u8 kDelete = 0x7F;

// What no component may be: empty, "." or "..". Dots become '_' so that the name stays
// recognisable.
std::string SafeComponent(std::string name) {
    if (name.empty()) return "_";
    if (name == "." || name == "..") return std::string(name.size(), '_');
    return BoundNameComponent(name);
}

// Control characters (a newline, an escape) are legal in a Linux name but break every listing
// and log line that shows it, so no recovered name keeps one.
bool IsControl(char c) { return static_cast<u8>(c) < kFirstPrintable || static_cast<u8>(c) == kDelete; }

std::string Replace(const char* name, const char* from, char to) {
    std::string out = name != nullptr ? name : "";
    for (char& c : out) {
        if (IsControl(c) || std::strchr(from, c) != nullptr) c = to;
    }
    return SafeComponent(out);
}

// stem + suffix + extension within the component bound: the stem gives way first, then the
// extension.
std::string JoinBounded(const std::string& stem, const std::string& suffix, const std::string& extension) {
    const size_t fixed = suffix.size() + extension.size();
    if (stem.size() + fixed <= kMaxNameComponent) return stem + suffix + extension;
    if (fixed <= kMaxNameComponent) {
        return std::string(Utf8Prefix(stem, kMaxNameComponent - fixed)) + suffix + extension;
    }
    return std::string(Utf8Prefix(suffix + extension, kMaxNameComponent));
}
}  // namespace

std::string BoundNameComponent(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    const size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0 && name.size() - dot <= kMaxKeptExtension && name.size() - dot < limit) {
        const std::string extension = name.substr(dot);
        return std::string(Utf8Prefix(std::string_view(name).substr(0, dot), limit - extension.size())) + extension;
    }
    return std::string(Utf8Prefix(name, limit));
}

std::string CleanTopFolderName(const char* name) { return Replace(name, ":?\\/|*><\"", '#'); }

std::string CleanFileName(const char* name) { return Replace(name, "/", '_'); }

std::string CleanSubfolderName(const char* name) { return Replace(name, "/", '_'); }

std::string UniqueFileVariant(const std::string& name, u32 i) {
    const size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", i);
    return JoinBounded(stem, suffix, extension);
}

std::string UniqueFolderVariant(const std::string& name, u32 i) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%03u", i);
    return JoinBounded(name, suffix, std::string());
}
