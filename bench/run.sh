#!/usr/bin/env bash
# Runs the relay benchmarks side by side with their peers, in one run, on 127.0.0.1 only:
#   (a) one stream of STREAM_BYTES through a plug rule   vs socat as the same plug, and the direct
#       loopback path (the load tool to its own sink)
#   (b) one stream through an SSL client rule in one brisklaned -> an SSL server rule in another
#       vs a stunnel4 client -> server pair; with the CPU seconds per GiB of each process
#   (c) short connections per second through that chain, sessions resumed, vs the stunnel4 pair
#   (e) the same with resumption off on both products
#   (d) resident memory per idle connection, both hops (IDLE_COUNT held) vs the stunnel4 pair
#   (f) concurrent connections held through the chain (CONC_COUNT asked for), each echoing its
#       bytes while all are open; RSS of both processes; time both take to end on SIGTERM
# Each figure of (a) to (e) is the median of REPEATS runs; the products alternate within a
# repetition. Writes bench/RESULTS.md (the part above its kept notes) and bench/results.png.
# Not part of ./test.sh. Every process it starts is stopped by its PID when it exits.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

REPEATS=${REPEATS:-3}
STREAM_BYTES=${STREAM_BYTES:-2147483648}
RATE_SECONDS=${RATE_SECONDS:-5}
RATE_CLIENTS=${RATE_CLIENTS:-4}
IDLE_COUNT=${IDLE_COUNT:-1000}
CONC_COUNT=${CONC_COUNT:-9900}
# QUIET_WAIT=0 measures at once instead of waiting (at most 20 minutes) for a quiet machine.
QUIET_WAIT=${QUIET_WAIT:-1}
# WRITE=0 prints the figures without touching RESULTS.md and the chart.
WRITE=${WRITE:-1}
# KEEP=1 keeps the temporary folder (logs, configurations, certificates) for a look afterwards.
# DAEMON=path measures that brisklaned build (another commit's, to compare) instead of building
# this tree's; WRITE then defaults to 0.
DAEMON=${DAEMON:-}
[ -z "$DAEMON" ] || WRITE=${WRITE_WITH_DAEMON:-0}

# The chart is drawn with gnuplot; the benchmark installs it when it is missing (the test run
# does not need it, so scripts/install-deps leaves it out).
if [ "$WRITE" = 1 ] && ! command -v gnuplot >/dev/null; then
  echo "== installing gnuplot-nox for the chart"
  apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null ||
    { apt-get update -q >/dev/null && apt-get install -y -q --no-install-recommends gnuplot-nox >/dev/null; }
fi

relay_build="$top/build/bench-relay"
tool_build="$top/build/bench"
echo "== building brisklaned (Release) and the load tool"
if [ -z "$DAEMON" ]; then
  cmake -S "$top" -B "$relay_build" -DCMAKE_BUILD_TYPE=Release -DBKL_TESTS=OFF >/dev/null
  cmake --build "$relay_build" -j2 --target brisklaned brisklane-reg >/dev/null
fi
cmake -S "$top/bench" -B "$tool_build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$tool_build" >/dev/null
daemon=${DAEMON:-$relay_build/src/app/brisklaned}
regtool="$(dirname "$daemon")/brisklane-reg"
tool="$tool_build/bench_tool"

# Every process this script starts may use as many descriptors as the machine allows.
ulimit -n "$(ulimit -Hn)"

tmp=$(mktemp -d /tmp/brisklane-bench.XXXXXX)
# shellcheck source=bench/processes.sh
source "$top/bench/processes.sh"

rss_kib() {  # PIDs...: the sum of their VmRSS in KiB
  local total=0 pid value
  for pid in "$@"; do
    value=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    total=$((total + value))
  done
  echo "$total"
}

threads_of() { awk '/^Threads:/ {print $2}' "/proc/$1/status"; }
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

# With this library configuration a server issues no TLS 1.3 tickets, so nothing can be resumed:
# the same file is given to both products for the no-resumption rate.
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
mapfile -t ports < <("$tool" ports 7)
dest=${ports[0]}
bkl_plug=${ports[1]} bkl_client=${ports[2]} bkl_server=${ports[3]}
socat_plug=${ports[4]} st_client=${ports[5]} st_server=${ports[6]}

