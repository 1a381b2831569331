#!/usr/bin/env bash
# Measures corvanebs-sim against a bare libmodbus reply loop (corvane-bare) under the same
# closed-loop load, on loopback only, and prints one line per connection count:
#   connections=N corvanebs=X bare=Y ratio=Z
#
# Environment (all optional):
#   BUILD_DIR     build directory (default <repo>/build)
#   SECONDS_EACH  length of one measurement in seconds (default 5)
#   ROUNDS        measurements per server and connection count, alternating; the median
#                 is reported (default 3)
#   CONNECTIONS   connection counts (default "1 10 100")
#   PIN           set to pin the servers to CPU 0 and the load generator to the other CPUs
#   KEEP_LOGS     set to keep the temporary directory with the servers' output
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds="${SECONDS_EACH:-5}"
rounds="${ROUNDS:-3}"
counts="${CONNECTIONS:-1 10 100}"

build_tools corvanebs-sim corvane-loadgen corvane-bare

server_cpus=""
load_cpus=""
if [ -n "${PIN:-}" ] && [ "$(nproc)" -ge 2 ]; then
    server_cpus="taskset -c 0"
    load_cpus="taskset -c 1-$(($(nproc) - 1))"
fi

start_sim
bare_port="$(free_port)"
while [ "$bare_port" = "$sim_port" ]; do bare_port="$(free_port)"; done
$server_cpus "$build/corvane-bare" --port "$bare_port" --backlog 128 \
    >"$work/bare.out" 2>"$work/bare.err" &
pids+=("$!")
bare_pid="$!"
if ! wait_listening "$bare_port" "$bare_pid"; then
    echo "corvane-bare did not come up on 127.0.0.1:$bare_port" >&2
    cat "$work/bare.err" >&2
    exit 1
fi

# CPU time (user + system) a process has used so far, in clock ticks.
cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

# Prints the requests/s of one measurement; a measurement with errors fails the run, because
# its figure would compare a server doing less work. The server's CPU time per request goes to
# standard error beside the load generator's report: unlike requests/s it hardly depends on
# what else the machine runs at the time.
measure() {
    local pid="$1" port="$2" connections="$3" out before after rps
    before="$(cpu_ticks "$pid")"
    out="$($load_cpus "$build/corvane-loadgen" --host 127.0.0.1 --port "$port" \
        --connections "$connections" --seconds "$seconds")" || {
        echo "load generator reported errors against port $port:" >&2
        echo "$out" >&2
        return 1
    }
    after="$(cpu_ticks "$pid")"
    rps="$(echo "$out" | tail -n 1 | sed -n 's/^rps=\([0-9.]*\) .*/\1/p')"
    awk -v line="$(echo "$out" | tail -n 1)" -v b="$before" -v a="$after" -v r="$rps" \
        -v s="$seconds" -v t="$(getconf CLK_TCK)" 'BEGIN {
        printf "%s server_cpu_us_per_request=%.2f\n", line, (r > 0 ? (a - b) / t * 1e6 / (r * s) : 0)
    }' >&2
    echo "$rps"
}

results=()
for n in $counts; do
    sim_rps=()
    bare_rps=()
    for round in $(seq "$rounds"); do
        # Alternating the order cancels a drift of the machine over the run.
        if [ $((round % 2)) -eq 1 ]; then order="sim bare"; else order="bare sim"; fi
        for which in $order; do
            if [ "$which" = sim ]; then
                echo "# corvanebs-sim, $n connection(s), round $round" >&2
                sim_rps+=("$(measure "$sim_pid" "$sim_port" "$n")")
            else
                echo "# corvane-bare, $n connection(s), round $round" >&2
                bare_rps+=("$(measure "$bare_pid" "$bare_port" "$n")")
            fi
        done
    done
    results+=("$(awk -v n="$n" -v s="$(median "${sim_rps[@]}")" -v b="$(median "${bare_rps[@]}")" \
        'BEGIN { printf "connections=%d corvanebs=%.1f bare=%.1f ratio=%.2f", n, s, b, (b > 0 ? s / b : 0) }')")
done

kill -0 "$sim_pid" 2>/dev/null || { echo "corvanebs-sim ended during the run" >&2; exit 1; }
printf '%s\n' "${results[@]}"
