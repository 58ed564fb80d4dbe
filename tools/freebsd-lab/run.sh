#!/bin/sh
# The module on a real FreeBSD 14.2 kernel: every step of the lab in order,
# each cached one skipped when already done, then the guest's test run.
# Prints how long each step took; exits with the guest suite's status.
#   run.sh         build what is missing, make the image, boot, results
#   run.sh shell   the same builds, then an interactive boot
. "$(dirname "$0")/common.sh"
step() {
    t0=$(date +%s)
    sh "$LAB_HERE/$1.sh" || lab_die "step $1 failed"
    lab_say "step $1: $(( $(date +%s) - t0 )) s"
}
[ -x "$HOST_PY" ] || MORVEX_CACHE=$CACHE sh "$PROJECT/tools/bootstrap-python.sh"
step host-packages
step sysroot
step libffi
step python
step wheel
step image
t0=$(date +%s)
if [ "${1:-}" = shell ]; then
    exec sh "$LAB_HERE/boot.sh" shell
fi
set +e
sh "$LAB_HERE/boot.sh"
rc=$?
set -e
lab_say "step boot: $(( $(date +%s) - t0 )) s"
OUT=$OUTDIR/out
if [ -f "$OUT/pytest.txt" ]; then
    echo "--- the real-kernel suite (build/real-freebsd/out/pytest.txt), last lines:"
    tail -n 15 "$OUT/pytest.txt"
fi
echo "check-real-freebsd: the guest's suite exited $rc"
exit "$rc"
