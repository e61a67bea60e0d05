#include "FatTestSupport.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "TestUtil.h"
#include "engine/DataRunList.h"
#include "engine/FileNode.h"
#include "engine/FileProperties.h"
#include "engine/FileSystemNode.h"

namespace fattest {

ImageDevice::ImageDevice(const std::string& path, u32 sectorSize) : m_sectorSize(sectorSize) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd >= 0) {
        const off_t end = ::lseek(m_fd, 0, SEEK_END);
        m_total = end > 0 ? u64(end) / sectorSize : 0;
    }
}

ImageDevice::~ImageDevice() {
    if (m_fd >= 0) ::close(m_fd);
}

u32 ImageDevice::Read(void* buffer, u64 first, u64 count) {
    ++reads;
    if (m_fd < 0 || first >= m_total || count > m_total - first) return 0;
    const u64 bytes = count * m_sectorSize;
    u64 done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(m_fd, static_cast<u8*>(buffer) + done, bytes - done, off_t(first * m_sectorSize + done));
        if (n <= 0) return 0;
        done += u64(n);
    }
    return 1;
}

u32 MemoryDevice::Read(void* buffer, u64 first, u64 count) {
    ++reads;
    const u64 total = GetTotalSectors();
    if (first >= total || count > total - first) return 0;
    if (first + count > failFrom) return 0;
    std::memcpy(buffer, data.data() + first * m_sectorSize, count * m_sectorSize);
    return 1;
}

// ---- JSON ----
namespace {
const Json kNull;

struct Parser {
    const std::string& s;
    size_t p = 0;

