# The install step of package_test.sh: both packages installed with dpkg into a scratch root (its
# maintainer scripts run chrootless, with DPKG_ROOT), the installed daemon run as the service's
# user on the installed example configuration, then reinstall, remove, purge and installs over a
# configuration that is already there. Sourced by package_test.sh.

store_key='Software\Tandry\Brisklane 4'

# The command prefix that runs a program as the root's "brisklane" on the root's machine store.
service_user() {
  svc=(env BRISKLANE_CONFIG_DIR="$1/etc/brisklane" setpriv --reuid="$(root_uid "$1")"
    --regid="$(root_gid "$1")" --clear-groups)
}

owner_mode() { stat -c '%u %a' "$1"; }

install_both() {
  root_dpkg "$1" -i "$(server_deb)" "$(desktop_deb)" >"$work/dpkg.log" 2>&1 ||
    fail "dpkg -i failed: $(cat "$work/dpkg.log")"
}

check_first_install() {
  local r="$1" uid
  uid=$(root_uid "$r")
  [ -n "$uid" ] && [ "$uid" -lt 1000 ] || fail "no system user brisklane: $(cat "$r/etc/passwd")"
  grep -q '^brisklane:.*:/nonexistent:/usr/sbin/nologin$' "$r/etc/passwd" || fail "user entry"
  [ "$(owner_mode "$r/etc/brisklane")" = "$uid 750" ] || fail "/etc/brisklane is not 0750 brisklane"
  [ "$(owner_mode "$r/etc/brisklane/certificates")" = "$uid 750" ] || fail "certificates folder"
  [ "$(owner_mode "$r/etc/brisklane/machine.reg")" = "$uid 600" ] || fail "machine.reg owner"
  grep -q 'Created HKEY_LOCAL_MACHINE\\Software\\Tandry\\Brisklane 4 in ' "$work/dpkg.log" ||
    fail "the postinst did not say it made the settings: $(cat "$work/dpkg.log")"
  service_user "$r"
  local out
  out=$("${svc[@]}" "$r/usr/bin/brisklane-reg" localmachine query "$store_key" ssl.enable_tls1)
  grep -q 'ssl.enable_tls1    REG_DWORD    0x1' <<<"$out" || fail "no default settings: $out"
  [ -L "$r/etc/systemd/system/multi-user.target.wants/brisklaned.service" ] ||
    fail "the service is not enabled"
}

# The example rules on free ports and the generated certificates, in the machine's store.
import_example() {
  local r="$1" certs="$1/etc/brisklane/certificates"
  make_certificates "$certs"
  chown -R "$(root_uid "$r"):$(root_gid "$r")" "$certs"
  mkdir -p "$r/tmp"
  chmod 1777 "$r/tmp"
  sed -e "s|@CERTS@|$certs|g" -e 's|HKEY_CURRENT_USER|HKEY_LOCAL_MACHINE|' \
    -e "s|=\"7000\"|=\"$port_client\"|; s|=\"7443\"|=\"$port_server\"|" \
    -e "s|=\"7080\"|=\"$port_echo\"|; s|=\"7001\"|=\"$port_plug\"|" \
    "$r/usr/share/brisklane/examples/example.reg" >"$r/tmp/example.reg"
  chmod 644 "$r/tmp/example.reg"
  "${svc[@]}" "$r/usr/bin/brisklane-reg" import "$r/tmp/example.reg" >/dev/null ||
    fail "the service user could not import the example"
}

# A daemon that cannot listen (every port taken): exit status 1, an error line, with the journal's
# prefix when its standard error is the journal stream and without it otherwise.
check_busy_ports() {
  local r="$1" log="$1/tmp/busy-$2.log" stream="1:1" pid
  : >"$log"
  [ "$2" = journal ] && stream=$(stat -c '%d:%i' "$log")
  JOURNAL_STREAM="$stream" BRISKLANE_SHM_PREFIX="bklpkgbusy$$" \
    "${svc[@]}" "$r/usr/sbin/brisklaned" localmachine 2>>"$log" &
  pid=$!
  pids+=("$pid")
  wait_exit "$pid" 300 || fail "a daemon on busy ports kept running"
  [ "$status" -eq 1 ] || fail "a daemon on busy ports exited $status: $(cat "$log")"
  local prefix=""
  [ "$2" = journal ] && prefix="<3>"
  grep -qF "${prefix}Couldn't bind to port $port_client: Address in use." "$log" ||
    fail "no '${prefix}Couldn't bind' line: $(cat "$log")"
  if [ "$2" = journal ]; then
    ! grep -v '^<[346]>' "$log" | grep -q . || fail "a journal line without a prefix"
  else
    ! grep -q '^<[0-9]>' "$log" || fail "prefixes while standard error is not the journal"
  fi
}

