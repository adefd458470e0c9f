# shellcheck shell=bash
# What the benchmark scripts share: the processes they start, each stopped by its PID when the
# script ends, waits for a listening port, and the median. Sourced after `tmp` (the script's
# temporary folder) is set; KEEP=1 keeps that folder.
# shellcheck disable=SC2154  # tmp: set by the script that sources this

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
  if [ -n "${KEEP:-}" ]; then echo "logs kept in $tmp"; else rm -rf "$tmp"; fi
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

median() {  # values...: the middle one (the lower middle for an even count)
  printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print v[int((NR + 1) / 2)]}'
}
