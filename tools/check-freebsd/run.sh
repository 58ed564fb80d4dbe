#!/usr/bin/env bash
# The module built for x86_64-freebsd, the way a FreeBSD user builds it:
#  1. the generated layout static_asserts compiled against FreeBSD's own
#     headers (shipped in the ziglang wheel);
#  2. the project's CMakeLists.txt configured with toolchain.cmake (zig as the
#     compiler, CMAKE_SYSTEM_NAME FreeBSD), so its FreeBSD branch compiles
#     every module source (-Werror) and links the shared object against
#     FreeBSD's libc, libthr and libutil (zig's stubs from FreeBSD's ABI lists)
#     and libkvm and libdevstat (stubs made here from include/);
#  3. check_so.py on the result: an ELF for FreeBSD, the libraries it needs,
#     and every undefined symbol provided on FreeBSD; the release's libutil
#     needed, and for the 14 build no symbol version above 14.0's and libutil
#     bound unversioned.
# All of it for each release of FREEBSD_RELEASES (14 and 15).
#
# Usage: tools/check-freebsd/run.sh
# Environment:
#   LAYOUT_ASSERTS=<file>  the generated static_assert file, compiled with
#                          LAYOUT_PRELUDE (default: layout_prelude.h here)
#                          included in front of it
#   PY_PREFIX=<dir>        the free-threaded CPython 3.13 install whose headers
#                          and libpython (the C API's symbols) are used
#                          (default: the cache's python3.13t entry)
#   BUILD_DIR=<dir>        CMake build folder of the 14 build (default:
#                          <repo>/build/freebsd-x86_64); 15's is <dir>-15
#   FREEBSD_RELEASES=...   the releases checked (default: "14 15")
#   CMAKE=<cmake>          (default: <repo>/.venv/bin/cmake, else cmake)
#   TOOLS_VENV=<dir>       venv holding ziglang (default: <repo>/.venv-tools)
#   TOOLS_PYTHON=<python>  interpreter to create that venv from
# Exit status: 0 when everything compiles, links and checks out, 1 otherwise.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${MORVEX_CACHE:-$HOME/.cache/morvex}
VENV=${TOOLS_VENV:-$ROOT/.venv-tools}
FT_ENTRY=$(sh "$ROOT/tools/cache.sh" path python3.13t)
PY_PREFIX=${PY_PREFIX:-$FT_ENTRY}
PY_INCLUDE=$PY_PREFIX/include/python3.13t
LAYOUT_PRELUDE=${LAYOUT_PRELUDE:-$HERE/layout_prelude.h}
BUILD_ROOT=${BUILD_DIR:-$ROOT/build/freebsd-x86_64}
# The releases checked: "<release> <ziglang version> <zig target>". The wheel
# of each ziglang carries one FreeBSD release's headers and ABI lists: 0.15
# has 14's, 0.17 has 15's. Each major release needs its own binary (15's
# libutil is libutil.so.10, 14's libutil.so.9); the build against 14 may ask
# for no symbol version newer than 14.0 exports, so it loads on every 14.
RELEASES=${FREEBSD_RELEASES:-14 15}
release_zig() { case $1 in 14) echo 0.15.1 ;; 15) echo 0.17.1 ;; *) die "unknown release $1" ;; esac; }

# zig keeps its caches out of the work tree.
export ZIG_GLOBAL_CACHE_DIR="$CACHE/zig-cache"
export ZIG_LOCAL_CACHE_DIR="$CACHE/zig-cache"
mkdir -p "$ZIG_GLOBAL_CACHE_DIR"

die() { echo "check-freebsd: $*" >&2; exit 1; }

# Each ziglang version lives in a folder of its own in the venv (pip --target):
# one venv holds one version of a package only. A 0.15.1 installed into the
# venv's site-packages by an earlier check is used as it is.
zig_path() {
    local z
    for z in "$VENV/zig-$ZIG_VERSION/ziglang/zig" "$VENV"/lib/python3*/site-packages/ziglang/zig; do
        [ -x "$z" ] && [ -d "${z%/zig}/../ziglang-$ZIG_VERSION.dist-info" ] && { echo "$z"; return 0; }
    done
    return 1
}

make_venv() {
    local py
    for py in ${TOOLS_PYTHON:-} /usr/bin/python3 python3 "$FT_ENTRY/bin/python3.13t"; do
        command -v "$py" >/dev/null 2>&1 || continue
        rm -rf "$VENV"
        if "$py" -m venv "$VENV" >/dev/null 2>&1 && [ -x "$VENV/bin/pip" ]; then
            return 0
        fi
    done
    # Debian's python3 without its venv module: add it and try once more.
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv >/dev/null 2>&1 ||
            { apt-get update -qq >/dev/null 2>&1 &&
              DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv >/dev/null 2>&1; } || true
        rm -rf "$VENV"
        /usr/bin/python3 -m venv "$VENV" >/dev/null 2>&1 && [ -x "$VENV/bin/pip" ] && return 0
    fi
    rm -rf "$VENV"
    die "cannot create a Python venv at $VENV (set TOOLS_PYTHON)"
}

