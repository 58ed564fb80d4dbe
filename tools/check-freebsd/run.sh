#!/usr/bin/env bash
# Cross-compile the module's C++ sources for x86_64-freebsd against FreeBSD's
# own headers (shipped in the ziglang wheel), so that code under
# `#if defined(__FreeBSD__)` is compiled for real and not only read.
#
# Usage: tools/check-freebsd/run.sh
# Environment:
#   SRC_DIR=<dir>          sources to check (default: <repo>/src); every *.cpp
#                          below it is compiled, nothing under a standin/ dir
#   LAYOUT_ASSERTS=<file>  also compile this generated static_assert file, with
#                          LAYOUT_PRELUDE (default: layout_prelude.h here)
#                          included in front of it
#   JOBS=<n>               parallel compiles (default: nproc)
#   PY_INCLUDE=<dir>       CPython 3.13t headers
#                          (default: ~/.cache/morvex/python3.13t/include/python3.13t)
#   TOOLS_VENV=<dir>       venv holding ziglang (default: <repo>/.venv-tools)
#   TOOLS_PYTHON=<python>  interpreter to create that venv from
#   CHECK_FREEBSD_CXXFLAGS extra compiler flags
# Exit status: 0 when every file compiles, 1 otherwise.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
CACHE=${MORVEX_CACHE:-$HOME/.cache/morvex}
SRC_DIR=${SRC_DIR:-$ROOT/src}
VENV=${TOOLS_VENV:-$ROOT/.venv-tools}
PY_INCLUDE=${PY_INCLUDE:-$CACHE/python3.13t/include/python3.13t}
LAYOUT_PRELUDE=${LAYOUT_PRELUDE:-$HERE/layout_prelude.h}
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}
ZIG_VERSION=0.15.1
TARGET=x86_64-freebsd

# zig keeps its caches out of the work tree.
export ZIG_GLOBAL_CACHE_DIR="$CACHE/zig-cache"
export ZIG_LOCAL_CACHE_DIR="$CACHE/zig-cache"
mkdir -p "$ZIG_GLOBAL_CACHE_DIR"

die() { echo "check-freebsd: $*" >&2; exit 1; }

zig_path() {
    local z
    for z in "$VENV"/lib/python3*/site-packages/ziglang/zig; do
        [ -x "$z" ] && [ -d "${z%/zig}/../ziglang-$ZIG_VERSION.dist-info" ] && { echo "$z"; return 0; }
    done
    return 1
}

make_venv() {
    local py
    for py in ${TOOLS_PYTHON:-} /usr/bin/python3 python3 "$CACHE/python3.13t/bin/python3.13t"; do
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
        "$VENV/bin/python" -m pip install -q --disable-pip-version-check "ziglang==$ZIG_VERSION" >&2 ||
            die "pip install ziglang==$ZIG_VERSION failed"
        ZIG=$(zig_path) || die "ziglang $ZIG_VERSION installed but its zig binary was not found"
    fi
    exec 9>&-
}

ensure_python_headers() {
    if [ ! -f "$PY_INCLUDE/Python.h" ] && [ -x "$ROOT/tools/bootstrap-python.sh" ] &&
       [ "$PY_INCLUDE" = "$CACHE/python3.13t/include/python3.13t" ]; then
        "$ROOT/tools/bootstrap-python.sh" >&2
    fi
    [ -f "$PY_INCLUDE/Python.h" ] || die "no Python.h in $PY_INCLUDE (set PY_INCLUDE)"
}

ensure_zig
ensure_python_headers
[ -d "$SRC_DIR" ] || die "no source directory $SRC_DIR"
SRC_DIR=$(cd "$SRC_DIR" && pwd)

CXXFLAGS=(-target "$TARGET" -std=c++20 -Wall -Wextra -Werror -fPIC
          -include "$HERE/pyconfig_freebsd.h"
          -I "$SRC_DIR" -I "$HERE/include" -I "$PY_INCLUDE")
# shellcheck disable=SC2206
[ -n "${CHECK_FREEBSD_CXXFLAGS:-}" ] && CXXFLAGS+=(${CHECK_FREEBSD_CXXFLAGS})

mapfile -t FILES < <(find "$SRC_DIR" -name standin -prune -o -type f -name '*.cpp' -print | LC_ALL=C sort)
EXTRA=()   # per-file extra flags, parallel to FILES
for _ in "${FILES[@]}"; do EXTRA+=(""); done
if [ -n "${LAYOUT_ASSERTS:-}" ]; then
    [ -f "$LAYOUT_ASSERTS" ] || die "LAYOUT_ASSERTS=$LAYOUT_ASSERTS: no such file"
    [ -f "$LAYOUT_PRELUDE" ] || die "LAYOUT_PRELUDE=$LAYOUT_PRELUDE: no such file"
    FILES+=("$(cd "$(dirname "$LAYOUT_ASSERTS")" && pwd)/$(basename "$LAYOUT_ASSERTS")")
    EXTRA+=("$LAYOUT_PRELUDE")
fi
[ "${#FILES[@]}" -gt 0 ] || die "no *.cpp files under $SRC_DIR: nothing to check"

TMP=$(mktemp -d "${TMPDIR:-/tmp}/check-freebsd.XXXXXX")
trap 'rm -rf "$TMP"' EXIT

compile() {  # index file prelude
    local i=$1 f=$2 pre=$3 rc=0
    local flags=("${CXXFLAGS[@]}")
    [ -n "$pre" ] && flags+=(-include "$pre")
    "$ZIG" c++ "${flags[@]}" -c -o "$TMP/$i.o" "$f" >"$TMP/$i.log" 2>&1 || rc=$?
    echo "$rc" >"$TMP/$i.rc"
}

for i in "${!FILES[@]}"; do
    while [ "$(jobs -rp | wc -l)" -ge "$JOBS" ]; do wait -n || true; done
    compile "$i" "${FILES[$i]}" "${EXTRA[$i]}" &
done
wait

failed=0
for i in "${!FILES[@]}"; do
    f=${FILES[$i]}
    shown=${f#"$ROOT"/}
    if [ "$(cat "$TMP/$i.rc" 2>/dev/null || echo 1)" = 0 ]; then
        echo "ok    $shown"
    else
        echo "FAIL  $shown"
        sed 's/^/      /' "$TMP/$i.log"
        failed=$((failed + 1))
    fi
done
total=${#FILES[@]}
if [ "$failed" -eq 0 ]; then
    echo "check-freebsd: all $total files compile for $TARGET (zig $ZIG_VERSION)"
else
    echo "check-freebsd: $failed of $total files do not compile for $TARGET"
    exit 1
fi
