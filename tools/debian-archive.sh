#!/bin/sh
# Prints the address of the Debian archive that serves the installed release,
# as the machine's own apt sources give it (deb822 .sources files first, then
# one-line sources.list entries). Prints nothing when there is none.
set -eu
. /etc/os-release
REL="${VERSION_CODENAME:?no release codename in /etc/os-release}"
for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v rel="$REL" '
        function flush() {
            if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " rel " ") && uris != "") {
                split(uris, u, " "); print u[1]; found = 1; exit
            }
            types = ""; suites = ""; uris = ""
        }
        /^[ \t]*$/ { flush(); next }
        /^Types:/  { sub(/^Types:[ \t]*/, "");  types = $0 }
        /^Suites:/ { sub(/^Suites:[ \t]*/, ""); suites = $0 }
        /^URIs:/   { sub(/^URIs:[ \t]*/, "");   uris = $0 }
        END { if (!found) flush() }
    ' "$f"
done | head -n1 | grep . && exit 0
for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v rel="$REL" '
        $1 == "deb" {
            i = 2; if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
            if ($(i + 1) == rel) { print $i; exit }
        }' "$f"
done | head -n1