ensure_zig() {
    ZIG=$(zig_path) && return 0
    echo "check-freebsd: installing ziglang==$ZIG_VERSION into $VENV" >&2
    exec 9>"$CACHE/venv-tools.lock"
    command -v flock >/dev/null 2>&1 && flock 9
    if ! ZIG=$(zig_path); then
        [ -x "$VENV/bin/python" ] && "$VENV/bin/python" -c '' 2>/dev/null || make_venv
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check \
            --target "$VENV/zig-$ZIG_VERSION" "ziglang==$ZIG_VERSION" >&2 ||
            die "pip install ziglang==$ZIG_VERSION failed"
        ZIG=$(zig_path) || die "ziglang $ZIG_VERSION installed but its zig binary was not found"
    fi
    exec 9>&-
}

ensure_python_headers() {
    if [ ! -f "$PY_INCLUDE/Python.h" ] && [ "$PY_PREFIX" = "$FT_ENTRY" ]; then
        sh "$ROOT/tools/bootstrap-python.sh" >&2
    fi
    [ -f "$PY_INCLUDE/Python.h" ] || die "no Python.h in $PY_INCLUDE (set PY_PREFIX)"
    LIBPYTHON=$(ls "$PY_PREFIX"/lib/libpython3.13t.so.* 2>/dev/null | head -n1)
    [ -n "$LIBPYTHON" ] || die "no libpython3.13t.so in $PY_PREFIX/lib"
}

ensure_python_headers
if [ -z "${CMAKE:-}" ]; then
    CMAKE=$ROOT/.venv/bin/cmake
    [ -x "$CMAKE" ] || CMAKE=cmake
fi
NINJA=$(dirname "$(command -v "$CMAKE")")/ninja
TMP=$(mktemp -d "${TMPDIR:-/tmp}/check-freebsd.XXXXXX")
trap 'rm -rf "$TMP"' EXIT
failed=0

