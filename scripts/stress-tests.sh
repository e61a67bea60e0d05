#!/usr/bin/env bash
# Runs the whole test suite several times in a row (three by default) with three times as many
# tests at once as the machine has cores, while another process keeps every core busy: a test
# that only passes on an idle, fast machine fails here. The load ends with the script, however
# the script ends.
#
#   bash scripts/stress-tests.sh [runs]
#
# BUILD_DIR (default build) is the build folder, configured with the tests if it is not yet;
# BUILD_JOBS (default: the number of cores) the build's parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."

runs=${1:-3}
cores=$(nproc)
test_jobs=$((cores * 3))
build_dir=${BUILD_DIR:-build}
build_jobs=${BUILD_JOBS:-$cores}

# The load: stress-ng from Debian when it can be had, else one busy shell loop per core.
if ! command -v stress-ng >/dev/null 2>&1; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
  if command -v apt-get >/dev/null 2>&1; then
    echo "Installing stress-ng"
    ($SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends stress-ng) ||
      echo "stress-ng could not be installed: busy loops stand in for it"
  fi
fi

if [ ! -f "$build_dir/CMakeCache.txt" ] || ! grep -q '^MORVENDA_BUILD_TESTS:BOOL=ON' "$build_dir/CMakeCache.txt"; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVENDA_BUILD_TESTS=ON
fi
cmake --build "$build_dir" -j "$build_jobs"

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
echo "Load: $load. Suite: $runs runs, ctest -j $test_jobs on $cores cores."

failed_runs=0
summary=()
for run in $(seq "$runs"); do
  log="$build_dir/stress-run-$run.log"
  start=$(date +%s)
  status=0
  (cd "$build_dir" && ctest -j "$test_jobs" --no-tests=error --output-on-failure) >"$log" 2>&1 || status=$?
  seconds=$(($(date +%s) - start))
  result=$(grep -E '^[0-9]+% tests passed' "$log" || echo "no result line")
  summary+=("run $run: ${seconds} s, $result")
  echo "${summary[-1]}"
  if [ "$status" -ne 0 ]; then
    failed_runs=$((failed_runs + 1))
    summary+=("$(sed -n '/The following tests FAILED:/,$p' "$log")")
    echo "${summary[-1]}"
  fi
done

echo "---"
printf '%s\n' "${summary[@]}"
echo "Logs: $build_dir/stress-run-*.log"
if [ "$failed_runs" -ne 0 ]; then
  echo "$failed_runs of $runs runs failed"
  exit 1
fi
echo "All $runs runs passed"
