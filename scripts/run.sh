#!/usr/bin/env bash
# Sets up, builds and starts the program on its bundled demo disk.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVENDA_BUILD_TESTS=OFF
cmake --build build -j "$(nproc)"
demo=build/demo/demo-disk.img
if [ ! -f "$demo" ] || [ res/demo/demo-disk.img.gz -nt "$demo" ]; then
  mkdir -p build/demo
  gzip -dc res/demo/demo-disk.img.gz > "$demo.tmp" && chmod 0444 "$demo.tmp" && mv -f "$demo.tmp" "$demo"
fi
export MORVENDA_DISKS="$PWD/$demo"
if [ -x build/bin/morvenda ]; then
  exec build/bin/morvenda "$@"
fi
# No window yet: a deleted-file scan of the demo disk's NTFS volume, recovered into a new folder.
out=$(mktemp -d)
echo "Demo disk: $demo"
volume=$(build/bin/scan_driver --image "$demo" --mode deleted --volume none |
  sed -n 's/^  \[\([0-9][0-9]*\)\] .* NTFS .*/\1/p' | head -n 1)
if [ -z "$volume" ]; then
  echo "No NTFS volume found on the demo disk." >&2
  exit 1
fi
build/bin/scan_driver --image "$demo" --mode deleted --volume "$volume" --recover "$out" "$@"
echo "Recovered into $out:"
(cd "$out" && find . -type f | sed 's|^\./|  |' | sort)