relay_through_installed() {
  local r="$1" log="$1/tmp/daemon.log" pid reply
  port_client=$(free_port) port_server=$(free_port) port_echo=$(free_port) port_plug=$(free_port)
  service_user "$r"
  import_example "$r"
  socat "TCP-LISTEN:$port_echo,bind=127.0.0.1,reuseaddr,fork" EXEC:cat &
  pids+=($!)
  : >"$log"
  JOURNAL_STREAM=$(stat -c '%d:%i' "$log") BRISKLANE_SHM_PREFIX="bklpkg$$" \
    "${svc[@]}" "$r/usr/sbin/brisklaned" localmachine 2>>"$log" &
  pid=$!
  pids+=("$pid")
  wait_until "port_open $port_client && port_open $port_server && port_open $port_plug" 200 ||
    fail "the installed daemon does not listen: $(cat "$log")"
  reply=$(echo "hello through TLS" | timeout 20 socat -t5 - "TCP:127.0.0.1:$port_client")
  [ "$reply" = "hello through TLS" ] || fail "no echo through both SSL rules: '$reply' $(cat "$log")"
  reply=$(echo "plain hello" | timeout 20 socat -t5 - "TCP:127.0.0.1:$port_plug")
  [ "$reply" = "plain hello" ] || fail "no echo through the plug rule: '$reply'"
  wait_until "grep -q '^<6>Connect .* to 127.0.0.1.$port_server as client' '$log'" 100 ||
    fail "no journal-prefixed connection line: $(cat "$log")"
  ! grep -v '^<[346]>' "$log" | grep -q . || fail "a journal line without a prefix: $(cat "$log")"
  check_busy_ports "$r" plain
  check_busy_ports "$r" journal
  kill -TERM "$pid"
  wait_exit "$pid" 300 || fail "the daemon did not end on SIGTERM"
  [ "$status" -eq 0 ] || fail "the daemon exited $status after SIGTERM"
}

check_reinstall_keeps() {
  local r="$1" before
  before=$(sha256sum <"$r/etc/brisklane/machine.reg")
  install_both "$r"
  [ "$(sha256sum <"$r/etc/brisklane/machine.reg")" = "$before" ] || fail "reinstall changed the store"
  [ "$(owner_mode "$r/etc/brisklane/machine.reg")" = "$(root_uid "$r") 600" ] || fail "owner"
  grep -q 'already exists in .*; it was left as it is' "$work/dpkg.log" ||
    fail "the postinst did not say it kept the settings: $(cat "$work/dpkg.log")"
  [ -f "$r/etc/brisklane/certificates/server.pem" ] || fail "reinstall lost the certificates"
}

check_remove_and_purge() {
  local r="$1" before
  before=$(sha256sum <"$r/etc/brisklane/machine.reg")
  root_dpkg "$r" -r brisklane brisklane-server >"$work/dpkg.log" 2>&1 || fail "dpkg -r failed"
  [ ! -e "$r/usr/sbin/brisklaned" ] && [ ! -e "$r/usr/bin/brisklane" ] || fail "remove left programs"
  [ "$(sha256sum <"$r/etc/brisklane/machine.reg")" = "$before" ] || fail "remove changed the store"
  [ -f "$r/etc/brisklane/certificates/server.key" ] || fail "remove lost the certificates"
  root_dpkg "$r" -P brisklane brisklane-server >"$work/dpkg.log" 2>&1 || fail "dpkg -P failed"
  [ ! -e "$r/etc/brisklane" ] || fail "purge left /etc/brisklane"
  [ ! -e "$r/etc/systemd/system/multi-user.target.wants/brisklaned.service" ] &&
    [ ! -e "$r/etc/systemd/system/brisklaned.service" ] || fail "purge left the unit's links"
  grep -q '^brisklane:' "$r/etc/passwd" || fail "purge removed the user"
}

# A store that is there before the package (made by hand, or kept from a removed install) stays
# byte for byte: readable with the settings key, and even unreadable by the service user (the
# installation still succeeds, with a warning).
check_install_over_existing() {
  local r="$1" store="$1/etc/brisklane/machine.reg" before
  mkdir -p "$r/etc/brisklane"
  printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\%s]\r\n"log.info"=dword:00000000\r\n' \
    "$store_key" >"$store"
  chown "$(root_uid "$r"):$(root_gid "$r")" "$store"
  chmod 600 "$store"
  before=$(sha256sum <"$store")
  install_both "$r"
  [ "$(sha256sum <"$store")" = "$before" ] || fail "an install changed an existing store"
  root_dpkg "$r" -P brisklane brisklane-server >/dev/null 2>&1 || fail "dpkg -P failed"
  mkdir -p "$r/etc/brisklane"
  echo 'Windows Registry Editor Version 5.00' >"$store"
  chmod 600 "$store"
  before=$(sha256sum <"$store")
  install_both "$r"
  [ "$(sha256sum <"$store")" = "$before" ] || fail "an install changed a store it cannot read"
  grep -q 'warning: /etc/brisklane/machine.reg was left as it is' "$work/dpkg.log" ||
    fail "no warning about the unreadable store: $(cat "$work/dpkg.log")"
}

step_install() {
  need_packages
  need_root
  command -v socat >/dev/null || fail "socat is not installed (scripts/install-deps)"
  local started=$SECONDS r
  # Under /tmp: the service's user must be able to reach every folder above the root.
  r=$(mktemp -d /tmp/brisklane-root.XXXXXX)
  scratch+=("$r")
  new_root "$r"
  install_both "$r"
  check_first_install "$r"
  relay_through_installed "$r"
  stop_all
  check_reinstall_keeps "$r"
  check_remove_and_purge "$r"
  check_install_over_existing "$r"
  root_dpkg "$r" -P brisklane brisklane-server >/dev/null 2>&1 || true
  echo "install: installed, relayed, reinstalled, removed and purged in $((SECONDS - started)) s"
}
