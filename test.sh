#!/usr/bin/env bash
# Installs what is missing, builds Brisklane and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs every test (fuzz targets briefly included) with CTest.
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

# Any sanitizer report fails the test that caused it, except those the suppression file lists
# (system libraries' faults, each with its reason).
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:suppressions=$top/tests/asan.supp"
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
cd "$top/build/test"
ctest --output-on-failure -j"$jobs" --timeout 900 "$@"
