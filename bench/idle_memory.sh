#!/usr/bin/env bash
# Resident memory of an idle corvanebs-sim (the demo board, no client) at the
# start and after a while, to show that nothing grows while it runs. Prints:
#   idle_seconds=S rss_kb_before=X rss_kb_after=Y
#
# Environment (all optional):
#   BUILD_DIR     build directory (default <repo>/build)
#   IDLE_SECONDS  how long to watch (default 600)
set -euo pipefail

idle="${IDLE_SECONDS:-600}"
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build_tools corvanebs-sim

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$sim_pid/status"; }

start_sim demo
# Start-up settles (scan, first LED passes) before the first figure.
sleep 5
before="$(rss_kb)"
sleep "$idle"
after="$(rss_kb)"
echo "idle_seconds=$idle rss_kb_before=$before rss_kb_after=$after"
