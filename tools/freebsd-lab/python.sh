#!/bin/sh
# CPython GUEST_PYVER (3.13 or 3.14), free-threaded, cross-compiled for the
# selected FreeBSD release, amd64, installed with DESTDIR into $PYSTAGE as the
# guest's /morvex/python. 3.13 comes from Debian's python3.13 source package,
# as the host's 3.13t does; 3.14 from the release tarball in CPYTHON_SOURCES
# (default ../shared/cpython from the project root), checked against that
# folder's SHA256SUMS. Needs the host's free-threaded build of the same
# version as the build interpreter (tools/bootstrap-python.sh) and libffi
# from libffi.sh. The cache's entry freebsd-RELEASE-python ($PYSTAGE); skipped
# when already there.
. "$(dirname "$0")/common.sh"
. "$LAB_HERE/toolchain.sh"
[ -d "$PYSTAGE" ] && exit 0
[ -x "$HOST_PY" ] || lab_die "no host $PYT at $HOST_PY (run.sh bootstraps it)"
[ -f "$XPREFIX/lib/libffi.a" ] || lab_die "no cross-built libffi in $XPREFIX (run libffi.sh)"
make_python() {
WORK=$(dirname "$CACHE_OUT")/work
mkdir -p "$WORK"; cd "$WORK"
lab_say "cross-building CPython ${GUEST_PYVER}t for FreeBSD $FREEBSD (several minutes)"
case $GUEST_PYVER in
    3.13)
        ensure_deb_src python3.13
        apt-get source --download-only python3.13 >/dev/null 2>&1
        ls python3.13_*.dsc | sed 's/[.]dsc$//' >>"$CACHE_OUT.versions"
        tar xf "$(ls python3.13_*.orig.tar.xz | head -n1)" ;;
    *)
        SRC=${CPYTHON_SOURCES:-$PROJECT/../shared/cpython}
        case $SRC in /*) ;; *) SRC=$PROJECT/$SRC ;; esac
        TARBALL=$(cd "$SRC" 2>/dev/null && ls Python-"$GUEST_PYVER".*.tar.xz 2>/dev/null | grep -v rc | sort -V | tail -n1)
        [ -n "$TARBALL" ] || lab_die "no Python-$GUEST_PYVER.N.tar.xz in $SRC (set CPYTHON_SOURCES)"
        (cd "$SRC" && grep " \*\{0,1\}$TARBALL\$" SHA256SUMS | sha256sum --quiet -c -) ||
            lab_die "$SRC/$TARBALL does not match that folder's SHA256SUMS"
        tar xf "$SRC/$TARBALL" ;;
esac
cd "$(find . -maxdepth 1 -type d -name "Python-$GUEST_PYVER*" | head -n1)"

# configure (3.13's and 3.14's) cross-builds only for the hosts it lists;
# FreeBSD is added the way the listed ones are: the system name, the release
# from the host triple (so sys.platform is what a native build has) and the
# CPU as the host platform's suffix.
awk '
    /^\t\*-\*-linux-android\*\)$/ && !sys {
        print "\t*-*-freebsd*)"
        print "\t\tac_sys_system=FreeBSD"
        print "\t\t_cross_release=`echo $host | sed -n \"s/.*-freebsd\\([0-9.]*\\).*/\\1/p\"`"
        print "\t\t;;"
        sys = 1
    }
    /^\tac_sys_release=$/ && sys && !rel { print "\tac_sys_release=${_cross_release-}"; rel = 1; next }
    /^\t\*-\*-cygwin\*\)$/ && rel && !ident {
        getline nxt
        if (nxt ~ /_host_ident=$/) {
            print "\t*-*-freebsd*)"; print "\t\t_host_ident=$host_cpu"; print "\t\t;;"; ident = 1
        }
        print; print nxt; next
    }
    { print }
    END { if (!(sys && rel && ident)) exit 1 }
' configure >configure.new || lab_die "configure of this CPython is not the expected shape"
mv configure.new configure; chmod 755 configure

# 3.14's free-threaded collector reads its own resident size through libkvm
# on FreeBSD (gc_free_threading.c) but configure does not link libkvm:
# linked here (LIBS), or the interpreter's link stops at kvm_openfiles.
XLIBS=""
case $GUEST_PYVER in 3.13) ;; *) XLIBS="-lkvm" ;; esac
# libffi through pkg-config, only the cross-built one; everything else from
# the sysroot's headers and libraries. No debug information (OPT without -g):
# the guest has no debugger, and it is a good part of the compile time.
PKG_CONFIG_LIBDIR=$XPREFIX/lib/pkgconfig PKG_CONFIG_PATH="" \
./configure --build=x86_64-pc-linux-gnu --host=$TRIPLE \
    --prefix=$GUEST_PY --disable-gil --with-build-python="$HOST_PY" \
    --without-ensurepip --disable-test-modules --with-openssl="$SYSROOT/usr" \
    ac_cv_file__dev_ptmx=yes ac_cv_file__dev_ptc=no ac_cv_buggy_getaddrinfo=no \
    OPT="-DNDEBUG -O3 -Wall" LIBS="$XLIBS" \
    >configure.log 2>&1 || { tail -30 configure.log; lab_die "CPython configure failed"; }
nice make -j2 >build.log 2>&1 || { grep -iE 'error|fatal' build.log | tail -30; lab_die "CPython build failed"; }
make install DESTDIR="$CACHE_OUT" >install.log 2>&1 || { tail -30 install.log; lab_die "CPython install failed"; }
# Without what debug information is left (libffi's): smaller in the image
# and the cache.
find "$CACHE_OUT$GUEST_PY" -type f \( -name '*.so' -o -path "*/bin/$PYT" \) \
    -exec "$LLVM/llvm-strip" --strip-debug {} +
# The extension modules it could not build, for the record.
sed -n "/^The necessary bits/,\$p" build.log >"$CACHE_OUT/modules-missing.txt" || true
for m in _ctypes zlib _json binascii _socket select resource _posixsubprocess _struct math _datetime; do
    ls "$CACHE_OUT$GUEST_PY"/lib/$PYT/lib-dynload/$m.cpython-*.so >/dev/null 2>&1 ||
        grep -q "^$m " Modules/Setup.bootstrap 2>/dev/null || grep -qw "$m" Modules/config.c ||
        lab_die "the cross-built CPython has no $m module"
done
cd /
}
cache_make "freebsd-$FREEBSD-python" make_python
