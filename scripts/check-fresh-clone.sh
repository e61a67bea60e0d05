#!/usr/bin/env bash
# Shows that the project is whole in its own repository: clones it into an empty folder under
# /tmp (nothing beside the clone, no shared fixtures), runs `bash scripts/run.sh` and then
# `bash scripts/test.sh` there, and checks that the test command built and ran the tests (which
# run.sh had switched off in build/) and that nothing was written beside the program.
# Usage: bash scripts/check-fresh-clone.sh [REVISION]   (default HEAD)
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
revision=${1:-HEAD}
work=$(mktemp -d /tmp/morvenda-fresh.XXXXXX)
trap 'rm -rf "$work"' EXIT
git clone -q --no-local "$repo" "$work/clone"
git -C "$work/clone" checkout -q "$(git -C "$repo" rev-parse "$revision")"
# The program's own files go to these folders, kept apart from the user's.
export XDG_CONFIG_HOME="$work/xdg/config" XDG_STATE_HOME="$work/xdg/state" XDG_CACHE_HOME="$work/xdg/cache"
cd "$work/clone"
echo "== Fresh clone in $work/clone (beside it: $(ls "$work" | tr '\n' ' '))"

echo "== bash scripts/run.sh"
# Without a display, so that the command ends after its demo scan instead of opening a window.
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bash scripts/run.sh > "$work/run.txt" 2>&1 || { tail -n 30 "$work/run.txt"; echo "FAIL: run.sh"; exit 1; }
tail -n 5 "$work/run.txt"
grep -q '^MORVENDA_BUILD_TESTS:BOOL=OFF' build/CMakeCache.txt || { echo "FAIL: run.sh left the tests on"; exit 1; }

echo "== bash scripts/test.sh"
status=0
bash scripts/test.sh > "$work/test.txt" 2>&1 || status=$?
grep -E 'tests passed|No tests were found|tests failed out of' "$work/test.txt" || true
if [ $status -ne 0 ]; then tail -n 40 "$work/test.txt"; echo "FAIL: test.sh exited $status"; exit 1; fi
runs=$(grep -cE '^100% tests passed, 0 tests failed out of [1-9]' "$work/test.txt" || true)
[ "$runs" -eq 2 ] || { echo "FAIL: expected two test runs with tests, saw $runs"; exit 1; }

echo "== Files the program wrote"
beside=$(find build/bin build-asan/bin -maxdepth 1 -name '*.log*' 2>/dev/null || true)
[ -z "$beside" ] || { echo "FAIL: logs beside the program:"; echo "$beside"; exit 1; }
for b in build build-asan; do
  cmp -s res/Config.dat "$b/bin/Config.dat" || { echo "FAIL: $b/bin/Config.dat was changed"; exit 1; }
done
find "$work/xdg" -type f | sed "s|$work/xdg/|  |" | sort
echo "PASS: a fresh clone with nothing beside it runs, builds and passes its tests"
