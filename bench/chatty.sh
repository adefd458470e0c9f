#!/usr/bin/env bash
# What chatty connections cost the relay, side by side with an HAProxy plug, on 127.0.0.1 only:
# COUNT connections through a plug rule, each sending one byte every period of EVERIES (in
# milliseconds) and reading its echo, for SECONDS_EACH seconds. Reported per product: CPU
# milliseconds per 1,000 messages. The periods lie on both sides of the relay's quiet time (half a
# second): at 200 ms a connection never goes quiet, at 600 ms it goes quiet, gives its thread back
# and is woken again by every byte. Each figure is the median of REPEATS runs; the products
# alternate within a repetition. DAEMON=path measures another brisklaned build. Not part of
# ./test.sh. Every process it starts is stopped by its PID when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

REPEATS=${REPEATS:-3}
COUNT=${COUNT:-1000}
SECONDS_EACH=${SECONDS_EACH:-10}
EVERIES=${EVERIES:-200 600}
DAEMON=${DAEMON:-}

# shellcheck source=bench/build.sh
source "$top/bench/build.sh"
command -v haproxy >/dev/null || { echo "haproxy is missing: run scripts/install-deps" >&2; exit 1; }
ulimit -n "$(ulimit -Hn)"

tmp=$(mktemp -d /tmp/brisklane-chatty.XXXXXX)
# shellcheck source=bench/processes.sh
source "$top/bench/processes.sh"
# shellcheck source=bench/configs.sh
source "$top/bench/configs.sh"

mapfile -t ports < <("$tool" ports 3)
dest=${ports[0]} bkl_plug=${ports[1]} hap_plug=${ports[2]}

mkdir -p "$tmp/bkl"
# shellcheck disable=SC2119  # no settings beyond the common ones
{ store_head; rule 1 0 "$bkl_plug" "$dest"; } >"$tmp/bkl.reg"
BRISKLANE_CONFIG_DIR="$tmp/bkl" "$regtool" import "$tmp/bkl.reg" >/dev/null
{
  haproxy_head "$((COUNT + 100))"
  printf 'listen plug\n  bind 127.0.0.1:%s\n  server far 127.0.0.1:%s\n' "$hap_plug" "$dest"
} >"$tmp/haproxy.cfg"

start_product() {  # bkl | hap
  if [ "$1" = bkl ]; then
    start_proc bkl "$tmp/bkl.log" env BRISKLANE_CONFIG_DIR="$tmp/bkl" \
      BRISKLANE_SHM_PREFIX="chatty-" "$daemon"
    wait_listening "$bkl_plug"
  else
    start_proc hap "$tmp/hap.log" haproxy -f "$tmp/haproxy.cfg" -db
    wait_listening "$hap_plug"
  fi
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
ticks=$(getconf CLK_TCK)

declare -A figures=()
measure() {  # product port every
  local pid out before after sent
  start_product "$1"
  pid=${running[$1]}
  before=$(cpu_ticks "$pid")
  out=$("$tool" chatty --to "$2" --echo "$dest" --count "$COUNT" --every "$3" \
    --seconds "$SECONDS_EACH") || { echo "!! $1: $out" >&2; stop_proc "$1"; return 0; }
  after=$(cpu_ticks "$pid")
  sent=$(sed -n 's/.*sent=\([0-9]*\).*/\1/p' <<<"$out")
  figures[$1_$3]+=" $(awk -v t=$((after - before)) -v hz="$ticks" -v n="$sent" \
    'BEGIN {printf "%.1f", t * 1000 / hz / (n / 1000)}')"
  echo "  $1, every $3 ms: $out; CPU ms per 1000 messages ${figures[$1_$3]##* }"
  stop_proc "$1"
}

for r in $(seq "$REPEATS"); do
  echo "== repetition $r of $REPEATS"
  for every in $EVERIES; do
    measure bkl "$bkl_plug" "$every"
    measure hap "$hap_plug" "$every"
  done
done

echo
echo "| $COUNT connections, one byte each every | Brisklane: CPU ms per 1000 messages | HAProxy |"
echo "|---|---|---|"
for every in $EVERIES; do
  # shellcheck disable=SC2086  # the lists are words
  echo "| $every ms | $(median ${figures[bkl_$every]}) | $(median ${figures[hap_$every]}) |"
done
