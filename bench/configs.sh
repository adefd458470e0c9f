# shellcheck shell=bash
# The configurations the benchmarks give the products they measure: Brisklane's store (a settings
# key and rules on 127.0.0.1) and HAProxy's global and default sections (mode tcp; only sessions
# that end in an error are logged, to standard error). Sourced.

rule() {  # number role port dest-port [extra lines]
  printf '\n[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4\\Rule%s]\n' "$1"
  printf '"disable"=dword:00000000\n"ssl.role"=dword:0000000%s\n"connect.type"=dword:00000000\n' "$2"
  printf '"if.addr.str"="127.0.0.1"\n"peer.addr.str"="All"\n"peer.mask.str"="All"\n'
  printf '"peer.port.str"="%s"\n"dest.addr.str"="127.0.0.1"\n"dest.port.str"="%s"\n' "$3" "$4"
  [ $# -lt 5 ] || printf '%s\n' "$5"
}
store_head() {  # [extra settings lines]: the export's first lines and the settings key
  printf 'Windows Registry Editor Version 5.00\n\n'
  printf '[HKEY_CURRENT_USER\\Software\\Tandry\\Brisklane 4]\n'
  printf '"verbose"=dword:00000000\n"log.detailed"=dword:00000000\n'
  [ $# -lt 1 ] || printf '%s\n' "$1"
}
haproxy_head() {  # maxconn [global setting]
  cat <<EOF
global
  maxconn $1
  log stderr format raw local0 notice
EOF
  [ $# -lt 2 ] || printf '  %s\n' "$2"
  cat <<EOF
defaults
  mode tcp
  log global
  option tcplog
  option dontlog-normal
  option log-separate-errors
  timeout connect 5s
  timeout client 10m
  timeout server 10m
EOF
}