# --- Brisklane: two processes, like the peer pair -----------------------------------------------
# "client": the plug rule and the SSL client rule; "server": the SSL server rule.
rule() {  # number role port dest-port [extra lines]
  printf '\n[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Rule%s]\n' "$1"
  printf '"disable"=dword:00000000\n"ssl.role"=dword:0000000%s\n"connect.type"=dword:00000000\n' "$2"
  printf '"if.addr.str"="127.0.0.1"\n"peer.addr.str"="All"\n"peer.mask.str"="All"\n'
  printf '"peer.port.str"="%s"\n"dest.addr.str"="127.0.0.1"\n"dest.port.str"="%s"\n' "$3" "$4"
  [ $# -lt 5 ] || printf '%s\n' "$5"
}
settings_key() {
  printf 'Windows Registry Editor Version 5.00\n\n'
  printf '[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4]\n'
  printf '"verbose"=dword:00000000\n"log.detailed"=dword:00000000\n'
  printf '"ssl.ca_cert"="%s"\n' "$certs/ca.pem"
}
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

# Holds CONC_COUNT connections through a fresh Brisklane pair; sets conc_* figures.
conc_held=0 conc_rss="" conc_threads="" conc_stop=0
concurrency() {
  local ready="$tmp/hold.ready" a b t0 t1
  start_brisklane
  start_proc echo "$tmp/echo.log" "$tool" echo --listen "$dest" --hold 600
  wait_listening "$dest"
  rm -f "$ready"
  start_proc hold "$tmp/hold.log" "$tool" hold --to "$bkl_client" --count "$CONC_COUNT" \
    --ready "$ready" --hold 300
  for _ in $(seq 3000); do
    [ -f "$ready" ] || ! kill -0 "${running[hold]}" 2>/dev/null && break
    sleep 0.1
  done
  cat "$tmp/hold.log"
  conc_held=$(field echoed <"$tmp/hold.log" | tail -1)
  a=${running[bkl-client]} b=${running[bkl-server]}
  conc_rss="$(rss_kib "$a") + $(rss_kib "$b")"
  conc_threads="$(threads_of "$a") + $(threads_of "$b")"
  echo "  held and echoing: ${conc_held:-0}; RSS ${conc_rss} KiB; threads ${conc_threads}"
  t0=$(date +%s.%N)
  kill -TERM "$a" "$b"
  for _ in $(seq 200); do
    kill -0 "$a" 2>/dev/null || kill -0 "$b" 2>/dev/null || break
    sleep 0.05
  done
  t1=$(date +%s.%N)
  conc_stop=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')
  echo "  both ended ${conc_stop} s after SIGTERM"
  stop_brisklane
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
for r in $(seq "$REPEATS"); do
  echo "== repetition $r of $REPEATS (load $(cut -d' ' -f1-3 /proc/loadavg))"
  add a_direct "$(stream "$dest")"
  add a_bkl "$(stream "$bkl_plug")"
  add a_peer "$(stream "$socat_plug")"
  chain_stream b_bkl "$bkl_client" "${running[bkl-client]}" "${running[bkl-server]}"
  chain_stream b_peer "$st_client" "${running[st-client]}" "${running[st-server]}"
  add c_bkl "$(rate "$bkl_client")"
  add c_peer "$(rate "$st_client")"
done
resumed_hits=$(hits_of server)
stop_proc socat
stop_brisklane
stop_stunnel

start_brisklane "$tmp/no-resume.cnf"
start_stunnel "$tmp/no-resume.cnf"
for r in $(seq "$REPEATS"); do
  echo "== no resumption, repetition $r of $REPEATS"
  add e_bkl "$(rate "$bkl_client")"
  add e_peer "$(rate "$st_client")"
done
fresh_hits=$(hits_of server)
echo "  session hits of the server rule: ${resumed_hits:-?} resumed run, ${fresh_hits:-?} without"
stop_brisklane
stop_stunnel

# Memory is measured on fresh processes, so that threads and buffers left from the other
# measurements do not hide what idle connections cost.
for r in $(seq "$REPEATS"); do
  echo "== memory, repetition $r of $REPEATS"
  start_brisklane
  idle_memory "$bkl_client" "${running[bkl-client]}" "${running[bkl-server]}" && add d_bkl "$idle_kib"
  stop_brisklane
  start_stunnel
  idle_memory "$st_client" "${running[st-client]}" "${running[st-server]}" && add d_peer "$idle_kib"
  stop_stunnel
done

echo "== concurrency: $CONC_COUNT connections asked for (descriptor limit $(ulimit -n))"
concurrency
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- report --------------------------------------------------------------------------------------
m() { median ${results[$1]}; }  # shellcheck disable=SC2086
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
verdict() { awk -v v="$1" "BEGIN {exit !(v $2)}" && echo "met" || echo "not met"; }

a_bkl=$(m a_bkl) a_peer=$(m a_peer) a_direct=$(m a_direct)
b_bkl=$(m b_bkl) b_peer=$(m b_peer)
b_cpuc=$(m b_bkl_cpuc) b_cpus=$(m b_bkl_cpus) p_cpuc=$(m b_peer_cpuc) p_cpus=$(m b_peer_cpus)
c_bkl=$(m c_bkl) c_peer=$(m c_peer) e_bkl=$(m e_bkl) e_peer=$(m e_peer)
d_bkl=$(m d_bkl) d_peer=$(m d_peer)
worst_cpu=$(awk -v a="$b_cpuc" -v b="$p_cpuc" -v c="$b_cpus" -v d="$p_cpus" \
  'BEGIN {x = a / b; y = c / d; printf "%.2f", (x > y ? x : y)}')
conc_goal=$(( (CONC_COUNT * 99) / 100 ))

table() {
  echo '| Measure | Unit | Brisklane | Peer | Brisklane / peer | Goal | Met |'
  echo '|---|---|---|---|---|---|---|'
  echo "| (a) plug, one stream | Gbit/s | $a_bkl | socat $a_peer; direct loopback $a_direct | $(ratio "$a_bkl" "$a_peer") (of loopback: $(ratio "$a_bkl" "$a_direct")) | ≥ 0.5 of loopback | $(verdict "$(ratio "$a_bkl" "$a_direct")" '>= 0.5') |"
  echo "| (b) SSL client rule → SSL server rule, one stream | Gbit/s | $b_bkl | stunnel4 pair $b_peer | $(ratio "$b_bkl" "$b_peer") | ≥ 1.5 | $(verdict "$(ratio "$b_bkl" "$b_peer")" '>= 1.5') |"
  echo "| (b) CPU per GiB, client side + server side | CPU-s | $b_cpuc + $b_cpus | $p_cpuc + $p_cpus | $(ratio "$b_cpuc" "$p_cpuc") and $(ratio "$b_cpus" "$p_cpus") | ≤ 0.67 each | $(verdict "$worst_cpu" '<= 0.67') |"
  echo "| (c) short connections, resumed sessions | conn/s | $c_bkl | $c_peer | $(ratio "$c_bkl" "$c_peer") | ≥ 3 | $(verdict "$(ratio "$c_bkl" "$c_peer")" '>= 3') |"
  echo "| (e) short connections, resumption off on both | conn/s | $e_bkl | $e_peer | $(ratio "$e_bkl" "$e_peer") | ≥ 1.5 | $(verdict "$(ratio "$e_bkl" "$e_peer")" '>= 1.5') |"
  echo "| (d) memory per idle connection, both hops, $IDLE_COUNT held | KiB | $d_bkl | $d_peer | $(ratio "$d_bkl" "$d_peer") | ≤ 0.5 | $(verdict "$(ratio "$d_bkl" "$d_peer")" '<= 0.5') |"
  echo "| (f) concurrent connections through the chain, each echoing | connections | ${conc_held:-0} of $CONC_COUNT; RSS $conc_rss KiB; threads $conc_threads; both ended ${conc_stop} s after SIGTERM | — | — | all of ≈ 9,900, end < 5 s | $( [ "${conc_held:-0}" -ge "$conc_goal" ] && verdict "$conc_stop" '< 5' || echo 'not met') |"
}

echo
table
all_runs=$(for k in a_direct a_bkl a_peer b_bkl b_peer b_bkl_cpuc b_bkl_cpus b_peer_cpuc b_peer_cpus \
  c_bkl c_peer e_bkl e_peer d_bkl d_peer; do printf '%s=[%s ] ' "$k" "${results[$k]}"; done)
echo
echo "All runs: $all_runs"
[ "$WRITE" = 1 ] || exit 0

# --- RESULTS.md and the chart ----------------------------------------------------------------------
results_file="$top/bench/RESULTS.md"
marker='<!-- Everything below this line is kept by bench/run.sh. -->'
kept=""
if [ -f "$results_file" ] && grep -qF "$marker" "$results_file"; then
  kept=$(sed -n "/^${marker//\//\\/}\$/,\$p" "$results_file" | tail -n +2)
fi
cpu=$(awk -F': ' '/^model name/ {print $2; exit}' /proc/cpuinfo)
{
  echo '# Benchmark results'
  echo
  echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC') at commit" \
    "$(git -C "$top" rev-parse --short HEAD)$(git -C "$top" diff --quiet HEAD -- src || echo ' (with uncommitted changes)')."
  echo 'Medians of' "$REPEATS runs; streams of $STREAM_BYTES bytes; rates with $RATE_CLIENTS clients" \
    "for $RATE_SECONDS s, 64 bytes echoed per connection; memory with $IDLE_COUNT idle connections."
  echo
  echo '![Brisklane and its peers, side by side](results.png)'
  echo
  table
  echo
  echo "Load average (1, 5, 15 min) when measuring began: $load_start; at the end: $load_end."
  echo "Session hits of the SSL server rule: ${resumed_hits:-?} after the resumed runs, ${fresh_hits:-?} after the runs without resumption."
  echo
  echo "All runs: $all_runs"
  echo
  echo '## Machine and versions'
  echo
  echo '| | |'
  echo '|---|---|'
  echo "| CPU | $cpu, \`nproc\` = $(nproc) (shared with other work) |"
  echo "| Memory | $(awk '/MemTotal/ {printf "%.0f GB", $2 / 1e6}' /proc/meminfo) |"
  echo "| Kernel | $(uname -r) |"
  echo "| Descriptor limit | $(ulimit -n) per process |"
  echo "| OpenSSL | $(openssl version | cut -d' ' -f2-) |"
  echo "| socat | $(socat -V 2>/dev/null | awk '/socat version/ {print $3; exit}') |"
  echo "| stunnel4 | $(stunnel4 -version 2>&1 | awk '/^stunnel/ {print $2; exit}') |"
  echo "| g++ | $(g++ -dumpfullversion) ; cmake $(cmake --version | awk 'NR == 1 {print $3}') |"
  echo
  echo "$marker"
  echo "$kept"
} >"$results_file.new"
mv "$results_file.new" "$results_file"

cat >"$tmp/chart.dat" <<EOF
"plug stream\n(Gbit/s)" $a_bkl $a_peer $a_direct
"SSL chain stream\n(Gbit/s)" $b_bkl $b_peer 0
"CPU-s per GiB,\nclient side" $b_cpuc $p_cpuc 0
"CPU-s per GiB,\nserver side" $b_cpus $p_cpus 0
"resumed\n(1000 conn/s)" $(awk -v v="$c_bkl" 'BEGIN {print v / 1000}') $(awk -v v="$c_peer" 'BEGIN {print v / 1000}') 0
"no resumption\n(1000 conn/s)" $(awk -v v="$e_bkl" 'BEGIN {print v / 1000}') $(awk -v v="$e_peer" 'BEGIN {print v / 1000}') 0
"KiB per idle\nconnection / 10" $(awk -v v="$d_bkl" 'BEGIN {print v / 10}') $(awk -v v="$d_peer" 'BEGIN {print v / 10}') 0
EOF
gnuplot <<EOF
set terminal pngcairo size 1100,520 font "DejaVu Sans,10"
set output "$top/bench/results.png"
set title "Brisklane and its peers, one run on 127.0.0.1 ($(nproc) shared cores); held through the chain: ${conc_held:-0}"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set key top right
set grid ytics
set yrange [0:*]
set xtics font ",9"
set bmargin 4  # room for the two-line labels
plot "$tmp/chart.dat" using 2:xtic(1) title "Brisklane" lc rgb "#2a7ab0", \
     "" using 3 title "peer (socat; stunnel4 pair)" lc rgb "#c8553d", \
     "" using 4 title "direct loopback" lc rgb "#8a9a5b"
EOF
echo "== wrote $results_file and bench/results.png"
