#!/usr/bin/env bash
# bench/perf_listen.sh [BRISKLANE_PERF]: what slow and flooding clients cost `brisklane-perf
# --listen` and the scrapes of others. With nothing published every scrape is answered 503, which
# is as good an answer as any here: what is measured is how long it takes to come.
#   idle   - one scrape on an idle endpoint
#   slow   - one scrape while 10 clients send their request head a byte every 3 s (at most 40 s)
#   flood  - 4 clients sending 3 million header lines each: the endpoint's peak memory and the
#            seconds until every flooding client was done, then one scrape
# Not part of ./test.sh; its shared objects carry a prefix of their own.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
tool="${1:-$top/build/dev/src/app/brisklane-perf}"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
export BRISKLANE_SHM_PREFIX="benchlisten$$_"
"$tool" --listen "127.0.0.1:$port" >/dev/null 2>&1 &
pid=$!
trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
sleep 0.5

python3 - "$port" "$pid" <<'EOF'
import socket, sys, threading, time
port, pid = int(sys.argv[1]), int(sys.argv[2])

def scrape(limit=60.0):
    start = time.monotonic()
    s = socket.create_connection(("127.0.0.1", port))
    s.settimeout(limit)
    s.sendall(b"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
    try:
        first = s.recv(64)
    except socket.timeout:
        first = b""
    s.close()
    status = first.split(b"\r\n")[0].decode() or "no answer"
    return time.monotonic() - start, status

def peak_kib():
    for line in open("/proc/%d/status" % pid):
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return -1

took, status = scrape()
print("idle   scrape %8.3f s  (%s)" % (took, status))

slow, stop = [], threading.Event()
for _ in range(10):
    c = socket.create_connection(("127.0.0.1", port))
    c.sendall(b"GET /metrics HTTP/1.1\r\n")
    slow.append(c)
def trickle():
    for _ in range(14):
        for c in slow:
            try:
                c.sendall(b"X")
            except OSError:
                pass
        if stop.wait(3):
            return
t = threading.Thread(target=trickle)
t.start()
time.sleep(1)
took, status = scrape(40.0)
print("slow   scrape %8.3f s  (%s)" % (took, status))
stop.set()
t.join()
for c in slow:
    c.close()

sent = [0] * 4
def flood(i):
    c = socket.create_connection(("127.0.0.1", port))
    chunk = b"X-Flood: yes\r\n" * 10000
    try:
        c.sendall(b"GET /metrics HTTP/1.1\r\n")
        for _ in range(300):
            c.sendall(chunk)
            sent[i] += len(chunk)
    except OSError:
        pass
    c.close()
start = time.monotonic()
floods = [threading.Thread(target=flood, args=(i,)) for i in range(4)]
for f in floods:
    f.start()
for f in floods:
    f.join()
print("flood  %8.3f s, peak memory %d KiB, bytes taken per client %s" %
      (time.monotonic() - start, peak_kib(), sent))
took, status = scrape()
print("after  scrape %8.3f s  (%s)" % (took, status))
EOF
