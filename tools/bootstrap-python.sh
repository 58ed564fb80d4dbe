#!/bin/sh
# Build (once) and cache a CPython 3.13 from Debian's python3.13 source
# package. Prints nothing when the cached interpreter is already there.
#   (default)  free-threaded, python3.13t/bin/python3.13t
#   GIL=1      the ordinary build with the GIL, python3.13/bin/python3.13,
#              the interpreter most users run
#   TSAN=1     free-threaded with ThreadSanitizer, for the thread checks of
#              the module, python3.13t-tsan/bin/python3.13t
set -eu
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
TSAN="${TSAN:-0}"
GIL="${GIL:-0}"
if [ "$TSAN" = 1 ]; then
    PREFIX="$CACHE/python3.13t-tsan"
    EXTRA_CONFIG="--disable-gil --with-thread-sanitizer"
    CHECK_MODULES="sys"
elif [ "$GIL" = 1 ]; then
    PREFIX="$CACHE/python3.13"
    EXTRA_CONFIG=""
    CHECK_MODULES="sys, ssl, zlib, ctypes, sqlite3, bz2, lzma"
else
    PREFIX="$CACHE/python3.13t"
    EXTRA_CONFIG="--disable-gil"
    CHECK_MODULES="sys, ssl, zlib, ctypes, sqlite3, bz2, lzma"
fi
if [ "$GIL" = 1 ]; then
    PY="$PREFIX/bin/python3.13"
    GIL_WANTED=True
else
    PY="$PREFIX/bin/python3.13t"
    GIL_WANTED=False
fi

if [ -x "$PY" ] && "$PY" -c "import $CHECK_MODULES; sys.exit(sys._is_gil_enabled() is not $GIL_WANTED)" 2>/dev/null; then
    exit 0
fi

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

# Debian's trixie sources, from the archive that already serves this
# machine's release (its address is read from the apt sources, never written
# here): one deb-src entry for the trixie suite, added once.
SRCLIST=/etc/apt/sources.list.d/morvex-trixie-src.sources
if [ ! -f "$SRCLIST" ]; then
    ARCHIVE=$(sh "$(dirname "$0")/debian-archive.sh")
    if [ -z "$ARCHIVE" ]; then
        echo "bootstrap: no Debian archive serving this release in the apt sources" >&2
        exit 1
    fi
    $SUDO sh -c "cat > $SRCLIST" <<SRC
Types: deb-src
URIs: $ARCHIVE
Suites: trixie
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
fi
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
    build-essential dpkg-dev pkg-config xz-utils \
    libssl-dev zlib1g-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev \
    libreadline-dev libncurses-dev libgdbm-dev uuid-dev libexpat1-dev >/dev/null

WORK="$CACHE/src-$(basename "$PREFIX")"
rm -rf "$WORK"; mkdir -p "$WORK"
cd "$WORK"
apt-get source --download-only python3.13 >/dev/null
ORIG=$(ls python3.13_*.orig.tar.* | head -n1)
tar xf "$ORIG"
SRCDIR=$(find . -maxdepth 1 -type d -name 'Python-3.13*' -o -maxdepth 1 -type d -name 'python3.13-*' | head -n1)
cd "$SRCDIR"
./configure $EXTRA_CONFIG --prefix="$PREFIX" --with-ensurepip=install \
    --enable-shared LDFLAGS="-Wl,-rpath,$PREFIX/lib" >/dev/null
make -j"$(nproc)" >/dev/null 2>build-warnings.log
make install >/dev/null 2>>build-warnings.log
cd /; rm -rf "$WORK"
"$PY" -c "import sys; assert sys._is_gil_enabled() is $GIL_WANTED, 'wrong GIL setting'; print(sys.version)"
