#!/usr/bin/env bash
# Runs the relay benchmarks side by side with their peers, in one run, on 127.0.0.1 only:
#   (a) one stream of STREAM_BYTES through a plug rule   vs socat and an HAProxy relay as the same
#       plug, and the direct loopback path (the load tool to its own sink)
#   (g) short connections per second through those plugs
#   (b) one stream through an SSL client rule in one brisklaned -> an SSL server rule in another
#       vs a stunnel4 client -> server pair and an HAProxy client -> server pair; with the CPU
#       seconds per GiB of each process
#   (c) short connections per second through those chains, sessions resumed
#   (e) the same with resumption off on every product
#   (d) memory per idle connection, both hops (IDLE_COUNT held), for each chain: the RSS of its
#       processes, their threads while the connections are held, and the whole machine's
#       MemAvailable, from which the load tool's own share (measured holding the same count straight
#       to its sink) is taken off
#   (f) concurrent connections held through the Brisklane and HAProxy chains (CONC_COUNT asked
#       for), each echoing its bytes while all are open; RSS and threads of both processes; time
#       both take to end on SIGTERM
# Each figure of (a) to (e) and (g) is the median of REPEATS runs; the products alternate within a
# repetition. bench/report.sh writes bench/RESULTS.md (the part above its kept notes) and
# bench/results.png. Not part of ./test.sh. Every process it starts is stopped by its PID when it
# exits.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

REPEATS=${REPEATS:-3}
STREAM_BYTES=${STREAM_BYTES:-2147483648}
RATE_SECONDS=${RATE_SECONDS:-5}
RATE_CLIENTS=${RATE_CLIENTS:-4}
IDLE_COUNT=${IDLE_COUNT:-1000}
IDLE_SETTLE=${IDLE_SETTLE:-35}  # seconds the idle connections are held before they are measured
CONC_COUNT=${CONC_COUNT:-9900}
# QUIET_WAIT=0 measures at once instead of waiting (at most 20 minutes) for a quiet machine.
QUIET_WAIT=${QUIET_WAIT:-1}
# WRITE=0 prints the figures without touching RESULTS.md and the chart.
WRITE=${WRITE:-1}
# KEEP=1 keeps the temporary folder (logs, configurations, certificates) for a look afterwards.
# DAEMON=path measures that brisklaned build (another commit's, to compare) instead of building
# this tree's; WRITE then defaults to 0.
DAEMON=${DAEMON:-}
# HAP_SPLICE=auto leaves splicing to HAProxy's own judgement ("option splice-auto") instead of
# always splicing on its plug.
HAP_SPLICE=${HAP_SPLICE:-always}
[ -z "$DAEMON" ] || WRITE=${WRITE_WITH_DAEMON:-0}

# The chart is drawn with gnuplot; the benchmark installs it when it is missing (the test run
# does not need it, so scripts/install-deps leaves it out).
if [ "$WRITE" = 1 ] && ! command -v gnuplot >/dev/null; then
  echo "== installing gnuplot-nox for the chart"
  apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null ||
    { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null; }
fi
for peer in socat stunnel4 haproxy; do
  command -v "$peer" >/dev/null || { echo "$peer is missing: run scripts/install-deps" >&2; exit 1; }
done

# shellcheck source=bench/build.sh
source "$top/bench/build.sh"

# Every process this script starts may use as many descriptors as the machine allows.
ulimit -n "$(ulimit -Hn)"

tmp=$(mktemp -d /tmp/brisklane-bench.XXXXXX)
# shellcheck source=bench/processes.sh
source "$top/bench/processes.sh"
# shellcheck source=bench/configs.sh
source "$top/bench/configs.sh"

rss_kib() {  # PIDs...: the sum of their VmRSS in KiB
  local total=0 pid value
  for pid in "$@"; do
    value=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    total=$((total + value))
  done
  echo "$total"
}

threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }
mem_available() { awk '/^MemAvailable:/ {print $2}' /proc/meminfo; }  # KiB, the whole machine
others_anon_kib() {  # PIDs...: the anonymous memory of every other process, in KiB
  local skip="$*"
  { cat /proc/[0-9]*/status 2>/dev/null || true; } | awk -v skip=" $skip " '
    /^Pid:/ {counted = index(skip, " " $2 " ") == 0}
    /^RssAnon:/ && counted {total += $2}
    END {print total + 0}'
}
ticks=$(getconf CLK_TCK)
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # user + system time of all threads


field() { sed -n "s/.*$1=\([0-9.]*\).*/\1/p"; }  # name: a name=value field of the tool's output

