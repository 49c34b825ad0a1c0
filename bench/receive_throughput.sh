#!/bin/sh
# Receive throughput against the line rate: vodrek-sim receive on each chip
# group at 115,200, 921,600 and 3,000,000 baud with RTS/CTS, 4096-byte reads
# and no gap between them, in virtual time (so the figures do not depend on
# the machine). Usage: bench/receive_throughput.sh [path/to/vodrek-sim] [bytes]
set -eu
tool=${1:-build/host-release/sim/cli/vodrek-sim}
bytes=${2:-262144}
printf '%-10s %-6s %12s %10s %12s\n' baud chip received lost "line rate"
for baud in 115200 921600 3000000; do
    for chip in 0 2; do
        json=$("$tool" receive --chip "$chip" --baud "$baud" --bytes "$bytes" --flow rtscts --json || true)
        received=$(printf '%s' "$json" | sed -n 's/.*"bytes_in_order":\([0-9]*\).*/\1/p')
        lost=$(printf '%s' "$json" | sed -n 's/.*"bytes_lost":\([0-9]*\).*/\1/p')
        permille=$(printf '%s' "$json" | sed -n 's/.*"line_rate_fraction_permille":\([0-9]*\).*/\1/p')
        printf '%-10s %-6s %12s %10s %10s.%s%%\n' "$baud" "$chip" "$received" "$lost" \
            "$((permille / 10))" "$((permille % 10))"
    done
done
