#!/usr/bin/env bash
# What watching the board costs: corvane-panel polling the full demo board at its default
# interval (500 ms), and a second demo-board corvanebs-sim that nobody polls, side by side
# over the same window, from /proc/<pid>/stat (user + system time). Prints one line:
#   panel_cpu_percent=X service_cpu_percent=Y
# X is the panel's CPU, Y what the polled simulator uses beyond the idle one (its sampling and
# monitoring threads run either way), both in percent of one core.
#
# Environment (all optional):
#   BUILD_DIR     build directory (default <repo>/build)
#   SECONDS_EACH  length of the measurement in seconds (default 30)
#   KEEP_LOGS     set to keep the temporary directory with the programs' output
set -euo pipefail

seconds="${SECONDS_EACH:-30}"
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_tools corvanebs-sim corvane-panel

cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

start_sim demo idle
idle_pid="$sim_pid"
start_sim demo polled
polled_pid="$sim_pid"
"$build/corvane-panel" --modbus "127.0.0.1:$sim_port" --listen 127.0.0.1:0 \
    >"$work/panel.out" 2>"$work/panel.err" &
panel_pid="$!"
pids+=("$panel_pid")
# Until the panel has polled the board once (at most about five seconds).
for _ in $(seq 50); do
    url="$(awk '{ print $3; exit }' "$work/panel.out")"
    if [ -n "$url" ] && /usr/bin/python3 -c 'import json, sys, urllib.request
sys.exit(not json.load(urllib.request.urlopen(sys.argv[1] + "api/board", timeout=2))["time"])' \
        "$url" 2>/dev/null; then
        break
    fi
    sleep 0.1
done

panel0="$(cpu_ticks "$panel_pid")" polled0="$(cpu_ticks "$polled_pid")" idle0="$(cpu_ticks "$idle_pid")"
start="$(date +%s.%N)"
sleep "$seconds"
awk -v p="$(($(cpu_ticks "$panel_pid") - panel0))" -v s="$(($(cpu_ticks "$polled_pid") - polled0))" \
    -v i="$(($(cpu_ticks "$idle_pid") - idle0))" -v s0="$start" -v s1="$(date +%s.%N)" \
    -v t="$(getconf CLK_TCK)" 'BEGIN {
    seconds = (s1 - s0) * t / 100
    printf "panel_cpu_percent=%.2f service_cpu_percent=%.2f\n", p / seconds, (s - i) / seconds
}'
