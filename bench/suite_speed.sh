#!/bin/sh
# Simulation speed of the whole test suite: runs ctest in a build directory with
# every simulation reporting the virtual time it covered (VODREK_SCHEDULE_STATS),
# then prints the simulated seconds, the wall-clock seconds ctest took and
# their ratio. Usage: bench/suite_speed.sh [build/host-debug] [ctest arguments...]
set -eu
dir=${1:-build/host-debug}
[ $# -gt 0 ] && shift
log=$(mktemp)
start=$(date +%s.%N)
status=0
VODREK_SCHEDULE_STATS=1 ctest --test-dir "$dir" -j2 -V "$@" >"$log" 2>&1 || status=$?
end=$(date +%s.%N)
awk -v start="$start" -v end="$end" '
    /s of virtual time/ { for (i = 1; i < NF; i++) if ($(i + 1) == "s" && $(i + 2) == "of") sim += $i; runs++ }
    /tests passed|tests failed/ { summary = $0 }
    END {
        wall = end - start
        printf "%s\n%d simulations, %.1f s of virtual time in %.1f s of wall-clock time: %.1f x real time\n",
               summary, runs, sim, wall, wall > 0 ? sim / wall : 0
    }' "$log"
rm -f "$log"
exit "$status"
