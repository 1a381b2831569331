#!/usr/bin/env bash
# Measures the CPU use of an idle corvanebs-sim (no client connected): the base module alone,
# and three temperature modules sampling in averaging mode, side by side over the same
# window, from /proc/<pid>/stat (user + system time). Prints one line per board:
#   board=NAME seconds=N cpu_percent=X     # X: percent of one core
#
# Environment (all optional):
#   BUILD_DIR     build directory (default <repo>/build)
#   SECONDS_EACH  length of the measurement in seconds (default 30)
#   KEEP_LOGS     set to keep the temporary directory with the programs' output
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$repo/build}"
seconds="${SECONDS_EACH:-30}"

cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target corvanebs-sim -j 2 >/dev/null

work="$(mktemp -d /tmp/corvane-idle.XXXXXX)"
pids=()

stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        for _ in $(seq 20); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if [ -z "${KEEP_LOGS:-}" ]; then
        rm -rf "$work"
    else
        echo "logs kept in $work" >&2
    fi
}
trap stop_all EXIT
trap 'exit 130' INT TERM

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

wait_listening() {
    local port="$1" pid="$2"
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || return 1
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat"
}

declare -A boards=(
    [base]=""
    [tmp1,tmp2,tmp3]="temperature = [1, 2, 3];"
)
names=(base tmp1,tmp2,tmp3)
declare -A pid_of
for name in "${names[@]}"; do
    port="$(free_port)"
    dir="$work/$name"
    mkdir -p "$dir"
    printf 'Name = "idle %s";\nIP = "127.0.0.1";\nPort = "%s";\n' "$name" "$port" >"$dir/corvane.conf"
    echo "${boards[$name]}" >"$dir/board.cfg"
    CORVANE_CONFIG="$dir/corvane.conf" CORVANE_SIM_BOARD="$dir/board.cfg" \
        "$build/corvanebs-sim" >"$dir/out" 2>"$dir/err" &
    pids+=("$!")
    pid_of[$name]="$!"
    if ! wait_listening "$port" "$!"; then
        echo "corvanebs-sim ($name) did not come up on 127.0.0.1:$port" >&2
        cat "$dir/out" "$dir/err" >&2
        exit 1
    fi
done

declare -A before
for name in "${names[@]}"; do before[$name]="$(cpu_ticks "${pid_of[$name]}")"; done
start="$(date +%s.%N)"
sleep "$seconds"
for name in "${names[@]}"; do
    after="$(cpu_ticks "${pid_of[$name]}")"
    awk -v n="$name" -v b="${before[$name]}" -v a="$after" -v s0="$start" -v s1="$(date +%s.%N)" \
        -v t="$(getconf CLK_TCK)" 'BEGIN {
        printf "board=%s seconds=%.0f cpu_percent=%.2f\n", n, s1 - s0, (a - b) / t / (s1 - s0) * 100
    }'
done
