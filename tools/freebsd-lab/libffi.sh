#!/bin/sh
# libffi for FreeBSD (the base system lacks it; CPython's ctypes needs it),
# cross-built from Debian's libffi source package as a static, position
# independent library, so _ctypes carries it and the guest needs no libffi.so.
# The cache's entry freebsd-RELEASE-libffi ($XPREFIX). Skipped when already
# there.
. "$(dirname "$0")/common.sh"
. "$LAB_HERE/toolchain.sh"
make_libffi() {
    ensure_deb_src libffi
    WORK=$(dirname "$CACHE_OUT")/work
    mkdir -p "$WORK"; cd "$WORK"
    lab_say "fetching and cross-building libffi"
    apt-get source --download-only libffi >/dev/null 2>&1
    ls libffi_*.dsc | sed 's/[.]dsc$//' >>"$CACHE_OUT.versions"
    tar xf "$(ls libffi_*.orig.tar.* | head -n1)"
    cd "$(find . -maxdepth 1 -type d -name 'libffi-*' | head -n1)"
    [ -x configure ] || autoreconf -fi >autoreconf.log 2>&1 || lab_die "libffi autoreconf failed"
    # Its prefix is the entry's final folder (pkg-config's file names it);
    # the install goes into a staging folder that becomes the entry.
    ./configure --host=$TRIPLE --build=x86_64-pc-linux-gnu \
        --prefix="$CACHE_ENTRY" --disable-shared --enable-static --with-pic \
        --disable-docs --disable-multi-os-directory CFLAGS="-O2" >configure.log 2>&1 ||
        { tail -30 configure.log; lab_die "libffi configure failed"; }
    nice make -j2 >build.log 2>&1 || { tail -30 build.log; lab_die "libffi build failed"; }
    make install DESTDIR="$WORK/stage" >>build.log 2>&1
    mv "$WORK/stage$CACHE_ENTRY" "$CACHE_OUT"
    [ -f "$CACHE_OUT/lib/libffi.a" ] || lab_die "libffi installed no libffi.a"
    cd /
}
cache_make "freebsd-$FREEBSD-libffi" make_libffi
