# shellcheck shell=bash
# The report of bench/run.sh, sourced at its end: the table (printed, and written to
# bench/RESULTS.md above its kept notes) and the chart bench/results.png, one panel per measure.
# Reads what run.sh gathered: `results` (every run's figure under its key), `conc` (the held
# connections), the session hits and the load averages.
# shellcheck disable=SC2154  # those, and the medians the first loop below names after their keys

# shellcheck disable=SC2086  # a key's figures are one word each, split on purpose
m() { median ${results[$1]:-0}; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) printf "%.2f", a / b; else print "-"}'; }
exact() { awk -v a="$1" -v b="$2" 'BEGIN {if (b > 0) print a / b; else print "-"}'; }  # to check goals
verdict() { [ "$1" != - ] && awk -v v="$1" "BEGIN {exit !(v $2)}" && echo "met" || echo "not met"; }
both() {  # name verdict name verdict
  if [ "$2" = met ] && [ "$4" = met ]; then echo met; else echo "$1: $2; $3: $4"; fi
}
vs() { echo "$2 (Brisklane $(ratio "$1" "$2")×)"; }  # brisklane-figure peer-figure
scaled() { awk -v a="$1" -v f="$2" 'BEGIN {printf "%.2f", a * f}'; }

keys=(a_direct a_bkl a_peer a_hap b_bkl b_peer b_hap
  b_bkl_cpuc b_bkl_cpus b_peer_cpuc b_peer_cpus b_hap_cpuc b_hap_cpus
  g_bkl g_peer g_hap c_bkl c_peer c_hap e_bkl e_peer e_hap d_bkl d_peer d_hap
  t_bkl_c t_bkl_s t_peer_c t_peer_s t_hap_c t_hap_s m_harness m_bkl m_peer m_hap)
for k in "${keys[@]}"; do printf -v "$k" '%s' "$(m "$k")"; done
for p in bkl peer hap; do  # the whole machine's share of each chain, the load tool's taken off
  m_p=m_$p
  printf -v "n_$p" '%s' "$(awk -v a="${!m_p}" -v h="$m_harness" 'BEGIN {printf "%.1f", a - h}')"
done

# The SSL stream and its CPU are held against the better of the two chains it is compared with.
if awk -v a="$b_hap" -v b="$b_peer" 'BEGIN {exit !(a > b)}'; then
  best="HAProxy pair" best_b=$b_hap best_cpuc=$b_hap_cpuc best_cpus=$b_hap_cpus
else
  best="stunnel4 pair" best_b=$b_peer best_cpuc=$b_peer_cpuc best_cpus=$b_peer_cpus
fi
worst_cpu=$(awk -v a="$b_bkl_cpuc" -v b="$best_cpuc" -v c="$b_bkl_cpus" -v d="$best_cpus" \
  'BEGIN {if (b <= 0 || d <= 0) {print "-"; exit} x = a / b; y = c / d; print (x > y ? x : y)}')
conc_goal=$(((CONC_COUNT * 99) / 100))
conc_cell() {  # prefix
  local p=$1
  echo "${conc[${p}_held]:-0} of $CONC_COUNT; RSS ${conc[${p}_rss]:-?} KiB;" \
    "threads ${conc[${p}_threads]:-?}; both ended ${conc[${p}_stop]:-?} s after SIGTERM"
}
conc_met=$([ "${conc[bkl_held]:-0}" -ge "$conc_goal" ] && verdict "${conc[bkl_stop]:-99}" '< 5' ||
  echo 'not met')

