#!/bin/sh
# The installed text files in packaging/ as their tools read them: the desktop entry must pass
# desktop-file-validate without a word, and every manual page must render without a warning.
#   check-files.sh PACKAGING_DIR
set -u
dir=$1
status=0

report=$(desktop-file-validate "$dir/pelnix.desktop" 2>&1) || status=1
if [ -n "$report" ]; then
    printf '%s\n' "$report"
    status=1
fi

for page in "$dir"/*.1; do
    # man writes the page to stdout and groff's warnings to stderr; keep only the warnings.
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null) || status=1
    if [ -n "$warnings" ]; then
        printf '%s:\n%s\n' "$page" "$warnings"
        status=1
    fi
done

[ $status -eq 0 ] && echo "desktop entry and manual pages: no warnings"
exit $status
