# Shared settings of the FreeBSD lab scripts (sourced, not run).
#   MORVEX_CACHE      cache folder (default ~/.cache/morvex)
#   FREEBSD_LAB       folder with the FreeBSD tree tarball, makefs and mkimg
#                     (default ../shared/freebsd-lab from the project root)
#   FREEBSD_CACHE     where the lab's products are kept
#                     (default $MORVEX_CACHE/freebsd-14.2)
#   REAL_FREEBSD_BUILD  the module build, the image, the console log and the
#                     guest's results (default build/real-freebsd)
set -eu
LAB_HERE=$(cd "$(dirname "$0")" && pwd)
PROJECT=$(cd "$LAB_HERE/../.." && pwd)
CACHE=${MORVEX_CACHE:-$HOME/.cache/morvex}
FREEBSD_LAB=${FREEBSD_LAB:-$PROJECT/../shared/freebsd-lab}
case $FREEBSD_LAB in /*) ;; *) FREEBSD_LAB=$PROJECT/$FREEBSD_LAB ;; esac
FBSD=${FREEBSD_CACHE:-$CACHE/freebsd-14.2}
# The unpacked FreeBSD tree: the guest's root and the cross builds' sysroot.
SYSROOT=$FBSD/root
# Cross-built libraries (libffi) that CPython links against.
XPREFIX=$FBSD/xprefix
# The cross-built interpreter, staged as it will be in the guest: /morvex/python.
PYSTAGE=$FBSD/python-stage
GUEST_PY=/morvex/python
OUTDIR=${REAL_FREEBSD_BUILD:-$PROJECT/build/real-freebsd}
TRIPLE=x86_64-unknown-freebsd14.2
HOST_PY=$CACHE/python3.13t/bin/python3.13t
LLVM=/usr/lib/llvm-19/bin
SUDO=""
[ "$(id -u)" = 0 ] || SUDO=sudo
lab_say() { echo "freebsd-lab: $*" >&2; }
lab_die() { echo "freebsd-lab: $*" >&2; exit 1; }
