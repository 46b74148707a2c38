#!/usr/bin/env bash
# Live capture capacity over a veth pair between two network namespaces: nginx (sendfile, each
# answer's header block in a packet of its own) serves MEDIA Flash videos and MP3s of distinct
# sizes; curl fetches them 8 at a time while `pelnix-sniff --watch` captures on the client's
# side (through the capture helper, whose records reach it over the record stream). Two runs:
# the burst alone, and the burst under a saturating bulk transfer on the same
# link (a 2 GB file fetched over and over). For each: the media listed with their own URL and
# size, the statistics line of --watch (kernel and interface drops), and the link rates reached
# (from the client end's byte counter).
# With SCHEME https, the same over TLS: nginx serves half the media over TLS 1.3 with HTTP/1.1
# and half over TLS 1.2 with HTTP/2 (a test authority made with openssl), curl writes its key
# log, and the watch runs with --keylog (the stream engine in the helper decrypts everything,
# the bulk transfer too).
# With SCHEME http3, over QUIC: ngtcp2's gtlsserver (Debian's ngtcp2-server) serves the media
# over HTTP/3 on UDP port 443, gtlsclient (ngtcp2-client) fetches them eight to a connection,
# eight connections at a time, and writes its key log through GnuTLS; the bulk transfer is the
# same file fetched over HTTP/3 again and again, one connection after the other.
# With SAVE set to "save", the watch runs with --save DIR as well (one folder per run), and
# each served medium's saved copy is compared with the served file by SHA-256: how many of the
# media have a copy byte-identical to what the server sent, and how many were saved with holes.
# Needs root; everything lives in namespaces and a temporary folder that are removed at the end.
#   bench/capture/live-capacity.sh [BUILD_DIR] [MEDIA] [PROGRAM] [SCHEME] [SAVE]
# PROGRAM defaults to BUILD_DIR/pelnix-sniff (any program with the same --watch works), SCHEME
# to http.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
media=${2:-320}
program=${3:-$build/pelnix-sniff}
scheme=${4:-http}
save=${5:-}
case "$save" in
    "" | save) ;;
    *) echo "SAVE is empty or save" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespaces, capture)" >&2; exit 1; }
case "$scheme" in
    http | https) tools=(ip nginx curl python3 openssl) ;;
    http3) tools=(ip gtlsserver gtlsclient python3 openssl) ;;
    *) echo "SCHEME is http, https or http3" >&2; exit 2 ;;
esac
for tool in "${tools[@]}"; do
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
watch_options=()
curl_options=()
curl_env=()
servers="server { listen 8080; root $work/site; }"
if [ "$scheme" != http ]; then
    # A test authority and the server's certificate, made here.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/ca.key" \
        -out "$work/ca.pem" -days 2 -subj "/CN=Pelnix Capacity Authority" 2>/dev/null
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/server.key" \
        -out "$work/server.csr" -subj "/CN=media.capacity.test" 2>/dev/null
    echo "subjectAltName=DNS:media.capacity.test" >"$work/san.cnf"
    openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
        -CAcreateserial -out "$work/server.pem" -days 2 -extfile "$work/san.cnf" 2>/dev/null
fi
if [ "$scheme" = https ]; then
    servers="ssl_certificate $work/server.pem; ssl_certificate_key $work/server.key;
    server { listen 8443 ssl; ssl_protocols TLSv1.3; root $work/site; }
    server { listen 8444 ssl http2; ssl_protocols TLSv1.2; root $work/site; }"
    # The key log appears only once curl runs: after the capture started.
    watch_options=(--keylog "$work/keys/curl.keys")
    curl_env=(SSLKEYLOGFILE="$work/keys/curl.keys")
    mkdir -p "$work/keys"
    curl_options=(--cacert "$work/ca.pem" --resolve media.capacity.test:8443:10.233.0.1
                  --resolve media.capacity.test:8444:10.233.0.1)
fi
if [ "$scheme" = http3 ]; then
    watch_options=(--keylog "$work/keys/quic.keys")
    quic_keys="SSLKEYLOGFILE=$work/keys/quic.keys"
    mkdir -p "$work/keys"
    export client quic_keys
