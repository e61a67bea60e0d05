#include "Manifest.h"

#include <cstdio>
#include <ctime>

#include "Json.h"

namespace testutil {

std::vector<ManifestPartition> LoadPartitions(const std::string& name) {
    std::vector<ManifestPartition> out;
    const Json root = LoadFixtureJson(name);
    for (const Json& p : root["partitions"].items) {
        ManifestPartition m;
        m.index = int(p["index"].number);
        m.fs = p["fs"].text;
        m.label = p["label"].text;
        m.startSector = u64(p["start_sector"].number);
        m.sectors = u64(p["sectors"].number);
        out.push_back(m);
    }
    return out;
}

std::vector<ManifestFile> LoadManifest(const std::string& name, int partition) {
    std::vector<ManifestFile> files;
    const Json root = LoadFixtureJson(name);
    for (const Json& f : root["files"].items) {
        if (int(f["partition"].number) != partition) continue;
        ManifestFile m;
        m.partition = partition;
        m.path = f["path"].text;
        m.size = u64(f["size"].number);
        m.sha256 = f["sha256"].text;
        m.live = f["state"].text == "live";
        m.intact = f["intact"].boolean;
        m.metadataPresent = f["metadata"].text == "present";
        m.mtime = f["mtime"].text;
        m.fragmented = f["fragmented"].boolean;
        m.compressed = f["compressed"].boolean;
        m.sparse = f["sparse"].boolean;
        m.resident = f["resident"].boolean;
        m.mftRecordOffset = u64(f["mft_record_offset"].number);
        for (const Json& r : f["runs"].items) {
            if (r.items.size() == 2) m.runs.emplace_back(u64(r.items[0].number), u64(r.items[1].number));
        }
        files.push_back(std::move(m));
    }
    return files;
}

std::vector<ExpectedFile> LoadDeletedFiles(const std::string& image, int partition) {
    const std::vector<ManifestFile> manifest = LoadManifest(image + ".json", partition);
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
        for (const ManifestFile& m : manifest) {
            if (m.path != e.path) continue;
            e.intact = m.intact;
            e.live = m.live;
            e.size = m.size;
            e.mtime = m.mtime;
        }
        out.push_back(e);
    }
    return out;
}

std::string ScanName(const std::string& nameOnDisk) {
    if (nameOnDisk.compare(0, 2, "\xC3\xA5") == 0) return "#" + nameOnDisk.substr(2);
    return nameOnDisk;
}

std::string PathKey(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    std::string key = path.substr(0, slash);
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return key + path.substr(slash);
}

std::vector<std::pair<u64, u64>> MergeRanges(const std::vector<std::pair<u64, u64>>& ranges) {
    std::vector<std::pair<u64, u64>> out;
    for (const auto& r : ranges) {
        if (!out.empty() && out.back().first + out.back().second == r.first) {
            out.back().second += r.second;
        } else {
            out.push_back(r);
        }
    }
    return out;
}

std::string FixtureTestName(const std::string& image) {
    std::string name = image.substr(0, image.find('.'));
    for (char& ch : name) {
        if (ch == '-') ch = '_';
    }
    return name;
}

std::string FileTimeToIsoUtc(u64 fileTime) {
    const time_t t = time_t(i64(fileTime / 10000000ull) - 11644473600ll);
    struct tm tm {};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

i64 ParseUtc(const std::string& text) {
    std::tm tm{};
    int y, mo, d, h, mi, s;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &h, &mi, &s) != 6) return -1;
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<i64>(timegm(&tm));
}

}  // namespace testutil
