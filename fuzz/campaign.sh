#!/usr/bin/env bash
# A fuzzing campaign: every target for SECONDS (default 300), two at a time (the
# machine's two cores), each from the repository's seeds plus what earlier
# campaigns found (build/host-fuzz/campaign/<target>/corpus). A target left
# without a partner (the fifth of five) runs as two fuzzers on its corpus, each
# for half its time, so no core stands idle. A target that stops on a finding is
# started again for the rest of its time, so one finding does not end the
# campaign. Prints executions, coverage and findings per target.
#
# A campaign may take longer than one sitting, and a sitting's machine may not
# be the next one's: every run adds a line per target to fuzz/ledger in the
# repository (when, which commit, seconds, executions, findings), to be
# committed with the run's note, and the summary adds up the ledger too. Empty
# the ledger to start counting a new campaign; the corpora go on either way.
#
#   fuzz/campaign.sh BUILD_DIR [SECONDS] [TARGET...]
set -euo pipefail
build="$1"
seconds="${2:-300}"
shift 2 || shift $#
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(controls internal device registry pnp)
source_dir="$(cd "$(dirname "$0")" && pwd)"
# A smaller quarantine of freed blocks than the sanitizer's default (256 MB)
# makes each execution about a third cheaper; freed blocks are still poisoned
# until 16 MB of later frees push them out. Two frames of allocation stack
# instead of 30 take another fifth off (the stack depot was the single biggest
# cost of the device target): a finding's report then names only the nearest
# callers, so replay it without these options for the whole stacks. Set
# ASAN_OPTIONS to choose otherwise.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=16:malloc_context_size=2}"
out="$build/campaign"
mkdir -p "$out"
ledger="$source_dir/ledger"
# The ledger names when the run started and from which sources.
when=$(date -u +%Y-%m-%dT%H:%MZ)
commit=$(git -C "$source_dir" describe --always --dirty 2>/dev/null || echo unknown)

# One fuzzer on `target` for `span` seconds, started again after a finding.
fuzz_for() {
    local target="$1" span="$2" dir="$out/$1"
    local end=$(( $(date +%s) + span ))
    while :; do
        local left=$(( end - $(date +%s) ))
        [ "$left" -gt 0 ] || break
        "$build/fuzz/vodrek-fuzz-$target" -max_total_time="$left" -timeout=120 \
            -print_final_stats=1 -artifact_prefix="$dir/findings/" \
            -dict="$source_dir/dict/$target.dict" \
            "$dir/corpus" "$source_dir/corpus/$target" >> "$dir/log" 2>&1 || true
    done
}

# `target` for `seconds` of processor time: one fuzzer, or with "halves" two
# side by side for half the time each.
run_target() {
    local target="$1" halves="${2:-}" dir="$out/$1"
    mkdir -p "$dir/corpus" "$dir/findings"
    # What an earlier campaign found is set aside: this one reports its own.
    if [ -n "$(ls -A "$dir/findings")" ]; then
        mkdir -p "$dir/findings-earlier"
        mv "$dir/findings/"* "$dir/findings-earlier/"
    fi
    : > "$dir/log"
    if [ -n "$halves" ]; then
        fuzz_for "$target" $(( seconds / 2 )) &
        fuzz_for "$target" $(( seconds - seconds / 2 ))
        wait
    else
        fuzz_for "$target" "$seconds"
    fi
}

summary() {
    local target="$1" dir="$out/$1"
    local execs cov ft findings rate
    execs=$(awk '/stat::number_of_executed_units/ {s += $NF} END {print s + 0}' "$dir/log")
    cov=$(grep -o 'cov: [0-9]*' "$dir/log" | tail -1 | awk '{print $2}')
    ft=$(grep -o 'ft: [0-9]*' "$dir/log" | tail -1 | awk '{print $2}')
    findings=$(find "$dir/findings" -type f ! -name 'slow-unit-*' | wc -l)
    rate=$(awk -v e="$execs" -v s="$seconds" 'BEGIN {printf "%.0f", e / s}')
    printf '%-9s %12s %8s %6s %7s %9s\n' "$target" "$execs" "$rate" "${cov:-0}" "${ft:-0}" "$findings"
}

echo "== fuzzing ${targets[*]} for $seconds s each, two at a time (logs in $out/<target>/log)"
paired=("${targets[@]}")
alone=""
if [ $(( ${#targets[@]} % 2 )) -eq 1 ]; then
    alone="${targets[-1]}"
    unset 'paired[-1]'
fi
if [ ${#paired[@]} -gt 0 ]; then
    printf '%s\n' "${paired[@]}" | xargs -P 2 -I{} bash -c "$(declare -f fuzz_for run_target); out='$out' \
        build='$build' seconds='$seconds' source_dir='$source_dir' run_target {}"
fi
[ -z "$alone" ] || run_target "$alone" halves
printf '%-9s %12s %8s %6s %7s %9s\n' target executions "exec/s" cov ft findings
total=0
for t in "${targets[@]}"; do
    line=$(summary "$t")
    echo "$line"
    total=$((total + $(echo "$line" | awk '{print $2}')))
    echo "$when $commit $t $seconds $(echo "$line" | awk '{print $2, $6}')" >> "$ledger"
done
echo "total executions: $total"
awk '{runs[$1] = 1; execs += $5; found += $6; if (!first) first = $1}
     END {printf "campaign so far (%s): %d runs since %s, %d executions, %d findings\n",
                 FILENAME, length(runs), first, execs, found}' "$ledger"
# Inputs that took over 10 s of wall-clock time are kept too (slow-unit-*): on a
# busy machine that is the machine, not a finding; replay one to see.
slow=$(find "$out" -path '*/findings/*' -type f -name 'slow-unit-*' | wc -l)
[ "$slow" -eq 0 ] || echo "slow inputs kept (not findings): $slow"
found=$(find "$out" -path '*/findings/*' -type f ! -name 'slow-unit-*' | wc -l)
if [ "$found" -gt 0 ]; then
    echo "findings (replay one with: $build/fuzz/vodrek-fuzz-<target> <file>):"
    find "$out" -path '*/findings/*' -type f ! -name 'slow-unit-*' | sed 's/^/  /'
    exit 1
fi
