#!/usr/bin/env bash
# Builds the Debian package from a built tree and tries it as the users of this machine would:
# its file list, dependencies and lintian's verdict; dpkg -i; the installed programs; who holds
# capture rights (the capture helper alone, root:pelnix 0750 with the capabilities); a member of
# the group pelnix capturing through --watch and through the installed window under Xvfb, with
# Qt's plugin variables pointing at libraries that record the capabilities of whoever loads
# them; a user outside the group, who gets the message, no capture, and a working --read; the
# capability sets of every one of these processes; then removal and purge, after which nothing
# of the package may be left.
#   scripts/package-test.sh BUILD_DIR
#   PELNIX_PACKAGE_SCREENSHOT=FILE scripts/package-test.sh BUILD_DIR   also keeps a screenshot
# Needs root. The package is installed only for the test; the users, the network namespaces
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
# The sample capture, where every user may read it.
install -m 644 "$root/tests/data/capture/live-media.pcap" "$work/live-media.pcap"
tag=$$
user="pxpkg$tag"     # a member of the group pelnix
outsider="pxout$tag" # not a member
helper=/usr/libexec/pelnix/pelnix-capture
probes="$build/tests/packaging"
. "$root/scripts/veth-pair.sh"
veth_pair_names "pkg$tag"
server_address=10.232.0.1 client_address=10.232.0.2
pids=()

# The capability lines (inheritable, permitted, effective) of process $1, "CapInh:0 ..." with
# the values as the kernel writes them.
capability_sets() {
    sed -n 's/^\(Cap\(Inh\|Prm\|Eff\)\):[[:space:]]*/\1:/p' "/proc/$1/status" | tr '\n' ' '
}
no_capabilities="CapInh:0000000000000000 CapPrm:0000000000000000 CapEff:0000000000000000 "
# The children of process $1.
children_of() {
    grep -lE "^PPid:[[:space:]]+$1\$" /proc/[0-9]*/status 2>/dev/null | cut -d/ -f3 || true
}
# Fails unless process $2 (named $1 in the message) holds no capability.
expect_no_capabilities() {
    local sets
    sets=$(capability_sets "$2")
    [ "$sets" = "$no_capabilities" ] || fail "$1 holds capabilities: $sets"
}

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
    local who
    for who in "$user" "$outsider"; do
        if id "$who" >/dev/null 2>&1; then
            userdel -r "$who" 2>/dev/null || say "could not remove the user $who"
        fi
    done
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
    ./usr/share/doc/pelnix/index.html ./usr/share/doc/pelnix/copyright
    ./usr/share/doc/pelnix/changelog.Debian.gz ".$helper")
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
for needed in ffmpeg libcap2-bin adduser libpcap0.8 libcurl4 libqt6widgets6 libc6; do
    [[ ", $depends," == *", $needed"[\ ,]* ]] || fail "Depends lacks $needed: $depends"
done
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles >"$work/conffiles"
[ "$(cat "$work/conffiles")" = /etc/xdg/Pelnix/Pelnix.ini ] ||
    fail "the system-wide settings are not the one conffile: $(cat "$work/conffiles")"
mapfile -t installed_paths < <(sed 's/^\.//' "$work/files")

# Lintian, Debian's package checker: no error (warnings are listed).
command -v lintian >/dev/null || fail "lintian is missing (scripts/packages.txt lists it)"
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian found errors in the package"; }
findings=$(grep -E '^[EWIPX]: ' "$work/lintian.log" || true)
say "lintian: no errors${findings:+; it notes:}"
[ -z "$findings" ] || printf '    %s\n' "$findings" >&2

# --- installed -----------------------------------------------------------------------------
# A group pelnix that was there before (made by the checkout's set-up, or an administrator's)
# is the package's to use; purge takes it only when nobody is in it, and then it is made again.
group_before=$(getent group pelnix || true)
run_dpkg "$work/dpkg-install.log" -i "$deb" ||
    { cat "$work/dpkg-install.log" >&2; fail "dpkg -i"; }
say "installed"

# The group, and the helper as the only file with capture rights.
getent group pelnix >/dev/null || fail "the post-install step made no group pelnix"
[ "$(stat -c '%U:%G %a' "$helper")" = "root:pelnix 750" ] ||
    fail "$helper is $(stat -c '%U:%G %a' "$helper"), not root:pelnix 750"
