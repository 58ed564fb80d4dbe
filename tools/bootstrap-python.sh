#!/bin/sh
# Build (once) and cache a CPython for the module's checks. Prints nothing
# when the cached interpreter is already there.
#
#   VERSION=3.13 (default)  from Debian's python3.13 source package
#   VERSION=3.14            from Python-3.14.7.tar.xz      } in CPYTHON_SOURCES,
#   VERSION=3.15            from Python-3.15.0rc1.tar.xz   } checked against its
#                           SHA256SUMS (default ../shared/cpython, beside the
#                           repository); 3.15's decimal module links an
#                           mpdecimal built from Debian's source package
# and the kind of build:
#   (default)  free-threaded, python<V>t/bin/python<V>t
#   GIL=1      the ordinary build with the GIL, python<V>/bin/python<V>,
#              the interpreter most users run
#   TSAN=1     free-threaded with ThreadSanitizer, for the thread checks of
#              the module, python<V>t-tsan/bin/python<V>t
#
# The builds are lean: no test modules and no test package, no static
# libpython, no debug information (but the TSan build's, for its reports),
# pip not installed into the interpreter (a venv of it gets pip from the
# bundled wheel, as ever). Each interpreter is an entry of the cache
# (tools/cache.sh): its folder's name carries a hash of this script, the
# knobs and the source's checksum, it is installed into a staging folder and
# renamed into place when it is complete, and nothing is installed into it
# afterwards. `sh tools/cache.sh path python3.14t` names the folder; the
# interpreter is bin/python<V>t in it (bin/python<V> for GIL=1). Two
# bootstraps of the same interpreter wait for each other.
set -eu
HERE="$(cd "$(dirname "$0")" && pwd)"
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
VERSION="${VERSION:-3.13}"
TSAN="${TSAN:-0}"
GIL="${GIL:-0}"
SOURCES="${CPYTHON_SOURCES:-$HERE/../../shared/cpython}"
JOBS="${JOBS:-$(nproc)}"

say() { echo "bootstrap-python: $*" >&2; }

case "$VERSION" in
3.13) REL="" ;;
3.14) REL=3.14.7 ;;
3.15) REL=3.15.0rc1 ;;
*) say "VERSION is 3.13, 3.14 or 3.15"; exit 2 ;;
esac
TARBALL="${REL:+Python-$REL.tar.xz}"

CONFIG="--enable-shared --with-ensurepip=no --disable-test-modules --without-static-libpython"
OPT="-DNDEBUG -O3 -Wall"
CHECK_MODULES="sys, ssl, zlib, ctypes, sqlite3, bz2, lzma, _decimal"
if [ "$TSAN" = 1 ]; then
    NAME="python${VERSION}t-tsan"
    CONFIG="$CONFIG --disable-gil --with-thread-sanitizer"
    OPT="-DNDEBUG -g -O3 -Wall"
    CHECK_MODULES="sys"
elif [ "$GIL" = 1 ]; then
    NAME="python${VERSION}"
else
    NAME="python${VERSION}t"
    CONFIG="$CONFIG --disable-gil"
fi
CACHE_SH="$HERE/cache.sh"
. "$CACHE_SH"
PREFIX=$(cache_path "$NAME")
if [ "$GIL" = 1 ] && [ "$TSAN" != 1 ]; then
    PY="$PREFIX/bin/python$VERSION"
    GIL_WANTED=True
else
    PY="$PREFIX/bin/python${VERSION}t"
    GIL_WANTED=False
fi

ready() {
    [ -x "$PY" ] && "$PY" -c "import $CHECK_MODULES; sys.exit(sys._is_gil_enabled() is not $GIL_WANTED)" 2>/dev/null
}
ready && exit 0

# The release sources, before anything is installed or built: a missing
# tarball stops here with what to put where.
if [ -n "$TARBALL" ]; then
    if [ ! -f "$SOURCES/$TARBALL" ] || [ ! -f "$SOURCES/SHA256SUMS" ]; then
        say "CPython $VERSION is built from $TARBALL, looked for with a SHA256SUMS file"
        say "in CPYTHON_SOURCES=$SOURCES, which has not got them."
        say "Put there the release's source tarball (python.org's download page of"
        say "CPython $REL, or \`git archive --prefix=Python-$REL/ v$REL\`"
        say "of CPython's repository, compressed with xz) and a SHA256SUMS line for it"
        say "(\`sha256sum $TARBALL > SHA256SUMS\`, checked against the published sum),"
        say "or set CPYTHON_SOURCES to the folder that has them."
        exit 1
    fi
    WANT=$(awk -v f="$TARBALL" '$2 == f || $2 == "*" f { print $1 }' "$SOURCES/SHA256SUMS")
    if [ -z "$WANT" ]; then
        say "$SOURCES/SHA256SUMS has no line for $TARBALL"
        exit 1
    fi
