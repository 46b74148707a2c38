#!/bin/sh
# The set-up's settings step: the default settings file, and a work folder that only the user
# may enter (the converter scripts written there are run), also where one was there before.
#   setup-settings.sh SOURCE_ROOT
set -eu
root=$1
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
fail() {
    echo "setup-settings: $*" >&2
    exit 1
}
run() { HOME=$home XDG_CONFIG_HOME='' XDG_CACHE_HOME='' "$root/scripts/setup.sh" settings; }

umask 002  # a umask that would let the group write new folders
run || fail "the settings step failed"
[ "$(stat -c %a "$home/.cache/Pelnix")" = 700 ] || fail "a new work folder is not private"
grep -qx "TempDir=$home/.cache/Pelnix" "$home/.config/Pelnix/Pelnix.ini" ||
    fail "the settings do not name the work folder"

chmod 0777 "$home/.cache/Pelnix"
echo "[Pelnix]" >"$home/.config/Pelnix/Pelnix.ini"
run || fail "the settings step failed the second time"
[ "$(stat -c %a "$home/.cache/Pelnix")" = 700 ] || fail "an existing work folder stays open"
[ "$(cat "$home/.config/Pelnix/Pelnix.ini")" = "[Pelnix]" ] || fail "existing settings changed"
