#!/usr/bin/env bash
# Soak: REQUESTS requests (default 1,000,000) over CONNECTIONS connections
# (default 100) with churn: each connection makes CHURN requests (default 5),
# closes, and a new one is opened. Prints corvanebs-sim's resident memory
# and open descriptors before and after, once every connection has gone:
#   soak_requests=N rss_kb_before=A rss_kb_after=B fds_before=C fds_after=D
#
# Environment (all optional): BUILD_DIR (default <repo>/build), REQUESTS,
# CONNECTIONS, CHURN, KEEP_LOGS.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

requests="${REQUESTS:-1000000}"
connections="${CONNECTIONS:-100}"
churn="${CHURN:-5}"
build_tools corvanebs-sim corvane-loadgen
start_sim

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$sim_pid/status"; }
fds() { ls "/proc/$sim_pid/fd" | wc -l; }

# Settled after start: the first clients' allocations are part of "before".
"$build/corvane-loadgen" --port "$sim_port" --connections "$connections" --seconds 2 \
    --churn "$churn" >/dev/null
sleep 1
rss_before="$(rss_kb)"
fds_before="$(fds)"

if ! "$build/corvane-loadgen" --port "$sim_port" --connections "$connections" --seconds 3600 \
    --requests "$requests" --churn "$churn" >"$work/soak.out"; then
    cat "$work/soak.out" >&2
    echo "soak: the load generator reported errors" >&2
    exit 1
fi
cat "$work/soak.out" >&2
# Every connection closed by the clients is closed by the service too.
for _ in $(seq 50); do
    [ "$(fds)" -le "$fds_before" ] && break
    sleep 0.1
done
echo "soak_requests=$requests rss_kb_before=$rss_before rss_kb_after=$(rss_kb)" \
    "fds_before=$fds_before fds_after=$(fds)"
