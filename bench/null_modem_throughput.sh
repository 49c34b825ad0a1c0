#!/bin/sh
# Line throughput through a null-modem pair, both directions at once with
# RTS/CTS: vodrek-sim null-modem --duplex between two adapters of one chip
# group at 115,200, 921,600, 3,000,000 and 6,000,000 baud, in virtual time (so
# the figures do not depend on the machine). For each direction: the bytes
# that arrived in order, those lost, whether the order held, and the fraction
# of the line rate. Usage: bench/null_modem_throughput.sh [path/to/vodrek-sim] [bytes]
set -eu
tool=${1:-build/host-release/sim/cli/vodrek-sim}
bytes=${2:-262144}
field() { printf '%s' "$1" | sed -n "s/.*\"$2\":\([a-z0-9]*\).*/\1/p"; }
printf '%-10s %-6s %-14s %10s %8s %6s %12s\n' baud chips direction received lost order "line rate"
for baud in 115200 921600 3000000 6000000; do
    for chip in 0 1 2 3 4; do
        json=$("$tool" null-modem --chip "$chip" --chip2 "$chip" --baud "$baud" --bytes "$bytes" \
            --flow rtscts --duplex --json || true)
        # One line per direction: split the report at each direction's name.
        printf '%s\n' "$json" | sed 's/{"direction"/\n&/g' | grep '^{"direction"' |
            while IFS= read -r d; do
                name=$(printf '%s' "$d" | sed -n 's/^{"direction":"\([^"]*\)".*/\1/p')
                permille=$(field "$d" line_rate_fraction_permille)
                order=$(field "$d" order_preserved)
                printf '%-10s %-6s %-14s %10s %8s %6s %10s.%s%%\n' "$baud" "$chip-$chip" "$name" \
                    "$(field "$d" bytes_in_order)" "$(field "$d" bytes_lost)" \
                    "$([ "$order" = true ] && echo yes || echo NO)" \
                    "$((permille / 10))" "$((permille % 10))"
            done
    done
done
