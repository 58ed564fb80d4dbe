#!/bin/sh
# The module on real FreeBSD kernels: every step of the lab in order, each
# cached one skipped when already done, then each selected release's guest
# test run. FREEBSD names the releases booted (default: every one the lab
# knows, "14.2 15.1"); the module is built for every release all the same,
# since each guest also tries to load the other releases' builds (a build
# for 14 needs libutil.so.9, which 15 does not have, and the other way
# round). Builds run one release after the other, under nice.
# Prints how long each step took; exits non-zero when any guest's suite failed.
#   run.sh         build what is missing, make the images, boot, results
#   run.sh shell   the same builds, then an interactive boot of one release
SELECTED=${FREEBSD:-}
FREEBSD=14.2
. "$(dirname "$0")/common.sh"
SELECTED=${SELECTED:-$FREEBSD_RELEASES}
for r in $SELECTED; do
    case " $FREEBSD_RELEASES " in *" $r "*) ;; *) lab_die "FREEBSD=$r: the releases are $FREEBSD_RELEASES" ;; esac
done
if [ "${1:-}" = shell ] && [ "$(echo $SELECTED | wc -w)" -ne 1 ]; then
    lab_die "a shell boots one release: FREEBSD=14.2 or FREEBSD=15.1"
fi
TIMES=$BUILDS/times.txt
mkdir -p "$BUILDS"
: >"$TIMES"
step() {   # step RELEASE|host NAME
    t0=$(date +%s)
    FREEBSD=$(echo "$1" | sed "s/^host$/$FREEBSD/") sh "$LAB_HERE/$2.sh" || lab_die "FreeBSD $1: step $2 failed"
    echo "$1 $2 $(( $(date +%s) - t0 ))" >>"$TIMES"
    echo "freebsd-lab[$1]: step $2: $(( $(date +%s) - t0 )) s" >&2
}
t0=$(date +%s)
[ -x "$HOST_PY" ] || MORVEX_CACHE=$CACHE VERSION=$GUEST_PYVER sh "$PROJECT/tools/bootstrap-python.sh"
echo "host bootstrap-$PYT $(( $(date +%s) - t0 ))" >>"$TIMES"
step host host-packages
for r in $FREEBSD_RELEASES; do
    for s in sysroot libffi python wheel; do
        step "$r" "$s"
    done
done
if [ "${1:-}" = shell ]; then
    step "$SELECTED" image
    exec env FREEBSD="$SELECTED" sh "$LAB_HERE/boot.sh" shell
fi
status=0
summary=""
for r in $SELECTED; do
    step "$r" image
    t0=$(date +%s)
    set +e
    FREEBSD=$r sh "$LAB_HERE/boot.sh"
    rc=$?
    set -e
    echo "$r boot $(( $(date +%s) - t0 ))" >>"$TIMES"
    echo "freebsd-lab[$r]: step boot: $(( $(date +%s) - t0 )) s" >&2
    OUT=$BUILDS/$r/out
    if [ -f "$OUT/pytest.txt" ]; then
        echo "--- FreeBSD $r: the real-kernel suite ($OUT/pytest.txt), last lines:"
        tail -n 15 "$OUT/pytest.txt"
    fi
    summary="$summary FreeBSD $r: $rc;"
    [ "$rc" -eq 0 ] || status=1
done
echo "--- step times (s), also in $TIMES:"
awk '{ printf "  %-5s %-14s %5d\n", $1, $2, $3 }' "$TIMES"
echo "check-real-freebsd: the guests' suites exited:$summary"
exit "$status"
