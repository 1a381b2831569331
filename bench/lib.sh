# Shared by the bench scripts (sourced): builds the Release tools, starts
# corvanebs-sim on a free loopback port and stops whatever was started.
# Sets: repo, build, work (temporary directory), sim_pid, sim_port.

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$repo/build}"
work="$(mktemp -d /tmp/corvane-bench.XXXXXX)"
pids=()

build_tools() {
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    cmake --build "$build" --target "$@" -j "$(nproc)" >/dev/null
}

stop_all() {
    local pid
    for pid in "${pids[@]}"; do
        kill -INT "$pid" 2>/dev/null || true
    done
    for pid in "${pids[@]}"; do
        # Bounded: a process that ignores SIGINT gets SIGKILL after about two seconds.
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

# Waits until something accepts on 127.0.0.1:$1, at most about five seconds.
wait_listening() {
    local port="$1" pid="$2"
    for _ in $(seq 50); do
        if ! kill -0 "$pid" 2>/dev/null; then
            return 1
        fi
        if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# corvanebs-sim on a free loopback port, default threshold. $1: the board
# file's text (default empty: the base module only; "demo": the built-in demo
# board); $2: a name for its files under $work (default sim). Lines in
# $sim_settings (default none) are added to its configuration file, words
# NAME=VALUE in $sim_env (default none) to its environment.
start_sim() {
    local board="${1-}" dir="$work/${2:-sim}"
    mkdir -p "$dir"
    sim_port="$(free_port)"
    cat >"$dir/corvane.conf" <<CONF
Name = "corvanebs bench";
Location = "loopback";
IP = "127.0.0.1";
Port = "$sim_port";
MaxConnections = "128";
${sim_settings:-}
CONF
    local environment=(CORVANE_CONFIG="$dir/corvane.conf")
    # shellcheck disable=SC2206  # words on purpose
    environment+=(${sim_env:-})
    if [ "$board" != demo ]; then
        printf '%s\n' "$board" >"$dir/board.cfg"
        environment+=(CORVANE_SIM_BOARD="$dir/board.cfg")
    fi
    env "${environment[@]}" ${server_cpus:-} "$build/corvanebs-sim" >"$dir/out" 2>"$dir/err" &
    sim_pid="$!"
    pids+=("$sim_pid")
    if ! wait_listening "$sim_port" "$sim_pid"; then
        echo "corvanebs-sim did not come up on 127.0.0.1:$sim_port" >&2
        cat "$dir/out" "$dir/err" >&2
        exit 1
    fi
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2)
    }'
}
