#!/bin/sh
# The module for the selected FreeBSD release, amd64, through the project's
# CMakeLists.txt (its FreeBSD branch), with clang-19 against the release's
# real tree and the headers of the interpreter cross-built for it; then
# check_so.py's checks against the tree's real libraries: nothing bound
# above the release's newest symbol version (FBSD_1.7 for 14, so the build
# loads on every 14; FBSD_1.8 for 15) and the release's libutil needed
# (libutil.so.9 on 14, libutil.so.10 on 15). Installed into the staged
# interpreter's site-packages. Rebuilt (incrementally) every time: the
# sources change.
. "$(dirname "$0")/common.sh"
PYINC=$PYSTAGE$GUEST_PY/include/$PYT
[ -f "$PYINC/Python.h" ] || lab_die "no cross-built CPython in $PYSTAGE (run python.sh)"
BUILD=$OUTDIR/module
CMAKE=${CMAKE:-cmake}
command -v "$CMAKE" >/dev/null 2>&1 || CMAKE=$PROJECT/.venv/bin/cmake
SOABI=$(sed -n "s/^ *'SOABI': '\(.*\)',$/\1/p" "$PYSTAGE$GUEST_PY"/lib/$PYT/_sysconfigdata_t_freebsd*.py)
[ -n "$SOABI" ] || lab_die "no SOABI in the cross-built CPython's sysconfig data"
export MORVEX_FREEBSD_SYSROOT=$SYSROOT MORVEX_FREEBSD_TRIPLE=$TRIPLE
mkdir -p "$BUILD/.cmake/api/v1/query"
touch "$BUILD/.cmake/api/v1/query/codemodel-v2"
# A build folder configured for another interpreter starts afresh.
if [ -f "$BUILD/CMakeCache.txt" ] && ! grep -q "^Python_INCLUDE_DIR:[A-Z]*=$PYINC\$" "$BUILD/CMakeCache.txt"; then
    rm -rf "$BUILD/CMakeCache.txt" "$BUILD/CMakeFiles"
fi
LOG=$BUILD/build.log
if ! { "$CMAKE" -S "$PROJECT" -B "$BUILD" --log-level=WARNING \
        -DCMAKE_TOOLCHAIN_FILE="$LAB_HERE/toolchain.cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$HOST_PY" -DPython_INCLUDE_DIR="$PYINC" -DPython_SOABI="$SOABI" &&
       nice "$CMAKE" --build "$BUILD" -j 2 --target _morvex_bsd; } >"$LOG" 2>&1; then
    grep -v '^\[' "$LOG" | tail -40
    lab_die "the module does not build for FreeBSD $FREEBSD"
fi
# (FindPython names a cross-built module without the suffix; it is
# installed under the interpreter's own.)
MODULE=$(ls "$BUILD"/_morvex_bsd*.so | head -n1) || lab_die "no _morvex_bsd*.so in $BUILD"
lab_say "built $MODULE"
# check_so.py against the tree's own libraries (readelf and nm read them).
LIBS=""
for so in lib/libc.so.7 lib/libthr.so.3 lib/$LIBUTIL lib/libm.so.5 lib/libkvm.so.7 \
          lib/libdevstat.so.7 lib/libgcc_s.so.1 lib/libcxxrt.so.1 lib/libc++.so.1; do
    [ -f "$SYSROOT/$so" ] || lab_die "the tree has no $so"
    LIBS="$LIBS --lib $SYSROOT/$so"
done
# 14's libutil has no symbol versions; a binding to one would not load there.
UNVERSIONED=""
[ "$FREEBSD_MAJOR" -ge 15 ] || UNVERSIONED="--unversioned $LIBUTIL"
# shellcheck disable=SC2086
"$HOST_PY" "$PROJECT/tools/check-freebsd/check_so.py" "$MODULE" $LIBS \
    --python "$PYSTAGE$GUEST_PY/bin/$PYT" --cmake-build "$BUILD" --target _morvex_bsd \
    --max-version "$MAX_SYMVER" --needs "$LIBUTIL" $UNVERSIONED ||
    lab_die "check_so.py: the module is not fit for FreeBSD $FREEBSD"
SITE=$PYSTAGE$GUEST_SITE
rm -f "$SITE"/_morvex_bsd*.so
cp "$MODULE" "$SITE/_morvex_bsd.$SOABI.so"
mkdir -p "$SITE/_morvex_bsd-stubs"
cp "$PROJECT/src/_morvex_bsd.pyi" "$SITE/_morvex_bsd-stubs/__init__.pyi"
