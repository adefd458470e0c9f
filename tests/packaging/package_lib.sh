# Helpers of package_test.sh: the packages' build folder and files, processes stopped by their PID,
# bounded waits, free ports on 127.0.0.1, a scratch root for dpkg. Sourced, not run.

# Set by package_test.sh: $source (the source tree), $work (this run's folder under the build tree).
pkgbuild="$work/build"
debs="$work/debs"
server_deb() { ls "$debs"/brisklane-server_*.deb; }
desktop_deb() { ls "$debs"/brisklane_*.deb; }

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

skip() {
  echo "skipped: $*"
  exit 77
}

need_packages() {
  [ -n "${BKL_PACKAGE_TESTS:-}" ] || skip "the package tests run when BKL_PACKAGE_TESTS is set (.ci/run sets it)"
  [ -f "$work/built" ] || fail "the packages were not built (packaging.build failed?)"
}

need_root() {
  [ "$(id -u)" -eq 0 ] || skip "dpkg --root with a system user and file owners needs root"
}

# Processes this script started, stopped by their PID when it ends, and its scratch folders.
pids=()
scratch=()
finish() {
  stop_all
  local dir
  for dir in "${scratch[@]}"; do
    rm -rf "$dir"
  done
}
stop_all() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  pids=()
}
trap finish EXIT

# Waits (up to $2 tenths of a second) until command $1 succeeds.
wait_until() {
  local tries="$2"
  while ! eval "$1"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Waits for a process to end (up to $2 tenths of a second); its exit status goes to $status.
wait_exit() {
  local pid="$1"
  wait_until "! kill -0 $pid 2>/dev/null" "$2" || return 1
  status=0
  wait "$pid" || status=$?
}

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# An empty dpkg root with the files useradd needs.
new_root() {
  local r="$1"
  rm -rf "$r"
  mkdir -p "$r/var/lib/dpkg/info" "$r/var/lib/dpkg/updates" "$r/var/lib/dpkg/triggers" "$r/etc"
  chmod 755 "$r"
  touch "$r/var/lib/dpkg/status" "$r/var/lib/dpkg/available"
  echo 'root:x:0:0:root:/root:/bin/bash' >"$r/etc/passwd"
  echo 'root:x:0:' >"$r/etc/group"
  echo 'root:*:19000:0:99999:7:::' >"$r/etc/shadow"
  echo 'root:*::' >"$r/etc/gshadow"
  chmod 640 "$r/etc/shadow" "$r/etc/gshadow"
}

# dpkg on the scratch root, its maintainer scripts run outside a chroot with DPKG_ROOT set.
# The root holds no libraries of its own: the programs use the running system's.
root_dpkg() {
  local r="$1"
  shift
  dpkg --root="$r" --force-script-chrootless --force-depends "$@"
}

# The uid of "brisklane" in a root's passwd.
root_uid() { awk -F: '$1 == "brisklane" { print $3 }' "$1/etc/passwd"; }
root_gid() { awk -F: '$1 == "brisklane" { print $4 }' "$1/etc/passwd"; }

# Runs a command as the root's "brisklane" user, with the root's machine store.
as_service_user() {
  local r="$1"
  shift
  BRISKLANE_CONFIG_DIR="$r/etc/brisklane" setpriv --reuid="$(root_uid "$r")" \
    --regid="$(root_gid "$r")" --clear-groups "$@"
}

# A CA and a server certificate for 127.0.0.1, as run.sh makes them.
make_certificates() {
  local d="$1"
  mkdir -p "$d"
  openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/O=Brisklane test/CN=Test CA" \
    -keyout "$d/ca.key" -out "$d/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/O=Brisklane test/CN=127.0.0.1" \
    -keyout "$d/server.key" -out "$d/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' >"$d/server.ext"
  openssl x509 -req -in "$d/server.csr" -CA "$d/ca.pem" -CAkey "$d/ca.key" -CAcreateserial \
    -days 30 -extfile "$d/server.ext" -out "$d/server.pem" 2>/dev/null
}
