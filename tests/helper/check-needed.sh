#!/bin/sh
# The capture helper holds capture rights: it may load the capture library, the stream engine's
# libraries (libcrypto for TLS decryption, libnghttp2 for HPACK, libnghttp3 for QPACK, zlib,
# brotli and zstd for compressed playlists) and the C and C++ runtimes, and nothing else: no
# library of the window (Qt, X), of the transfer engine (libcurl, libssl) or any other, so that
# none of their code loads there.
#   check-needed.sh PROGRAM
set -u
needed=$(readelf -d "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p') || exit 1
[ -n "$needed" ] || { echo "readelf found no NEEDED entries in $1"; exit 1; }
allowed='^(lib(pcap|crypto|nghttp2|nghttp3|z|brotlidec|zstd|stdc\+\+|gcc_s|c|m)\.so(\.[0-9]+)*|ld-linux-x86-64\.so\.2)$'
bad=$(printf '%s\n' "$needed" | grep -E -v "$allowed") || true
if [ -n "$bad" ]; then
    printf '%s needs libraries it must not load:\n%s\n' "$1" "$bad"
    exit 1
fi
printf '%s needs only: %s\n' "$1" "$(printf '%s ' $needed)"
