#!/usr/bin/env bash
# Live capture capacity over a veth pair between two network namespaces: nginx (sendfile, each
# answer's header block in a packet of its own) serves MEDIA Flash videos and MP3s of distinct
# sizes; curl fetches them 8 at a time while `pelnix-sniff --watch` captures on the client's
# side (through the capture helper, whose records reach it over the record stream). Two runs:
# the burst alone, and the burst under a saturating bulk transfer on the same
# link (a 2 GB file fetched over and over). For each: the media listed with their own URL and
# size, the statistics line of --watch (kernel and interface drops), and the link rates reached
# (from the client end's byte counter).
# Needs root; everything lives in namespaces and a temporary folder that are removed at the end.
#   bench/capture/live-capacity.sh [BUILD_DIR] [MEDIA] [PROGRAM]
# PROGRAM defaults to BUILD_DIR/pelnix-sniff (any program with the same --watch works).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
media=${2:-320}
program=${3:-$build/pelnix-sniff}
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces, capture)" >&2; exit 1; }
for tool in ip nginx curl python3; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[ -x "$program" ] || { echo "missing $program (build it first)" >&2; exit 1; }

id=$$
. "$root/scripts/veth-pair.sh"
veth_pair_names "cap$id"
server=$server_ns client=$client_ns
work=$(mktemp -d /tmp/pelnix-capacity-XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    veth_pair_down
    rm -rf "$work"
}
trap cleanup EXIT

veth_pair_up "cap$id" 10.233.0.1 10.233.0.2
in_server() { ip netns exec "$server" "$@"; }
in_client() { ip netns exec "$client" "$@"; }

# The media: three Flash videos to one MP3, sizes 120,000 + 997 i bytes (all distinct, all
# listable), random bodies after the signature. The bulk file is sparse: zeros on the wire.
mkdir -p "$work/site"
python3 - "$work/site" "$media" <<'PY'
import os, sys
site, count = sys.argv[1], int(sys.argv[2])
with open(os.path.join(site, "list.txt"), "w") as listing:
    for i in range(count):
        name, head = ("m%03d.mp3" % i, b"ID3\x03\x00") if i % 4 == 3 else \
                     ("v%03d.flv" % i, b"FLV\x01\x05\x00\x00\x00\x09")
        size = 120000 + 997 * i
        with open(os.path.join(site, name), "wb") as f:
            f.write(head + os.urandom(size - len(head)))
        listing.write("%s %d\n" % (name, size))
PY
truncate -s 2G "$work/site/bulk.bin"
chmod 755 "$work" "$work/site"
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    sendfile on;
    tcp_nopush off;
    types { video/x-flv flv; audio/mpeg mp3; }
    default_type application/octet-stream;
    client_body_temp_path $work/body;
    proxy_temp_path $work/proxy;
    fastcgi_temp_path $work/fastcgi;
    uwsgi_temp_path $work/uwsgi;
    scgi_temp_path $work/scgi;
    server { listen 8080; root $work/site; }
}
CONF
ip netns exec "$server" nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
pids+=($!)
for _ in $(seq 50); do
    in_client curl -sf -o /dev/null http://10.233.0.1:8080/list.txt && break
    sleep 0.1
done

# One curl config holding every medium: fetched 8 at a time over fresh connections.
while read -r name _; do
    printf 'url = "http://10.233.0.1:8080/%s"\noutput = "/dev/null"\n' "$name"
done <"$work/site/list.txt" >"$work/burst.curl"

now() { date +%s.%N; }
# Bytes the client's end has received so far.
received() {
    ip -n "$client" -s -j link show dev "$client_link" |
        python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["stats64"]["rx"]["bytes"])'
}

# run NAME BULK: one watch, one burst, with or without the bulk transfer alongside.
run() {
    local label=$1 bulk=$2 out="$work/$1.out" err="$work/$1.err" watch start end bulk_pid=""
    local lead_time=0 lead_bytes=0 start_bytes end_bytes
    ip netns exec "$client" "$program" --watch >"$out" 2>"$err" &
    watch=$!
    pids+=("$watch")
    for _ in $(seq 100); do grep -qs "watching" "$err" && break; sleep 0.05; done
    if [ "$bulk" = yes ]; then
        # The bulk file over and over on one connection, the bodies to /dev/null.
        ip netns exec "$client" curl -s "http://10.233.0.1:8080/bulk.bin?[1-100000]" >/dev/null &
        bulk_pid=$!
        sleep 1  # up to speed
        lead_time=$(now)
        lead_bytes=$(received)
        sleep 2  # the bulk transfer's rate alone
    fi
    start=$(now)
    start_bytes=$(received)
    in_client curl -s --no-progress-meter --parallel --parallel-max 8 -K "$work/burst.curl"
    end=$(now)
    end_bytes=$(received)
    if [ -n "$bulk_pid" ]; then
        kill -TERM "$bulk_pid"
        wait "$bulk_pid" 2>/dev/null || true
    fi
    sleep 2  # the capture hands over its last batch within a second
    kill -INT "$watch"
    wait "$watch" || true
    python3 - "$label" "$work/site/list.txt" "$out" "$err" "$start" "$end" "$bulk" \
        "$lead_time" "$lead_bytes" "$start_bytes" "$end_bytes" <<'PY'
import sys
label, listing, out, err, start, end, bulk = sys.argv[1:8]
lead_time, lead_bytes, start_bytes, end_bytes = map(float, sys.argv[8:])
expected = {}
for line in open(listing):
    name, size = line.split()
    expected["http://10.233.0.1:8080/" + name] = int(size)
listed = right = 0
for line in open(out):
    fields = line.rstrip("\n").split("\t")
    if len(fields) == 5 and fields[4] in expected:
        listed += 1
        right += int(fields[3]) == expected[fields[4]]
seconds = float(end) - float(start)
total = sum(expected.values())
print("%s: %d media in %.2f s, listed %d, with their own size %d (%.1f%%)"
      % (label, len(expected), seconds, listed, right, 100.0 * right / len(expected)))
print("  link rate during the burst: %.2f Gbit/s (media alone would be %.2f Gbit/s)"
      % ((end_bytes - start_bytes) * 8 / seconds / 1e9, total * 8 / seconds / 1e9))
for line in open(err):
    if "packets received" in line:
        print("  " + line.strip())
if bulk == "yes":
    print("  link rate of the bulk transfer alone, the 2 s before: %.2f Gbit/s"
          % ((start_bytes - lead_bytes) * 8 / (float(start) - lead_time) / 1e9))
PY
}

echo "program: $program; $media media, 8 at a time, over veth ($(nproc) cores)"
run alone no
run "under bulk" yes
