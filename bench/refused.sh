#!/usr/bin/env bash
# A connection storm from an address outside AllowedClients while an allowed
# client polls: how long the allowed client waits at worst, and whether the
# service's memory and descriptors come back to where they were. Prints:
#   allowed_client_max_ms=X refused=N rss_kb_before=A rss_kb_after=B fds_before=C fds_after=D
# N counts the attempts the service closed without a reply. The same client's
# worst round trip in the seconds before the storm goes to standard error: on
# a busy machine that is the noise floor of X.
#
# Environment (all optional):
#   BUILD_DIR     build directory (default <repo>/build)
#   ATTEMPTS      connection attempts from the refused address (default 20000)
#   REALTIME      set to run the service and the allowed client under SCHED_FIFO
#                 (chrt, needs the privilege), so that other work on the machine
#                 stays out of X; the storm runs at normal priority
#   KEEP_LOGS     set to keep the temporary directory with the service's output
set -euo pipefail

attempts="${ATTEMPTS:-20000}"
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_tools corvanebs-sim

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$sim_pid/status"; }
fds() { ls "/proc/$sim_pid/fd" | wc -l; }

rt=""
if [ -n "${REALTIME:-}" ]; then rt="chrt -f 10"; fi
server_cpus="$rt"
sim_settings='AllowedClients = ["127.0.0.1"];'
start_sim

# The allowed client: reads input register 3 again and again until told to
# stop, then prints the longest round trip in milliseconds, during the storm
# and before it.
$rt python3 - "$sim_port" "$work" >"$work/poller" <<'PY' &
import os, socket, struct, sys, time
port, work = int(sys.argv[1]), sys.argv[2]
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.settimeout(5)
slowest, calm, tid = 0.0, None, 0
while not os.path.exists(work + "/stop"):
    if calm is None and os.path.exists(work + "/storm"):
        calm, slowest = slowest, 0.0
    tid = (tid + 1) & 0xFFFF
    begin = time.perf_counter()
    s.sendall(struct.pack(">HHHBBHH", tid, 0, 6, 1, 4, 3, 1))
    reply = b""
    while len(reply) < 11:
        chunk = s.recv(11 - len(reply))
        if not chunk:
            sys.exit("the allowed client was disconnected")
        reply += chunk
    slowest = max(slowest, time.perf_counter() - begin)
    if reply[7] != 4:
        sys.exit("the allowed client was refused")
    time.sleep(0.001)
print("%.2f %.2f" % (slowest * 1000, calm * 1000))
PY
poller="$!"
pids+=("$poller")

# Connected and settled before the first figures.
sleep 5
rss_before="$(rss_kb)"
fds_before="$(fds)"
touch "$work/storm"

refused="$(python3 - "$sim_port" "$attempts" <<'PY'
import socket, sys
port, attempts = int(sys.argv[1]), int(sys.argv[2])
IP_BIND_ADDRESS_NO_PORT = 24  # the port is chosen at connect, by the whole address pair
refused = 0
for _ in range(attempts):
    s = socket.socket()
    s.setsockopt(socket.IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, 1)
    s.bind(("127.0.0.9", 0))
    s.settimeout(5)
    try:
        s.connect(("127.0.0.1", port))
        refused += s.recv(1) == b""
    except ConnectionResetError:
        refused += 1
    except OSError:
        pass
    s.close()
print(refused)
PY
)"

# Anything the storm left behind would show after it.
sleep 2
rss_after="$(rss_kb)"
fds_after="$(fds)"
touch "$work/stop"
wait "$poller"
read -r storm_ms calm_ms <"$work/poller"
echo "# before the storm: allowed_client_max_ms=$calm_ms" >&2
echo "allowed_client_max_ms=$storm_ms refused=$refused" \
    "rss_kb_before=$rss_before rss_kb_after=$rss_after fds_before=$fds_before fds_after=$fds_after"