fi
quic_client() { # quic_client URL...: one connection, every URL on it
    ip netns exec "$client" env "$quic_keys" gtlsclient -q --exit-on-all-streams-close \
        --no-quic-dump --no-http-dump --timeout=10s 10.233.0.1 443 "$@" >/dev/null 2>&1
}
export -f quic_client
if [ "$scheme" = http3 ]; then
    ip netns exec "$server" gtlsserver -q -d "$work/site" 10.233.0.1 443 "$work/server.key" \
        "$work/server.pem" >"$work/error.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 50); do
        quic_client https://media.capacity.test/list.txt && break
        sleep 0.1
    done
else
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
    $servers
}
CONF
ip netns exec "$server" nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
pids+=($!)
first_url=http://10.233.0.1:8080/list.txt
[ "$scheme" = https ] && first_url=https://media.capacity.test:8443/list.txt
for _ in $(seq 50); do
    in_client curl -sf "${curl_options[@]}" -o /dev/null "$first_url" && break
    sleep 0.1
done
fi

# One curl config holding every medium: fetched 8 at a time over fresh connections (over
# HTTPS: the first half over TLS 1.3 and HTTP/1.1, the second over TLS 1.2 and HTTP/2).
python3 - "$work/site/list.txt" "$scheme" "$work/ca.pem" >"$work/burst.curl" <<'PY'
import sys
names = [line.split()[0] for line in open(sys.argv[1])]
if sys.argv[2] == "http3":
    # One line per connection: its eight URLs.
    for i in range(0, len(names), 8):
        print(" ".join("https://media.capacity.test/" + name for name in names[i:i + 8]))
    sys.exit(0)
if sys.argv[2] == "http":
    groups = [("", "http://10.233.0.1:8080/", names)]
else:
    # Each group of options holds for its own URLs only.
    tls = 'cacert = "%s"\nresolve = "media.capacity.test:%d:10.233.0.1"\n'
    half = len(names) // 2
    groups = [("http1.1\n" + tls % (sys.argv[3], 8443), "https://media.capacity.test:8443/",
               names[:half]),
              ("http2\n" + tls % (sys.argv[3], 8444), "https://media.capacity.test:8444/",
               names[half:])]
for i, (option, base, group) in enumerate(groups):
    if i:
        print("next")
    sys.stdout.write(option)
    for name in group:
        print('url = "%s%s"\noutput = "/dev/null"' % (base, name))
PY

now() { date +%s.%N; }
# Bytes the client's end has received so far.
received() {
    ip -n "$client" -s -j link show dev "$client_link" |
        python3 -c 'import json, sys; print(json.load(sys.stdin)[0]["stats64"]["rx"]["bytes"])'
}

