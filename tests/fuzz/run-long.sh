#!/usr/bin/env bash
# Runs every fuzz target for SECONDS (each), starting from the seeds kept under
# tests/fuzz/seeds/<target> and a work corpus of its own under build/fuzz-long/<target>, and
# tells each target's executions. Any crash, leak or time-out fails the run; its input is kept
# under build/fuzz-long/artifacts/.
#
#   tests/fuzz/run-long.sh SECONDS [--keep] [TARGET...]
#
# --keep folds what the run found into the kept seeds, minimised: only inputs that add coverage
# go in (libFuzzer's merge), so that the seeds stay small. The targets are built first, in
# build/fuzz (clang's libFuzzer, as test.sh builds them).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)

usage() {
  echo "usage: $0 SECONDS [--keep] [TARGET...]" >&2
  exit 2
}
[[ $# -ge 1 && $1 =~ ^[0-9]+$ && $1 -gt 0 ]] || usage
seconds=$1
shift
keep=0
targets=()
for word in "$@"; do
  case $word in
    --keep) keep=1 ;;
    -*) usage ;;
    *) targets+=("$word") ;;
  esac
done

CC=clang CXX=clang++ cmake -S "$top" -B "$top/build/fuzz" -DBKL_FUZZ=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build/fuzz" -j"$(nproc)" >/dev/null

bin="$top/build/fuzz/tests/fuzz"
work="$top/build/fuzz-long"
mkdir -p "$work/artifacts"
if [[ ${#targets[@]} -eq 0 ]]; then
  for source in "$top"/tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$source" .cpp)"); done
fi

failed=0
for target in "${targets[@]}"; do
  [[ -x $bin/$target ]] || { echo "$target: no such fuzz target" >&2; failed=1; continue; }
  seeds="$top/tests/fuzz/seeds/$target"
  corpus="$work/$target"
  mkdir -p "$corpus" "$seeds"
  log="$work/$target.log"
  status=0
  "$bin/$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$work/artifacts/$target-" \
    "$corpus" "$seeds" >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [[ $status -ne 0 ]]; then
    echo "$target: FAILED after ${runs:-?} executions (see $log)"
    failed=1
    continue
  fi
  echo "$target: ${runs:-?} executions, $(find "$corpus" -type f | wc -l) inputs in the work corpus"
  if [[ $keep -eq 1 ]]; then
    before=$(find "$seeds" -type f | wc -l)
    "$bin/$target" -merge=1 "$seeds" "$corpus" >>"$log" 2>&1
    echo "$target: seeds $before -> $(find "$seeds" -type f | wc -l)"
  fi
done
exit $failed