busy_now() {  # true while another build or test run shares the machine
  pgrep -x cc1plus >/dev/null || pgrep -x ctest >/dev/null || pgrep -x ld >/dev/null ||
    awk '{exit !($1 >= 0.8)}' /proc/loadavg
}
wait_quiet() {  # at most 20 minutes, in 30 s steps
  [ "$QUIET_WAIT" = 1 ] || return 0
  for _ in $(seq 40); do
    busy_now || return 0
    echo "   (machine busy: load $(cut -d' ' -f1-3 /proc/loadavg); waiting)"
    sleep 30
  done
  echo "   (still busy after 20 minutes; measuring anyway)"
}

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
cat "$certs/server.pem" "$certs/server.key" >"$certs/server-and-key.pem"  # HAProxy's one file

# With this library configuration a server issues no TLS 1.3 tickets, so nothing can be resumed:
# the same file is given to every product for the no-resumption rate.
cat >"$tmp/no-resume.cnf" <<'EOF'
openssl_conf = bench_init
[bench_init]
ssl_conf = bench_ssl
[bench_ssl]
system_default = bench_no_tickets
[bench_no_tickets]
NumTickets = 0
EOF

# --- ports: the far end (the tool's sink or echo server) and one listener per relay hop --------
mapfile -t ports < <("$tool" ports 10)
dest=${ports[0]}
bkl_plug=${ports[1]} bkl_client=${ports[2]} bkl_server=${ports[3]}
socat_plug=${ports[4]} st_client=${ports[5]} st_server=${ports[6]}
hap_plug=${ports[7]} hap_client=${ports[8]} hap_server=${ports[9]}

# --- Brisklane: two processes, like the peer pair -----------------------------------------------
# "client": the plug rule and the SSL client rule; "server": the SSL server rule.
settings_key() { store_head "\"ssl.ca_cert\"=\"$certs/ca.pem\""; }
for side in client server; do mkdir -p "$tmp/bkl-$side"; done
{
  settings_key
  rule 1 0 "$bkl_plug" "$dest"
  rule 2 1 "$bkl_client" "$bkl_server" '"ssl.verify_server"=dword:00000001'
} >"$tmp/bkl-client.reg"
{
  settings_key
  rule 1 2 "$bkl_server" "$dest" "\"ssl.cert\"=\"$certs/server.pem\"
\"ssl.key\"=\"$certs/server.key\""
} >"$tmp/bkl-server.reg"
for side in client server; do
  BRISKLANE_CONFIG_DIR="$tmp/bkl-$side" "$regtool" import "$tmp/bkl-$side.reg" >/dev/null
done

start_brisklane() {  # [library configuration file]
  local side conf=${1:-}
  for side in server client; do
    start_proc "bkl-$side" "$tmp/bkl-$side.log" env BRISKLANE_CONFIG_DIR="$tmp/bkl-$side" \
      BRISKLANE_SHM_PREFIX="bench-$side-" ${conf:+OPENSSL_CONF="$conf"} "$daemon"
  done
  wait_listening "$bkl_plug" && wait_listening "$bkl_client" && wait_listening "$bkl_server"
}
stop_brisklane() { stop_proc bkl-client; stop_proc bkl-server; }

# --- peers: socat as the plug, a stunnel4 client -> server pair as the chain -------------------
write_stunnel() {  # resume (yes/no)
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
sessionResume = $1
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
sessionResume = $1
EOF
}
start_stunnel() {  # [library configuration file]
  local conf=${1:-} resume=yes
  [ -z "$conf" ] || resume=no
  write_stunnel "$resume"
  start_proc st-server "$tmp/st-server.log" env ${conf:+OPENSSL_CONF="$conf"} \
    stunnel4 "$tmp/stunnel-server.conf"
  start_proc st-client "$tmp/st-client.log" env ${conf:+OPENSSL_CONF="$conf"} \
    stunnel4 "$tmp/stunnel-client.conf"
  wait_listening "$st_server" && wait_listening "$st_client"
}
stop_stunnel() { stop_proc st-client; stop_proc st-server; }
start_socat() {
  start_proc socat "$tmp/socat.log" \
    socat "TCP-LISTEN:$socat_plug,bind=127.0.0.1,reuseaddr,fork" "TCP:127.0.0.1:$dest"
  wait_listening "$socat_plug"
}