check_release() {
    RELEASE=$1
    ZIG_VERSION=$(release_zig "$RELEASE")
    TARGET=x86_64-freebsd.$RELEASE.0
    BUILD_DIR=$BUILD_ROOT
    [ "$RELEASE" = 14 ] || BUILD_DIR=$BUILD_ROOT-$RELEASE
    # Each release gets a build of its own: 15 bumped libutil's major number
    # (libutil.so.10) along with versioning its functions FBSD_1.8, so the
    # build for 14 does not load on a plain 15. The build for 14 loads on
    # every 14: no libc/libthr version above 14.0's FBSD_1.7, libutil.so.9
    # and its functions bound unversioned. The build for 15 may bind FBSD_1.8
    # and needs libutil.so.10.
    if [ "$RELEASE" = 14 ]; then
        LIBUTIL=libutil.so.9
        LIMITS=(--max-version FBSD_1.7 --needs "$LIBUTIL" --unversioned "$LIBUTIL")
    else
        LIBUTIL=libutil.so.10
        LIMITS=(--max-version FBSD_1.8 --needs "$LIBUTIL")
    fi
    ensure_zig
    export MORVEX_FREEBSD_TARGET=$TARGET
    echo "== FreeBSD $RELEASE ($TARGET, zig $ZIG_VERSION)"
    # 1. Layouts.
    if [ -n "${LAYOUT_ASSERTS:-}" ]; then
        [ -f "$LAYOUT_ASSERTS" ] || die "LAYOUT_ASSERTS=$LAYOUT_ASSERTS: no such file"
        shown=$(realpath --relative-to="$ROOT" "$LAYOUT_ASSERTS")
        asserts=$LAYOUT_ASSERTS
        if [ -f "$HERE/changed-in-$RELEASE.txt" ]; then
            # The stand-in's records are 14's: against a later release, what
            # that release is known to change is left out, the rest must hold.
            asserts=$TMP/$RELEASE-layout.cpp
            grep -v '^#' "$HERE/changed-in-$RELEASE.txt" | grep -v '^$' >"$TMP/$RELEASE-changed"
            grep -v -F -f "$TMP/$RELEASE-changed" "$LAYOUT_ASSERTS" >"$asserts" || true
            shown="$shown (less changed-in-$RELEASE.txt)"
        fi
        if "$ZIG" c++ -target "$TARGET" -std=c++20 -Wall -Wextra -Werror -fPIC \
                -include "$HERE/pyconfig_freebsd.h" -I "$HERE/include" -I "$PY_INCLUDE" \
                -include "$LAYOUT_PRELUDE" -c -o "$TMP/$RELEASE-layout.o" "$asserts" >"$TMP/$RELEASE-layout.log" 2>&1; then
            echo "ok    $shown: the stand-in's records have FreeBSD's layouts"
        else
            echo "FAIL  $shown"
            sed 's/^/      /' "$TMP/$RELEASE-layout.log"
            failed=1
        fi
    fi

    # 2. The module, through CMakeLists.txt. Stubs of the libraries zig has no ABI
    # list for, from the headers the sources compile against; they carry
    # FreeBSD's sonames, which the module then records as NEEDED.
    STUBS=$BUILD_DIR/stubs
    mkdir -p "$STUBS"
    for lib in kvm:7 devstat:7; do
        name=${lib%:*}
        "$VENV/bin/python" "$HERE/stublib.py" "$HERE/include/$name.h" >"$STUBS/$name.c"
        "$ZIG" cc -target "$TARGET" -shared -nostdlib -Wl,-soname,"lib$name.so.${lib#*:}" \
            -o "$STUBS/lib$name.so" "$STUBS/$name.c" || die "cannot build the lib$name stub"
    done
    export MORVEX_ZIG=$ZIG MORVEX_FREEBSD_STUBS=$STUBS MORVEX_PY_INCLUDE=$PY_INCLUDE
    # CMake's file API tells check_so.py which libraries the target links.
    mkdir -p "$BUILD_DIR/.cmake/api/v1/query"
    touch "$BUILD_DIR/.cmake/api/v1/query/codemodel-v2"
    GEN=()
    [ -f "$BUILD_DIR/CMakeCache.txt" ] || [ ! -x "$NINJA" ] || GEN=(-G Ninja -DCMAKE_MAKE_PROGRAM="$NINJA")
    if "$CMAKE" -S "$ROOT" -B "$BUILD_DIR" "${GEN[@]}" --log-level=WARNING \
            -DCMAKE_TOOLCHAIN_FILE="$HERE/toolchain.cmake" \
            -DPython_EXECUTABLE="$PY_PREFIX/bin/python3.13t" -DPython_INCLUDE_DIR="$PY_INCLUDE" \
            >"$TMP/$RELEASE-configure.log" 2>&1 &&
       "$CMAKE" --build "$BUILD_DIR" -j 2 >"$TMP/$RELEASE-build.log" 2>&1; then
        MODULE=$(ls "$BUILD_DIR"/_morvex_bsd*.so)
        echo "ok    the module compiles (-Werror) and links: $(realpath --relative-to="$ROOT" "$MODULE")"
    else
        echo "FAIL  the module does not build for $TARGET"
        cat "$TMP/$RELEASE-configure.log" "$TMP/$RELEASE-build.log" | grep -v '^\[' | sed 's/^/      /'
        return 1
    fi

    # 3. The shared object. zig's stubs of FreeBSD's libc, libthr, libutil and
    # libm are where its verbose link line says.
    echo 'int probe(void) { return 0; }' >"$TMP/$RELEASE-probe.c"
    ZIG_VERBOSE_LINK=1 "$ZIG" cc -target "$TARGET" -shared -o "$TMP/$RELEASE-probe.so" "$TMP/$RELEASE-probe.c" \
        -lthr -lutil -lm 2>"$TMP/$RELEASE-probe.log" || die "cannot link a probe for $TARGET"
    LIBS=()
    for so in libc.so.7 libthr.so.3 "$LIBUTIL" libm.so.5; do
        path=$(tr ' ' '\n' <"$TMP/$RELEASE-probe.log" | grep "/$so\$" | head -n1)
        [ -n "$path" ] || die "zig linked no $so stub"
        LIBS+=(--lib "$path")
    done
    if "$VENV/bin/python" "$HERE/check_so.py" "$MODULE" "${LIBS[@]}" \
            --lib "$STUBS/libkvm.so" --lib "$STUBS/libdevstat.so" --python "$LIBPYTHON" \
            --cmake-build "$BUILD_DIR" --target _morvex_bsd "${LIMITS[@]}"; then
        echo "ok    the shared object is FreeBSD's and needs nothing FreeBSD $RELEASE.0 lacks"
    else
        failed=1
    fi

    echo "check-freebsd: FreeBSD $RELEASE: done"
}

for release in $RELEASES; do
    check_release "$release" || failed=1
done

if [ "$failed" -eq 0 ]; then
    echo "check-freebsd: the module builds, links and checks out for FreeBSD $(echo $RELEASES | sed 's/ / and /g')"
else
    echo "check-freebsd: failed"
    exit 1
fi