fi

SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive

# Debian's trixie sources, from the archive that already serves this
# machine's release (its address is read from the apt sources, never written
# here): one deb-src entry for the trixie suite, added once. They give
# python3.13 and mpdecimal.
SRCLIST=/etc/apt/sources.list.d/morvex-trixie-src.sources
if [ ! -f "$SRCLIST" ]; then
    ARCHIVE=$(sh "$HERE/debian-archive.sh")
    if [ -z "$ARCHIVE" ]; then
        say "no Debian archive serving this release in the apt sources"
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
    libreadline-dev libncurses-dev libgdbm-dev uuid-dev libexpat1-dev libzstd-dev >/dev/null

START=$(date +%s)

# The build, in cache_make's temporary folder: the prefix is the entry's
# final folder, the install goes into a staging folder, and what is
# installed there under the prefix becomes the entry.
build() {
WORK="$(dirname "$CACHE_OUT")/work"
STAGE="$WORK/stage"
mkdir -p "$WORK"
cd "$WORK"
if [ -z "$TARBALL" ]; then
    apt-get source --download-only python3.13 >/dev/null
    ORIG=$(ls python3.13_*.orig.tar.* | head -n1)
    ls python3.13_*.dsc | sed 's/[.]dsc$//' >>"$CACHE_OUT.versions"
    tar xf "$ORIG"
    SRCDIR=$(find . -maxdepth 1 -type d -name 'Python-3.13*' -o -maxdepth 1 -type d -name 'python3.13-*' | head -n1)
else
    # The copy is checked, and the copy is what is unpacked.
    cp "$SOURCES/$TARBALL" .
    GOT=$(sha256sum "$TARBALL" | cut -d' ' -f1)
    if [ "$GOT" != "$WANT" ]; then
        say "$TARBALL: SHA-256 $GOT, but $SOURCES/SHA256SUMS says $WANT"
        exit 1
    fi
    tar xf "$TARBALL"
    SRCDIR="${TARBALL%.tar.xz}"
fi

# 3.15's _decimal needs an installed mpdecimal (the copy CPython still carries
# is deprecated, and Debian 12 has no libmpdec-dev): Debian trixie's
# mpdecimal source package, built static and position-independent, linked
# into _decimal so the interpreter needs nothing from outside its folder.
set --
if [ "$VERSION" = 3.15 ]; then
    mkdir -p mpd && cd mpd
    apt-get source --download-only mpdecimal >/dev/null
    ls mpdecimal_*.dsc | sed 's/[.]dsc$//' >>"$CACHE_OUT.versions"
    tar xf "$(ls mpdecimal_*.orig.tar.* | head -n1)"
    cd "$(find . -maxdepth 1 -type d -name 'mpdecimal-*' | head -n1)"
    ./configure --prefix="$WORK/mpd/root" --disable-cxx --disable-shared --disable-doc >/dev/null
    make -j"$JOBS" CFLAGS=-fPIC >/dev/null 2>>"$WORK/mpdecimal-warnings.log"
    make install CFLAGS=-fPIC >/dev/null
    cd "$WORK"
    set -- "LIBMPDEC_CFLAGS=-I$WORK/mpd/root/include" "LIBMPDEC_LIBS=$WORK/mpd/root/lib/libmpdec.a -lm"
fi

cd "$SRCDIR"
# shellcheck disable=SC2086
./configure $CONFIG --prefix="$PREFIX" OPT="$OPT" LDFLAGS="-Wl,-rpath,$PREFIX/lib" "$@" \
    >"$WORK/configure.log"
make -j"$JOBS" >"$WORK/build.log" 2>&1 || { say "$NAME: the build failed, see $WORK/build.log"; exit 1; }
# The standard library's bytecode is left to be written at first import
# (the install would compile every file three times, five minutes under
# ThreadSanitizer); compileall's -l keeps it to the top folder's modules.
make install DESTDIR="$STAGE" COMPILEALL_OPTS="-j0 -l" >"$WORK/install.log" 2>&1 || { say "$NAME: make install failed, see $WORK/install.log"; exit 1; }
mv "$STAGE$PREFIX" "$CACHE_OUT"
cd /; rm -rf "$WORK"
}
cache_make "$NAME" build
if ! ready; then
    say "the built $PY lacks one of: $CHECK_MODULES, or has the wrong GIL setting"
    exit 1
fi
"$PY" -c "import sys; print(sys.version)"
say "$NAME built in $(( ($(date +%s) - START) / 60 )) min $(( ($(date +%s) - START) % 60 )) s"
