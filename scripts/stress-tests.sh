#!/usr/bin/env bash
# Runs the whole test suite several times in a row (three by default), then the suite of the
# sanitizer build (once by default), each with three times as many tests at once as the machine
# has cores, while another process keeps every core busy: a test that only passes on an idle,
# fast machine fails here. After each run it prints the run's ten slowest tests. The load ends
# with the script, however the script ends.
#
#   bash scripts/stress-tests.sh [runs] [sanitizer-runs]
#
# BUILD_DIR (default build) and ASAN_BUILD_DIR (default build-asan) are the build folders, each
# configured with the tests as scripts/test.sh configures it if it is not yet; BUILD_JOBS
# (default: the number of cores) the builds' parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-3}
sanitizer_runs=${2:-1}
cores=$(nproc)
test_jobs=$((cores * 3))
build_dir=${BUILD_DIR:-build}
asan_dir=${ASAN_BUILD_DIR:-build-asan}
build_jobs=${BUILD_JOBS:-$cores}
slowest_shown=10

bash scripts/setup.sh

# The load: stress-ng from Debian when it can be had, else one busy shell loop per core.
if ! command -v stress-ng >/dev/null 2>&1; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  if command -v apt-get >/dev/null 2>&1; then
    echo "Installing stress-ng"
    ($SUDO apt-get -o DPkg::Lock::Timeout=1200 update -qq &&
      DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=1200 install -y -qq --no-install-recommends stress-ng) ||
      echo "stress-ng could not be installed: busy loops stand in for it"
  fi
fi

# Configures a build folder (with the given options) unless it already has the tests and, for
# the sanitizer build, the sanitizers; then builds it.
build() {
  local dir=$1 needs=$2
  shift 2
  if [ ! -f "$dir/CMakeCache.txt" ] || ! grep -q '^MORVENDA_BUILD_TESTS:BOOL=ON' "$dir/CMakeCache.txt" ||
    { [ -n "$needs" ] && ! grep -q "^$needs" "$dir/CMakeCache.txt"; }; then
    cmake -S . -B "$dir" -G Ninja -DMORVENDA_BUILD_TESTS=ON "$@"
  fi
  cmake --build "$dir" -j "$build_jobs"
}
build "$build_dir" "" -DCMAKE_BUILD_TYPE=RelWithDebInfo
if [ "$sanitizer_runs" -gt 0 ]; then
  build "$asan_dir" 'MORVENDA_SANITIZE:BOOL=ON' -DCMAKE_BUILD_TYPE=Debug -DMORVENDA_SANITIZE=ON
fi

load_pids=()
stop_load() {
  for pid in "${load_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${load_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  load_pids=()
}
trap stop_load EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if command -v stress-ng >/dev/null 2>&1; then
  stress-ng --cpu "$cores" --cpu-load 100 --quiet &
  load_pids+=("$!")
  load="stress-ng --cpu $cores"
else
  for _ in $(seq "$cores"); do
    sh -c 'while :; do :; done' &
    load_pids+=("$!")
  done
  load="$cores busy loops"
fi
echo "Load: $load. Suite: $runs runs, then $sanitizer_runs with the sanitizers; ctest -j $test_jobs on $cores cores."

# The slowest tests of a ctest log, from its result lines ("1/9 Test #4: NAME ....   Passed   1.23 sec").
# Every stage reads its whole input: one that stopped early would fail the pipeline.
slowest() {
  sed -nE 's/^ *[0-9]+\/[0-9]+ +Test +#[0-9]+: (.*) \.{2,} *(\*\*\*)?([A-Za-z][^0-9]*[^ 0-9]) +([0-9]+\.[0-9]+) sec$/\4\t\1 (\3)/p' "$1" |
    sort -t "$(printf '\t')" -k1,1 -rn | awk -F '\t' -v shown="$slowest_shown" 'NR <= shown { printf "    %7.2f s  %s\n", $1, $2 }'
}

failed_runs=0
summary=()
# Runs the suite of one build folder once: its kind, folder and run number; the sanitizer build's
# with the sanitizers' options scripts/test.sh uses.
run_suite() {
  local kind=$1 dir=$2 run=$3
  local log="$dir/stress-run-$run.log" status=0 start seconds result
  start=$(date +%s)
  (
    if [ "$kind" = sanitizer ]; then . tests/sanitizer-options.sh; fi
    cd "$dir" && ctest -j "$test_jobs" --no-tests=error --output-on-failure
  ) >"$log" 2>&1 || status=$?
  seconds=$(($(date +%s) - start))
  result=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no result line")
  summary+=("$kind run $run: ${seconds} s, $result")
  echo "${summary[-1]}"
  echo "  slowest tests:"
  slowest "$log"
  if [ "$status" -ne 0 ]; then
    failed_runs=$((failed_runs + 1))
    summary+=("$(sed -n '/The following tests FAILED:/,$p' "$log")")
    echo "${summary[-1]}"
  fi
}

for run in $(seq "$runs"); do
  run_suite plain "$build_dir" "$run"
done
for run in $(seq "$sanitizer_runs"); do
  run_suite sanitizer "$asan_dir" "$run"
done

total=$((runs + sanitizer_runs))
echo "---"
printf '%s\n' "${summary[@]}"
echo "Logs: $build_dir/stress-run-*.log, $asan_dir/stress-run-*.log"
if [ "$failed_runs" -ne 0 ]; then
  echo "$failed_runs of $total runs failed"
  exit 1
fi
echo "All $total runs passed"
