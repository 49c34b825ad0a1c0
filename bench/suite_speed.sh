#!/bin/sh
# Simulation speed of the whole test suite: runs ctest in a build directory with
# every simulation appending the virtual time it covered to a file
# (VODREK_SCHEDULE_STATS_FILE; the tools' own output stays as the tests read
# it), then prints ctest's summary, the simulated seconds, the wall-clock
# seconds ctest took and their ratio.
# Usage: bench/suite_speed.sh [build/host-debug] [ctest arguments...]
set -eu
dir=${1:-build/host-debug}
[ $# -gt 0 ] && shift
stats=$(mktemp)
log=$(mktemp)
start=$(date +%s.%N)
status=0
VODREK_SCHEDULE_STATS_FILE="$stats" ctest --test-dir "$dir" -j2 "$@" >"$log" 2>&1 || status=$?
end=$(date +%s.%N)
grep -E "tests passed|tests failed" "$log" || true
grep -A200 "The following tests FAILED" "$log" || true
awk -v start="$start" -v end="$end" '
    / s of virtual time/ { for (i = 1; i < NF; i++) if ($(i + 1) == "s" && $(i + 2) == "of") sim += $i; runs++ }
    END {
        wall = end - start
        printf "%d simulations, %.1f s of virtual time in %.1f s of wall-clock time: %.1f x real time\n",
               runs, sim, wall, wall > 0 ? sim / wall : 0
    }' "$stats"
rm -f "$stats" "$log"
exit "$status"
