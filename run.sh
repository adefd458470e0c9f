#!/usr/bin/env bash
# Installs what is missing, builds Brisklane, and runs it on the bundled example configuration, in
# a configuration folder of this checkout (.run/), never the user's own: the desktop program
# (brisklane, in the tray) when there is a display, else the relay daemon (brisklaned).
# ./run.sh --daemon runs the daemon even with a display. Stop either with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")"
top=$PWD

./scripts/install-deps
cmake -S "$top" -B "$top/build/run" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBKL_TESTS=OFF >/dev/null
cmake --build "$top/build/run" -j"$(nproc)" --target brisklane brisklaned brisklane-reg

program=brisklaned
if [ "${1:-}" != "--daemon" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  program=brisklane
fi
stops="Ctrl-C stops it"
[ "$program" = brisklane ] && stops="$stops, as does Exit in the tray icon's menu"

run="$top/.run"
certs="$run/certs"
export BRISKLANE_CONFIG_DIR="$run/config"
mkdir -p "$certs" "$BRISKLANE_CONFIG_DIR"

# A small CA and a server certificate for 127.0.0.1, made once.
if [ ! -f "$certs/server.pem" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -subj "/O=Brisklane example/CN=Example CA" \
    -keyout "$certs/ca.key" -out "$certs/ca.pem" 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -subj "/O=Brisklane example/CN=127.0.0.1" \
    -keyout "$certs/server.key" -out "$certs/server.csr" 2>/dev/null
  printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\n' > "$certs/server.ext"
  openssl x509 -req -in "$certs/server.csr" -CA "$certs/ca.pem" -CAkey "$certs/ca.key" \
    -CAcreateserial -days 3650 -extfile "$certs/server.ext" -out "$certs/server.pem" 2>/dev/null
fi

sed "s|@CERTS@|$certs|g" examples/example.reg > "$run/example.reg"
"$top/build/run/src/app/brisklane-reg" import "$run/example.reg" >/dev/null

# The example rules end at an echo service on 127.0.0.1:7080.
socat TCP-LISTEN:7080,bind=127.0.0.1,reuseaddr,fork EXEC:cat &
echo_pid=$!
trap 'kill "$echo_pid" 2>/dev/null' EXIT

cat <<MSG
Brisklane ($program) on the example configuration (store: $BRISKLANE_CONFIG_DIR/user.reg).
In a second terminal, send a line through the SSL client rule, the SSL server rule and
back from the echo service:

    echo "hello through TLS" | socat -t2 - TCP:127.0.0.1:7000

$stops.
MSG
"$top/build/run/src/app/$program"
