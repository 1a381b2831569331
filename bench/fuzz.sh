#!/usr/bin/env bash
# Fuzzes the request loop for SECONDS (default 60): builds corvane-fuzz with
# clang and libFuzzer (address and undefined-behaviour sanitizers) in
# build-fuzz/, seeds its corpus from tests/fuzz/seeds.txt and runs it on one
# core. Ends with one line:
#   fuzz_seconds=S executions=N coverage=C features=F corpus=K
# A crash, a leak or a request answered late (-timeout) fails the run and
# leaves the input in build-fuzz/.
#
# Environment (optional): BUILD_DIR (default <repo>/build-fuzz).
set -euo pipefail

seconds="${1:-60}"
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$repo/build-fuzz}"

CC=clang CXX=clang++ cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCORVANE_FUZZ=ON -DCORVANE_TESTS=OFF >/dev/null
cmake --build "$build" --target corvane-fuzz -j2 >/dev/null

corpus="$build/corpus"
mkdir -p "$corpus"
n=0
grep -v '^#' "$repo/tests/fuzz/seeds.txt" | tr -d ' ' | while read -r hex; do
    [ -n "$hex" ] || continue
    n=$((n + 1))
    python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.argv[1]))' "$hex" \
        >"$corpus/seed-$n"
done

log="$build/fuzz.log"
cd "$build"
# -timeout: a reply held back by the library's flush sleeps 10 s.
if ! ASAN_OPTIONS=detect_leaks=1 ./corvane-fuzz -max_total_time="$seconds" -timeout=5 \
    -rss_limit_mb=2048 -print_final_stats=1 "$corpus" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "fuzz: failed, see $log" >&2
    exit 1
fi
awk -v s="$seconds" '
    /^stat::number_of_executed_units:/ { runs = $2 }
    / cov: / { for (i = 1; i < NF; i++) { if ($i == "cov:") cov = $(i + 1); if ($i == "ft:") ft = $(i + 1); if ($i == "corp:") corp = $(i + 1) } }
    END { sub(/\/.*/, "", corp); printf "fuzz_seconds=%s executions=%s coverage=%s features=%s corpus=%s\n", s, runs, cov, ft, corp }
' "$log"
