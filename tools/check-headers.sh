#!/bin/sh
# The module's and the control module's sources compiled (syntax and
# warnings, -Werror) against the headers of the newest CPython releases that
# Debian's binary packages carry (libpython3.14-dev, libpython3.15-dev, from
# the unstable suite), with Py_GIL_DISABLED defined, so that a change of the C
# API in a newer interpreter shows up here before a user meets it.
#
# The packages come through a private apt configuration under the cache (the
# machine's own apt sources are left alone), from the archive that serves
# this machine's release (tools/debian-archive.sh reads its address from the
# apt sources). Each package version is downloaded and unpacked once. A
# version the archive does not offer is skipped with a message; the check
# fails only when a source does not compile.
#
# Environment: PY_VERSIONS (default "3.14 3.15"), SUITE (default sid),
# CXX (default g++), JOBS (default 2).
set -eu
cd "$(dirname "$0")/.."
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
PY_VERSIONS="${PY_VERSIONS:-3.14 3.15}"
SUITE="${SUITE:-sid}"
CXX="${CXX:-g++}"
JOBS="${JOBS:-2}"
APT="$CACHE/apt-$SUITE"
HEADERS="$CACHE/headers"

say() { echo "check-headers: $*"; }

mkdir -p "$APT/lists/partial" "$APT/cache/archives/partial" "$HEADERS"
if [ ! -s "$APT/sources.sources" ]; then
    ARCHIVE=$(sh tools/debian-archive.sh)
    if [ -z "$ARCHIVE" ]; then
        say "skipped: no Debian archive serving this release in the apt sources"
        exit 0
    fi
    cat >"$APT/sources.sources" <<SRC
Types: deb
URIs: $ARCHIVE
Suites: $SUITE
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
apt_private() {
    "$@" -o Dir::Etc::SourceList="$APT/sources.sources" -o Dir::Etc::SourceParts=/nonexistent \
        -o Dir::State::Lists="$APT/lists" -o Dir::Cache="$APT/cache" \
        -o Dir::State::status=/dev/null -o APT::Sandbox::User=root -o Debug::NoLocking=1
}
if ! apt_private apt-get update -qq >"$APT/update.log" 2>&1; then
    say "skipped: the package lists of the $SUITE suite cannot be fetched:"
    sed 's/^/    /' "$APT/update.log"
    exit 0
fi

SOURCES=$(find src standin/control -name '*.cpp' | LC_ALL=C sort)
TMP=$(mktemp -d)
trap 'rm -rf "$TMP"' EXIT
failed=0
checked=0
for v in $PY_VERSIONS; do
    pkg="libpython$v-dev"
    ver=$(apt_private apt-cache policy "$pkg" 2>/dev/null | awk '/Candidate:/ { print $2 }')
    if [ -z "$ver" ] || [ "$ver" = "(none)" ]; then
        say "skipped $v: the $SUITE suite has no $pkg"
        continue
    fi
    root="$HEADERS/${pkg}_$ver"
    if [ ! -f "$root/usr/include/python$v/Python.h" ]; then
        rm -rf "$root" "$TMP/deb"; mkdir -p "$TMP/deb"
        (cd "$TMP/deb" && apt_private apt-get download -qq "$pkg=$ver" >/dev/null) ||
            { say "skipped $v: $pkg $ver cannot be downloaded"; continue; }
        dpkg-deb -x "$TMP/deb"/*.deb "$root.part" && mv "$root.part" "$root"
    fi
    inc="$root/usr/include"
    # One compile per source, JOBS at a time; the log of each is kept.
    i=0
    for f in $SOURCES; do
        i=$((i + 1))
        ( "$CXX" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -DPy_GIL_DISABLED=1 \
              -isystem "$inc/python$v" -isystem "$inc" \
              -Isrc -Isrc/arch/all -Istandin/include -Istandin/src "$f" \
              >"$TMP/$v.$i.log" 2>&1 || echo "$f" >"$TMP/$v.$i.failed" ) &
        [ $((i % JOBS)) -ne 0 ] || wait
    done
    wait
    bad=$(cat "$TMP/$v".*.failed 2>/dev/null || true)
    if [ -z "$bad" ]; then
        say "ok $v ($pkg $ver, Py_GIL_DISABLED): $i sources compile without warnings"
    else
        say "FAIL $v ($pkg $ver, Py_GIL_DISABLED):"
        for log in "$TMP/$v".*.log; do sed 's/^/    /' "$log"; done
        failed=1
    fi
    checked=$((checked + 1))
done
[ "$checked" -gt 0 ] || say "no newer CPython headers were available: nothing checked"
exit "$failed"
