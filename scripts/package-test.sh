#!/usr/bin/env bash
# Builds the Debian package from a built tree and tries it as a user of this machine would:
# its file list and dependencies, dpkg -i, the installed programs, their capture capabilities,
# a normal user capturing through them, the installed window under Xvfb with only the
# system-wide settings, then removal and purge, after which nothing of it may be left.
#   scripts/package-test.sh BUILD_DIR
#   PELNIX_PACKAGE_SCREENSHOT=FILE scripts/package-test.sh BUILD_DIR   also keeps a screenshot
# Needs root. The package is installed only for the test; the user, the network namespaces
# and the X server it makes are its own and go again, whatever happens.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${1:?usage: package-test.sh BUILD_DIR}" && pwd)

say() { printf 'package test: %s\n' "$*" >&2; }
fail() {
    say "FAILED: $*"
    exit 1
}

if [ "$(id -u)" -ne 0 ]; then
    say "skipped: it needs root (dpkg -i, a user and network namespaces of its own)"
    exit 0
fi
# Whether dpkg knows the package (installed, or removed with its settings kept).
package_present() {
    local status
    status=$(dpkg-query -W -f='${db:Status-Status}' pelnix 2>/dev/null) || return 1
    [ -n "$status" ] && [ "$status" != not-installed ]
}
# One package test at a time on this machine; it installs into /usr and /etc.
mkdir -p /run/lock
exec 9>/run/lock/pelnix-package-test.lock
flock -w 900 9 || fail "another package test holds /run/lock/pelnix-package-test.lock"
if package_present; then
    say "skipped: a pelnix package is on this machine already, and the test would replace it"
    exit 0
fi

