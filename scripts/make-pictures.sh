#!/bin/sh
# Draws the program's pictures with ImageMagick. The results are committed under
# resources/pictures/ and compiled into the program; run this only to change them.
set -eu
out="$(dirname "$0")/../resources/pictures"
mkdir -p "$out"

# Icon 130: a sniffing lens over a play triangle. The window uses 16, 32 and 64; the installed
# desktop icon takes every size of the usual icon-theme set.
draw_icon() {
    size=$1
    s=$(echo "$size / 32" | bc -l)
    convert -size "${size}x${size}" xc:none \
        -fill '#1f5fa8' -draw "roundrectangle 0,0 $((size-1)),$((size-1)) $((size/6)),$((size/6))" \
        -fill white -draw "polygon $(printf '%.0f,%.0f %.0f,%.0f %.0f,%.0f' \
            "$(echo "9*$s" | bc -l)" "$(echo "7*$s" | bc -l)" \
            "$(echo "9*$s" | bc -l)" "$(echo "25*$s" | bc -l)" \
            "$(echo "24*$s" | bc -l)" "$(echo "16*$s" | bc -l)")" \
        "$out/icon130_${size}.png"
}
for size in 16 22 24 32 48 64 128 256; do
    draw_icon "$size"
done

# Bitmap 202: the 125 x 125 logo.
convert -size 125x125 gradient:'#2d74c4'-'#0e2f57' \
    -fill white -stroke none -draw "polygon 38,30 38,80 82,55" \
    -fill none -stroke '#ffd24a' -strokewidth 4 -draw "arc 20,12 100,98 200,340" \
    -stroke none -fill white -font DejaVu-Sans-Bold -pointsize 20 \
    -gravity south -annotate +0+10 'Pelnix' \
    "PNG24:$out/logo202.png"

# Bitmap 204: red, yellow and green 16 x 15 squares on white, 48 x 15 in all.
convert -size 48x15 xc:white \
    -fill '#d42020' -draw "rectangle 2,2 13,12" \
    -fill '#f0c800' -draw "rectangle 18,2 29,12" \
    -fill '#20a030' -draw "rectangle 34,2 45,12" \
    "PNG24:$out/status204.png"

# Clip 1507: a page flying from a globe to a folder, looping.
frames=""
i=0
while [ $i -lt 8 ]; do
    x=$((40 + i * 18))
    f="$out/.frame$i.png"
    convert -size 272x48 xc:'#f0f0f0' \
        -fill '#3a7bd5' -draw "circle 20,24 20,6" \
        -fill none -stroke white -draw "line 2,24 38,24" -draw "ellipse 20,24 8,18 0,360" \
        -stroke none -fill '#e0b040' -draw "roundrectangle 228,10 266,40 3,3" \
        -fill '#c89020' -draw "rectangle 228,8 244,12" \
        -fill white -stroke '#555555' -draw "rectangle $x,14 $((x+14)),32" \
        -stroke '#999999' -draw "line $((x+3)),19 $((x+11)),19" -draw "line $((x+3)),23 $((x+11)),23" \
        -draw "line $((x+3)),27 $((x+11)),27" \
        "$f"
    frames="$frames $f"
    i=$((i + 1))
done
# shellcheck disable=SC2086
convert -delay 12 -loop 0 $frames "$out/clip1507.gif"
rm -f $frames
