#!/usr/bin/env bash
# Runs the relay benchmarks side by side with their peers, in one run, on 127.0.0.1 only:
#   (a) one stream of STREAM_BYTES through a plug rule        vs socat as the same plug
#   (b) one stream through an SSL client rule -> SSL server rule vs a stunnel4 client -> server pair
#   (c) short connections per second through that chain       vs the same stunnel4 pair
#   (d) resident memory per idle connection (IDLE_COUNT held)  vs the same stunnel4 pair
# Each figure is the median of REPEATS runs; the two products alternate within a repetition.
# Not part of ./test.sh. Every process it starts is stopped by its PID when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

REPEATS=${REPEATS:-3}
STREAM_BYTES=${STREAM_BYTES:-1073741824}
RATE_SECONDS=${RATE_SECONDS:-5}
RATE_CLIENTS=${RATE_CLIENTS:-4}
IDLE_COUNT=${IDLE_COUNT:-1000}
# KEEP=1 keeps the temporary folder (logs, configurations, certificates) for a look afterwards.

relay_build="$top/build/bench-relay"
tool_build="$top/build/bench"
echo "== building brisklaned (Release) and the load tool"
cmake -S "$top" -B "$relay_build" -DCMAKE_BUILD_TYPE=Release -DBKL_TESTS=OFF >/dev/null
cmake --build "$relay_build" -j"$(nproc)" --target brisklaned brisklane-reg >/dev/null
cmake -S "$top/bench" -B "$tool_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tool_build" >/dev/null
daemon="$relay_build/src/app/brisklaned"
regtool="$relay_build/src/app/brisklane-reg"
tool="$tool_build/bench_tool"

tmp=$(mktemp -d /tmp/brisklane-bench.XXXXXX)
declare -A running=()  # name -> PID of every process this script started and has not stopped

stop_proc() {  # name: SIGTERM by PID, then SIGKILL after 5 s; reports a crash on the way out
  local name=$1 pid=${running[$1]:-} rc=0
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || rc=$?
  unset "running[$name]"
  case $rc in
    0 | 143) ;;
    137) echo "!! $name did not end on SIGTERM within 5 s and was killed" >&2 ;;
    *) echo "!! $name ended with status $rc on SIGTERM (log: $tmp/$name.log)" >&2 ;;
  esac
}
cleanup() {
  local name
  for name in "${!running[@]}"; do stop_proc "$name"; done
  if [ -n "${KEEP:-}" ]; then echo "logs and configuration kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

start_proc() {  # name logfile command...: runs it in the background and remembers its PID
  local name=$1 log=$2
  shift 2
  "$@" >"$log" 2>&1 &
  running[$name]=$!
}

wait_listening() {  # port: until something listens on 127.0.0.1:port, at most 10 s
  for _ in $(seq 100); do
    ss -Hltn "sport = :$1" | grep -q . && return 0
    sleep 0.1
  done
  echo "nothing listens on port $1" >&2
  return 1
}

rss_kib() {  # PIDs...: the sum of their VmRSS in KiB
  local total=0 pid value
  for pid in "$@"; do
    value=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    total=$((total + value))
  done
  echo "$total"
}

threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }

median() {  # values...: the middle one (the lower middle for an even count)
  printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}

field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }  # name: a name=value field of the tool's output

# --- certificates: a CA and a server certificate for 127.0.0.1 ---------------------------------
certs="$tmp/certs"
mkdir -p "$certs"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Bench CA" \
  -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" \
  -keyout "$certs/server.key" -out "$certs/server.csr" 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$certs/server.ext"
openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
  -CAcreateserial -days 2 -extfile "$certs/server.ext" -out "$certs/server.pem" 2>/dev/null

# --- ports: the far end (the tool's sink or echo server) and one listener per relay hop --------
mapfile -t ports < <("$tool" ports 7)
dest=${ports[0]}
bkl_plug=${ports[1]} bkl_client=${ports[2]} bkl_server=${ports[3]}
socat_plug=${ports[4]} st_client=${ports[5]} st_server=${ports[6]}

