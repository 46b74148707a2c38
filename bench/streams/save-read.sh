#!/usr/bin/env bash
# Saving the media of a capture from the bytes it holds: one generated capture of HTTPS
# (MEBIBYTES, with its key log and a manifest of every medium's URL, size and SHA-256; a third of
# the large media by byte ranges out of order; in /tmp, deleted afterwards) read in each round
# with `pelnix-sniff --read FILE --keylog KEYS`, with the same and `--save DIR`, and with
# tshark's HTTP object export (`tshark -r FILE -o tls.keylog_file:KEYS --export-objects
# http,DIR`), one after the other so that all three see the same load; page cache warm. Each
# run writes into a folder of its own, all of them deleted only at the end: a file system
# without a journal (ext4 so mounted) skips inodes freed in the last minute when it makes
# files, so deleting a thousand files before a run would slow the next run's file creation.
# For each: fastest and median wall time, median CPU time (user + system), peak resident memory
# (GNU time's); for the two that write files, how many of the manifest's media they wrote whole
# (a file whose SHA-256 is the medium's), in all and by how each was sent (HTTP/1.1 or HTTP/2,
# whole or by ranges). tshark and time, Debian packages, are installed when missing (tshark's
# question about capture rights answered "no" beforehand).
#   bench/streams/save-read.sh [BUILD_DIR] [MEBIBYTES] [RUNS]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
mebibytes=${2:-1024}
runs=${3:-3}
work=$(mktemp -d /tmp/pelnix-save-XXXXXX)
trap 'rm -rf "$work"' EXIT

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

"$build/bench/streams/capture_make_https" "$work/capture.pcap" "$work/keys.log" "$mebibytes" \
    "$work/manifest.tsv"
cat "$work/capture.pcap" >/dev/null  # warm the page cache

python3 - "$work" "$runs" "$build/pelnix-sniff" "$(command -v tshark)" <<'PY'
import hashlib, os, shutil, statistics, subprocess, sys, time
work, runs, sniff, tshark = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
capture, keys = os.path.join(work, "capture.pcap"), os.path.join(work, "keys.log")
# SAVED stands for the run's own folder.
programs = {
    "pelnix-sniff --read --keylog": [sniff, "--read", capture, "--keylog", keys],
    "pelnix-sniff ... --save": [sniff, "--read", capture, "--keylog", keys, "--save", "SAVED"],
    "tshark --export-objects http": [tshark, "-q", "-r", capture, "-o", "tls.keylog_file:" + keys,
                                     "--export-objects", "http,SAVED"],
}
manifest = {}
for line in open(os.path.join(work, "manifest.tsv")):
    url, size, digest, how = line.rstrip("\n").split("\t")
    manifest[digest] = (url, int(size), how)
kinds = sorted(set(how for _, _, how in manifest.values()))

def whole(folder):
    found = set()
    for name in os.listdir(folder):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and os.path.getsize(path) >= 100000:
            digest = hashlib.sha256(open(path, "rb").read()).hexdigest()
            if digest in manifest:
                found.add(digest)
    return found

measured = {name: [] for name in programs}
counted = {}
for round_number in range(runs):
    for index, (name, argv) in enumerate(programs.items()):
        saved = os.path.join(work, "saved-%d-%d" % (round_number, index))
        os.makedirs(saved)
        argv = [arg.replace("SAVED", saved) for arg in argv]
        subprocess.run(["sync"])
        command = ["/usr/bin/time", "-f", "%M", "-o", os.path.join(work, "rss")] + argv
        with open(os.devnull, "wb") as quiet:
            start = time.perf_counter()
            child = subprocess.Popen(command, stdout=quiet, stderr=quiet)
            _, status, usage = os.wait4(child.pid, 0)
            wall = time.perf_counter() - start
        if status != 0:
            sys.exit("%s failed with status %d" % (name, status))
        rss = int(open(os.path.join(work, "rss")).read().split()[-1])
        measured[name].append((wall, usage.ru_utime + usage.ru_stime, rss))
        if "SAVED" in programs[name][-1]:
            counted[name] = whole(saved)
        if "tshark" in name:
            counted["tshark files"] = len(os.listdir(saved))

size = os.path.getsize(capture)
print("capture file: %d bytes, %d media (%s)"
      % (size, len(manifest), ", ".join(
          "%d %s" % (sum(1 for m in manifest.values() if m[2] == kind), kind) for kind in kinds)))
print("%-30s %9s %9s %9s %10s %12s" % ("", "fastest", "median", "CPU med", "peak RSS",
                                      "media whole"))
for name, runs_of in measured.items():
    walls = [w for w, _, _ in runs_of]
    whole_count = ("%d of %d" % (len(counted[name]), len(manifest))) if name in counted else ""
    print("%-30s %8.3fs %8.3fs %8.3fs %8.1fMB %12s"
          % (name, min(walls), statistics.median(walls),
             statistics.median(c for _, c, _ in runs_of),
             max(r for _, _, r in runs_of) / 1024, whole_count))
a = measured["pelnix-sniff ... --save"]
b = measured["pelnix-sniff --read --keylog"]
c = measured["tshark --export-objects http"]
print("--save / --read alone, median of the per-round ratios: wall %.2f, CPU %.2f"
      % (statistics.median(x[0] / y[0] for x, y in zip(a, b)),
         statistics.median(x[1] / y[1] for x, y in zip(a, b))))
print("tshark export / --save, median of the per-round ratios: wall %.1f, CPU %.1f"
      % (statistics.median(x[0] / y[0] for x, y in zip(c, a)),
         statistics.median(x[1] / y[1] for x, y in zip(c, a))))
print("tshark exported %d files" % counted["tshark files"])
for name in ("pelnix-sniff ... --save", "tshark --export-objects http"):
    print("%s, media whole: %s" % (name, ", ".join(
        "%s %d of %d" % (kind, sum(1 for d in counted[name] if manifest[d][2] == kind),
                         sum(1 for m in manifest.values() if m[2] == kind)) for kind in kinds)))
missing = set(manifest) - counted["pelnix-sniff ... --save"]
for digest in sorted(missing)[:10]:
    print("  not saved whole by pelnix-sniff: %s %d (%s)" % manifest[digest])
PY
