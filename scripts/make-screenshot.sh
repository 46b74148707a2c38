#!/usr/bin/env bash
# Takes the README's picture of the window listing media, from a real capture: Pelnix runs under
# Xvfb in a network namespace, where curl fetches a Flash video, an MP4 and an MP3 from a local
# server in a second namespace joined to it by a veth pair. Nothing leaves this machine.
# Needs root (namespaces and capture); installs Xvfb, ImageMagick and xdotool when missing.
#
#   scripts/make-screenshot.sh [BUILD_DIR] [OUTPUT.png]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
output=${2:-$root/docs/pelnix-window.png}
[ "$(id -u)" -eq 0 ] || { echo "make-screenshot: needs root (network namespaces, capture)" >&2; exit 1; }

need=()
for p in xvfb imagemagick xdotool curl ffmpeg python3 iproute2; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

. "$root/scripts/veth-pair.sh"
veth_pair_names shot$$
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    veth_pair_down
    rm -rf "$work"
}
trap cleanup EXIT

# The media: real files made by ffmpeg from its own test sources.
mkdir -p "$work/media" "$work/config/Pelnix" "$work/temp"
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=320x240:rate=25:duration=6 \
    -f lavfi -i sine=duration=6 -c:v flv1 -c:a libmp3lame -f flv "$work/media/clip.flv"
ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=480x270:rate=25:duration=8 \
    -f lavfi -i sine=frequency=660:duration=8 -c:v mpeg4 -c:a aac "$work/media/movie.mp4"
ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=330:duration=20 \
    -c:a libmp3lame -b:a 128k -id3v2_version 3 "$work/media/song.mp3"

veth_pair_up shot$$ 10.231.9.1 10.231.9.2

ip netns exec "$server_ns" python3 "$root/tests/support/media_server.py" "$work/media" 10.231.9.1 80 \
    >"$work/server.txt" &
pids+=($!)

cat >"$work/config/Pelnix/Pelnix.ini" <<INI
[Pelnix]
FFMpegExe=$(command -v ffmpeg)
FFPlayExe=$(command -v ffplay || echo /usr/bin/ffplay)
FFMpegAud=-vn -codec:a libmp3lame -q:a 2 -f mp3
TempDir=$work/temp
INI

display=:$((90 + $$ % 100))
Xvfb "$display" -screen 0 1280x720x24 -nolisten tcp >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=$display
for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done

XDG_CONFIG_HOME=$work/config ip netns exec "$client_ns" "$build/pelnix" >/dev/null 2>&1 &
pids+=($!)
window=
for _ in $(seq 100); do
    window=$(xdotool search --name 'Recently Sniffed Media' 2>/dev/null | head -n 1) && [ -n "$window" ] && break
    sleep 0.1
done
[ -n "$window" ] || { echo "make-screenshot: the window did not open" >&2; exit 1; }
sleep 1 # the capture sessions start as the window opens

for name in song.mp3 movie.mp4 clip.flv; do
    ip netns exec "$client_ns" curl -s -f -o /dev/null "http://10.231.9.1/$name"
    sleep 1.2 # a second apart, as a user would browse
done
sleep 1

mkdir -p "$(dirname "$output")"
import -window "$window" "$output"
echo "make-screenshot: wrote $output"
