# shellcheck shell=bash
# Builds what a benchmark runs: brisklaned and brisklane-reg (Release), unless DAEMON names another
# brisklaned to measure, and the load tool. Sets daemon, regtool and tool. Sourced with `top` (the
# source tree) set.
# shellcheck disable=SC2154  # top: set by the script that sources this

relay_build="$top/build/bench-relay"
tool_build="$top/build/bench"
echo "== building brisklaned (Release) and the load tool"
if [ -z "${DAEMON:-}" ]; then
  cmake -S "$top" -B "$relay_build" -DCMAKE_BUILD_TYPE=Release -DBKL_TESTS=OFF >/dev/null
  cmake --build "$relay_build" -j2 --target brisklaned brisklane-reg >/dev/null
fi
cmake -S "$top/bench" -B "$tool_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tool_build" >/dev/null
daemon=${DAEMON:-$relay_build/src/app/brisklaned}
regtool="$(dirname "$daemon")/brisklane-reg"
tool="$tool_build/bench_tool"
