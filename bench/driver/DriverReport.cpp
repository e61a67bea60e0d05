// The driver's JSON report and its readable summary.
#include <cstdio>
#include <sstream>

#include "Driver.h"
#include "platform/Text.h"

namespace driver {

namespace {

// A JSON string of the text; bytes that are not UTF-8 (a damaged name or label) become U+FFFD,
// so that the report always parses.
std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : ReplaceInvalidUtf8(s)) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof(buf), "\\u%04x", c);
                    out += buf;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.3f", s);
    return buf;
}

}  // namespace

std::string ToJson(const Report& report) {
    std::ostringstream o;
    o << "{\n  \"volumes\": [";
    for (size_t i = 0; i < report.volumes.size(); ++i) {
        const VolumeInfo& v = report.volumes[i];
        o << (i ? "," : "") << "\n    {\"index\": " << v.index << ", \"disk\": " << v.disk
          << ", \"kind\": " << Quote(v.kind) << ", \"start_sector\": " << v.startSector
          << ", \"sectors\": " << v.sectors << ", \"sector_size\": " << v.sectorSize << ", \"fs_code\": " << v.fsCode
          << ", \"fs\": " << Quote(v.fs) << ", \"label\": " << Quote(v.label) << ", \"letter\": " << Quote(v.letter)
          << "}";
    }
    o << "\n  ],\n  \"scans\": [";
    for (size_t i = 0; i < report.scans.size(); ++i) {
        const ScanInfo& s = report.scans[i];
        o << (i ? "," : "") << "\n    {\"volume\": " << s.volume << ", \"mode\": " << Quote(s.mode)
          << ", \"seconds\": " << Seconds(s.seconds) << ", \"trees\": [";
        for (size_t t = 0; t < s.trees.size(); ++t) {
            const TreeInfo& tr = s.trees[t];
            o << (t ? ", " : "") << "{\"name\": " << Quote(tr.name) << ", \"fs\": " << Quote(tr.fs)
              << ", \"files\": " << tr.files << ", \"folders\": " << tr.folders << ", \"deleted\": " << tr.deleted
              << "}";
        }
        o << "]";
        if (s.mode == "complete") {
            o << ", \"found_partitions\": [";
            for (size_t f = 0; f < s.foundPartitions.size(); ++f) {
                const FoundPartitionInfo& fp = s.foundPartitions[f];
                o << (f ? ", " : "") << "{\"start_sector\": " << fp.startSector << ", \"sectors\": " << fp.sectors
                  << ", \"fs\": " << Quote(fp.fs) << ", \"label\": " << Quote(fp.label)
                  << ", \"score\": " << Seconds(fp.score) << "}";
            }
            o << "]";
        }
        o << "}";
    }
    o << "\n  ],\n  \"recovered\": {\"files\": " << report.recovered.files << ", \"failed\": "
      << report.recovered.failed << ", \"incomplete\": " << report.recovered.incomplete
      << ", \"bytes\": " << report.recovered.bytes
      << ", \"seconds\": " << Seconds(report.recovered.seconds) << "}\n}";
    return o.str();
}

void PrintVolumes(const Report& report) {
    std::printf("Volumes (%zu):\n", report.volumes.size());
    for (const VolumeInfo& v : report.volumes) {
        std::printf("  [%u] disk %d  %-13s start %llu  %llu sectors of %u bytes  %-7s \"%s\"\n", v.index, v.disk,
                    v.kind.c_str(), static_cast<unsigned long long>(v.startSector),
                    static_cast<unsigned long long>(v.sectors), v.sectorSize, v.fs.c_str(), v.label.c_str());
    }
}

void PrintSummary(const Report& report, bool recovering) {
    for (const ScanInfo& s : report.scans) {
        std::printf("Scan of volume %u (%s): %s in %.3f s, %zu tree(s)\n", s.volume, s.mode.c_str(),
                    s.finished ? "finished" : "ended without a result", s.seconds, s.trees.size());
        for (const FoundPartitionInfo& f : s.foundPartitions) {
            std::printf("  found %s partition at sector %llu, %llu sectors, \"%s\", score %.3f\n", f.fs.c_str(),
                        static_cast<unsigned long long>(f.startSector), static_cast<unsigned long long>(f.sectors),
                        f.label.c_str(), f.score);
        }
        for (const TreeInfo& t : s.trees) {
            std::printf("  %s [%s]: %llu files, %llu folders, %llu deleted entries\n", t.name.c_str(), t.fs.c_str(),
                        static_cast<unsigned long long>(t.files), static_cast<unsigned long long>(t.folders),
                        static_cast<unsigned long long>(t.deleted));
        }
    }
    if (recovering) {
        std::printf("Recovered: %llu files (%llu bytes), %llu failed, %llu incomplete, in %.3f s\n",
                    static_cast<unsigned long long>(report.recovered.files),
                    static_cast<unsigned long long>(report.recovered.bytes),
                    static_cast<unsigned long long>(report.recovered.failed),
                    static_cast<unsigned long long>(report.recovered.incomplete), report.recovered.seconds);
    }
}

}  // namespace driver