# --- Brisklane: one process, a plug rule and a client rule chained to a server rule -------------
export BRISKLANE_CONFIG_DIR="$tmp/config"
mkdir -p "$BRISKLANE_CONFIG_DIR"
rule() {  # number role port dest-port [extra lines]
  printf '\n[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Rule%s]\n' "$1"
  printf '"disable"=dword:00000000\n"ssl.role"=dword:0000000%s\n"connect.type"=dword:00000000\n' "$2"
  printf '"if.addr.str"="127.0.0.1"\n"peer.addr.str"="All"\n"peer.mask.str"="All"\n'
  printf '"peer.port.str"="%s"\n"dest.addr.str"="127.0.0.1"\n"dest.port.str"="%s"\n' "$3" "$4"
  [ $# -lt 5 ] || printf '%s\n' "$5"
}
{
  printf 'Windows Registry Editor Version 5.00\n\n'
  printf '[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4]\n'
  printf '"verbose"=dword:00000000\n"log.detailed"=dword:00000000\n'
  printf '"ssl.ca_cert"="%s"\n' "$certs/ca.pem"
  rule 1 0 "$bkl_plug" "$dest"
  rule 2 1 "$bkl_client" "$bkl_server" '"ssl.verify_server"=dword:00000001'
  rule 3 2 "$bkl_server" "$dest" "\"ssl.cert\"=\"$certs/server.pem\"
\"ssl.key\"=\"$certs/server.key\""
} >"$tmp/bench.reg"
"$regtool" import "$tmp/bench.reg" >/dev/null

start_brisklane() {
  start_proc brisklaned "$tmp/brisklaned.log" "$daemon"
  wait_listening "$bkl_plug" && wait_listening "$bkl_client" && wait_listening "$bkl_server"
}

# --- peers: socat as the plug, a stunnel4 client -> server pair as the chain -------------------
cat >"$tmp/stunnel-client.conf" <<EOF
foreground = yes
syslog = no
pid = $tmp/stunnel-client.pid
[bench-client]
client = yes
accept = 127.0.0.1:$st_client
connect = 127.0.0.1:$st_server
verifyChain = yes
CAfile = $certs/ca.pem
EOF
cat >"$tmp/stunnel-server.conf" <<EOF
foreground = yes
syslog = no
pid = $tmp/stunnel-server.pid
[bench-server]
accept = 127.0.0.1:$st_server
connect = 127.0.0.1:$dest
cert = $certs/server.pem
key = $certs/server.key
EOF
start_stunnel() {
  start_proc stunnel-server "$tmp/stunnel-server.log" stunnel4 "$tmp/stunnel-server.conf"
  start_proc stunnel-client "$tmp/stunnel-client.log" stunnel4 "$tmp/stunnel-client.conf"
  wait_listening "$st_server" && wait_listening "$st_client"
}
start_socat() {
  start_proc socat "$tmp/socat.log" \
    socat "TCP-LISTEN:$socat_plug,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$dest"
  wait_listening "$socat_plug"
}

# --- measurements --------------------------------------------------------------------------------
stream() { "$tool" stream --to "$1" --sink "$dest" --bytes "$STREAM_BYTES" --timeout 60 | field mib_per_s; }
rate() {
  "$tool" rate --to "$1" --echo "$dest" --seconds "$RATE_SECONDS" --max 200000 \
    --clients "$RATE_CLIENTS" --size 64 | field per_second
}

# idle port pids...: sets idle_kib to the KiB of RSS per idle connection, summed over the given
# processes. Runs in this shell (not a subshell) so that the tool's PID stays in `running`.
idle_kib=0
idle_memory() {
  local port=$1
  shift
  "$tool" rate --to "$port" --echo "$dest" --seconds 1 --max 4 --clients 1 >/dev/null  # warm up
  sleep 1
  local before after ready="$tmp/idle.ready"
  before=$(rss_kib "$@")
  rm -f "$ready"
  start_proc idle "$tmp/idle.log" "$tool" idle --to "$port" --sink "$dest" --count "$IDLE_COUNT" \
    --ready "$ready" --hold 120
  for _ in $(seq 900); do
    [ -f "$ready" ] || ! kill -0 "${running[idle]}" 2>/dev/null && break
    sleep 0.1
  done
  if [ ! -f "$ready" ]; then
    echo "idle connections were not all set up:" >&2
    cat "$tmp/idle.log" >&2
    stop_proc idle
    return 1
  fi
  sleep 2
  after=$(rss_kib "$@")
  local threads="" pid
  for pid in "$@"; do threads+="$(threads_of "$pid") "; done
  stop_proc idle
  echo "  before ${before} KiB, with $IDLE_COUNT idle ${after} KiB, threads ${threads% }" >&2
  idle_kib=$(awk -v a="$after" -v b="$before" -v n="$IDLE_COUNT" 'BEGIN {printf "%.1f", (a - b) / n}')
}

declare -A results=()
add() { results[$1]="${results[$1]:-} ${2:-0}"; echo "  $1: ${2:-0 (failed)}"; }

start_brisklane
start_socat
start_stunnel
for r in $(seq "$REPEATS"); do
  echo "== repetition $r of $REPEATS"
  add a_bkl "$(stream "$bkl_plug")"
  add a_peer "$(stream "$socat_plug")"
  add b_bkl "$(stream "$bkl_client")"
  add b_peer "$(stream "$st_client")"
  add c_bkl "$(rate "$bkl_client")"
  add c_peer "$(rate "$st_client")"
done
stop_proc socat

# Memory is measured on fresh processes, so that threads and buffers left from the other
# measurements do not hide what idle connections cost.
for r in $(seq "$REPEATS"); do
  echo "== memory, repetition $r of $REPEATS"
  stop_proc brisklaned
  stop_proc stunnel-client
  stop_proc stunnel-server
  start_brisklane
  idle_memory "$bkl_client" "${running[brisklaned]}" && add d_bkl "$idle_kib"
  start_stunnel
  idle_memory "$st_client" "${running[stunnel-client]}" "${running[stunnel-server]}" &&
    add d_peer "$idle_kib"
done

row() {  # label unit key: a table row with both medians and Brisklane's ratio to the peer
  local bkl peer
  # shellcheck disable=SC2086  # the stored values are a space-separated list
  bkl=$(median ${results[${3}_bkl]})
  # shellcheck disable=SC2086
  peer=$(median ${results[${3}_peer]})
  printf '| %s | %s | %s | %s | %s |\n' "$1" "$2" "$bkl" "$peer" \
    "$(awk -v a="$bkl" -v b="$peer" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}')"
}
echo
echo "Medians of $REPEATS runs (stream $STREAM_BYTES bytes, rate $RATE_CLIENTS clients x" \
  "$RATE_SECONDS s, $IDLE_COUNT idle connections):"
echo
echo '| Measurement | Unit | Brisklane | Peer | Brisklane / peer |'
echo '|---|---|---|---|---|'
row '(a) plug stream vs socat' 'MiB/s' a
row '(b) SSL chain stream vs stunnel4 pair' 'MiB/s' b
row '(c) SSL chain short connections vs stunnel4 pair' 'conn/s' c
row '(d) RSS per idle connection, both hops (lower is better)' 'KiB' d
echo
echo "All runs: $(for k in a_bkl a_peer b_bkl b_peer c_bkl c_peer d_bkl d_peer; do
  printf '%s=[%s ] ' "$k" "${results[$k]}"; done)"
