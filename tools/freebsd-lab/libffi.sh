#!/bin/sh
# libffi for FreeBSD (the base system lacks it; CPython's ctypes needs it),
# cross-built from Debian's libffi source package as a static, position
# independent library, so _ctypes carries it and the guest needs no libffi.so.
# Installed into $XPREFIX. Skipped when already there.
. "$(dirname "$0")/common.sh"
. "$LAB_HERE/toolchain.sh"
[ -f "$XPREFIX/lib/libffi.a" ] && [ -f "$XPREFIX/include/ffi.h" ] && exit 0
ensure_deb_src libffi
WORK=$FBSD/src-libffi
rm -rf "$WORK"; mkdir -p "$WORK"; cd "$WORK"
lab_say "fetching and cross-building libffi"
apt-get source --download-only libffi >/dev/null 2>&1
tar xf "$(ls libffi_*.orig.tar.* | head -n1)"
cd "$(find . -maxdepth 1 -type d -name 'libffi-*' | head -n1)"
[ -x configure ] || autoreconf -fi >autoreconf.log 2>&1 || lab_die "libffi autoreconf failed"
./configure --host=$TRIPLE --build=x86_64-pc-linux-gnu \
    --prefix="$XPREFIX" --disable-shared --enable-static --with-pic \
    --disable-docs --disable-multi-os-directory CFLAGS="-O2" >configure.log 2>&1 ||
    { tail -30 configure.log; lab_die "libffi configure failed"; }
nice make -j2 >build.log 2>&1 || { tail -30 build.log; lab_die "libffi build failed"; }
make install >>build.log 2>&1
cd /; rm -rf "$WORK"
[ -f "$XPREFIX/lib/libffi.a" ] || lab_die "libffi installed no libffi.a"
