#include "engine/RecycleBin.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "engine/DataRunReader.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/TextConvert.h"

namespace {
// How far up a node's parent chain a recycle-bin folder is looked for. The shell moves into the
// bin what it can name in a path of 260 characters, so nothing it holds lies deeper below the bin
// than that; descendants further down are held back through their parents anyway. A deeper
// walk, repeated for every folder of a damaged volume whose folders nest thousands of levels
// deep, made the scan's time grow with the square of the depth.
constexpr u32 kMaxAncestors = 260;
constexpr size_t kMaxUnits = kRecycleInfoReadSize / 2;

// Entries of a recycle-bin folder that wait for their companion. Every deleted entry of a bin
// begins with '#' and waits; an emptied bin of tens of thousands of entries, each compared with
// all those before it, made the scan's time grow with the square of the folder's size.
constexpr size_t kMaxPendingPairs = 1024;

// Whether `other` with its second character replaced by `letter` equals `name`, ignoring case
// (other has at least two characters).
bool EqualsWithSecondLetter(const char* other, char letter, const char* name) {
    auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    if (lower(other[0]) != lower(name[0]) || name[0] == '\0') return false;
    if (lower(letter) != lower(name[1]) || name[1] == '\0') return false;
    return strcasecmp(other + 2, name + 2) == 0;
}

const char* NameOf(CFileNode* node) {
    if (node == nullptr) return nullptr;
    IFileProperties* properties = node->GetFileProperties();
    return properties == nullptr ? nullptr : properties->GetName();
}
}  // namespace

bool IsRecycleBinFolder(CFileNode* node) {
    if (node == nullptr) return false;
    IFileProperties* properties = node->GetFileProperties();
    if (properties == nullptr || (properties->GetAttributes() & kAttrDirectory) == 0) return false;
    const char* name = properties->GetName();
    if (name == nullptr) return false;
    static const char* const kNames[] = {"Recycler", "Recycled", "$Recycle.Bin", "$RECYCLE.BI0"};
    for (const char* candidate : kNames) {
        if (strcasecmp(name, candidate) == 0) return true;
    }
    return false;
}

bool IsInRecycleBin(CFileNode* node) {
    for (u32 steps = 0; node != nullptr && steps < kMaxAncestors; ++steps) {
        if (IsRecycleBinFolder(node)) return true;
        node = node->GetParent();
    }
    return false;
}

bool IsRecycleBinInfoFile(CFileNode* node) {
    const char* name = NameOf(node);
    if (name == nullptr || name[0] == '\0' || name[1] == '\0') return false;
    return (name[0] == '$' || name[0] == '#') && name[1] == 'I';
}

CFileNode* FindRecycleBinPair(std::list<CFileNode*>& pending, CFileNode* node) {
    if (node == nullptr) return nullptr;
    if (pending.empty()) {
        pending.push_back(node);
        return nullptr;
    }
    const char* name = NameOf(node);
    if (name == nullptr) return nullptr;
    const char letter = IsRecycleBinInfoFile(node) ? 'I' : 'R';
    for (auto it = pending.begin(); it != pending.end(); ++it) {
        const char* other = NameOf(*it);
        if (other == nullptr || other[0] == '\0' || other[1] == '\0') continue;
        if (EqualsWithSecondLetter(other, letter, name)) {
            CFileNode* companion = *it;
            pending.erase(it);
            return companion;
        }
    }
    if (name[0] == '#' || name[0] == '$') {
        // The oldest waiting entry makes room: companions are written together, so one that
        // waited through a thousand other entries finds none any more.
        if (pending.size() >= kMaxPendingPairs) pending.pop_front();
        pending.push_back(node);
    }
    return nullptr;
}

std::string ExtractRecycledFileName(const u8* data, size_t size, bool moreData) {
    if (data == nullptr) return std::string();
    const size_t units = std::min(size / 2, kMaxUnits);
    auto unitAt = [data](size_t i) { return static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8)); };

    size_t lastSlash = units;
    for (size_t i = units; i > 0; --i) {
        if (unitAt(i - 1) == u'\\') {
            lastSlash = i - 1;
            break;
        }
    }
    if (lastSlash == units) return std::string();

    bool drivePath = false;
    for (size_t i = 0; i + 1 <= lastSlash && !drivePath; ++i)
        drivePath = unitAt(i) == u':' && unitAt(i + 1) == u'\\';
    if (!drivePath) return std::string();

    std::u16string name;
    size_t i = lastSlash + 1;
    for (; i < units && unitAt(i) != 0; ++i) name.push_back(unitAt(i));
    // A name that runs into the end of what was read while the file goes on is only a piece of
    // the real name (a long path of a version-2 file); the generated name is the better one then.
    if (i == units && (moreData || units < size / 2)) return std::string();
    return WideToAnsiString(name);
}

void RestoreRecycledFileName(IStorageDevice* device, CFileNode* dataFile, CFileNode* infoFile) {
    if (device == nullptr || dataFile == nullptr || infoFile == nullptr) return;
    IFileProperties* target = dataFile->GetFileProperties();
    IFileProperties* info = infoFile->GetFileProperties();
    if (target == nullptr || info == nullptr) return;

    CDataRunReader reader;
    if (!reader.OpenNode(device, infoFile)) return;
    std::vector<u8> buffer(kRecycleInfoReadSize, 0);
    u32 done = 0;
    if (!reader.Read(0, buffer.data(), kRecycleInfoReadSize, &done) || done == 0) return;

    const std::string name = ExtractRecycledFileName(buffer.data(), done, info->GetSize() > done);
    if (!name.empty()) target->SetName(name.c_str());
}
