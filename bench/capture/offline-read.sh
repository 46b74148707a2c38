#!/usr/bin/env bash
# Times `pelnix-sniff --read` against httpry and against the bare libpcap read loop, all reading
# the same generated capture file (MEBIBYTES, in /tmp, deleted afterwards): RUNS rounds, each
# running them one after the other so that all see the same load; page cache warm. The bare
# loop runs twice: as libpcap opens files, and through the same 256 KiB read buffer that
# pelnix-sniff gives libpcap, which leaves the per-packet work as the only difference. For each:
# the fastest and the median wall time, the median CPU time (user + system) and the peak
# resident memory (GNU time's). httpry and time, Debian packages, are installed here when missing.
#   bench/capture/offline-read.sh [BUILD_DIR] [MEBIBYTES] [RUNS]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build}
mebibytes=${2:-512}
runs=${3:-7}
file=$(mktemp /tmp/pelnix-bench-XXXXXX.pcap)
trap 'rm -f "$file"' EXIT

for program in pelnix-sniff bench/capture/capture_pcap_read_loop bench/capture/capture_make_capture; do
    [ -x "$build/$program" ] || { echo "missing $build/$program (build it first)" >&2; exit 1; }
done
missing=()
command -v httpry >/dev/null || missing+=(httpry)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    sudo_cmd=()
    [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
fi

"$build/bench/capture/capture_make_capture" "$file" "$mebibytes" >/dev/null
cat "$file" >/dev/null  # warm the page cache

python3 - "$file" "$runs" "$build/pelnix-sniff" "$(command -v httpry)" \
    "$build/bench/capture/capture_pcap_read_loop" <<'PY'
import os, statistics, subprocess, sys, time
path, runs, sniff, httpry, loop = sys.argv[1], int(sys.argv[2]), *sys.argv[3:]
programs = {
    "bare libpcap loop": [loop, path],
    "bare loop, buffered": [loop, "--buffer", str(256 << 10), path],
    "pelnix-sniff --read": [sniff, "--read", path],
    "httpry -r": [httpry, "-q", "-r", path, "-o", "/dev/null"],
}
lines = subprocess.run(programs["pelnix-sniff --read"], capture_output=True, text=True).stdout
print("capture file: %d bytes; pelnix-sniff lists %d media"
      % (os.path.getsize(path), lines.count("\n")))
measured = {name: [] for name in programs}
devnull = os.open(os.devnull, os.O_WRONLY)
rss_file = path + ".rss"
for _ in range(runs):
    for name, argv in programs.items():
        # GNU time reports the program's own peak; the spawning process's memory would
        # otherwise count as the child's until it execs.
        command = ["/usr/bin/time", "-f", "%M", "-o", rss_file] + argv
        start = time.perf_counter()
        pid = os.posix_spawn(command[0], command, os.environ,
                             file_actions=[(os.POSIX_SPAWN_DUP2, devnull, 1),
                                           (os.POSIX_SPAWN_DUP2, devnull, 2)])
        _, status, usage = os.wait4(pid, 0)
        wall = time.perf_counter() - start
        if status != 0:
            sys.exit("%s failed with status %d" % (name, status))
        rss = int(open(rss_file).read().split()[-1])
        measured[name].append((wall, usage.ru_utime + usage.ru_stime, rss))
os.unlink(rss_file)
size = os.path.getsize(path)
print("%-20s %9s %9s %9s %10s %9s" % ("", "fastest", "median", "CPU med", "MB/s best", "peak RSS"))
for name, runs_of in measured.items():
    walls = [w for w, _, _ in runs_of]
    print("%-20s %8.3fs %8.3fs %8.3fs %10.0f %7.1fMB"
          % (name, min(walls), statistics.median(walls),
             statistics.median(c for _, c, _ in runs_of), size / min(walls) / 1e6,
             max(r for _, _, r in runs_of) / 1024))
sniff_runs = measured["pelnix-sniff --read"]
ratio = lambda a, b, i: statistics.median(x[i] / y[i] for x, y in zip(a, b))
print("pelnix-sniff against, median of the per-round ratios:")
for other in ("bare libpcap loop", "bare loop, buffered", "httpry -r"):
    print("  %-20s wall %.3f, CPU %.3f" % (other, ratio(sniff_runs, measured[other], 0),
                                          ratio(sniff_runs, measured[other], 1)))
PY
