#!/usr/bin/env bash
# Shows what a build without its fixtures does: it builds the tests (under AddressSanitizer and
# UndefinedBehaviorSanitizer) against an empty fixture folder and checks that every test that
# fails does so with a message naming the missing file, and that none crashes, hangs or passes as
# skipped. Its build folder is build-nofixtures/.
set -euo pipefail
cd "$(dirname "$0")/.."
empty=$(mktemp -d)
trap 'rmdir "$empty"' EXIT
build=build-nofixtures
mkdir -p "$build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVENDA_SANITIZE=ON -DMORVENDA_BUILD_TESTS=ON \
  -DMORVENDA_FIXTURES_SRC="$empty" > "$build/configure.txt" 2>&1 || { cat "$build/configure.txt"; exit 1; }
grep -A3 'No fixture images' "$build/configure.txt" | sed 's/^/  /' || true
cmake --build "$build" -j "$(nproc)" > /dev/null
out="$build/ctest.txt"
(cd "$build" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure --no-tests=error -j "$(nproc)" > ctest.txt 2>&1) || true
grep -E 'tests passed' "$out"
bad=0
crashes=$(grep -E '\((SEGFAULT|Subprocess aborted|Timeout|Child aborted|Exception)\)' "$out" || true)
if [ -n "$crashes" ]; then echo "Crashed or hung:"; echo "$crashes"; bad=1; fi
failed=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Failed)$/\1/p' "$out")
if [ -z "$failed" ]; then echo "No test failed without its fixtures"; bad=1; fi
unnamed=0
while IFS= read -r t; do
  [ -n "$t" ] || continue
  name=${t%%  #*}
  if ! awk -v run="[ RUN      ] $name" '$0 == run {on = 1} on && /fixture "[^"]*" is missing/ {found = 1} on && /^\[  FAILED  \]/ {exit} END {exit !found}' "$out"; then
    echo "Fails without naming a missing fixture: $name"
    unnamed=1
  fi
done <<< "$failed"
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$out")
echo "Failed: $(grep -c . <<< "$failed"), each naming its fixture: $([ $unnamed -eq 0 ] && echo yes || echo no)"
echo "Skipped: ${skipped:-none}"
grep -oE 'fixture "[^"]*" is missing' "$out" | sort | uniq -c | sed 's/^/  /'
[ $bad -eq 0 ] && [ $unnamed -eq 0 ]
