#!/bin/sh
# The project as a FreeBSD user gets it: the source distribution, and from it
# the wheel for the lab's FreeBSD release, both through pyproject.toml
# (scikit-build-core) into $OUTDIR/dist:
#   1. the sdist, made from the project;
#   2. the wheel, built from the unpacked sdist (so the sdist is shown to hold
#      all a FreeBSD build needs) by CMakeLists.txt's FreeBSD branch with
#      tools/freebsd-lab/toolchain.cmake against the tree and the headers of
#      the cross-built CPython, tagged as that CPython tags wheels on the
#      guest: its ABI (cp313-cp313t) and sysconfig.get_platform() there,
#      freebsd-<kernel release>-amd64 (the release from the tree's kernel);
#   3. check_so.py on the wheel's shared object against the tree's libraries,
#      and tools/wheel/check_dist.py on both files.
# The build runs in a venv of the build interpreter (the host's build of the
# guest's CPython version, which gives the interpreter and ABI tags) with the
# scikit-build-core of requirements-dev.txt; CMake is the project venv's.
# Rebuilt every time: the sources change.
. "$(dirname "$0")/common.sh"
# (common.sh names the guest's interpreter, PYT, and the release's libutil
# and newest symbol version; a lab without them is 14.2's with 3.13t.)
PYT=${PYT:-python3.13t}
LIBUTIL=${LIBUTIL:-libutil.so.9}
BUILD_PY=$HOST_PY
PYINC=$PYSTAGE$GUEST_PY/include/$PYT
[ -f "$PYINC/Python.h" ] || lab_die "no cross-built CPython in $PYSTAGE (run python.sh)"
SYSCONFIGDATA=$(ls "$PYSTAGE$GUEST_PY"/lib/$PYT/_sysconfigdata_t_freebsd*.py | head -n1)
SOABI=$(sed -n "s/^ *'SOABI': '\(.*\)',$/\1/p" "$SYSCONFIGDATA")
[ -n "$SOABI" ] || lab_die "no SOABI in the cross-built CPython's sysconfig data"
CMAKE=${CMAKE:-cmake}
command -v "$CMAKE" >/dev/null 2>&1 || CMAKE=$PROJECT/.venv/bin/cmake
# The binary itself rather than the venv's Python wrapper of it:
# scikit-build-core gives `cmake --version` a few seconds, and on a loaded
# machine the wrapper's interpreter start-up alone can use them up (seen:
# "Accessing CMake timed out", then no CMake found).
CMAKE_DIR=$(dirname "$CMAKE")   # (the venv's bin, with ninja)
BIN=$("$(dirname "$CMAKE")/python" -c 'import cmake; print(cmake.CMAKE_BIN_DIR)' 2>/dev/null) &&
    [ -x "$BIN/cmake" ] && CMAKE=$BIN/cmake
export CMAKE_EXECUTABLE="$CMAKE"
# The guest's os.uname().release is the kernel's own version string.
RELEASE=$(strings "$SYSROOT/boot/kernel/kernel" | sed -n 's/^@(#)FreeBSD \([^ ]*\) .*/\1/p' | head -n1)
[ -n "$RELEASE" ] || lab_die "no release in the tree's kernel"
PLATFORM=freebsd-$RELEASE-amd64

# The build environment: the cache's entry freebsd-wheel-env (wheel-env.sh).
sh "$LAB_HERE/wheel-env.sh" || lab_die "no wheel build environment"
WPY=$WHEEL_ENV/venv/bin/python
# The interpreter tags come from the build interpreter: it must be the
# guest's CPython version and build (SOABI cpython-313t here).
"$WPY" -c "import sys, sysconfig; sys.exit(sysconfig.get_config_var('SOABI').split('-')[:2] != '$SOABI'.split('-')[:2])" ||
    lab_die "the build interpreter $BUILD_PY is not the guest's CPython ($SOABI)"