table() {
  echo '| Measure | Unit | Brisklane | stunnel4 / socat | HAProxy | Goal | Met |'
  echo '|---|---|---|---|---|---|---|'
  echo "| (a) plug, one stream (direct loopback $a_direct) | Gbit/s | $a_bkl ($(ratio "$a_bkl" "$a_direct") of loopback) | socat $(vs "$a_bkl" "$a_peer") | $(vs "$a_bkl" "$a_hap") | ≥ 0.6 of loopback | $(verdict "$(exact "$a_bkl" "$a_direct")" '>= 0.6') |"
  echo "| (b) SSL client rule → SSL server rule, one stream | Gbit/s | $b_bkl | stunnel4 pair $(vs "$b_bkl" "$b_peer") | $(vs "$b_bkl" "$b_hap") | ≥ 1.5× the better peer ($best) | $(verdict "$(exact "$b_bkl" "$best_b")" '>= 1.5') |"
  echo "| (b) CPU per GiB, client side + server side | CPU-s | $b_bkl_cpuc + $b_bkl_cpus | $b_peer_cpuc + $b_peer_cpus (Brisklane $(ratio "$b_bkl_cpuc" "$b_peer_cpuc")× and $(ratio "$b_bkl_cpus" "$b_peer_cpus")×) | $b_hap_cpuc + $b_hap_cpus (Brisklane $(ratio "$b_bkl_cpuc" "$b_hap_cpuc")× and $(ratio "$b_bkl_cpus" "$b_hap_cpus")×) | ≤ 0.67× the $best's, each side | $(verdict "$worst_cpu" '<= 0.67') |"
  echo "| (g) plug, short connections | conn/s | $g_bkl | socat $(vs "$g_bkl" "$g_peer") | $(vs "$g_bkl" "$g_hap") | ≥ 1.2× HAProxy | $(verdict "$(exact "$g_bkl" "$g_hap")" '>= 1.2') |"
  echo "| (c) SSL chain, short connections, resumed sessions | conn/s | $c_bkl | stunnel4 pair $(vs "$c_bkl" "$c_peer") | $(vs "$c_bkl" "$c_hap") | ≥ 3× stunnel4 pair; ≥ 2× HAProxy | $(both stunnel4 "$(verdict "$(exact "$c_bkl" "$c_peer")" '>= 3')" HAProxy "$(verdict "$(exact "$c_bkl" "$c_hap")" '>= 2')") |"
  echo "| (e) SSL chain, short connections, resumption off on every product | conn/s | $e_bkl | stunnel4 pair $(vs "$e_bkl" "$e_peer") | $(vs "$e_bkl" "$e_hap") | ≥ 1.5× stunnel4 pair | $(verdict "$(exact "$e_bkl" "$e_peer")" '>= 1.5') |"
  echo "| (d) memory per idle connection, both hops, RSS, $IDLE_COUNT held | KiB | $d_bkl | stunnel4 pair $(vs "$d_bkl" "$d_peer") | $(vs "$d_bkl" "$d_hap") | ≤ 0.5× stunnel4 pair; ≤ 0.8× HAProxy | $(both stunnel4 "$(verdict "$(exact "$d_bkl" "$d_peer")" '<= 0.5')" HAProxy "$(verdict "$(exact "$d_bkl" "$d_hap")" '<= 0.8')") |"
  echo "| (d) threads while they are held, client side + server side | threads | $t_bkl_c + $t_bkl_s | $t_peer_c + $t_peer_s | $t_hap_c + $t_hap_s | — | — |"
  echo "| (d) the whole machine per idle connection (what MemAvailable fell by, less what other processes' anonymous memory grew by): the load tool alone, $IDLE_COUNT held straight to its sink | KiB | $m_harness, in every figure of the row below | | | — | — |"
  echo "| (d) the same, both hops: the load tool's share taken off (in brackets, with it) | KiB | $n_bkl ($m_bkl) | stunnel4 pair $n_peer ($m_peer; Brisklane $(ratio "$n_bkl" "$n_peer")×) | $n_hap ($m_hap; Brisklane $(ratio "$n_bkl" "$n_hap")×) | ≤ 0.8× HAProxy | $(verdict "$(exact "$n_bkl" "$n_hap")" '<= 0.8') |"
  echo "| (f) concurrent connections through the chain, each echoing | connections | $(conc_cell bkl) | — | $(conc_cell hap) | Brisklane: all of $CONC_COUNT (99 %), end < 5 s | $conc_met |"
}