dpkg-statoverride --list "$helper" >/dev/null || fail "no dpkg-statoverride for $helper"
for program in "${programs[@]}"; do
    [ -z "$(getcap "/usr/bin/$program")" ] ||
        fail "/usr/bin/$program holds capabilities: $(getcap "/usr/bin/$program")"
done

# The package's version less its Debian revision is the programs' own.
version=$(dpkg-deb -f "$deb" Version)
version=${version%-*}
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
grep -q "sudo setcap cap_net_raw,cap_net_admin=eip $helper" "$work/no-xattr.log" ||
    fail "the post-install step did not say how to grant the capabilities: $(cat "$work/no-xattr.log")"

capabilities_kept=1
granted=$(getcap "$helper")
if [[ "$granted" != *"cap_net_admin,cap_net_raw=eip"* ]]; then
    grep -q "setcap cap_net_raw,cap_net_admin=eip $helper" "$work/dpkg-install.log" ||
        fail "$helper has no capture capabilities and the post-install step said nothing"
    say "this file system keeps no file capabilities; the post-install step said how to grant them"
    capabilities_kept=0
else
    say "getcap: $granted"
fi

useradd --create-home --shell /bin/sh --groups pelnix "$user"
useradd --create-home --shell /bin/sh "$outsider"
# Qt wants a private runtime folder; without one it would make its own in /tmp and leave it.
install -d -m 700 -o "$user" -g "$user" "$work/runtime"
install -d -m 700 -o "$outsider" -g "$outsider" "$work/runtime-out"


# Network namespaces of this test: the server's and the client's, joined by a veth pair. The
# installed programs capture only in the client's.
veth_pair_up "pkg$tag" "$server_address" "$client_address"
# Command prefixes: as the member or the outsider, with that user's groups and a clean
# environment, in the client's namespace. Each execs the next, so that a background job's
# process id is the program's own.
as_member=(ip netns exec "$client_ns" setpriv --reuid="$user" --regid="$user" --init-groups
    --reset-env --)
as_outsider=(ip netns exec "$client_ns" setpriv --reuid="$outsider" --regid="$outsider"
    --init-groups --reset-env --)

# Libraries that record the capability sets of whoever loads them, where the member may put
# them: for Qt's plugin variables (the window, below) and for the dynamic loader's (the helper).
install -d -o "$user" -g "$user" "$work/probe/platformthemes" "$work/probe-platform"
for probe in ThemeProbe:probe/platformthemes PlatformProbe:probe-platform; do
    [ -f "$probes/lib${probe%%:*}.so" ] ||
        fail "$probes/lib${probe%%:*}.so is missing (build the tree with its tests)"
    install -m 644 "$probes/lib${probe%%:*}.so" "$work/${probe#*:}/"
done

if [ "$capabilities_kept" = 1 ]; then
    # The helper, started by a member by hand with the dynamic loader's variables set: it loads
    # nothing from them (the loader ignores them for a file with capabilities), and it still
    # writes its record stream and ends when its input does.
    "${as_member[@]}" env LD_PRELOAD="$work/probe/platformthemes/libThemeProbe.so" \
        LD_LIBRARY_PATH="$work/probe/platformthemes" "$helper" </dev/null \
        >"$work/helper.out" 2>"$work/helper.err" ||
        fail "$helper run by hand failed: $(cat "$work/helper.err")"
    [ "$(head -c 4 "$work/helper.out")" = PXRS ] || fail "$helper wrote no record stream"
    [ -z "$(find "$work/probe" -name 'loaded-by-*')" ] ||
        fail "a library preloaded through LD_PRELOAD ran in the capture helper"

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
        "${as_member[@]}" "/usr/bin/$program" --watch >"$work/watch.out" 2>"$work/watch.err" &
        watcher=$!
        pids+=("$watcher")
        wait_for 10 grep -q 'watching' "$work/watch.err" ||
            fail "$program --watch as $user did not start capturing: $(cat "$work/watch.err")"
        # The helper has opened its adapter (it lists its sessions only after that) and holds
        # no capability any more; neither does the program that started it.
        watch_helper=$(children_of "$watcher")
        [ -n "$watch_helper" ] || fail "$program --watch runs no capture helper"
        expect_no_capabilities "the capture helper of $program --watch" "$watch_helper"
        expect_no_capabilities "$program --watch" "$watcher"
        ip netns exec "$client_ns" curl -sf -o /dev/null "http://$server_address:8080/clip.flv" ||
            fail "curl could not fetch the test medium"
        wait_for 10 grep -qF $'flv\t150009\thttp://'"$server_address:8080/clip.flv" "$work/watch.out" ||
            fail "$program --watch as $user listed nothing: $(cat "$work/watch.out" "$work/watch.err")"
        kill -TERM "$watcher"
        wait "$watcher" || fail "$program --watch did not end cleanly on SIGTERM"
        grep -q ": $client_link: [0-9]* packets received" "$work/watch.err" ||
            fail "$program --watch gave no statistics line: $(cat "$work/watch.err")"
        [ ! -e "/proc/$watch_helper" ] || fail "the capture helper outlived $program --watch"
        say "$program --watch as the member $user listed: $(cut -f3- "$work/watch.out")"
    done
