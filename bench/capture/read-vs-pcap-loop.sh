#!/usr/bin/env bash
# Times `pelnix --read` against a bare libpcap read loop over the same generated capture file
# (at least 1 GiB, in /tmp, deleted afterwards). Five alternating runs each, best of each,
# page cache warm.
#   bench/capture/read-vs-pcap-loop.sh [BUILD_DIR] [MEBIBYTES]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
mebibytes=${2:-1100}
file=$(mktemp /tmp/pelnix-bench-XXXXXX.pcap)
trap 'rm -f "$file"' EXIT

for program in pelnix bench/capture/capture_pcap_read_loop bench/capture/capture_make_capture; do
    [ -x "$build/$program" ] || { echo "missing $build/$program (build it first)" >&2; exit 1; }
done

"$build/bench/capture/capture_make_capture" "$file" "$mebibytes" >/dev/null
size=$(stat -c %s "$file")
echo "capture file: $size bytes"

# Wall time of one run, in seconds.
timed() {
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null
    end=$(date +%s.%N)
    awk -v a="$end" -v b="$start" 'BEGIN { printf "%.3f", a - b }'
}
smaller() { awk -v a="$1" -v b="$2" 'BEGIN { print (b == "" || a < b) ? a : b }'; }

cat "$file" >/dev/null  # warm the page cache
# Alternate the two so that both see the same load; keep the best run of each.
loop="" read=""
for _ in 1 2 3 4 5; do
    loop=$(smaller "$(timed "$build/bench/capture/capture_pcap_read_loop" "$file")" "$loop")
    read=$(smaller "$(timed "$build/pelnix" --read "$file")" "$read")
done
awk -v s="$size" -v l="$loop" -v r="$read" 'BEGIN {
    printf "bare pcap loop: %.3f s (%.0f MB/s)\n", l, s / l / 1e6
    printf "pelnix --read:  %.3f s (%.0f MB/s)\n", r, s / r / 1e6
    printf "ratio: %.2f\n", r / l
}'
