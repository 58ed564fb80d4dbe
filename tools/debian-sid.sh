#!/bin/sh
# Debian's unstable suite as a chroot, an entry of the cache (tools/cache.sh):
# made once with mmdebstrap (installed from Debian when missing) from the
# archive that serves this machine's release, never changed afterwards.
# Prints the chroot's folder.
#
# It holds g++, ca-certificates, and the -dev and -venv packages of
# python3.14 and python3.15; and, when the archive has a free-threaded build
# of either (python3.14t, python3.14-nogil, ...), that build too, looked for
# while the chroot is made. The versions it got are in its .cache-entry.
# The unstable suite moves on: the chroot is the suite of the day it was
# made; a new one comes with a change of this script.
# tools/test-debian-python.sh runs the suite in it with the repository
# mounted on /repo (made here, with the other mount points).
set -eu
HERE=$(cd "$(dirname "$0")" && pwd)
CACHE_SH=$HERE/cache.sh
. "$CACHE_SH"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo

make_chroot() {
    if ! command -v mmdebstrap >/dev/null; then
        $SUDO apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
    fi
    ARCHIVE=$(sh "$HERE/debian-archive.sh")
    if [ -z "$ARCHIVE" ]; then
        echo "debian-sid: no Debian archive serving this release in the apt sources" >&2
        exit 1
    fi
    echo "debian-sid: making the Debian unstable chroot" >&2
    # The archive's unstable Release file may be past its validity date.
    # The free-threaded builds are looked for in the new chroot's package
    # index before its lists are dropped.
    $SUDO mmdebstrap --variant=apt --quiet \
        --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
        --include=g++,ca-certificates,python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv \
        --customize-hook='chroot "$1" apt-cache pkgnames | grep -E "^(lib)?python3[.]1[45](t|-nogil)(-dev)?\$" | LC_ALL=C sort >"$1/ft-packages" || true' \
        --customize-hook='if [ -s "$1/ft-packages" ]; then chroot "$1" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(cat "$1/ft-packages") >/dev/null; fi; rm -f "$1/ft-packages"' \
        --customize-hook='chroot "$1" dpkg-query -W -f "\${db:Status-Abbrev} \${Package} \${Version}\n" "python3.1[45]*" "g++" | sed -n "s/^ii *//p" >"$1/.versions"' \
        unstable "$CACHE_OUT" "$ARCHIVE"
    mv "$CACHE_OUT/.versions" "$CACHE_OUT.versions"
    # The mount points of a run: the repository, a private /tmp, resolv.conf.
    mkdir -p "$CACHE_OUT/repo"
    touch "$CACHE_OUT/etc/resolv.conf"
}
cache_make debian-sid make_chroot
cache_path debian-sid
