#!/usr/bin/env bash
# Times `pelnix-sniff --read` of a generated HAR export (MEBIBYTES, in /tmp, deleted afterwards)
# of one of two shapes:
#   session  HTTP/2 entries of a browsing session: nine in ten pictures with a base64 body of
#            12 KiB, one in ten a medium of a distinct size whose body DevTools did not keep (as
#            it keeps none of media);
#   large    a few large entries: media with bodies of 48 MiB of base64, an entry with a million
#            request headers, one holding two million empty objects, a member name of 32 MiB.
# RUNS rounds; the fastest and the median wall time, the median CPU time and the peak resident
# memory (GNU time's), and the number of media listed.
#   bench/mediarules/har-read.sh [BUILD_DIR] [MEBIBYTES] [RUNS] [session|large]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
mebibytes=${2:-200}
runs=${3:-5}
shape=${4:-session}
file=$(mktemp /tmp/pelnix-bench-XXXXXX.har)
trap 'rm -f "$file" "$file".*' EXIT
[ -x "$build/pelnix-sniff" ] || { echo "missing $build/pelnix-sniff (build it first)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "missing /usr/bin/time (Debian package time)" >&2; exit 1; }

if [ "$shape" = large ]; then
python3 - "$file" "$mebibytes" <<'PY'
import sys
path, mebibytes = sys.argv[1], int(sys.argv[2])
def entry(i, extra="", headers="", text=None):
    content = '"content":{"size":-1,"mimeType":"video/mp4"}' if text is None else \
        '"content":{"size":-1,"mimeType":"video/mp4","text":"%s","encoding":"base64"}' % text
    return ('{"startedDateTime":"2026-06-01T13:02:03.000Z",%s"request":{"method":"GET",'
            '"url":"https://big.test/v/%d.mp4","httpVersion":"h2","headers":[%s]},'
            '"response":{"status":200,"httpVersion":"h2","headers":[{"name":"content-type",'
            '"value":"video/mp4"},{"name":"content-length","value":"%d"}],%s}}'
            % (extra, i, headers, 300000 + i, content))
with open(path, "w") as out:
    out.write('{"log":{"' + "k" * (32 << 20) + '":1,"entries":[')
    out.write(entry(0, headers=",".join(['{"name":"x-h","value":"1"}'] * 1000000)))
    out.write("," + entry(1, extra='"x":[' + ",".join(["{}"] * 2000000) + '],'))
    body = "QUFB" * (12 << 20)  # 48 MiB of base64
    i = 2
    while out.tell() < mebibytes << 20:
        out.write("," + entry(i, text=body + "QUFB" * i))
        i += 1
    out.write("]}}")
PY
else
python3 - "$file" "$mebibytes" <<'PY'
import base64, json, random, sys
path, mebibytes = sys.argv[1], int(sys.argv[2])
random.seed(7)
noise = base64.b64encode(bytes(random.getrandbits(8) for _ in range(12288))).decode()
with open(path, "w") as out:
    out.write('{"log":{"version":"1.2","creator":{"name":"bench","version":"1"},"entries":[')
    i = 0
    while out.tell() < mebibytes << 20:
        medium = i % 10 == 0
        kind = "video/mp4" if medium else "image/png"
        entry = {
            "startedDateTime": "2026-06-01T13:02:03.000Z",
            "request": {"method": "GET", "url": "https://site%d.test/a/%d" % (i % 40, i),
                        "httpVersion": "h2",
                        "headers": [{"name": ":authority", "value": "site%d.test" % (i % 40)},
                                    {"name": "cookie", "value": "id=%d" % i},
                                    {"name": "user-agent", "value": "Mozilla/5.0"}]},
            "response": {"status": 200, "httpVersion": "h2",
                         "headers": [{"name": "content-type", "value": kind},
                                     {"name": "content-length", "value": str(200000 + i)}],
                         "content": {"size": 200000 + i, "mimeType": kind}},
        }
        if not medium:
            entry["response"]["content"].update({"text": noise, "encoding": "base64"})
        out.write(("," if i else "") + json.dumps(entry))
        i += 1
    out.write("]}}")
PY
fi
size=$(stat -c %s "$file")
echo "HAR of $((size >> 20)) MiB"
walls=() cpus=() peak=0 listed=0
for _ in $(seq "$runs"); do
    /usr/bin/time -f '%e %U %S %M' -o "$file.time" "$build/pelnix-sniff" --read "$file" >"$file.out"
    read -r wall user system rss <"$file.time"
    walls+=("$wall")
    cpus+=("$(awk -v u="$user" -v s="$system" 'BEGIN {print u + s}')")
    [ "$rss" -gt "$peak" ] && peak=$rss
    listed=$(wc -l <"$file.out")
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
fastest=$(printf '%s\n' "${walls[@]}" | sort -g | head -n1)
echo "wall: fastest ${fastest} s, median $(median "${walls[@]}") s; CPU median $(median "${cpus[@]}") s"
echo "throughput at the fastest: $(awk -v b="$size" -v t="$fastest" 'BEGIN {printf "%.1f", b / 1048576 / t}') MiB/s"
echo "peak resident memory: $((peak / 1024)) MiB; media listed: $listed"