# --- HAProxy: a plug relay and a client -> server pair, default threads, each in the foreground --
# HAProxy will not start when its maxconn needs more descriptors (two a connection, two a splice
# pipe) than the limit it may raise itself to; the pair's maxconn is as high as this limit allows
# (9,950 for 20,000 descriptors: enough for the 9,900 connections of CONC_COUNT).
nofile=$(ulimit -n)
hap_pipes=500
hap_maxconn=$(((nofile - 100) / 2))
hap_plug_maxconn=$((hap_maxconn - hap_pipes))
# The plug splices every connection both ways, as Brisklane's plug rule does: with "option
# splice-auto" this HAProxy (2.6) never spliced here, not even in a stream of 256 MiB (strace: no
# splice call, only reads and writes of 16 KiB), and streams ran at three quarters of the speed.
{
  haproxy_head "$hap_plug_maxconn" "maxpipes $hap_pipes"
  printf 'listen plug\n  bind 127.0.0.1:%s\n' "$hap_plug"
  if [ "$HAP_SPLICE" = auto ]; then
    echo '  option splice-auto'
  else
    printf '  option splice-request\n  option splice-response\n'
  fi
  printf '  server far 127.0.0.1:%s\n' "$dest"
} >"$tmp/haproxy-plug.cfg"
# The client side checks the server's chain against the CA and its name against 127.0.0.1 (with
# another CA file or another name every connection fails). It sends no server name, as stunnel4
# does not: the server is an address. The server side's stats socket tells how many of its
# handshakes were resumed.
write_haproxy() {  # resume (yes/no)
  local reuse=""
  [ "$1" = yes ] || reuse=" no-ssl-reuse"
  {
    haproxy_head "$hap_maxconn"
    printf 'listen client\n  bind 127.0.0.1:%s\n' "$hap_client"
    printf '  server s 127.0.0.1:%s ssl verify required ca-file %s verifyhost 127.0.0.1%s\n' \
      "$hap_server" "$certs/ca.pem" "$reuse"
  } >"$tmp/haproxy-client.cfg"
  {
    haproxy_head "$hap_maxconn" "stats socket $tmp/haproxy-server.sock"
    printf 'listen server\n  bind 127.0.0.1:%s ssl crt %s\n' "$hap_server" "$certs/server-and-key.pem"
    printf '  server far 127.0.0.1:%s\n' "$dest"
  } >"$tmp/haproxy-server.cfg"
}
# Resumption off: the server gets the library configuration the other products get (no TLS 1.3
# tickets, so nothing to resume; "no-tls-tickets" on the bind would not do, as the server then
# hands out stateful tickets from its session cache instead), and the client is told not to offer
# a session ("no-ssl-reuse"), as stunnel4's client is with sessionResume = no.
start_haproxy() {  # [library configuration file]
  local conf=${1:-} resume=yes
  [ -z "$conf" ] || resume=no
  write_haproxy "$resume"
  start_proc hap-server "$tmp/hap-server.log" env ${conf:+OPENSSL_CONF="$conf"} \
    haproxy -f "$tmp/haproxy-server.cfg" -db
  start_proc hap-client "$tmp/hap-client.log" env ${conf:+OPENSSL_CONF="$conf"} \
    haproxy -f "$tmp/haproxy-client.cfg" -db
  wait_listening "$hap_server" && wait_listening "$hap_client"
}
haproxy_errors() {  # name...: what each logged besides its start-up notices
  local name
  for name in "$@"; do
    if grep -qv '^\[NOTICE\]' "$tmp/$name.log"; then
      echo "!! $name logged (in $tmp/$name.log):" >&2
      grep -v '^\[NOTICE\]' "$tmp/$name.log" | head -3 >&2
    fi
  done
}
stop_haproxy() { stop_proc hap-client; stop_proc hap-server; haproxy_errors hap-client hap-server; }
start_haproxy_plug() {
  start_proc hap-plug "$tmp/hap-plug.log" haproxy -f "$tmp/haproxy-plug.cfg" -db
  wait_listening "$hap_plug"
}
hap_resumed_pct() {  # the share of the server side's handshakes resumed in the last second
  { echo "show info" | socat -t 2 - "UNIX-CONNECT:$tmp/haproxy-server.sock" || true; } |
    awk -F': ' '/^SslFrontendSessionReuse_pct:/ {print $2}'
}

# --- measurements --------------------------------------------------------------------------------
declare -A results=()
add() { results[$1]="${results[$1]:-} ${2:-0}"; echo "  $1: ${2:-0 (failed)}"; }

stream() { "$tool" stream --to "$1" --sink "$dest" --bytes "$STREAM_BYTES" --timeout 120 | field gbit_per_s; }

