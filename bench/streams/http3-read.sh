#!/usr/bin/env bash
# Reads one generated capture of HTTP/3 over QUIC (MEBIBYTES, with its key log; in /tmp,
# deleted afterwards) with `pelnix-sniff --read FILE --keylog KEYS` and with tshark decrypting
# it with the same key log (`-o tls.keylog_file:KEYS`), printing each HTTP/3 HEADERS frame's
# field section, which this script decodes (QPACK by the static table and literals, as the
# capture's peers send them: Debian's tshark decodes no QPACK). Requests and answers are paired
# in their order on each QUIC connection; the media answers (status 2xx, a video or audio type,
# a content-length of at least 100,000 bytes) must be the list pelnix-sniff prints. RUNS rounds,
# the two programs one after the other in each so that both see the same load; page cache warm.
# For each: fastest and median wall time, median CPU time (user + system), peak resident memory
# (GNU time's). tshark and time, Debian packages, are installed here when missing (tshark's
# question about capture rights answered "no" beforehand, so that the install asks nothing).
#   bench/streams/http3-read.sh [BUILD_DIR] [MEBIBYTES] [RUNS]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
mebibytes=${2:-512}
runs=${3:-3}
file=$(mktemp /tmp/pelnix-http3-XXXXXX.pcap)
keys=${file%.pcap}.keys
trap 'rm -f "$file" "$keys"' EXIT

for program in pelnix-sniff bench/streams/capture_make_quic; do
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

"$build/bench/streams/capture_make_quic" "$file" "$keys" "$mebibytes"
cat "$file" >/dev/null  # warm the page cache

python3 - "$file" "$keys" "$runs" "$build/pelnix-sniff" "$(command -v tshark)" <<'PY'
import os, statistics, subprocess, sys, time
path, keys, runs, sniff, tshark = sys.argv[1], sys.argv[2], int(sys.argv[3]), *sys.argv[4:]
programs = {
    "pelnix-sniff --read --keylog": [sniff, "--read", path, "--keylog", keys],
    "tshark -o tls.keylog_file": [tshark, "-r", path, "-o", "tls.keylog_file:" + keys,
                                  "-Y", "http3.frame_type == 1", "-T", "fields",
                                  "-E", "separator=|", "-E", "occurrence=a",
                                  "-E", "aggregator=;", "-e", "quic.connection.number",
                                  "-e", "http3.frame_type", "-e", "http3.frame_payload"],
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

# QPACK field sections without the dynamic table (RFC 9204): indexed and literal lines.
STATIC = {0: (":authority", ""), 1: (":path", "/"), 4: ("content-length", "0"),
          17: (":method", "GET"), 23: (":scheme", "https"), 24: (":status", "103"),
          25: (":status", "200"), 44: ("content-type", "application/dns-message")}

def integer(data, at, bits):
    limit = (1 << bits) - 1
    value = data[at] & limit
    at += 1
    if value < limit:
        return value, at
    shift = 0
    while True:
        byte = data[at]
        at += 1
        value += (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, at

def string(data, at, bits):
    if data[at] & (1 << bits):
        raise ValueError("Huffman-coded string")
    size, at = integer(data, at, bits)
    return data[at:at + size].decode("latin-1"), at + size

def fields(data):
    required, at = integer(data, 0, 8)
    _, at = integer(data, at, 7)
    if required:
        raise ValueError("dynamic table reference")
    out = {}
    while at < len(data):
        first = data[at]
        if first & 0x80:
            if not first & 0x40:
                raise ValueError("dynamic table reference")
            index, at = integer(data, at, 6)
            name, value = STATIC[index]
        elif first & 0x40:
            if not first & 0x10:
                raise ValueError("dynamic table reference")
            index, at = integer(data, at, 4)
            name = STATIC[index][0]
            value, at = string(data, at, 7)
        elif first & 0x20:
            name, at = string(data, at, 3)
            value, at = string(data, at, 7)
        else:
            raise ValueError("post-base reference")
        out[name] = value
    return out

requests, answers = {}, {}
for line in outputs["tshark -o tls.keylog_file"].splitlines():
    connection, types, payloads = (column.split(";") for column in line.split("|"))
    for kind, payload in zip(types, payloads):
        if kind != "1":
            continue
        section = fields(bytes.fromhex(payload))
        target = requests if ":method" in section else answers
        target.setdefault(connection[0], []).append(section)
answered = []
for connection, sections in answers.items():
    for request, answer in zip(requests.get(connection, []), sections):
        url = "https://%s%s" % (request[":authority"], request[":path"])
        answered.append((url, int(answer[":status"]), answer.get("content-type", ""),
                         int(answer.get("content-length", "0"))))
media = {url: length for url, status, ctype, length in answered
         if 200 <= status < 300 and ctype.split("/")[0] in ("video", "audio")
         and length >= 100000}

size = os.path.getsize(path)
print("capture file: %d bytes; answers seen by tshark: %d, of them media: %d; pelnix-sniff "
      "lists %d" % (size, len(answered), len(media), len(listed)))
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