echo
table
all_runs=$(for k in "${keys[@]}"; do printf '%s=[%s ] ' "$k" "${results[$k]:-}"; done)
echo
echo "All runs: $all_runs"
[ "$WRITE" = 1 ] || exit 0

# --- RESULTS.md ------------------------------------------------------------------------------------
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
    "for $RATE_SECONDS s, 64 bytes echoed per connection; memory with $IDLE_COUNT idle connections held $IDLE_SETTLE s." \
    "Ratios in brackets are Brisklane's figure over the peer's."
  echo
  echo '![Brisklane and its peers, side by side](results.png)'
  echo
  table
  echo
  echo "Load average (1, 5, 15 min) when measuring began: $load_start; at the end: $load_end."
  echo "Session hits of the SSL server rule: ${resumed_hits:-?} after the resumed runs, ${fresh_hits:-?} after the runs without resumption." \
    "HAProxy's server side, in the last second of each: ${hap_resumed:-?} % of its handshakes resumed, and ${hap_fresh:-?} %."
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
  echo "| HAProxy | $(haproxy -v | awk 'NR == 1 {print $3}'), threads left to its default (one a core) |"
  echo "| g++ | $(g++ -dumpfullversion) ; cmake $(cmake --version | awk 'NR == 1 {print $3}') |"
  echo
  echo "$marker"
  echo "$kept"
} >"$results_file.new"
mv "$results_file.new" "$results_file"