# key port client-pid server-pid: one chain stream, with each process's CPU seconds per GiB
chain_stream() {
  local key=$1 port=$2 c0 s0 c1 s1 gbit
  c0=$(cpu_ticks "$3") s0=$(cpu_ticks "$4")
  gbit=$(stream "$port")
  c1=$(cpu_ticks "$3") s1=$(cpu_ticks "$4")
  add "$key" "$gbit"
  add "${key}_cpuc" "$(awk -v d=$((c1 - c0)) -v t="$ticks" -v b="$STREAM_BYTES" \
    'BEGIN {printf "%.2f", d / t / (b / 1073741824)}')"
  add "${key}_cpus" "$(awk -v d=$((s1 - s0)) -v t="$ticks" -v b="$STREAM_BYTES" \
    'BEGIN {printf "%.2f", d / t / (b / 1073741824)}')"
}

rate() {
  "$tool" rate --to "$1" --echo "$dest" --seconds "$RATE_SECONDS" --max 200000 \
    --clients "$RATE_CLIENTS" --size 64 | field per_second
}

# idle port pids...: holds IDLE_COUNT idle connections through port and sets, per connection,
# idle_kib (the RSS of the given processes, in KiB), idle_avail (what the whole machine's
# MemAvailable fell by, in KiB: the load tool's own sockets and memory are in it; what the
# anonymous memory of every other process grew by meanwhile is taken off, as a build beside the
# benchmark moves it by far more) and idle_threads (the threads of each process while the
# connections are held). With no processes and port the sink's own, it measures the load tool
# alone. Runs in this shell (not a subshell) so that the tool's PID stays in `running`.
idle_kib=0 idle_avail=0 idle_threads=()
idle_memory() {
  local port=$1
  shift
  "$tool" rate --to "$port" --echo "$dest" --seconds 1 --max 4 --clients 1 >/dev/null  # warm up
  sleep 1
  local before after avail0 avail1 others0 others1 ready="$tmp/idle.ready"
  before=$(rss_kib "$@") avail0=$(mem_available) others0=$(others_anon_kib "$@")
  rm -f "$ready"
  start_proc idle "$tmp/idle.log" "$tool" idle --to "$port" --sink "$dest" --count "$IDLE_COUNT" \
    --ready "$ready" --hold "$((IDLE_SETTLE + 100))"
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
  # Held quiet for a while first when a relay is measured: the pool threads that served the
  # set-up end after 30 s without work, long before a mail client's idle connection is old.
  sleep "$([ $# -gt 0 ] && echo "$IDLE_SETTLE" || echo 2)"
  after=$(rss_kib "$@") avail1=$(mem_available) others1=$(others_anon_kib "$@" "${running[idle]}")
  local pid
  idle_threads=()
  for pid in "$@"; do idle_threads+=("$(threads_of "$pid")"); done
  stop_proc idle
  echo "  before ${before} KiB, with $IDLE_COUNT idle ${after} KiB, threads ${idle_threads[*]};" \
    "MemAvailable $avail0 -> $avail1 KiB, other processes' anonymous $others0 -> $others1 KiB" >&2
  idle_kib=$(awk -v a="$after" -v b="$before" -v n="$IDLE_COUNT" 'BEGIN {printf "%.1f", (a - b) / n}')
  idle_avail=$(awk -v a="$avail0" -v b="$avail1" -v c="$others0" -v d="$others1" -v n="$IDLE_COUNT" \
    'BEGIN {printf "%.1f", ((a - b) - (d - c)) / n}')
}

# key port client-pid server-pid: the memory figures of one chain, each under its own key
idle_chain() {
  idle_memory "$2" "$3" "$4" || return 0
  add "d_$1" "$idle_kib"
  add "m_$1" "$idle_avail"
  add "t_$1_c" "${idle_threads[0]}"
  add "t_$1_s" "${idle_threads[1]}"
}

# prefix port start stop: holds CONC_COUNT connections through a fresh pair (its processes
# named prefix-client and prefix-server); sets conc[prefix_held], conc[prefix_rss],
# conc[prefix_threads] and conc[prefix_stop].
declare -A conc=()
concurrency() {
  local p=$1 port=$2 ready="$tmp/hold.ready" a b t0 t1
  "$3"
  start_proc echo "$tmp/echo.log" "$tool" echo --listen "$dest" --hold 600
  wait_listening "$dest"
  rm -f "$ready"
  start_proc hold "$tmp/hold.log" "$tool" hold --to "$port" --count "$CONC_COUNT" \
    --ready "$ready" --hold 300
  for _ in $(seq 3000); do
    [ -f "$ready" ] || ! kill -0 "${running[hold]}" 2>/dev/null && break
    sleep 0.1
  done
  cat "$tmp/hold.log"
  conc[${p}_held]=$(field echoed <"$tmp/hold.log" | tail -1)
  a=${running[$p-client]} b=${running[$p-server]}
  conc[${p}_rss]="$(rss_kib "$a") + $(rss_kib "$b")"
  conc[${p}_threads]="$(threads_of "$a") + $(threads_of "$b")"
  echo "  held and echoing: ${conc[${p}_held]:-0}; RSS ${conc[${p}_rss]} KiB;" \
    "threads ${conc[${p}_threads]}"
  t0=$(date +%s.%N)
  kill -TERM "$a" "$b"
  for _ in $(seq 200); do
    kill -0 "$a" 2>/dev/null || kill -0 "$b" 2>/dev/null || break
    sleep 0.05
  done
  t1=$(date +%s.%N)
  conc[${p}_stop]=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')
  echo "  both ended ${conc[${p}_stop]} s after SIGTERM"
  "$4"
  stop_proc hold
  stop_proc echo
}

