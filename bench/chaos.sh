#!/usr/bin/env bash
# Chaos bench: corvanebs-sim on the demo board (a module of every kind) for
# SECONDS (default 600) under 20 clients sending random valid and invalid
# requests over the whole address map, while bus faults (1-4 transfers, every
# fitted device) and live value changes come in through the control socket.
# After every write answered with an exception, the outputs it addressed
# must read back as before it, over Modbus and in the control socket's
# `show`. Ends with one line:
#   chaos_seconds=S requests=N faults=F torn=T unanswered=U max_ms=X rss_kb_before=A rss_kb_after=B
# with the torn writes by function code and module on standard error.
#
# Environment (optional): BUILD_DIR (default <repo>/build), CLIENTS (20),
# SEED (random), KEEP_LOGS.
set -euo pipefail

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

seconds="${1:-600}"
build_tools corvanebs-sim

sim_env="CORVANE_SIM_CONTROL=$work/control.sock"
start_sim demo chaos
python3 "$repo/bench/chaos.py" --port "$sim_port" --control "$work/control.sock" \
    --pid "$sim_pid" --seconds "$seconds" --clients "${CLIENTS:-20}" ${SEED:+--seed "$SEED"}
