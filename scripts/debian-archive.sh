#!/usr/bin/env bash
# Prints the Debian archive this machine's apt already uses (its first main, non-security entry),
# so that scripts fetch from the same archive without naming a host of their own.
set -euo pipefail
shopt -s nullglob
for sources in /etc/apt/sources.list.d/*.sources; do
    # deb822 stanzas: the URIs of the first stanza whose suites are not the security ones.
    archive=$(awk 'BEGIN { RS = ""; FS = "\n" }
        /(^|\n)Types:[^\n]*deb/ && !/Suites:[^\n]*-security/ {
            for (i = 1; i <= NF; i++) if ($i ~ /^URIs:/) { split($i, w, /[ \t]+/); print w[2]; exit }
        }' "$sources")
    [ -n "$archive" ] && { echo "$archive"; exit 0; }
done
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$list" ] || continue
    archive=$(awk '$1 == "deb" && $0 !~ /-security/ {
        for (i = 2; i <= NF; i++) if ($i !~ /^\[/) { print $i; exit } }' "$list")
    [ -n "$archive" ] && { echo "$archive"; exit 0; }
done
echo "debian-archive: no Debian archive in this machine's apt configuration" >&2
exit 1