fi

# A user outside the group: the message and the command that fixes it, no capture; --read
# works all the same.
for program in "${programs[@]}"; do
    status=0
    "${as_outsider[@]}" "/usr/bin/$program" --watch >"$work/outsider.out" 2>"$work/outsider.err" ||
        status=$?
    [ "$status" = 1 ] || fail "$program --watch as $outsider ended with $status, not 1"
    [ ! -s "$work/outsider.out" ] || fail "$program --watch as $outsider printed records"
    grep -qF 'sudo adduser $USER pelnix' "$work/outsider.err" ||
        fail "$program --watch as $outsider did not say how to join the group: $(cat "$work/outsider.err")"
    read_output=$("${as_outsider[@]}" env TZ=UTC "/usr/bin/$program" --read "$work/live-media.pcap")
    [ "$read_output" = "$expected_lines" ] ||
        fail "$program --read as $outsider printed: $read_output"
done
say "$outsider, outside the group, was told: $(head -n 1 "$work/outsider.err")"

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
title="Pelnix - Recently Sniffed Media"
# Waits for the window $1 titled $2 to open; fails with its log $3 when it does not.
wait_for_window() {
    if ! wait_for 20 sh -c 'xwininfo -display "$1" -root -tree | grep -qF "$2"' sh "$display" "$2"; then
        xwininfo -display "$display" -root -tree >&2 || true
        cat "$3" >&2
        fail "$1 did not open (command: ${command_words[*]})"
    fi
}

# The member's window, with Qt's plugin variables pointing at libraries that record the
# capabilities of the process that loads them: code slipped into the window that way must find
# no capability.
"${as_member[@]}" env DISPLAY="$display" XDG_RUNTIME_DIR="$work/runtime" \
    QT_PLUGIN_PATH="$work/probe" QT_QPA_PLATFORM_PLUGIN_PATH="$work/probe-platform" \
    QT_QPA_PLATFORM="pelnixprobe;xcb" QT_QPA_PLATFORMTHEME=pelnixprobe \
    "${command_words[@]}" >"$work/window.log" 2>&1 &
