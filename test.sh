#!/usr/bin/env bash
# Installs what is missing, builds Brisklane and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test (fuzz targets briefly included) with CTest;
# then builds the relay, its programs and their tests once more with ThreadSanitizer and runs
# them again. Arguments go to both CTest runs (for instance -R Relay).
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD

./scripts/install-deps

jobs=$(nproc)

# The fuzz targets need clang's libFuzzer; they live in their own build tree.
CC=clang CXX=clang++ cmake -S "$top" -B "$top/build/fuzz" -DBKL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build/fuzz" -j"$jobs"

cmake -S "$top" -B "$top/build/test" -DBKL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug \
  -DBKL_FUZZ_BIN_DIR="$top/build/fuzz/tests/fuzz" -DBKL_FUZZ_SECONDS="${BKL_FUZZ_SECONDS:-10}" >/dev/null
cmake --build "$top/build/test" -j"$jobs"

# The same sources with ThreadSanitizer, in a tree of their own (the two sanitizers exclude each
# other). The windows and their tests stay out: Qt is not built with the sanitizer, so its own
# threads' work is invisible to it and every hand-over through Qt would be reported as a race.
cmake -S "$top" -B "$top/build/tsan" -DBKL_TSAN=ON -DBKL_DESKTOP=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build/tsan" -j"$jobs"

status=0

# Any sanitizer report fails the test that caused it, except those the suppression file lists
# (system libraries' faults, each with its reason).
(
  export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:suppressions=$top/tests/asan.supp"
  export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  cd "$top/build/test"
  ctest --output-on-failure -j"$jobs" --timeout 900 "$@"
) || status=1

# Every process the tests start (the daemon, the tools) writes its reports to a file of its own
# there, so that a race in a child whose test did not look at its exit status still fails the run.
reports="$top/build/tsan/reports"
rm -rf "$reports"
mkdir -p "$reports"
(
  export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan:suppressions=$top/tests/tsan.supp"
  cd "$top/build/tsan"
  # The packages are the same with either sanitizer: they are built and checked once, above.
  ctest --output-on-failure -j"$jobs" --timeout 900 -E '^packaging\.' "$@"
) || status=1
if compgen -G "$reports/tsan*" >/dev/null; then
  echo "ThreadSanitizer reported:" >&2
  cat "$reports"/tsan* >&2
  status=1
fi
exit $status
