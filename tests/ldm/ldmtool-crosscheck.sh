#!/bin/sh
# Cross-checks the tests' synthetic dynamic disk group against an outside reader of the LDM
# format: the disks are written (tests/ldm/WriteLdmGroup.cpp), attached read-only as loop
# devices, and ldmtool (Debian package "ldmtool") must find the disk group, every volume with its
# type, size and chunk size, and every partition with its start, size and disk, as the group was
# written; the scan driver must list every volume with the same size.
#
#   tests/ldm/ldmtool-crosscheck.sh BUILD_DIR
#
# Needs root (losetup), ldmtool and python3; without them it says so and exits 77 (skipped).
set -eu
build=${1:?usage: ldmtool-crosscheck.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

skip() { echo "ldmtool-crosscheck: skipped: $*"; exit 77; }
command -v ldmtool >/dev/null || skip "ldmtool is not installed (apt-get install ldmtool)"
command -v losetup >/dev/null || skip "losetup is missing"
command -v python3 >/dev/null || skip "python3 is missing"
[ "$(id -u)" = 0 ] || skip "attaching loop devices needs root"
[ -x "$build/bin/scan_driver" ] || { echo "ldmtool-crosscheck: no $build/bin/scan_driver" >&2; exit 1; }

work=$(mktemp -d)
loops=""
cleanup() {
    for l in $loops; do losetup -d "$l" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

${CXX:-g++} -std=c++20 -O1 -I"$source_dir" -I"$source_dir/tests/support" "$here/WriteLdmGroup.cpp" -o "$work/write"
"$work/write" "$work" "$build/fixtures" > "$work/expected.jsonl" 2> "$work/disks.txt"
devices=""
images=""
while read -r image; do
    loop=$(losetup -f --show -r "$image") || skip "no free loop device"
    loops="$loops $loop"
    devices="$devices -d $loop"
    images="$images --image $image"
done < "$work/disks.txt"

# shellcheck disable=SC2086
"$build/bin/scan_driver" $images --mode deleted --volume none --json "$work/driver.json" > /dev/null
# shellcheck disable=SC2086
ldmtool $devices scan > "$work/scan.json"

python3 - "$work" $devices <<'PY'
import json, subprocess, sys
work, devices = sys.argv[1], sys.argv[2:]
def ldmtool(*args):
    out = subprocess.run(["ldmtool", *devices, *args], capture_output=True, text=True).stdout
    return json.loads(out)
expected = [json.loads(line) for line in open(work + "/expected.jsonl")]
groups = json.load(open(work + "/scan.json"))
failures = []
if len(groups) != 1:
    failures.append("disk groups: %r" % groups)
group = ldmtool("show", "diskgroup", groups[0]) if groups else {}
if sorted(group.get("volumes", [])) != sorted(v["name"] for v in expected):
    failures.append("volumes: %r" % group.get("volumes"))
driver = {v["label"]: v for v in json.load(open(work + "/driver.json"))["volumes"] if v["kind"] == "dynamic"}
for v in expected:
    got = ldmtool("show", "volume", groups[0], v["name"])
    for key, want in (("type", v["type"]), ("size", v["size"]), ("chunk-size", v["chunk"])):
        if got.get(key) != want:
            failures.append("%s %s: ldmtool %r, written %r" % (v["name"], key, got.get(key), want))
    if got.get("partitions") != [p[0] for p in v["partitions"]]:
        failures.append("%s partitions: %r" % (v["name"], got.get("partitions")))
    for name, start, size, disk in v["partitions"]:
        p = ldmtool("show", "partition", groups[0], name)
        if (p.get("start"), p.get("size"), p.get("disk")) != (start, size, disk):
            failures.append("partition %s: %r" % (name, p))
    ours = driver.get(v["label"])
    if ours is None or ours["sectors"] != v["size"]:
        failures.append("%s: the scan driver lists %r" % (v["name"], ours))
for f in failures:
    print("ldmtool-crosscheck: " + f)
print("ldmtool-crosscheck: %d volumes, %s" % (len(expected), "agree" if not failures else "DISAGREE"))
sys.exit(1 if failures else 0)
PY
