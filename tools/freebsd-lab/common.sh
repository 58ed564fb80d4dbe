# Shared settings of the FreeBSD lab scripts (sourced, not run). One variable
# selects the release; everything that differs between releases follows from
# it here, so a script written for one release serves every one.
#   FREEBSD           the release: 14.2 (default) or 15.1
#   MORVEX_CACHE      cache folder (default ~/.cache/morvex)
#   FREEBSD_LAB       folder with the FreeBSD trees' tarballs, makefs and mkimg
#                     (default ../shared/freebsd-lab from the project root)
#   REAL_FREEBSD_BUILDS  where each release's module build, image, console log
#                     and guest results go, in a folder named by the release
#                     (default build/real-freebsd: build/real-freebsd/15.1/...)
#   GUEST_PYVER       the CPython version cross-built for the guest (3.14;
#                     3.13 also builds)
set -eu
LAB_HERE=$(cd "$(dirname "$0")" && pwd)
PROJECT=$(cd "$LAB_HERE/../.." && pwd)
CACHE=${MORVEX_CACHE:-$HOME/.cache/morvex}
FREEBSD_LAB=${FREEBSD_LAB:-$PROJECT/../shared/freebsd-lab}
case $FREEBSD_LAB in /*) ;; *) FREEBSD_LAB=$PROJECT/$FREEBSD_LAB ;; esac
# The releases the lab knows, oldest first.
FREEBSD_RELEASES="14.2 15.1"
FREEBSD=${FREEBSD:-14.2}
case $FREEBSD in
    14.2)
        # libutil's major number: 9 on 14, 10 from 15.0 on (15 also versions
        # its functions FBSD_1.8). A binary records the one it was linked
        # against, and the other release's loader does not find it.
        LIBUTIL=libutil.so.9
        # The newest symbol version a build for this release may bind: what
        # 14.0's libc and libthr have, so the build loads on every 14.
        MAX_SYMVER=FBSD_1.7 ;;
    15.1)
        LIBUTIL=libutil.so.10
        MAX_SYMVER=FBSD_1.8 ;;
    *) echo "freebsd-lab: FREEBSD=$FREEBSD: the releases are $FREEBSD_RELEASES" >&2; exit 2 ;;
esac
FREEBSD_MAJOR=${FREEBSD%%.*}
TREE_TARBALL=freebsd-$FREEBSD-amd64-root.tar.xz
TRIPLE=x86_64-unknown-freebsd$FREEBSD
# The lab's products in the cache, each an entry named by a hash of its
# inputs (tools/cache.sh): the release's tree, libffi and CPython built for
# it, the wheel build's venv and the pytest wheels.
GUEST_PYVER=${GUEST_PYVER:-3.14}
CACHE_SH=$PROJECT/tools/cache.sh
. "$CACHE_SH"
# The unpacked FreeBSD tree (root: the guest's root and the cross builds'
# sysroot), with makefs and mkimg in bin.
TREE=$(cache_path "freebsd-$FREEBSD-tree")
SYSROOT=$TREE/root
# Cross-built libraries (libffi) that CPython links against.
XPREFIX=$(cache_path "freebsd-$FREEBSD-libffi")
# The guest's CPython: version, its names, and where its cross build is
# installed as it will be in the guest (/morvex/python).
PYT=python${GUEST_PYVER}t
PYSTAGE=$(cache_path "freebsd-$FREEBSD-python")
GUEST_PY=/morvex/python
GUEST_SITE=$GUEST_PY/lib/$PYT/site-packages
# pytest's pure-Python wheels, the same for every release.
WHEELS=$(cache_path freebsd-pytest-wheels)
# The wheel build's venv (venv/) and pip's wheel for the guests (pip-wheel/).
WHEEL_ENV=$(cache_path freebsd-wheel-env)
BUILDS=${REAL_FREEBSD_BUILDS:-$PROJECT/build/real-freebsd}
OUTDIR=$BUILDS/$FREEBSD
# The build interpreter of the cross builds: the host's free-threaded build
# of the same version (tools/bootstrap-python.sh makes it).
HOST_PY=$(cache_path "$PYT")/bin/$PYT
LLVM=/usr/lib/llvm-19/bin
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
lab_say() { echo "freebsd-lab[$FREEBSD]: $*" >&2; }
lab_die() { echo "freebsd-lab[$FREEBSD]: $*" >&2; exit 1; }