# --- the chart: one panel per measure, each with its own axis --------------------------------------
# A product has the same colour in every panel; the goal is a dashed line (a second one dotted)
# at the value it asks for, worked out from the peer figure it refers to.
colour_of() {
  case $1 in
    Brisklane) echo 0x2a7ab0 ;;
    socat) echo 0xe39b38 ;;
    stunnel4) echo 0xc8553d ;;
    HAProxy) echo 0x5b9a5b ;;
    *) echo 0x9a9a9a ;;
  esac
}
chart="$tmp/chart.gp"
panels=0
legend() {  # the legend, once, across the top: a swatch and a name per product
  local product x=0.22 i=100
  for product in Brisklane socat "stunnel4 pair" HAProxy "direct loopback"; do
    i=$((i + 1))
    printf 'set object %d rect from screen %s, screen 0.927 to screen %s, screen 0.943' \
      "$i" "$x" "$(awk -v x="$x" 'BEGIN {print x + 0.02}')"
    printf ' fc rgb "#%06x" fs solid 0.85 border -1\n' "$(colour_of "${product%% *}")"
    printf 'set label %d "%s" at screen %s, screen 0.935 left\n' \
      "$i" "$product" "$(awk -v x="$x" 'BEGIN {print x + 0.027}')"
    x=$(awk -v x="$x" 'BEGIN {print x + 0.12}')
  done
}
panel() {  # title caption goal second-goal|- name value...
  local title=$1 caption=$2 goal=$3 goal2=$4 file n=0
  shift 4
  panels=$((panels + 1))
  file="$tmp/panel-$panels.dat"
  : >"$file"
  while [ $# -ge 2 ]; do
    printf '"%s" %s %d "%s"\n' "$1" "$2" "$(colour_of "$1")" \
      "$(awk -v v="$2" 'BEGIN {a = v < 0 ? -v : v; f = a >= 100 ? "%.0f" : a >= 10 ? "%.1f" : "%.2f"; printf f, v}')" >>"$file"
    n=$((n + 1))
    shift 2
  done
  {
    [ "$panels" -gt 1 ] || legend
    printf 'set title "%s\\n{/*0.85 %s}"\n' "$title" "$caption"
    echo "set xrange [-0.6:$n - 0.4]"
    printf 'plot "%s" using 0:2:(0.7):3:xtic(1) with boxes lc rgb variable notitle, \\\n' "$file"
    printf '  %s with lines dt 2 lw 1.5 lc rgb "#333333" notitle, \\\n' "$goal"
    [ "$goal2" = - ] || printf '  %s with lines dt 3 lw 2 lc rgb "#333333" notitle, \\\n' "$goal2"
    echo "  '' using 0:2:4 with labels boxed offset 0,0.7 font \",9\" notitle"
    [ "$panels" -gt 1 ] || echo 'unset object; unset label'
  } >>"$chart"
}
hap_held="HAProxy: ${conc[hap_held]:-0}"
cat >"$chart" <<EOF
set terminal pngcairo size 1260,980 font "DejaVu Sans,10"
set output "$top/bench/results.png"
set multiplot layout 3,3 title "{/:Bold Brisklane and its peers}, one run on 127.0.0.1 ($(nproc) shared cores); connections held and echoing through the chain: ${conc[bkl_held]:-0} of $CONC_COUNT ($hap_held)" margins 0.05,0.98,0.04,0.87 spacing 0.055,0.1
set style fill solid 0.85 border -1
set style textbox opaque noborder margins 1,1
set grid ytics
set yrange [*<0:*]
set offsets 0, 0, graph 0.2, 0
set xtics nomirror scale 0 font ",9"
set ytics font ",9"
unset key
EOF
panel "(a) plug, one stream: Gbit/s" "dashed: goal, 0.6 × loopback" "$(scaled "$a_direct" 0.6)" - \
  Brisklane "$a_bkl" socat "$a_peer" HAProxy "$a_hap" loopback "$a_direct"
panel "(g) plug, short connections: conn/s" "dashed: goal, 1.2 × HAProxy" "$(scaled "$g_hap" 1.2)" - \
  Brisklane "$g_bkl" socat "$g_peer" HAProxy "$g_hap"
panel "(b) SSL chain, one stream: Gbit/s" "dashed: goal, 1.5 × the better peer" \
  "$(scaled "$best_b" 1.5)" - Brisklane "$b_bkl" stunnel4 "$b_peer" HAProxy "$b_hap"
panel "(b) CPU-s per GiB, client side (lower is better)" "dashed: goal, 0.67 × the better peer's" \
  "$(scaled "$best_cpuc" 0.67)" - Brisklane "$b_bkl_cpuc" stunnel4 "$b_peer_cpuc" HAProxy "$b_hap_cpuc"
panel "(b) CPU-s per GiB, server side (lower is better)" "dashed: goal, 0.67 × the better peer's" \
  "$(scaled "$best_cpus" 0.67)" - Brisklane "$b_bkl_cpus" stunnel4 "$b_peer_cpus" HAProxy "$b_hap_cpus"
panel "(c) SSL chain, short connections, resumed: conn/s" \
  "goals: dashed 3 × stunnel4, dotted 2 × HAProxy" "$(scaled "$c_peer" 3)" "$(scaled "$c_hap" 2)" \
  Brisklane "$c_bkl" stunnel4 "$c_peer" HAProxy "$c_hap"
panel "(e) SSL chain, short connections, resumption off: conn/s" "dashed: goal, 1.5 × stunnel4" \
  "$(scaled "$e_peer" 1.5)" - Brisklane "$e_bkl" stunnel4 "$e_peer" HAProxy "$e_hap"
panel "(d) RSS KiB per idle connection (lower is better)" \
  "goals: dashed 0.5 × stunnel4, dotted 0.8 × HAProxy" "$(scaled "$d_peer" 0.5)" \
  "$(scaled "$d_hap" 0.8)" Brisklane "$d_bkl" stunnel4 "$d_peer" HAProxy "$d_hap"
panel "(d) machine KiB per idle connection (lower is better)" \
  "MemAvailable less the load tool's $m_harness; dashed: 0.8 × HAProxy" \
  "$(scaled "$n_hap" 0.8)" - Brisklane "$n_bkl" stunnel4 "$n_peer" HAProxy "$n_hap"
echo 'unset multiplot' >>"$chart"
gnuplot "$chart"
echo "== wrote $results_file and bench/results.png"