    void Space() {
        while (p < s.size() && std::strchr(" \t\r\n", s[p]) != nullptr) ++p;
    }
    static void Utf8(std::string& out, u32 c) {
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    bool Hex(u32& v) {
        if (p + 4 > s.size()) return false;
        v = u32(std::strtoul(s.substr(p, 4).c_str(), nullptr, 16));
        p += 4;
        return true;
    }
    bool Str(std::string& out) {
        if (s[p] != '"') return false;
        ++p;
        while (p < s.size() && s[p] != '"') {
            if (s[p] != '\\') {
                out += s[p++];
                continue;
            }
            ++p;
            const char e = s[p++];
            switch (e) {
                case 'n': out += '\n'; break;
                case 't': out += '\t'; break;
                case 'r': out += '\r'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'u': {
                    u32 c = 0;
                    if (!Hex(c)) return false;
                    if (c >= 0xD800 && c < 0xDC00 && p + 6 <= s.size() && s[p] == '\\' && s[p + 1] == 'u') {
                        p += 2;
                        u32 lo = 0;
                        if (!Hex(lo)) return false;
                        c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                    }
                    Utf8(out, c);
                    break;
                }
                default: out += e; break;
            }
        }
        ++p;
        return true;
    }
    bool Value(Json& v) {
        Space();
        if (p >= s.size()) return false;
        const char c = s[p];
        if (c == '{') {
            v.kind = Json::Object;
            ++p;
            Space();
            if (s[p] == '}') return ++p, true;
            for (;;) {
                Space();
                std::string key;
                if (!Str(key)) return false;
                Space();
                if (s[p++] != ':') return false;
                if (!Value(v.members[key])) return false;
                Space();
                if (s[p] == ',') {
                    ++p;
                    continue;
                }
                return s[p++] == '}';
            }
        }
        if (c == '[') {
            v.kind = Json::Array;
            ++p;
            Space();
            if (s[p] == ']') return ++p, true;
            for (;;) {
                v.items.emplace_back();
                if (!Value(v.items.back())) return false;
                Space();
                if (s[p] == ',') {
                    ++p;
                    continue;
                }
                return s[p++] == ']';
            }
        }
        if (c == '"') {
            v.kind = Json::String;
            return Str(v.text);
        }
        if (s.compare(p, 4, "true") == 0) return v.kind = Json::Bool, v.boolean = true, p += 4, true;
        if (s.compare(p, 5, "false") == 0) return v.kind = Json::Bool, p += 5, true;
        if (s.compare(p, 4, "null") == 0) return p += 4, true;
        char* end = nullptr;
        v.kind = Json::Number;
        v.number = std::strtod(s.c_str() + p, &end);
        if (end == s.c_str() + p) return false;
        p = size_t(end - s.c_str());
        return true;
    }
};
}  // namespace

const Json& Json::operator[](const std::string& key) const {
    auto it = members.find(key);
    return it == members.end() ? kNull : it->second;
}

bool ParseJson(const std::string& text, Json& out) {
    Parser parser{text};
    return parser.Value(out);
}

Json LoadFixtureJson(const std::string& name) {
    const std::vector<u8> bytes = testutil::ReadFileBytes(std::string(MORVENDA_FIXTURES_DIR) + "/" + name);
    Json root;
    if (!ParseJson(std::string(bytes.begin(), bytes.end()), root)) return Json();
    return root;
}

std::vector<ExpectedFile> LoadDeletedFiles(const std::string& image, int partition) {
    const Json manifest = LoadFixtureJson(image + ".json");
    const Json reach = LoadFixtureJson(image + ".reach.json");
    std::vector<ExpectedFile> out;
    for (const Json& r : reach["files"].items) {
        if (int(r["partition"].number) != partition) continue;
        ExpectedFile e;
        e.partition = partition;
        e.path = r["path"].text;
        e.sha256 = r["sha256"].text;
        e.reachable = r["reachable"].boolean;
        e.nameOnDisk = r["name_on_disk"].text;
        for (const Json& m : manifest["files"].items) {
            if (int(m["partition"].number) != partition || m["path"].text != e.path) continue;
            e.intact = m["intact"].boolean;
            e.live = m["state"].text == "live";
            e.size = u64(m["size"].number);
            e.mtime = m["mtime"].text;
        }
        out.push_back(e);
    }
    return out;
}

std::string ScanName(const std::string& nameOnDisk) {
    if (nameOnDisk.compare(0, 2, "\xC3\xA5") == 0) return "#" + nameOnDisk.substr(2);
    return nameOnDisk;
}

std::string IsoTime(u64 fileTime) {
    const i64 seconds = i64(fileTime / 10000000) - 11644473600LL;
    const time_t t = time_t(seconds);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

// ---- builder ----
RecordingBuilder::~RecordingBuilder() {
    for (CFileNode* node : nodes) DestroyTreeNode(node);
    DestroyTreeNode(root);
}

u32 RecordingBuilder::AddFileSystemTree(CFileSystemNode* r) {
    ++rootsOffered;
    if (refuseRoot) return 0;
    DestroyTreeNode(root);
    root = r;
    return 1;
}

u32 RecordingBuilder::AddFoundFileNode(CFileNode* node, u32 treeKind, u32* error) {
    if (error != nullptr) *error = 0;
    nodes.push_back(node);
    treeKinds.push_back(treeKind);
    return 1;
}

std::string RecordingBuilder::PathOf(const CFileNode* node) const {
    std::string path;
    for (int steps = 0; node != nullptr && steps < 64; ++steps) {
        const IFileProperties* p = node->GetFileProperties();
        path = "/" + std::string(p && p->GetName() ? p->GetName() : "?") + path;
        const u64 parent = node->GetParentId();
        if (parent == 0) return path;
        const CFileNode* up = nullptr;
        for (const CFileNode* n : nodes) {
            const IFileProperties* np = n->GetFileProperties();
            if (n->GetId() == parent && np && (np->GetAttributes() & kAttrDirectory)) {
                up = n;
                if ((np->GetState() & 1) == 0) break;  // a live folder of that cluster wins
            }
        }
        node = up;
    }
    return "?" + path;
}

const CFileNode* RecordingBuilder::FindByPath(const std::string& path) const {
    for (const CFileNode* n : nodes) {
        if (PathOf(n) == path) return n;
    }
    return nullptr;
}

i32 CountingProgress::OnProgress(const ProgressInfo* record) {
    if (record == nullptr || record->Total == 0) return -1;
    reported.push_back(record->Done);
    return i32(Continued());
}

u32 CountingProgress::Continued() {
    ++continuedCalls;
    return continuedCalls >= stopAfter ? 0 : 1;
}

bool ReadThroughRuns(IStorageDevice& device, const CFileSystemNode& root, const CFileNode& node, std::vector<u8>& out) {
    u64 start = 0;
    u32 spc = 0;
    if (!root.GetPartitionGeometry(start, spc)) return false;
    const IFileProperties* p = node.GetFileProperties();
    if (p == nullptr) return false;
    std::unique_ptr<IDataRunList> runs(p->CreateDataRunList());
    if (!runs) return false;
    const u32 sectorSize = device.GetSectorSize();
    const u64 size = p->GetSize();
    out.clear();
    for (DataRunExtent* e = runs->GetFirstExtent(); e != nullptr && out.size() < size; e = runs->GetNextExtent()) {
        if (e->start < 0) return false;
        std::vector<u8> chunk(e->length * spc * sectorSize);
        if (!device.Read(chunk.data(), start + u64(e->start) * spc, e->length * spc)) return false;
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    if (out.size() < size) return false;
    out.resize(size);
    return true;
}

}  // namespace fattest