work=$(mktemp -d /tmp/pelnix-package-XXXXXX)
chmod 755 "$work"
tag=$$
user="pxpkg$tag"
. "$root/scripts/veth-pair.sh"
veth_pair_names "pkg$tag"
server_address=10.232.0.1 client_address=10.232.0.2
pids=()

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
    local seconds=$1
    shift
    local i
    for ((i = 0; i < seconds * 10; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    return 1
}

# dpkg with its output in the log $1, waiting up to a minute while another package manager
# holds dpkg's lock.
run_dpkg() {
    local log=$1 i
    shift
    for ((i = 0; i < 60; i++)); do
        dpkg "$@" >"$log" 2>&1 && return 0
        grep -q 'lock' "$log" || return 1
        sleep 1
    done
    return 1
}

cleanup() {
    local pid
    # Asked first, so that the X server takes its socket and lock file with it.
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
    for pid in "${pids[@]}"; do
        wait_for 5 sh -c '! kill -0 "$1" 2>/dev/null' sh "$pid" || kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    if package_present; then
        run_dpkg "$work/dpkg-cleanup.log" --purge pelnix || say "could not purge the package: dpkg --purge pelnix"
    fi
    veth_pair_down
    if id "$user" >/dev/null 2>&1; then
        userdel -r "$user" 2>/dev/null || say "could not remove the user $user"
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# --- the package ---------------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack could not build the package"; }
deb=$(ls "$work"/package/pelnix_*.deb)
say "built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

mapfile -t programs <"$build/packaging/programs.txt"
expected=(./etc/xdg/Pelnix/Pelnix.ini ./usr/share/applications/pelnix.desktop
    ./usr/share/doc/pelnix/index.html)
for program in "${programs[@]}"; do
    expected+=("./usr/bin/$program" "./usr/share/man/man1/$program.1.gz")
done
for size in 16 22 24 32 48 64 128 256; do
    expected+=("./usr/share/icons/hicolor/${size}x${size}/apps/pelnix.png")
done
dpkg-deb --fsys-tarfile "$deb" | tar -t | grep -v '/$' | sort >"$work/files"
printf '%s\n' "${expected[@]}" | sort >"$work/expected"
diff -u "$work/expected" "$work/files" >&2 || fail "the package's file list differs (- expected, + packaged)"

depends=$(dpkg-deb -f "$deb" Depends)
for needed in ffmpeg libcap2-bin libpcap0.8 libcurl4 libqt6widgets6 libc6; do
    [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "Depends lacks $needed: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles"
[ "$(cat "$work/conffiles")" = /etc/xdg/Pelnix/Pelnix.ini ] ||
    fail "the system-wide settings are not the one conffile: $(cat "$work/conffiles")"
mapfile -t installed_paths < <(sed 's/^\.//' "$work/files")

# --- installed -----------------------------------------------------------------------------
run_dpkg "$work/dpkg-install.log" -i "$deb" ||
    { cat "$work/dpkg-install.log" >&2; fail "dpkg -i"; }
say "installed"

version=$(dpkg-deb -f "$deb" Version)
expected_lines=$'1\t12:46:38 AM\tflv\t150000\thttp://media.pelnix.test:8080/clip.flv
2\t12:46:38 AM\tmp4\t210000\thttp://media.pelnix.test:8080/movie.mp4
3\t12:46:38 AM\tMP3\t120000\thttp://10.231.0.1/song.mp3'
for program in "${programs[@]}"; do
    [ "$("/usr/bin/$program" --version)" = "$program $version" ] ||
        fail "/usr/bin/$program --version says '$("/usr/bin/$program" --version)'"
    read_output=$(TZ=UTC "/usr/bin/$program" --read "$root/tests/data/capture/live-media.pcap")
    [ "$read_output" = "$expected_lines" ] ||
        fail "/usr/bin/$program --read of the test capture printed: $read_output"
done

# Where the file system keeps no capabilities, the post-install step must say how to grant them
# and still succeed: tried with a setcap that fails as it does there.
mkdir "$work/no-xattr"
printf '#!/bin/sh\necho "Failed to set capabilities on file: Operation not supported" >&2\nexit 1\n' \
    >"$work/no-xattr/setcap"
chmod 755 "$work/no-xattr/setcap"
PATH="$work/no-xattr:$PATH" /var/lib/dpkg/info/pelnix.postinst configure >"$work/no-xattr.log" 2>&1 ||
    fail "the post-install step failed where setcap fails: $(cat "$work/no-xattr.log")"
grep -q "sudo setcap cap_net_raw,cap_net_admin=eip /usr/bin/pelnix" "$work/no-xattr.log" ||
    fail "the post-install step did not say how to grant the capabilities: $(cat "$work/no-xattr.log")"

capabilities_kept=1
for program in "${programs[@]}"; do
    granted=$(getcap "/usr/bin/$program")
    if [[ "$granted" != *"cap_net_admin,cap_net_raw=eip"* ]]; then
        grep -q "setcap cap_net_raw,cap_net_admin=eip /usr/bin/$program" "$work/dpkg-install.log" ||
            fail "/usr/bin/$program has no capture capabilities and the post-install step said nothing"
        say "this file system keeps no file capabilities; the post-install step said how to grant them"
        capabilities_kept=0
    fi
done

useradd --create-home --shell /bin/sh "$user"
# Qt wants a private runtime folder; without one it would make its own in /tmp and leave it.
install -d -m 700 -o "$user" -g "$user" "$work/runtime"

# Network namespaces of this test: the server's and the client's, joined by a veth pair. The
# installed programs capture only in the client's.
veth_pair_up "pkg$tag" "$server_address" "$client_address"

if [ "$capabilities_kept" = 1 ]; then
    mkdir "$work/site"
    { printf 'FLV\001\005\000\000\000\011'; head -c 150000 /dev/zero; } >"$work/site/clip.flv"
    chmod -R a+rX "$work/site"
    ip netns exec "$server_ns" python3 "$root/tests/support/media_server.py" "$work/site" \
        "$server_address" 8080 >/dev/null 2>&1 &
    pids+=("$!")
    wait_for 10 ip netns exec "$client_ns" curl -s -o /dev/null "http://$server_address:8080/" ||
        fail "the HTTP server in the namespace did not answer"
    for program in "${programs[@]}"; do
        : >"$work/watch.out"
        : >"$work/watch.err"
        chmod 666 "$work/watch.out" "$work/watch.err"
        ip netns exec "$client_ns" setpriv --reuid="$user" --regid="$user" --init-groups \
            --reset-env -- "/usr/bin/$program" --watch >"$work/watch.out" 2>"$work/watch.err" &
        watcher=$!
        pids+=("$watcher")
        wait_for 10 grep -q 'watching' "$work/watch.err" ||
            fail "$program --watch as $user did not start capturing: $(cat "$work/watch.err")"
        ip netns exec "$client_ns" curl -sf -o /dev/null "http://$server_address:8080/clip.flv" ||
            fail "curl could not fetch the test medium"
        wait_for 10 grep -qF $'flv\t150009\thttp://'"$server_address:8080/clip.flv" "$work/watch.out" ||
            fail "$program --watch as $user listed nothing: $(cat "$work/watch.out" "$work/watch.err")"
        kill -TERM "$watcher"
        wait "$watcher" || fail "$program --watch did not end cleanly on SIGTERM"
        say "$program --watch as the normal user $user listed: $(cut -f3- "$work/watch.out")"
    done
fi

# The window, started the way the desktop entry says, as that user, with only the system-wide
# settings (the user has none of their own).
exec_line=$(sed -n 's/^Exec=//p' /usr/share/applications/pelnix.desktop)
read -r -a exec_words <<<"$exec_line"
command_words=()
for word in "${exec_words[@]}"; do
    [[ "$word" == %* ]] || command_words+=("$word")
done
# -noreset: a bare X server resets whenever its last client leaves (here each xwininfo poll)
# and refuses connections meanwhile; a desktop session always has other clients.
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
pids+=("$!")
wait_for 10 test -s "$work/display" || fail "Xvfb did not start"
display=":$(cat "$work/display")"
ip netns exec "$client_ns" setpriv --reuid="$user" --regid="$user" --init-groups --reset-env -- \
    env DISPLAY="$display" XDG_RUNTIME_DIR="$work/runtime" "${command_words[@]}" >"$work/window.log" 2>&1 &
window=$!
pids+=("$window")
title="Pelnix - Recently Sniffed Media"
if ! wait_for 20 sh -c 'xwininfo -display "$1" -root -tree | grep -qF "$2"' sh "$display" "$title"; then
    xwininfo -display "$display" -root -tree >&2 || true
    cat "$work/window.log" >&2
    fail "the installed window did not open (command: ${command_words[*]})"
fi
if [ "$capabilities_kept" = 1 ]; then
    # CAP_NET_ADMIN and CAP_NET_RAW are bits 12 and 13.
    window_caps=$(sed -n 's/^CapEff:\s*//p' "/proc/$window/status")
    [ "$((16#$window_caps & 16#3000))" = "$((16#3000))" ] ||
        fail "the window runs without the capture capabilities (CapEff $window_caps)"
    # Something for the window to list, captured through the installed program's capabilities.
    sleep 1
    ip netns exec "$client_ns" curl -sf -o /dev/null "http://$server_address:8080/clip.flv" ||
        fail "curl could not fetch the test medium"
fi
# PELNIX_PACKAGE_SCREENSHOT=FILE keeps a picture of the screen (ImageMagick's import).
if [ -n "${PELNIX_PACKAGE_SCREENSHOT:-}" ]; then
    sleep 2
    import -display "$display" -window root "$PELNIX_PACKAGE_SCREENSHOT" ||
        say "could not take the screenshot"
fi
home=$(getent passwd "$user" | cut -d: -f6)
[ ! -e "$home/.config/Pelnix/Pelnix.ini" ] || fail "the window wrote a per-user settings file"
[ "$(stat -c %a "$home/.cache/Pelnix" 2>/dev/null)" = 700 ] ||
    fail "the system-wide settings' work folder was not made private in the user's home"
say "the window opened from the desktop entry's command '${command_words[*]}' as $user"
kill -TERM "$window"
wait "$window" 2>/dev/null || true

# --- removed, then purged ------------------------------------------------------------------
run_dpkg "$work/dpkg-remove.log" -r pelnix || { cat "$work/dpkg-remove.log" >&2; fail "dpkg -r"; }
for path in "${installed_paths[@]}"; do
    [ "$path" = /etc/xdg/Pelnix/Pelnix.ini ] && continue
    [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
[ -e /etc/xdg/Pelnix/Pelnix.ini ] || fail "dpkg -r removed the settings, a conffile, before purge"
run_dpkg "$work/dpkg-purge.log" --purge pelnix || { cat "$work/dpkg-purge.log" >&2; fail "dpkg --purge"; }
for path in "${installed_paths[@]}" /etc/xdg/Pelnix /usr/share/doc/pelnix; do
    [ ! -e "$path" ] || fail "$path is left after dpkg --purge"
done
package_present && fail "dpkg still knows pelnix after purge"
say "removed and purged: nothing of the package is left"
say "passed"
