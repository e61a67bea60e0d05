// Writes the tests' dynamic disk group (tests/support/LdmGroup.h) into a folder and prints what
// each volume should be, one JSON object per line, for ldmtool-crosscheck.sh:
//   {"name": ..., "label": ..., "type": ..., "size": ..., "chunk": ..., "partitions": [[name, start, size, disk], ...]}
//
//   WriteLdmGroup FOLDER FIXTURES
#include <cstdio>
#include <string>

#include "LdmGroup.h"

namespace {

const char* OutsideTypeName(ldmtest::Layout layout) {
    switch (layout) {
        case ldmtest::Layout::kSimple: return "simple";
        case ldmtest::Layout::kSpanned: return "spanned";
        case ldmtest::Layout::kStriped: return "striped";
        case ldmtest::Layout::kMirror: return "mirrored";
        case ldmtest::Layout::kRaid5: return "RAID5";
    }
    return "";
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: WriteLdmGroup FOLDER FIXTURES\n");
        return 2;
    }
    const std::vector<std::string> disks = ldmtest::WriteStandardGroup(argv[1], argv[2]);
    if (disks.size() != 3) {
        std::fprintf(stderr, "WriteLdmGroup: the disks could not be written\n");
        return 1;
    }
    for (const ldmtest::StandardVolume& s : ldmtest::StandardVolumes()) {
        ldmtest::Volume v;
        v.layout = s.layout;
        v.members = s.members;
        const bool striped = s.layout == ldmtest::Layout::kStriped || s.layout == ldmtest::Layout::kRaid5;
        std::printf("{\"name\": \"%s\", \"label\": \"%s\", \"type\": \"%s\", \"size\": %llu, \"chunk\": %llu, "
                    "\"partitions\": [",
                    s.name, s.label, OutsideTypeName(s.layout),
                    static_cast<unsigned long long>(ldmtest::GroupWriter::VolumeSectors(v)),
                    static_cast<unsigned long long>(striped ? ldmtest::kStripe : 0));
        for (size_t i = 0; i < s.members.size(); ++i) {
            const ldmtest::Member& m = s.members[i];
            std::printf("%s[\"Disk%u-%s\", %llu, %llu, \"Disk%u\"]", i ? ", " : "", m.disk + 1, s.name,
                        static_cast<unsigned long long>(m.start), static_cast<unsigned long long>(m.length),
                        m.disk + 1);
        }
        std::printf("]}\n");
    }
    for (const std::string& d : disks) std::fprintf(stderr, "%s\n", d.c_str());
    return 0;
}