DIST=$OUTDIR/dist
# The wheel is built afresh from the unpacked sdist every time: the sdist's
# files carry one fixed time stamp (it is reproducible), so an incremental
# build would take a changed source for an old one.
rm -rf "$DIST" "$OUTDIR/sdist-src" "$OUTDIR/wheel-build"
mkdir -p "$DIST" "$OUTDIR/sdist-src" "$OUTDIR/wheel-build/.cmake/api/v1/query"
touch "$OUTDIR/wheel-build/.cmake/api/v1/query/codemodel-v2"
LOG=$OUTDIR/wheel-build/build.log
(cd "$PROJECT" && "$WPY" -c 'import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))' \
    "$DIST") >"$LOG" 2>&1 || { tail -30 "$LOG"; lab_die "the sdist does not build"; }
SDIST=$(ls "$DIST"/*.tar.gz)
tar -xzf "$SDIST" -C "$OUTDIR/sdist-src"
SRC=$(ls -d "$OUTDIR"/sdist-src/*/)
export MORVEX_FREEBSD_SYSROOT=$SYSROOT MORVEX_FREEBSD_TRIPLE=$TRIPLE _PYTHON_HOST_PLATFORM=$PLATFORM
export PATH="$CMAKE_DIR:$PATH"
if ! (cd "$SRC" && nice "$WPY" - "$DIST" >>"$LOG" 2>&1 <<PY
import sys, scikit_build_core.build as b
print(b.build_wheel(sys.argv[1], {
    "build-dir": "$OUTDIR/wheel-build",
    "cmake.define.CMAKE_TOOLCHAIN_FILE": "$LAB_HERE/toolchain.cmake",
    "cmake.define.Python_INCLUDE_DIR": "$PYINC",
    "cmake.define.Python_SOABI": "$SOABI",
    "cmake.define.MORVEX_SOABI": "$SOABI",
    "build.verbose": "false",
}))
PY
); then
    grep -v '^\[' "$LOG" | tail -40
    lab_die "the wheel does not build from the sdist"
fi
WHEEL=$(ls "$DIST"/*.whl)
lab_say "built $(basename "$SDIST") and $(basename "$WHEEL")"

MODULE=$(ls "$OUTDIR"/wheel-build/_morvex_bsd*.so | head -n1) || lab_die "no _morvex_bsd*.so in the wheel build"
LIBS=""
for so in lib/libc.so.7 lib/libthr.so.3 lib/$LIBUTIL lib/libm.so.5 lib/libkvm.so.7 \
          lib/libdevstat.so.7 lib/libgcc_s.so.1 lib/libcxxrt.so.1 lib/libc++.so.1; do
    [ -f "$SYSROOT/$so" ] || lab_die "the tree has no $so"
    LIBS="$LIBS --lib $SYSROOT/$so"
done
# Nothing bound above the release's newest symbol version, its own libutil
# needed, and on 14 (whose libutil has no symbol versions) libutil unversioned.
RELEASE_ARGS=""
if [ -n "${MAX_SYMVER:-}" ]; then
    RELEASE_ARGS="--max-version $MAX_SYMVER --needs $LIBUTIL"
    [ "${FREEBSD_MAJOR:-14}" -ge 15 ] || RELEASE_ARGS="$RELEASE_ARGS --unversioned $LIBUTIL"
fi
# shellcheck disable=SC2086
"$HOST_PY" "$PROJECT/tools/check-freebsd/check_so.py" "$MODULE" $LIBS $RELEASE_ARGS \
    --python "$PYSTAGE$GUEST_PY/bin/$PYT" --cmake-build "$OUTDIR/wheel-build" --target _morvex_bsd ||
    lab_die "check_so.py: the module is not fit for FreeBSD"
# (pip's own platform, not the one the wheel build was told.)
env -u _PYTHON_HOST_PLATFORM "$HOST_PY" "$PROJECT/tools/wheel/check_dist.py" --wheel "$WHEEL" --sdist "$SDIST" \
    --soabi "$SOABI" --platform "$PLATFORM" --project "$PROJECT" --pip "$WPY" ||
    lab_die "check_dist.py: the wheel or the sdist is wrong"
