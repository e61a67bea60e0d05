#!/usr/bin/env bash
# Sets up, builds and runs every test: once plainly, once under AddressSanitizer and
# UndefinedBehaviorSanitizer. The tests are switched on explicitly, because run.sh configures the
# same build folder without them, and a run that finds no test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
werror=OFF
if [ "${CI:-}" = "true" ]; then werror=ON; fi

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVENDA_WERROR=$werror -DMORVENDA_BUILD_TESTS=ON
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure --no-tests=error -j "$jobs")

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DMORVENDA_SANITIZE=ON -DMORVENDA_WERROR=$werror \
  -DMORVENDA_BUILD_TESTS=ON
cmake --build build-asan -j "$jobs"
# LeakSanitizer stops every thread with ptrace at a process's exit, and its tracer itself can crash
# there on a loaded machine ("Tracer caught signal"): that says nothing of the test. The tests that
# failed are run once more only when that crash is in the log; any other failure stands.
if ! (. tests/sanitizer-options.sh && cd build-asan && ctest --output-on-failure --no-tests=error -j "$jobs"); then
  if ! grep -q "Tracer caught signal" build-asan/Testing/Temporary/LastTest.log; then exit 1; fi
  echo "LeakSanitizer's tracer crashed at a test's exit; the failed tests run once more:"
  cat build-asan/Testing/Temporary/LastTestsFailed.log
  (. tests/sanitizer-options.sh && cd build-asan && ctest --output-on-failure --no-tests=error --rerun-failed)
fi
