#!/usr/bin/env bash
# Sets Pelnix up on Debian 12 and then runs it or its tests.
#   scripts/setup.sh run [ARGS...]   install what is missing, build, install the default
#                                    settings, grant the capture helper its capabilities,
#                                    start the program
#   scripts/setup.sh test            the same set-up, then every test (also under ASan+UBSan
#                                    and under ThreadSanitizer), a short smoke of each fuzz
#                                    target (clang) and, as root, the Debian package installed,
#                                    used and purged
#   scripts/setup.sh settings        only the default settings and the private work folder
#   scripts/setup.sh rights [BUILD]  only the capture rights: the group pelnix, and the granted
#                                    copy of the capture helper of BUILD (default build/)
# Works as root and as a desktop user (sudo for the package and capability steps).
set -euo pipefail

mode=${1:-run}
[ $# -gt 0 ] && shift
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)

# Each line says how many seconds the set-up has run, so that a slow stage shows.
say() { printf 'setup: [%d s] %s\n' "$SECONDS" "$*" >&2; }

install_packages() {
    local wanted=() missing=() p
    mapfile -t wanted < <(grep -v -E '^\s*(#|$)' "$root/scripts/packages.txt")
    for p in "${wanted[@]}"; do
        dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing: ${missing[*]}"
    if [ ${#sudo_cmd[@]} -gt 0 ] && ! command -v sudo >/dev/null; then
        say "these packages are missing and installing them needs root or sudo: ${missing[*]}"
        exit 1
    fi
    # nginx is here only for the capture tests, which start their own copies in network
    # namespaces: the package's system service must not start or stay enabled. A policy-rc.d
    # that refuses every start holds it back during the install (unless one is there already).
    local guard=""
    if [[ " ${missing[*]} " == *" nginx "* ]] && [ ! -e /usr/sbin/policy-rc.d ]; then
        guard=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' | "${sudo_cmd[@]}" tee "$guard" >/dev/null
        "${sudo_cmd[@]}" chmod 755 "$guard"
    fi
    local status=0
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
        "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
            apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null || status=$?
    if [ -n "$guard" ]; then
        "${sudo_cmd[@]}" rm -f "$guard"
        if [ -d /run/systemd/system ]; then
            "${sudo_cmd[@]}" systemctl disable --now nginx.service >/dev/null 2>&1 || true
        fi
    fi
    return $status
}

build_tree() { # build_tree DIR [CMAKE OPTIONS...]
    local dir=$1
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        # Unity builds: the libraries compile as a few large files each, about a fifth less
        # time from a clean tree (the test binaries stay one file each).
        cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
            -DCMAKE_UNITY_BUILD=ON "$@" >/dev/null
    fi
    cmake --build "$dir"
}

# The installer's part: the default settings file, written only when there is none.
install_settings() {
    local config_home=${XDG_CONFIG_HOME:-}
    [ "${config_home:0:1}" = "/" ] || config_home="$HOME/.config"
    local cache_home=${XDG_CACHE_HOME:-}
    [ "${cache_home:0:1}" = "/" ] || cache_home="$HOME/.cache"
    local folder="$config_home/Pelnix" work="$cache_home/Pelnix"
    mkdir -p "$folder" "$work"
    # The converter scripts written to the work folder are run: only the user may enter it.
    chmod 0700 "$work"
    if [ ! -e "$folder/Pelnix.ini" ]; then
        say "writing default settings to $folder/Pelnix.ini"
        cat >"$folder/Pelnix.ini" <<INI
[Pelnix]
FFMpegExe=$(command -v ffmpeg || echo /usr/bin/ffmpeg)
FFPlayExe=$(command -v ffplay || echo /usr/bin/ffplay)
FFMpegAud=-vn -codec:a libmp3lame -q:a 2 -f mp3
TempDir=$work
INI
    fi
}

# The capture rights of the checkout, as the package gives them: the group pelnix (made as the
# package's post-install step makes it) and the desktop user in it, as the package asks users to
# be; and a copy of the built capture helper owned by root and the group, mode 0750, in a folder
# that only root may change (build/rights/, which the programs take before the built helper
# while it is a copy of it), given the capabilities only once its owner and mode are set. The
# built helper itself stays the user's (ninja replaces it on every build) and holds no
# capability: a file of the user's with capabilities would let any program of the user write
# into it through a shared writable mapping (which keeps file capabilities) and capture, or
# administer the network, without a password. Some file systems keep no capabilities: say so
# and go on (capture then needs root).
grant_capabilities() {
    local helper="$build/pelnix-capture" granted="$build/rights/pelnix-capture"
    local capabilities=cap_net_raw,cap_net_admin=eip
    if [ ${#sudo_cmd[@]} -gt 0 ] && ! command -v sudo >/dev/null; then
        say "granting capture rights needs root or sudo; capture will need root"
        return 0
    fi
    # Set-ups before the helper's copy granted the capabilities to the built helper, and before
    # the helper existed to the programs themselves: taken back.
    local program
    for program in "$helper" "$build/pelnix" "$build/pelnix-sniff"; do
        if [ -n "$(getcap "$program" 2>/dev/null)" ]; then
            "${sudo_cmd[@]}" setcap -r "$program" 2>/dev/null ||
                say "could not take the capabilities back from $program"
        fi
    done
    if ! getent group pelnix >/dev/null; then
        "${sudo_cmd[@]}" addgroup --quiet --system pelnix || {
            say "could not create the group pelnix; capture will need root"
            return 0
        }
    fi
    if [ "$(id -u)" -ne 0 ]; then
        local user
        user=$(id -un)
        if ! id -nG "$user" | tr ' ' '\n' | grep -qx pelnix; then
            "${sudo_cmd[@]}" adduser --quiet "$user" pelnix &&
                say "added $user to the group pelnix, whose members may capture (and see the" \
                    "traffic of every user of this computer)"
        fi
        # The group applies to the processes of a new login only.
        id -nG | tr ' ' '\n' | grep -qx pelnix ||
            say "this login is not in the group pelnix yet: log out and log in again to capture"
    fi
    # Nothing to do while the granted copy is the built helper's, with its owner, mode and
    # capabilities.
    if [ "$(stat -c '%s %.9Y %U:%G %a' "$granted" 2>/dev/null)" = \
        "$(stat -c '%s %.9Y' "$helper") root:pelnix 750" ] &&
        [ "$(stat -c '%U %a' "$build/rights")" = "root 755" ] &&
        getcap "$granted" 2>/dev/null | grep -q 'cap_net_admin,cap_net_raw=eip'; then
        return 0
    fi
    # As root, in the build folder (which is the user's): the copy is made in a new folder of
    # root's with a name nobody could prepare, from inside it, so that no rename or link the
    # user makes meanwhile redirects a step; the folder then takes the place of build/rights.
    # shellcheck disable=SC2016  # expanded by the inner shell
    "${sudo_cmd[@]}" sh -c '
        set -eu
        cd -P -- "$1"
        fresh=$(mktemp -d rights.XXXXXX)
        cd -- "$fresh"
        if ! install -p -o root -g pelnix -m 0750 -- "$2" pelnix-capture ||
            ! setcap "$3" pelnix-capture; then
            cd .. && rm -rf -- "$fresh"
            exit 1
        fi
        chmod 0755 .
        cd ..
        rm -rf -- rights
        mv -T -- "$fresh" rights
    ' sh "$build" "$helper" "$capabilities" ||
        say "could not grant capture capabilities to $granted; capture will need root"
}

if [ "$mode" = settings ]; then
    install_settings
    exit 0
fi
if [ "$mode" = rights ]; then
    build=$(cd "${1:-$build}" && pwd)
    [ -f "$build/pelnix-capture" ] || {
        say "no capture helper in $build: build first (scripts/setup.sh run)"
        exit 1
    }
    grant_capabilities
    exit 0
fi

install_packages
build_tree "$build"
install_settings
grant_capabilities

case "$mode" in
run)
    exec "$build/pelnix" "$@"
    ;;
test)
    status=0
    # The fuzz smoke goes first so that the test runners' summaries close the output.
    if [ "${PELNIX_SKIP_FUZZ:-0}" != 1 ]; then
        say "building the fuzz targets with clang and running a 20-second smoke of each"
        fuzz_build="$root/build-fuzz"
        fuzz_flags="-fsanitize=fuzzer-no-link,address,undefined"
        if [ ! -f "$fuzz_build/CMakeCache.txt" ]; then
            cmake -S "$root" -B "$fuzz_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_UNITY_BUILD=ON \
                -DCMAKE_C_FLAGS="$fuzz_flags" -DCMAKE_CXX_FLAGS="$fuzz_flags" \
                -DPELNIX_FUZZ=ON -DPELNIX_TESTS=OFF -DPELNIX_BENCH=OFF >/dev/null
        fi
        # target, folder under fuzz/, longest input
        fuzzers=("capture_detection_fuzz capture 20000" "gif_picture_fuzz widgets 4096"
            "tls_decrypt_fuzz tls 65536" "httpmsg_fuzz httpmsg 8192" "http3_fuzz http3 16384"
            "tcp_reassembly_fuzz tcp 8192" "mediarules_fuzz mediarules 65536"
            "stream_engine_fuzz streams 65536" "quic_stream_fuzz quic 65536")
        targets=()
        for fuzz in "${fuzzers[@]}"; do targets+=("${fuzz%% *}"); done
        # One build of them all (it shares the libraries), then the smokes two at a time: each
        # is one process on one core.
        if cmake --build "$fuzz_build" --target "${targets[@]}"; then
            run_fuzz() { # run_fuzz TARGET FOLDER MAX_LEN
                local corpus result=0
                corpus=$(mktemp -d)
                cp "$root/fuzz/$2"/corpus/* "$corpus"/
                "$fuzz_build/fuzz/$2/$1" -max_total_time=20 -max_len="$3" "$corpus" \
                    >"$corpus.log" 2>&1 || { tail -n 40 "$corpus.log" >&2; result=1; }
                rm -rf "$corpus" "$corpus.log"
                return $result
            }
            pids=()
            for fuzz in "${fuzzers[@]}"; do
                read -r target folder max_len <<<"$fuzz"
                run_fuzz "$target" "$folder" "$max_len" &
                pids+=($!)
                if [ ${#pids[@]} -eq 2 ]; then
                    wait "${pids[0]}" || status=1
                    pids=("${pids[1]}")
                fi
            done
            for pid in "${pids[@]}"; do wait "$pid" || status=1; done
        else
            status=1
        fi
    fi
    if [ "${PELNIX_SKIP_PACKAGE:-0}" != 1 ]; then
        say "building the Debian package and trying it installed (as root only)"
        "$root/scripts/package-test.sh" "$build" || status=1
    fi
    ctest --test-dir "$build" --output-on-failure -j2 || status=1
    if [ "${PELNIX_SKIP_SANITIZE:-0}" != 1 ]; then
        say "building and running the tests under AddressSanitizer and UndefinedBehaviorSanitizer"
        build_tree "$root/build-asan" -DPELNIX_SANITIZE=ON -DPELNIX_BENCH=OFF
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
            ctest --test-dir "$root/build-asan" --output-on-failure -j2 -LE nosan || status=1
    fi
    if [ "${PELNIX_SKIP_TSAN:-0}" != 1 ]; then
        # The program is threaded throughout: capture threads, the report hand-over, the
        # runner's reader, the download workers. Forks in the tests exec at once, hence
        # die_after_fork=0; tests/tsan.supp says why each of its lines is there.
        say "building and running the tests under ThreadSanitizer"
        build_tree "$root/build-tsan" -DPELNIX_TSAN=ON -DPELNIX_BENCH=OFF
        TSAN_OPTIONS="suppressions=$root/tests/tsan.supp halt_on_error=1 die_after_fork=0" \
            ctest --test-dir "$root/build-tsan" --output-on-failure -j2 -LE nosan || status=1
    fi
    say "done"
    exit $status
    ;;
*)
    say "unknown mode '$mode' (use run, test, settings or rights)"
    exit 2
    ;;
esac
