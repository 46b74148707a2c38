#!/bin/sh
# The capture helper holds capture rights: it must need no library of the window (Qt) or of the
# transfer engine (libcurl, and with it the TLS stack), so that none of their code loads there.
#   check-needed.sh PROGRAM
set -u
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') || exit 1
[ -n "$needed" ] || { echo "readelf found no NEEDED entries in $1"; exit 1; }
bad=$(printf '%s\n' "$needed" | grep -E '^lib(Qt|curl|ssl|crypto|gnutls|nghttp|X11|xcb|GL)') || true
if [ -n "$bad" ]; then
    printf '%s needs libraries it must not load:\n%s\n' "$1" "$bad"
    exit 1
fi
printf '%s needs only: %s\n' "$1" "$(printf '%s ' $needed)"
