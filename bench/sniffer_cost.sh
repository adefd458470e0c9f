#!/usr/bin/env bash
# What the buffer view's hand-over costs the data pump, in one run, on 127.0.0.1 only: one stream
# of STREAM_BYTES through a plug rule of
#   (a) brisklaned as built, without "sniffer"          (the hand-over compiled in, switched off)
#   (b) brisklaned built with the hand-over taken out    (the pump as if the view did not exist)
#   (c) brisklane with "sniffer" and its buffer view     (offscreen; the cost when it is on)
# Each figure is the median of REPEATS runs; the three alternate within a repetition.
# Not part of ./test.sh. Every process it starts is stopped by its PID when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

REPEATS=${REPEATS:-5}
STREAM_BYTES=${STREAM_BYTES:-536870912}
JOBS=${JOBS:-2}

base="$top/build/sniffer-cost"
tmp=$(mktemp -d /tmp/brisklane-sniffer-cost.XXXXXX)
# shellcheck source=bench/processes.sh
source "$top/bench/processes.sh"

# --- the two builds: the tree as it is, and a copy whose pump has no hand-over ------------------
echo "== building (Release): as is, and without the hand-over"
# The copy stays in one place, so that its build folder is reused from run to run.
stripped="$base/without-src"
rm -rf "$stripped"
mkdir -p "$stripped"
git ls-files -z | xargs -0 tar -cf - | tar -xf - -C "$stripped"
perl -0pi -e 's/\n\s*if \(chunksWanted\(\)\) \{\n.*?\n\s*\}\n\s*\}\n/\n/s' \
  "$stripped/src/relay/data_pump.cpp"
if grep -q chunksWanted "$stripped/src/relay/data_pump.cpp"; then
  echo "the hand-over could not be taken out of data_pump.cpp" >&2
  exit 1
fi
for variant in with:"$top" without:"$stripped"; do
  name=${variant%%:*} src=${variant#*:}
  cmake -S "$src" -B "$base/$name" -DCMAKE_BUILD_TYPE=Release -DBKL_TESTS=OFF >/dev/null
  targets="brisklaned brisklane-reg"
  [ "$name" = with ] && targets+=" brisklane"
  # shellcheck disable=SC2086
  cmake --build "$base/$name" -j"$JOBS" --target $targets >/dev/null
done
cmake -S "$top/bench" -B "$base/tool" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$base/tool" >/dev/null
tool="$base/tool/bench_tool"

# --- one plug rule in a store of its own ---------------------------------------------------------
mapfile -t ports < <("$tool" ports 2)
dest=${ports[0]} plug=${ports[1]}
export BRISKLANE_CONFIG_DIR="$tmp/config"
mkdir -p "$BRISKLANE_CONFIG_DIR"
{
  printf 'Windows Registry Editor Version 5.00\n\n'
  printf '[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4]\n"verbose"=dword:00000000\n\n'
  printf '[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Rule1]\n'
  printf '"disable"=dword:00000000\n"ssl.role"=dword:00000000\n"connect.type"=dword:00000000\n'
  printf '"if.addr.str"="127.0.0.1"\n"peer.addr.str"="All"\n"peer.mask.str"="All"\n'
  printf '"peer.port.str"="%s"\n"dest.addr.str"="127.0.0.1"\n"dest.port.str"="%s"\n' "$plug" "$dest"
} >"$tmp/plug.reg"
"$base/with/src/app/brisklane-reg" import "$tmp/plug.reg" >/dev/null

stream() {  # name command...: the MiB/s of one stream through the plug rule of that relay
  local name=$1
  shift
  start_proc "$name" "$tmp/$name.log" "$@"
  wait_listening "$plug"
  "$tool" stream --to "$plug" --sink "$dest" --bytes "$STREAM_BYTES" --timeout 120 |
    sed -n 's/.*mib_per_s=\([0-9.]*\).*/\1/p'
  stop_proc "$name"
}

declare -a with=() without=() viewing=()
for r in $(seq "$REPEATS"); do
  with+=("$(stream with "$base/with/src/app/brisklaned")")
  without+=("$(stream without "$base/without/src/app/brisklaned")")
  viewing+=("$(QT_QPA_PLATFORM=offscreen stream viewing "$base/with/src/app/brisklane" sniffer)")
  echo "repetition $r: with ${with[-1]}  without ${without[-1]}  sniffer ${viewing[-1]} MiB/s"
done
echo "== plug stream of $STREAM_BYTES bytes, median of $REPEATS (MiB/s)"
echo "hand-over compiled in, no sniffer:  $(median "${with[@]}")"
echo "hand-over compiled out:             $(median "${without[@]}")"
echo "brisklane sniffer with the view:    $(median "${viewing[@]}")"
