#!/bin/sh
# The test suite, stand-in included, on a newer CPython than the host can run:
# Debian's python3.14 or python3.15 from the unstable suite, which need a newer
# glibc than Debian 12's. They run in a Debian unstable chroot made once with
# mmdebstrap (installed from Debian when missing) and kept in the cache beside
# the other interpreters (tools/debian-sid.sh; the chroot is never changed by a
# run). The repository is bind-mounted into the chroot on /repo, so the
# virtual environment (.venv-VERSION) and the build tree (build/cpXYZ-...)
# live in the repository like the host's.
#
# When the chroot has a free-threaded build of VERSION (Debian's python3.14t,
# looked for when the chroot was made), the suite runs on it as well
# (.venv-debian-VERSIONt).
#
#   tools/test-debian-python.sh VERSION [pytest arguments]
set -eu
cd "$(dirname "$0")/.."
V="${1:?usage: test-debian-python.sh VERSION [pytest arguments]}"
shift
case "$V" in 3.14|3.15) ;; *) echo "test-debian-python: VERSION is 3.14 or 3.15" >&2; exit 2 ;; esac
REPO="$(pwd -P)"
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
say() { echo "test-debian-python: $*"; }

# Runs a command inside the chroot: its own mount namespace (every mount is
# gone when the command ends), the host's /dev, a /proc, a /tmp of its own,
# the host's name resolution and CA bundle (the network's TLS may be
# intercepted by a CA only the host knows), the repository on /repo, and a
# clean environment so that none of the host's settings (pip's, the
# compiler's) leak in. Nothing is written into the chroot itself: pip keeps
# no cache there, and /tmp is a tmpfs.
in_chroot() {
    $SUDO unshare --mount --fork sh -c '
        set -e
        root=$1 repo=$2; shift 2
        mount --rbind /dev "$root/dev"
        mount -t proc proc "$root/proc"
        [ ! -e /etc/resolv.conf ] || mount --bind /etc/resolv.conf "$root/etc/resolv.conf"
        mount -t tmpfs tmpfs "$root/tmp"
        mount --bind "$repo" "$root/repo"
        bundle=/etc/ssl/certs/ca-certificates.crt
        if [ -f "$bundle" ] && [ -f "$root$bundle" ]; then mount --bind "$bundle" "$root$bundle"; fi
        exec chroot "$root" env -i HOME=/root LANG=C.UTF-8 TERM=dumb PATH=/usr/local/bin:/usr/bin:/bin \
            PIP_CERT="$bundle" PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_CACHE_DIR=1 \
            PYTHONDONTWRITEBYTECODE=1 sh -c "cd /repo && exec \"\$@\"" sh "$@"
    ' sh "$ROOT" "$REPO" "$@"
}

# The chroot: an entry of the cache, made once (tools/debian-sid.sh).
ROOT=$(sh tools/debian-sid.sh)
ft=""
if [ -x "$ROOT/usr/bin/python${V}t" ]; then
    ft=python${V}t
    say "the chroot has Debian's free-threaded $V: the suite runs on it as well"
else
    say "no free-threaded $V in the chroot's unstable suite: the suite runs on python$V with the GIL only"
fi

status=0
for py in "python$V" $ft; do
    # A free-threaded Debian build gets .venv-debian-VERSIONt: .venv-VERSIONt
    # is the host's build from the release sources (make PY=VERSIONt).
    case "$py" in *t) venv=".venv-debian-${py#python}" ;; *) venv=".venv-${py#python}" ;; esac
    in_chroot "$py" -c 'import sys; print(sys.executable, sys.version, "(GIL)" if sys._is_gil_enabled() else "(free-threaded)")'
    # A venv of another chroot (an older entry of the cache) is made again.
    if [ ! -f "$venv/.ready" ] || [ requirements-dev.txt -nt "$venv/.ready" ] ||
            [ "$(cat "$venv/.ready")" != "${ROOT##*/}" ]; then
        rm -rf "$venv"
        in_chroot "$py" -m venv "$venv"
        in_chroot "$venv/bin/python" -m pip install -q -r requirements-dev.txt
        echo "${ROOT##*/}" >"$venv/.ready"
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
