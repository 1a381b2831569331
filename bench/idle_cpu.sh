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

seconds="${SECONDS_EACH:-30}"
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_tools corvanebs-sim

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
    start_sim "${boards[$name]}" "$name"
    pid_of[$name]="$sim_pid"
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
