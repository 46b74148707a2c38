#!/usr/bin/env bash
# Reads one generated capture of HTTPS (MEBIBYTES, with its key log; in /tmp, deleted
# afterwards) with `pelnix-sniff --read FILE --keylog KEYS` and with tshark decrypting it with
# the same key log (`-o tls.keylog_file:KEYS`), listing the HTTP/1.1 and HTTP/2 answers. Then
# compares pelnix-sniff's list with tshark's media answers: status 2xx, a video or audio type,
# a length of at least 100,000 bytes. RUNS rounds, the two programs one after the other in each
# so that both see the same load; page cache warm. For each: fastest and median wall time,
# median CPU time (user + system), peak resident memory (GNU time's). tshark and time, Debian
# packages, are installed here when missing (tshark's question about capture rights answered
# "no" beforehand, so that the install asks nothing).
#   bench/streams/https-read.sh [BUILD_DIR] [MEBIBYTES] [RUNS]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
mebibytes=${2:-512}
runs=${3:-3}
file=$(mktemp /tmp/pelnix-https-XXXXXX.pcap)
keys=${file%.pcap}.keys
trap 'rm -f "$file" "$keys"' EXIT

for program in pelnix-sniff bench/streams/capture_make_https; do
    [ -x "$build/$program" ] || { echo "missing $build/$program (build it first)" >&2; exit 1; }
done
missing=()
command -v tshark >/dev/null || missing+=(tshark)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        "${sudo_cmd[@]}" debconf-set-selections
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

"$build/bench/streams/capture_make_https" "$file" "$keys" "$mebibytes"
cat "$file" >/dev/null  # warm the page cache

python3 - "$file" "$keys" "$runs" "$build/pelnix-sniff" "$(command -v tshark)" <<'PY'
import os, statistics, subprocess, sys, time
path, keys, runs, sniff, tshark = sys.argv[1], sys.argv[2], int(sys.argv[3]), *sys.argv[4:]
fields = ["tcp.stream", "http.response_for.uri", "http.response.code", "http.content_type",
          "http.content_length_header", "http2.type", "http2.streamid",
          "http2.headers.authority", "http2.headers.path", "http2.headers.status",
          "http2.headers.content_type", "http2.headers.content_length"]
programs = {
    "pelnix-sniff --read --keylog": [sniff, "--read", path, "--keylog", keys],
    "tshark -o tls.keylog_file": [tshark, "-r", path, "-o", "tls.keylog_file:" + keys,
                                  "-Y", "http.response or http2.type == 1", "-T", "fields",
                                  "-E", "separator=|", "-E", "occurrence=a",
                                  "-E", "aggregator=;"] + sum((["-e", f] for f in fields), []),
}
out = path + ".out"
measured = {name: [] for name in programs}
outputs = {}
for _ in range(runs):
    for name, argv in programs.items():
        command = ["/usr/bin/time", "-f", "%M", "-o", path + ".rss"] + argv
        with open(out, "wb") as sink, open(os.devnull, "wb") as quiet:
            start = time.perf_counter()
            child = subprocess.Popen(command, stdout=sink, stderr=quiet)
            _, status, usage = os.wait4(child.pid, 0)
            wall = time.perf_counter() - start
        if status != 0:
            sys.exit("%s failed with status %d" % (name, status))
        rss = int(open(path + ".rss").read().split()[-1])
        measured[name].append((wall, usage.ru_utime + usage.ru_stime, rss))
        outputs[name] = open(out, encoding="utf-8", errors="replace").read()
os.unlink(out)
os.unlink(path + ".rss")

# pelnix-sniff: number, time, type, size, URL.
listed = {}
for line in outputs["pelnix-sniff --read --keylog"].splitlines():
    _, _, kind, size, url = line.split("\t")
    listed[url] = int(size)

# tshark: HTTP/1.1 answers by their request's URI; HTTP/2 answers tied to their stream's
# request headers (in a frame's lists, the header fields follow its HEADERS frames in order;
# every request here names authority and path, every answer its status, type and length).
answers = []  # (url, status, type, length)
requests = {}  # (tcp stream, http2 stream) -> url
pending = []   # HTTP/2 answers waiting for their request: (tcp stream, stream id, ...)
for line in outputs["tshark -o tls.keylog_file"].splitlines():
    cols = [c.split(";") if c else [] for c in line.split("|")]
    (stream,), uris, codes, types, lengths = cols[0], cols[1], cols[2], cols[3], cols[4]
    for uri, code, ctype, length in zip(uris, codes, types, lengths):
        answers.append((uri, int(code), ctype, int(length)))
    ftypes, ids, authorities, paths, statuses, h2types, h2lengths = cols[5:12]
    for ftype, sid in zip(ftypes, ids):
        if ftype != "1":
            continue
        if authorities and paths and not statuses:
            requests[(stream, sid)] = "https://%s%s" % (authorities.pop(0), paths.pop(0))
        elif statuses:
            pending.append((stream, sid, int(statuses.pop(0)), h2types.pop(0),
                            int(h2lengths.pop(0))))
for stream, sid, status, ctype, length in pending:
    answers.append((requests.get((stream, sid), "?"), status, ctype, length))
media = {url: length for url, status, ctype, length in answers
         if 200 <= status < 300 and ctype.split("/")[0] in ("video", "audio")
         and length >= 100000}

size = os.path.getsize(path)
print("capture file: %d bytes; answers seen by tshark: %d, of them media: %d; pelnix-sniff "
      "lists %d" % (size, len(answers), len(media), len(listed)))
print("%-30s %9s %9s %9s %12s %9s" % ("", "fastest", "median", "CPU med", "MB/s per CPU",
                                     "peak RSS"))
for name, runs_of in measured.items():
    walls = [w for w, _, _ in runs_of]
    cpu = statistics.median(c for _, c, _ in runs_of)
    print("%-30s %8.3fs %8.3fs %8.3fs %12.0f %7.1fMB"
          % (name, min(walls), statistics.median(walls), cpu, size / cpu / 1e6,
             max(r for _, _, r in runs_of) / 1024))
a, b = measured["tshark -o tls.keylog_file"], measured["pelnix-sniff --read --keylog"]
print("tshark / pelnix-sniff, median of the per-round ratios: wall %.1f, CPU %.1f"
      % (statistics.median(x[0] / y[0] for x, y in zip(a, b)),
         statistics.median(x[1] / y[1] for x, y in zip(a, b))))
if listed == media:
    print("the same list: %d media answers, each with the same URL and size" % len(media))
else:
    only_sniff = sorted(set(listed.items()) - set(media.items()))
    only_tshark = sorted(set(media.items()) - set(listed.items()))
    print("the lists differ: %d only in pelnix-sniff's, %d only in tshark's"
          % (len(only_sniff), len(only_tshark)))
    for entry in only_sniff[:10]:
        print("  pelnix-sniff only: %s %d" % entry)
    for entry in only_tshark[:10]:
        print("  tshark only: %s %d" % entry)
    sys.exit(1)
PY
