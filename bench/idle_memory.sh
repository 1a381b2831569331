#!/usr/bin/env bash
# Resident memory of an idle corvanebs-sim (the demo board, no client) at the
# start and after a while, to show that nothing grows while it runs. Prints:
#   idle_seconds=S rss_kb_before=X rss_kb_after=Y
#
# Environment (all optional):
#   BUILD_DIR     build directory (default <repo>/build)
#   IDLE_SECONDS  how long to watch (default 600)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$repo/build}"
idle="${IDLE_SECONDS:-600}"

cmake -S "$repo" -B "$build" >/dev/null
cmake --build "$build" --target corvanebs-sim -j "$(nproc)" >/dev/null

work="$(mktemp -d /tmp/corvane-idle.XXXXXX)"
pid=""
finish() {
    if [ -n "$pid" ]; then
        kill -INT "$pid" 2>/dev/null || true
        for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap finish EXIT

port="$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
printf 'IP = "127.0.0.1";\nPort = "%s";\n' "$port" >"$work/corvane.conf"

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }

CORVANE_CONFIG="$work/corvane.conf" "$build/corvanebs-sim" >"$work/out" 2>&1 &
pid=$!
# Start-up settles (scan, first LED passes) before the first figure.
sleep 5
kill -0 "$pid" 2>/dev/null || { cat "$work/out" >&2; exit 1; }
before="$(rss_kb)"
sleep "$idle"
after="$(rss_kb)"
echo "idle_seconds=$idle rss_kb_before=$before rss_kb_after=$after"