hits_of() {  # side: the session hits in the status line the daemon logs on SIGUSR1
  kill -USR1 "${running[bkl-$1]}"
  sleep 0.5
  grep -o '[0-9]* hits\?' "$tmp/bkl-$1.log" | tail -1 | cut -d' ' -f1
}

echo "== load before measuring: $(cut -d' ' -f1-3 /proc/loadavg)"
wait_quiet
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
start_brisklane
start_socat
start_stunnel
start_haproxy_plug
start_haproxy
for r in $(seq "$REPEATS"); do
  echo "== repetition $r of $REPEATS (load $(cut -d' ' -f1-3 /proc/loadavg))"
  add a_direct "$(stream "$dest")"
  add a_bkl "$(stream "$bkl_plug")"
  add a_peer "$(stream "$socat_plug")"
  add a_hap "$(stream "$hap_plug")"
  chain_stream b_bkl "$bkl_client" "${running[bkl-client]}" "${running[bkl-server]}"
  chain_stream b_peer "$st_client" "${running[st-client]}" "${running[st-server]}"
  chain_stream b_hap "$hap_client" "${running[hap-client]}" "${running[hap-server]}"
  add g_bkl "$(rate "$bkl_plug")"
  add g_peer "$(rate "$socat_plug")"
  add g_hap "$(rate "$hap_plug")"
  add c_bkl "$(rate "$bkl_client")"
  add c_peer "$(rate "$st_client")"
  add c_hap "$(rate "$hap_client")"
  hap_resumed=$(hap_resumed_pct)
done
resumed_hits=$(hits_of server)
stop_proc socat
stop_proc hap-plug
haproxy_errors hap-plug
stop_brisklane
stop_stunnel
stop_haproxy

start_brisklane "$tmp/no-resume.cnf"
start_stunnel "$tmp/no-resume.cnf"
start_haproxy "$tmp/no-resume.cnf"
for r in $(seq "$REPEATS"); do
  echo "== no resumption, repetition $r of $REPEATS"
  add e_bkl "$(rate "$bkl_client")"
  add e_peer "$(rate "$st_client")"
  add e_hap "$(rate "$hap_client")"
  hap_fresh=$(hap_resumed_pct)
done
fresh_hits=$(hits_of server)
echo "  session hits of the server rule: ${resumed_hits:-?} resumed run, ${fresh_hits:-?} without;" \
  "HAProxy's server side resumed ${hap_resumed:-?} % and ${hap_fresh:-?} % in the last second of each"
stop_brisklane
stop_stunnel
stop_haproxy

# Memory is measured on fresh processes, so that threads and buffers left from the other
# measurements do not hide what idle connections cost; and on a quiet machine where it can be,
# as a build beside moves the machine's free memory by more than the idle connections take.
wait_quiet
for r in $(seq "$REPEATS"); do
  echo "== memory, repetition $r of $REPEATS (load $(cut -d' ' -f1-3 /proc/loadavg))"
  idle_memory "$dest" && add m_harness "$idle_avail"
  start_brisklane
  idle_chain bkl "$bkl_client" "${running[bkl-client]}" "${running[bkl-server]}"
  stop_brisklane
  start_stunnel
  idle_chain peer "$st_client" "${running[st-client]}" "${running[st-server]}"
  stop_stunnel
  start_haproxy
  idle_chain hap "$hap_client" "${running[hap-client]}" "${running[hap-server]}"
  stop_haproxy
done

echo "== concurrency: $CONC_COUNT connections asked for (descriptor limit $nofile)"
concurrency bkl "$bkl_client" start_brisklane stop_brisklane
concurrency hap "$hap_client" start_haproxy stop_haproxy
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# shellcheck source=bench/report.sh
source "$top/bench/report.sh"
