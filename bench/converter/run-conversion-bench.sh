#!/bin/sh
# Converts a generated 10-minute Flash video (640x360 video, stereo 44.1 kHz sound) to MP3 in two
# ways, alternately: with the very ffmpeg command line the dialog writes into its script, run
# directly, and through the progress dialog (headless, offscreen platform; its run includes the
# duration query). Prints each run and the medians: the dialog's time over the direct time, and
# the CPU time the program itself used (reader thread included, ffmpeg excluded) per wall second.
# The dialog's run includes its duration query (one more ffmpeg start, about 0.07 s here).
#
# usage: bench/converter/run-conversion-bench.sh [build-folder] [runs]
set -eu
build=${1:-build}
runs=${2:-5}
bench="$build/bench/converter/conversion_bench"
[ -x "$bench" ] || { echo "build $bench first: cmake --build $build --target conversion_bench" >&2; exit 1; }
ffmpeg=$(command -v ffmpeg)
options='-vn -codec:a libmp3lame -q:a 2 -f mp3'
work=$(mktemp -d /tmp/pelnix-conv-bench-XXXXXX)
trap 'rm -rf "$work"' EXIT
input="$work/Sniffer_1_1.flv"

echo "generating a 10-minute video..."
"$ffmpeg" -nostdin -loglevel error -y -f lavfi -i testsrc=size=640x360:rate=25:duration=600 \
    -f lavfi -i "aevalsrc=0.4*sin(440*2*PI*t)+0.05*(random(0)-0.5)|0.4*sin(660*2*PI*t)+0.05*(random(1)-0.5):s=44100:d=600" \
    -c:v flv1 -b:v 500k -c:a libmp3lame -b:a 128k -f flv "$input"

now() { date +%s.%N; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
: > "$work/ratios"
: > "$work/cpu"
: > "$work/direct"
: > "$work/dialog"
i=1
while [ "$i" -le "$runs" ]; do
    start=$(now)
    "$ffmpeg" -y -i "$input" $options "$work/direct.mp3" >/dev/null 2>&1 </dev/null
    direct=$(awk -v a="$(now)" -v b="$start" 'BEGIN { printf "%.3f", a - b }')
    rm -f "$work/direct.mp3"
    line=$(QT_QPA_PLATFORM=offscreen "$bench" "$ffmpeg" "$work" "$input" "$work/dialog.mp3" "$options" 2>/dev/null)
    rm -f "$work/dialog.mp3"
    dialog=$(echo "$line" | sed -n 's/.*wall_s=\([0-9.]*\).*/\1/p')
    pct=$(echo "$line" | sed -n 's/.*self_cpu_pct=\([0-9.]*\).*/\1/p')
    ratio=$(awk -v a="$dialog" -v b="$direct" 'BEGIN { printf "%.3f", a / b }')
    echo "$ratio" >> "$work/ratios"
    echo "$direct" >> "$work/direct"
    echo "$dialog" >> "$work/dialog"
    echo "$pct" >> "$work/cpu"
    echo "run $i: direct ${direct}s, dialog ${dialog}s, ratio $ratio, program CPU $pct% of a core"
    i=$((i + 1))
done
echo "median ratio dialog/direct: $(median < "$work/ratios")  (target <= 1.05)"
# On a shared machine the fastest run of each is the least disturbed one.
fastest() { sort -n | head -n 1; }
echo "fastest dialog / fastest direct: $(awk -v a="$(fastest < "$work/dialog")" -v b="$(fastest < "$work/direct")" 'BEGIN { printf "%.3f", a / b }')"
echo "median program CPU: $(median < "$work/cpu")% of a core  (target < 5)"