# run NAME BULK: one watch, one burst, with or without the bulk transfer alongside.
run() {
    local label=$1 bulk=$2 out="$work/$1.out" err="$work/$1.err" watch start end bulk_pid=""
    local lead_time=0 lead_bytes=0 start_bytes end_bytes saved=""
    local save_options=()
    if [ -n "$save" ]; then
        saved="$work/saved-${label// /-}"
        save_options=(--save "$saved")
    fi
    ip netns exec "$client" "$program" --watch "${watch_options[@]}" "${save_options[@]}" \
        >"$out" 2>"$err" &
    watch=$!
    pids+=("$watch")
    for _ in $(seq 100); do grep -qs "watching" "$err" && break; sleep 0.05; done
    if [ "$bulk" = yes ]; then
        # The bulk file over and over on one connection, the bodies to /dev/null.
        local bulk_url="http://10.233.0.1:8080/bulk.bin?[1-100000]"
        [ "$scheme" = https ] && bulk_url="https://media.capacity.test:8443/bulk.bin?[1-100000]"
        if [ "$scheme" = http3 ]; then
            (while true; do quic_client https://media.capacity.test/bulk.bin; done) &
        else
            ip netns exec "$client" env "${curl_env[@]}" curl -s "${curl_options[@]}" \
                "$bulk_url" >/dev/null &
        fi
        bulk_pid=$!
        sleep 1  # up to speed
        lead_time=$(now)
        lead_bytes=$(received)
        sleep 2  # the bulk transfer's rate alone
    fi
    start=$(now)
    start_bytes=$(received)
    if [ "$scheme" = http3 ]; then
        xargs -P 8 -L 1 bash -c 'quic_client "$@"' quic <"$work/burst.curl" || true
    else
        in_client env "${curl_env[@]}" curl -s --no-progress-meter --parallel --parallel-max 8 \
            -K "$work/burst.curl"
    fi
    end=$(now)
    end_bytes=$(received)
    if [ -n "$bulk_pid" ]; then
        kill -TERM "$bulk_pid"
        wait "$bulk_pid" 2>/dev/null || true
        # The loop's last client, if one runs.
        for pid in $(ip netns pids "$client"); do
            [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = gtlsclient ] && kill "$pid" 2>/dev/null
        done || true
    fi
    sleep 2  # the capture hands over its last batch within a second
    kill -INT "$watch"
    wait "$watch" || true
    python3 - "$label" "$work/site/list.txt" "$out" "$err" "$start" "$end" "$bulk" \
        "$lead_time" "$lead_bytes" "$start_bytes" "$end_bytes" "$scheme" "$saved" <<'PY'
import hashlib, os, sys
label, listing, out, err, start, end, bulk = sys.argv[1:8]
lead_time, lead_bytes, start_bytes, end_bytes = map(float, sys.argv[8:12])
scheme, saved = sys.argv[12], sys.argv[13]
expected = {}
names = [line.split() for line in open(listing)]
for i, (name, size) in enumerate(names):
    if scheme == "http":
        base = "http://10.233.0.1:8080/"
    elif scheme == "http3":
        base = "https://media.capacity.test/"
    else:
        base = "https://media.capacity.test:%d/" % (8443 if i < len(names) // 2 else 8444)
    expected[base + name] = int(size)
listed = right = 0
seen = set()
for line in open(out):
    fields = line.rstrip("\n").split("\t")
    if len(fields) == 5 and fields[4] in expected:
        listed += 1
        right += int(fields[3]) == expected[fields[4]]
        seen.add(fields[4])
seconds = float(end) - float(start)
total = sum(expected.values())
print("%s: %d media in %.2f s, listed %d, with their own size %d (%.1f%%)"
      % (label, len(expected), seconds, listed, right, 100.0 * right / len(expected)))
print("  link rate during the burst: %.2f Gbit/s (media alone would be %.2f Gbit/s)"
      % ((end_bytes - start_bytes) * 8 / seconds / 1e9, total * 8 / seconds / 1e9))
for line in open(err):
    if "packets received" in line or (saved and ": saved " in line):
        print("  " + line.strip())
if saved:
    # Saved as NUMBER-NAME (NAME.partial with holes): each served medium's copy by its name.
    def digest(path):
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    copies, partial = {}, 0
    for entry in os.listdir(saved) if os.path.isdir(saved) else []:
        name = entry.split("-", 1)[-1]
        if name.endswith(".partial"):
            partial += 1
            continue
        copies.setdefault(name, []).append(os.path.join(saved, entry))
    site = os.path.dirname(listing)
    identical = sum(1 for name, _ in names
                    if any(digest(copy) == digest(os.path.join(site, name))
                           for copy in copies.get(name, [])))
    print("  --save: %d of %d copies byte-identical (SHA-256) to the served files, %d saved "
          "with holes" % (identical, len(names), partial))
    notes = [line.strip() for line in open(err) if "not saved" in line or "not captured" in line]
    for line in notes[:4]:
        print("    " + line)
    if len(notes) > 4:
        print("    ... %d such lines" % len(notes))
missing = sorted(set(expected) - seen)
if missing:
    print("  not listed: " + " ".join(missing[:4]) + (" ..." if len(missing) > 4 else ""))
if bulk == "yes":
    print("  link rate of the bulk transfer alone, the 2 s before: %.2f Gbit/s"
          % ((start_bytes - lead_bytes) * 8 / (float(start) - lead_time) / 1e9))
PY
}

echo "program: $program; $media media over $scheme, 8 at a time, over veth ($(nproc) cores)"
run alone no
run "under bulk" yes
