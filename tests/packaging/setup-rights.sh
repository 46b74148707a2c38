#!/bin/sh
# The set-up's capture rights (root only): in a build folder of a desktop user (played by
# nobody), `scripts/setup.sh rights` leaves the built helper the user's without capabilities
# (taking back those an older set-up gave it) and grants them to a copy that is root:pelnix 0750
# in a folder of root's. A member of the group may run that copy but can neither open it for
# writing nor map it writable: a write through a shared mapping would keep its capabilities.
#   setup-rights.sh SOURCE_ROOT HELPER
set -eu
root=$1
helper=$2
if [ "$(id -u)" -ne 0 ]; then
    echo "setup-rights: skipped: needs root (makes the group pelnix and grants capabilities)" >&2
    exit 77
fi
fail() {
    echo "setup-rights: $*" >&2
    exit 1
}
build=$(mktemp -d)
trap 'rm -rf "$build"' EXIT
user=nobody
cp "$helper" "$build/pelnix-capture"
chmod 0700 "$build/pelnix-capture"
chown -R "$user:" "$build"
# As a set-up before the granted copy left it.
setcap cap_net_raw,cap_net_admin=eip "$build/pelnix-capture" ||
    fail "this file system keeps no capabilities"

"$root/scripts/setup.sh" rights "$build" || fail "the rights step failed"
granted=$build/rights/pelnix-capture
[ "$(stat -c '%U:%G %a' "$granted")" = "root:pelnix 750" ] ||
    fail "the granted helper is $(stat -c '%U:%G %a' "$granted")"
getcap "$granted" | grep -q 'cap_net_admin,cap_net_raw=eip' ||
    fail "the granted helper holds: $(getcap "$granted")"
[ "$(stat -c '%U %a' "$build/rights")" = "root 755" ] ||
    fail "the folder of the granted helper is $(stat -c '%U %a' "$build/rights")"
[ "$(stat -c %U "$build/pelnix-capture")" = "$user" ] || fail "the built helper changed owner"
[ -z "$(getcap "$build/pelnix-capture")" ] || fail "the built helper still holds capabilities"
cmp -s "$build/pelnix-capture" "$granted" || fail "the granted helper is not a copy of the built one"

# A member of the group (nobody with the group added): it may run the helper, not write it.
member="setpriv --reuid=$user --regid=$(id -g "$user") --groups=$(getent group pelnix | cut -d: -f3) --"
$member "$granted" --help >/dev/null || fail "a member of pelnix cannot run the granted helper"
# shellcheck disable=SC2016  # python's own text
result=$($member /usr/bin/python3 -c '
import errno, mmap, os, sys
path = sys.argv[1]
def attempt(action):
    try:
        action()
        return "allowed"
    except OSError as e:
        return errno.errorcode.get(e.errno, str(e.errno))
def writable_mapping():
    fd = os.open(path, os.O_RDONLY)
    try:
        mmap.mmap(fd, 0, mmap.MAP_SHARED, mmap.PROT_READ | mmap.PROT_WRITE)
    finally:
        os.close(fd)
print(attempt(lambda: os.close(os.open(path, os.O_RDWR))), attempt(writable_mapping))
' "$granted")
case "$result" in
"EACCES EACCES" | "EPERM EACCES" | "EACCES EPERM" | "EPERM EPERM") ;;
*) fail "a member of pelnix writing the granted helper: open O_RDWR, writable shared mapping: $result" ;;
esac
# And nobody may change what is in its folder.
# shellcheck disable=SC2016  # expanded by the member's shell
$member sh -c 'exec 2>/dev/null; echo x >"$1/rights/other"' sh "$build" &&
    fail "a member of pelnix could add to the folder of the granted helper"

# Done again, it changes nothing; after a rebuild it copies the new helper.
before=$(stat -c %i "$granted")
"$root/scripts/setup.sh" rights "$build" || fail "the rights step failed the second time"
[ "$(stat -c %i "$granted")" = "$before" ] || fail "an unchanged helper was copied again"
touch "$build/pelnix-capture"
"$root/scripts/setup.sh" rights "$build" || fail "the rights step failed after a rebuild"
[ "$(stat -c %.9Y "$granted")" = "$(stat -c %.9Y "$build/pelnix-capture")" ] ||
    fail "a rebuilt helper was not copied again"
getcap "$granted" | grep -q 'cap_net_admin,cap_net_raw=eip' || fail "the new copy holds none"
exit 0
