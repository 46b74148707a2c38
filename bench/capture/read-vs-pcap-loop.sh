#!/usr/bin/env bash
# Times `pelnix --read` against a bare libpcap read loop over the same generated capture file
# (at least 1 GiB, in /tmp, deleted afterwards). Best of three runs each, page cache warm.
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

best() { # best CMD...: the shortest wall time of three runs, in seconds
    local best_time="" t start end
    for _ in 1 2 3; do
        start=$(date +%s.%N)
        "$@" >/dev/null
        end=$(date +%s.%N)
        t=$(awk -v a="$end" -v b="$start" 'BEGIN { printf "%.3f", a - b }')
        if [ -z "$best_time" ] || awk -v a="$t" -v b="$best_time" 'BEGIN { exit !(a < b) }'; then
            best_time=$t
        fi
    done
    echo "$best_time"
}

cat "$file" >/dev/null  # warm the page cache
loop=$(best "$build/bench/capture/capture_pcap_read_loop" "$file")
read=$(best "$build/pelnix" --read "$file")
awk -v s="$size" -v l="$loop" -v r="$read" 'BEGIN {
    printf "bare pcap loop: %.3f s (%.0f MB/s)\n", l, s / l / 1e6
    printf "pelnix --read:  %.3f s (%.0f MB/s)\n", r, s / r / 1e6
    printf "ratio: %.2f\n", r / l
}'
