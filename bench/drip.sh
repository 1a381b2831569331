#!/usr/bin/env bash
# A drip client beside a closed-loop one: the drip client sends a 12-byte
# request one byte every 0.4 s, over and over; the other client
# (corvane-loadgen, one connection) reads 10 holding registers as fast as it
# can, without the drip and with it, in alternating rounds. Ends with one
# line:
#   drip_client_other_max_ms=X other_rps_ratio=Y
# X: the other client's worst latency while the drip ran; Y: its requests/s
# with the drip over those without it (medians of the rounds).
#
# Environment (all optional): BUILD_DIR (default <repo>/build), SECONDS_EACH
# (one measurement, default 5), ROUNDS (default 3), KEEP_LOGS.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds="${SECONDS_EACH:-5}"
rounds="${ROUNDS:-3}"
build_tools corvanebs-sim corvane-loadgen
start_sim

# Prints "requests/s max_latency_us" of one closed-loop measurement.
measure() {
    local out
    out="$("$build/corvane-loadgen" --port "$sim_port" --connections 1 --seconds "$seconds")" || {
        echo "load generator reported errors:" >&2
        echo "$out" >&2
        return 1
    }
    echo "$out" | sed -n 's/^rps=\([0-9.]*\) .*/\1/p' | tr '\n' ' '
    echo "$out" | sed -n 's/^latency .* max \([0-9]*\) us$/\1/p'
}

drip() {
    python3 - "$sim_port" "$1" <<'PY'
import socket, sys, time
port, until = int(sys.argv[1]), time.monotonic() + float(sys.argv[2])
s = socket.create_connection(("127.0.0.1", port))
s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
s.settimeout(5)
answered, tid = 0, 0
while time.monotonic() < until:
    tid += 1
    for b in bytes([tid >> 8 & 255, tid & 255, 0, 0, 0, 6, 1, 3, 0, 10, 0, 1]):
        s.send(bytes([b]))
        time.sleep(0.4)
    reply = b""
    while len(reply) < 11:
        reply += s.recv(11 - len(reply))
    answered += reply[0:2] == bytes([tid >> 8 & 255, tid & 255])
print(answered)
PY
}

plain=()
dripped=()
worst=0
for round in $(seq "$rounds"); do
    read -r rps plain_max < <(measure)
    plain+=("$rps")
    drip "$((seconds + 1))" >"$work/drip.$round" &
    drip_pid="$!"
    sleep 0.5  # connected and in the middle of its first request
    read -r rps max < <(measure)
    dripped+=("$rps")
    [ "$max" -gt "$worst" ] && worst="$max"
    wait "$drip_pid"
    if [ "$(cat "$work/drip.$round")" -lt 1 ]; then
        echo "the drip client's requests were not answered" >&2
        exit 1
    fi
    echo "# round $round: without drip ${plain[-1]} rps (max ${plain_max} us)," \
        "with drip ${dripped[-1]} rps (max ${max} us)" >&2
done
awk -v w="$worst" -v p="$(median "${plain[@]}")" -v d="$(median "${dripped[@]}")" \
    'BEGIN { printf "drip_client_other_max_ms=%.1f other_rps_ratio=%.2f\n", w / 1000, (p > 0 ? d / p : 0) }'
