#!/usr/bin/env bash
# A fuzzing campaign: every target for SECONDS (default 300), two at a time (the
# machine's two cores), each from the repository's seeds plus what earlier
# campaigns found (build/host-fuzz/campaign/<target>/corpus). A target that stops
# on a finding is started again for the rest of its time, so one finding does
# not end the campaign. Prints executions, coverage and findings per target.
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

run_target() {
    local target="$1" dir="$out/$1"
    mkdir -p "$dir/corpus" "$dir/findings"
    # What an earlier campaign found is set aside: this one reports its own.
    if [ -n "$(ls -A "$dir/findings")" ]; then
        mkdir -p "$dir/findings-earlier"
        mv "$dir/findings/"* "$dir/findings-earlier/"
    fi
    : > "$dir/log"
    local end=$(( $(date +%s) + seconds )) round=0
    while :; do
        local left=$(( end - $(date +%s) ))
        [ "$left" -gt 0 ] || break
        round=$((round + 1))
        "$build/fuzz/vodrek-fuzz-$target" -max_total_time="$left" -timeout=120 \
            -print_final_stats=1 -artifact_prefix="$dir/findings/" \
            -dict="$source_dir/dict/$target.dict" \
            "$dir/corpus" "$source_dir/corpus/$target" >> "$dir/log" 2>&1 || true
    done
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
printf '%s\n' "${targets[@]}" | xargs -P 2 -I{} bash -c "$(declare -f run_target); out='$out' build='$build' \
    seconds='$seconds' source_dir='$source_dir' run_target {}"
printf '%-9s %12s %8s %6s %7s %9s\n' target executions "exec/s" cov ft findings
total=0
for t in "${targets[@]}"; do
    line=$(summary "$t")
    echo "$line"
    total=$((total + $(echo "$line" | awk '{print $2}')))
done
echo "total executions: $total"
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
