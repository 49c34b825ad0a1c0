#!/usr/bin/env bash
# Runs every test of the `schedules` label under many PCT seeds, in parallel, and
# reports each failure with the command that replays it.
#
#   tests/schedules_campaign.sh [seeds per test] [parallel jobs]
#
# Each test of the test programs runs alone, `seeds` times (each run a new
# simulation with the next seed), split into chunks of VODREK_CAMPAIGN_CHUNK
# seeds (default 50) with seed ranges of their own (VODREK_SCHEDULE_FIRST), so
# the chunks run side by side. The tool runs of the label (receive, transmit,
# null-modem, loopback, chip) run under VODREK_CAMPAIGN_TOOL_SEEDS seeds each
# (default: a tenth of `seeds`), and the every-failure sweeps, which are long,
# under VODREK_CAMPAIGN_FAULT_SEEDS (default 2). Seeds start at
# VODREK_CAMPAIGN_FIRST (default 1; the suite's own runs take the first 12), so
# a second campaign can try seeds no earlier one tried.
#
# Environment: VODREK_BUILD_DIR (default build/host-debug), VODREK_CAMPAIGN_LOG
# (default <build dir>/schedules-campaign). Exit status 1 when a run failed.
set -euo pipefail
cd "$(dirname "$0")/.."

seeds="${1:-1000}"
jobs="${2:-2}"
chunk="${VODREK_CAMPAIGN_CHUNK:-50}"
base="${VODREK_CAMPAIGN_FIRST:-1}"
tool_seeds="${VODREK_CAMPAIGN_TOOL_SEEDS:-$(( (seeds + 9) / 10 ))}"
fault_seeds="${VODREK_CAMPAIGN_FAULT_SEEDS:-2}"
build="${VODREK_BUILD_DIR:-build/host-debug}"
log="${VODREK_CAMPAIGN_LOG:-$build/schedules-campaign}"
programs=(vodrek_driver_tests vodrek_sim_tests vodrek_control_tests vodrek_chip_transfer_tests
          vodrek_win32_tests vodrek_fault_tests)
# Tests no schedule can change (death tests, tshark decodes, the stack-depth
# measurement) stay out, as in the suite's own schedules runs.
unscheduled="$(cat "$build/tests/schedules_unscheduled.txt" 2>/dev/null || true)"

rm -rf "$log"
mkdir -p "$log/runs"
plan="$log/plan"
: > "$plan"

# Test programs: one line per (program, test, first seed, seed count).
for program in "${programs[@]}"; do
    binary="$build/tests/$program"
    [ -x "$binary" ] || { echo "missing $binary: build the host-debug preset first" >&2; exit 2; }
    count="$seeds"
    [ "$program" = vodrek_fault_tests ] && [ "$fault_seeds" -lt "$count" ] && count="$fault_seeds"
    "$binary" --gtest_list_tests --gtest_filter="-$unscheduled" | awk '
        /^[^ ]/ { suite = $1; next }
        /^  /   { print suite $1 }' |
    while read -r test; do
        for ((first = base; first < base + count; first += chunk)); do
            n=$(( base + count - first < chunk ? base + count - first : chunk ))
            echo "test $binary $test $first $n" >> "$plan"
        done
    done
done
# Tool runs: one line per seed.
tools="$build/tests/schedule_tools.txt"
if [ -f "$tools" ]; then
    while IFS='|' read -r tool arguments; do
        for ((seed = base; seed < base + tool_seeds; ++seed)); do
            echo "tool $build/sim/cli/vodrek-sim $tool $seed $arguments" >> "$plan"
        done
    done < "$tools"
fi

runs=$(wc -l < "$plan")
echo "== schedules campaign: $runs runs ($seeds seeds per test, $tool_seeds per tool run, $jobs in parallel)"

# One line of the plan: a test (program, test, first seed, seed count) or a tool
# run (program, tool, seed, arguments). Its output is kept only when it failed.
run_one() {
    local log="$1" kind="$2" binary="$3" name="$4" first="$5"
    shift 5
    local id
    id=$(echo "$kind $name $first $*" | md5sum | cut -c1-12)
    local out="$log/runs/$id.log"
    local status=0 command
    if [ "$kind" = test ]; then
        command="VODREK_POLICY=pct VODREK_SCHEDULES=$1 VODREK_SCHEDULE_FIRST=$first $binary --gtest_filter=$name"
        VODREK_POLICY=pct VODREK_SCHEDULES="$1" VODREK_SCHEDULE_FIRST="$first" \
            timeout 3600 "$binary" --gtest_filter="$name" --gtest_brief=1 > "$out" 2>&1 || status=$?
    else
        command="VODREK_POLICY=pct VODREK_SEED=$first $binary $name $*"
        VODREK_POLICY=pct VODREK_SEED="$first" timeout 1200 "$binary" "$name" "$@" > "$out" 2>&1 || status=$?
    fi
    if [ "$status" -eq 0 ]; then
        rm -f "$out"
        echo "ok"
    else
        echo "FAILED $kind $name (seeds from $first, exit $status): $out"
        echo "    chunk: $command"
        # The failing run's own schedule, as the test printed it.
        grep -h 'replay: ' "$out" | sed 's/.*replay: /    replay: /' | sort -u | head -3 || true
    fi
}
export -f run_one

start=$(date +%s)
# shellcheck disable=SC2016
xargs -P "$jobs" -L 1 bash -c 'run_one "$0" "$@"' "$log" < "$plan" > "$log/results"
elapsed=$(( $(date +%s) - start ))

failed=$(grep -c '^FAILED' "$log/results" || true)
test_seeds=$(awk '$1 == "test" { n += $5 } END { print n + 0 }' "$plan")
tool_runs=$(grep -c '^tool' "$plan" || true)
echo "== $test_seeds test runs and $tool_runs tool runs under PCT seeds in ${elapsed}s: $failed failed"
if [ "$failed" -gt 0 ]; then
    grep -v '^ok$' "$log/results"
    exit 1
fi