window=$!
pids+=("$window")
wait_for_window "the installed window of the member $user" "$title" "$work/window.log"
expect_no_capabilities "the window" "$window"
mapfile -t records < <(find "$work/probe" "$work/probe-platform" -name 'loaded-by-*.txt')
[ ${#records[@]} -gt 0 ] ||
    fail "Qt loaded neither library from its plugin variables: the check would prove nothing"
for record in "${records[@]}"; do
    sets=$(grep -E '^Cap(Inh|Prm|Eff):' "$record" | tr -d ' \t' | tr '\n' ' ')
    [ "$sets" = "$no_capabilities" ] || fail "code loaded from Qt's plugin path held: $sets"
done
say "Qt loaded ${#records[@]} libraries from its plugin variables into the window: none held a capability"
if [ "$capabilities_kept" = 1 ]; then
    window_helper=$(children_of "$window")
    [ -n "$window_helper" ] || fail "the window runs no capture helper: $(cat "$work/window.log")"
    expect_no_capabilities "the window's capture helper" "$window_helper"
    # The medium appears in the list: what the window shows changes once it is fetched.
    wait_for 10 sh -c '[ "$("$1" "$2" "$3")" = "$("$1" "$2" "$3")" ]' sh \
        "$root/tests/support/window_pixels.py" "$display" "$title" ||
        fail "the window does not settle"
    sleep 0.5
    before=$("$root/tests/support/window_pixels.py" "$display" "$title")
    ip netns exec "$client_ns" curl -sf -o /dev/null "http://$server_address:8080/clip.flv" ||
        fail "curl could not fetch the test medium"
    wait_for 10 sh -c '[ "$("$1" "$2" "$3")" != "$4" ]' sh \
        "$root/tests/support/window_pixels.py" "$display" "$title" "$before" ||
        fail "the member's window listed nothing: $(cat "$work/window.log")"
    say "the member's window listed the medium, through a capture helper without capabilities"
fi
# PELNIX_PACKAGE_SCREENSHOT=FILE keeps a picture of the screen (ImageMagick's import).
if [ -n "${PELNIX_PACKAGE_SCREENSHOT:-}" ]; then
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
if [ "$capabilities_kept" = 1 ]; then
    wait_for 5 test ! -e "/proc/$window_helper" || fail "the capture helper outlived the window"
fi

# The outsider's window: one message box (titled "Pelnix") over the window, which opens all
# the same; no helper runs.
"${as_outsider[@]}" env DISPLAY="$display" XDG_RUNTIME_DIR="$work/runtime-out" \
    "${command_words[@]}" >"$work/outsider-window.log" 2>&1 &
outsider_window=$!
pids+=("$outsider_window")
wait_for_window "the installed window of $outsider" "$title" "$work/outsider-window.log"
wait_for_window "the message to $outsider" '"Pelnix": ("pelnix"' "$work/outsider-window.log"
expect_no_capabilities "the window of $outsider" "$outsider_window"
[ -z "$(children_of "$outsider_window")" ] || fail "the window of $outsider started a child"
say "the window of $outsider opened with its message"
kill -TERM "$outsider_window"
wait "$outsider_window" 2>/dev/null || true

# --- removed, then purged ------------------------------------------------------------------
run_dpkg "$work/dpkg-remove.log" -r pelnix || { cat "$work/dpkg-remove.log" >&2; fail "dpkg -r"; }
getent group pelnix >/dev/null || fail "dpkg -r removed the group pelnix, which has a member"
for path in "${installed_paths[@]}"; do
    [ "$path" = /etc/xdg/Pelnix/Pelnix.ini ] && continue
    [ ! -e "$path" ] || fail "$path is left after dpkg -r"
done
[ -e /etc/xdg/Pelnix/Pelnix.ini ] || fail "dpkg -r removed the settings, a conffile, before purge"
# Once nobody is in the group, purge takes it too.
for who in "$user" "$outsider"; do userdel -r "$who" 2>/dev/null || fail "could not remove $who"; done
run_dpkg "$work/dpkg-purge.log" --purge pelnix || { cat "$work/dpkg-purge.log" >&2; fail "dpkg --purge"; }
for path in "${installed_paths[@]}" /etc/xdg/Pelnix /usr/share/doc/pelnix /usr/libexec/pelnix; do
    [ ! -e "$path" ] || fail "$path is left after dpkg --purge"
done
if [ -z "$group_before" ]; then
    ! getent group pelnix >/dev/null || fail "the group pelnix is left after dpkg --purge"
elif [ -n "$(echo "$group_before" | cut -d: -f4)" ]; then
    getent group pelnix >/dev/null || fail "dpkg --purge removed the group pelnix, which has members"
elif ! getent group pelnix >/dev/null; then
    addgroup --quiet --system --gid "$(echo "$group_before" | cut -d: -f3)" pelnix ||
        fail "could not make the group pelnix again, which was there before the test"
fi
! dpkg-statoverride --list "$helper" >/dev/null || fail "the statoverride of $helper is left"
package_present && fail "dpkg still knows pelnix after purge"
say "removed and purged: nothing of the package is left"
say "passed"
