#!/bin/sh
# The test suite, stand-in included, on a newer CPython than the host can run:
# Debian's python3.14 or python3.15 from the unstable suite, which need a newer
# glibc than Debian 12's. They run in a Debian unstable chroot made once with
# mmdebstrap (installed from Debian when missing) and kept in the cache beside
# the other interpreters ($MORVEX_CACHE/debian-sid, made again only when it is
# missing). The repository is bind-mounted into the chroot at its own path, so
# the virtual environment (.venv-VERSION) and the build tree (build/cpXYZ-...)
# live in the repository like the host's.
#
# Every run looks in the archive for a free-threaded build of VERSION
# (python3.14t, python3.14-nogil); when Debian has one, it is installed into
# the chroot and the suite runs on it as well (.venv-debian-VERSIONt).
#
#   tools/test-debian-python.sh VERSION [pytest arguments]
set -eu
cd "$(dirname "$0")/.."
V="${1:?usage: test-debian-python.sh VERSION [pytest arguments]}"
shift
case "$V" in 3.14|3.15) ;; *) echo "test-debian-python: VERSION is 3.14 or 3.15" >&2; exit 2 ;; esac
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
ROOT="$CACHE/debian-sid"
REPO="$(pwd -P)"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
say() { echo "test-debian-python: $*"; }

# Runs a command inside the chroot: its own mount namespace (every mount is
# gone when the command ends), the host's /dev, a /proc, the host's name
# resolution and CA bundle (the network's TLS may be intercepted by a CA only
# the host knows), the repository at its own path, and a clean environment
# so that none of the host's settings (pip's, the compiler's) leak in.
in_chroot() {
    $SUDO unshare --mount --fork sh -c '
        set -e
        root=$1 repo=$2; shift 2
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        [ ! -e /etc/resolv.conf ] || { touch "$root/etc/resolv.conf"; mount --bind /etc/resolv.conf "$root/etc/resolv.conf"; }
        mkdir -p "$root$repo"
        mount --bind "$repo" "$root$repo"
        bundle=/etc/ssl/certs/ca-certificates.crt
        if [ -f "$bundle" ] && [ -f "$root$bundle" ]; then mount --bind "$bundle" "$root$bundle"; fi
        exec chroot "$root" env -i HOME=/root LANG=C.UTF-8 TERM=dumb PATH=/usr/local/bin:/usr/bin:/bin \
            PIP_CERT="$bundle" PIP_DISABLE_PIP_VERSION_CHECK=1 \
            sh -c "cd \"\$0\" && exec \"\$@\"" "$repo" "$@"
    ' sh "$ROOT" "$REPO" "$@"
}

# The chroot, made once (under a lock: two runs may start together).
mkdir -p "$CACHE"
exec 9>"$CACHE/debian-sid.lock"
flock 9
if [ ! -f "$ROOT/.ready" ]; then
    if ! command -v mmdebstrap >/dev/null; then
        $SUDO apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends mmdebstrap >/dev/null
    fi
    ARCHIVE=$(sh tools/debian-archive.sh)
    if [ -z "$ARCHIVE" ]; then
        say "no Debian archive serving this release in the apt sources" >&2
        exit 1
    fi
    say "making the Debian unstable chroot in $ROOT"
    $SUDO rm -rf "$ROOT" "$ROOT.part"
    # The archive's unstable Release file may be past its validity date.
    $SUDO mmdebstrap --variant=apt --quiet \
        --aptopt='Acquire::Check-Valid-Until "false"' --aptopt='Acquire::Check-Date "false"' \
        --include=g++,ca-certificates,python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv \
        unstable "$ROOT.part" "$ARCHIVE"
    $SUDO mv "$ROOT.part" "$ROOT"
    $SUDO touch "$ROOT/.ready"
fi

# A free-threaded build of VERSION, looked for on every run. The package index
# is refreshed first; without the network the chroot is used as it is.
ft=""
if in_chroot apt-get update -qq >/dev/null 2>&1; then
    vre=$(echo "$V" | sed 's/[.]/[.]/')
    names=$(in_chroot apt-cache pkgnames | grep -E "^(lib)?python$vre(t|-nogil)(-dev)?\$" | LC_ALL=C sort || true)
    if [ -n "$names" ]; then
        say "Debian has a free-threaded $V: $(echo $names)"
        in_chroot env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            $names python$V-venv >/dev/null
        ft=python${V}t
        if ! in_chroot "$ft" -c 'import sys, sysconfig, os
sys.exit(sys._is_gil_enabled() or not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
            say "the free-threaded packages ($(echo $names)) give no free-threaded $ft with its headers" >&2
            exit 1
        fi
    else
        say "no free-threaded $V in Debian's unstable suite: the suite runs on python$V with the GIL only"
    fi
else
    say "the unstable package index cannot be refreshed: no look for a free-threaded $V"
fi
flock -u 9

status=0
for py in "python$V" $ft; do
    # A free-threaded Debian build gets .venv-debian-VERSIONt: .venv-VERSIONt
    # is the host's build from the release sources (make PY=VERSIONt).
    case "$py" in *t) venv=".venv-debian-${py#python}" ;; *) venv=".venv-${py#python}" ;; esac
    in_chroot "$py" -c 'import sys; print(sys.executable, sys.version, "(GIL)" if sys._is_gil_enabled() else "(free-threaded)")'
    if [ ! -f "$venv/.ready" ] || [ requirements-dev.txt -nt "$venv/.ready" ]; then
        rm -rf "$venv"
        in_chroot "$py" -m venv "$venv"
        in_chroot "$venv/bin/python" -m pip install -q -r requirements-dev.txt
        touch "$venv/.ready"
    fi
    if [ ! -f "$venv/.built" ] || [ -n "$(find src standin CMakeLists.txt pyproject.toml -newer "$venv/.built" \
            -type f ! -name '*.pyc' 2>/dev/null | head -n1)" ]; then
        # Warnings are errors here: a change of the C API in a newer
        # interpreter stops the build instead of scrolling past.
        in_chroot "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
            -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON .
        touch "$venv/.built"
    fi
    in_chroot "$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@" || status=1
done
exit $status
