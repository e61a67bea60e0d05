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
(. tests/sanitizer-options.sh && cd build-asan && ctest --output-on-failure --no-tests=error -j "$jobs")
