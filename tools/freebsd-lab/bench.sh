#!/bin/sh
# The module's speed on the real kernel (bench/real): the floor program
# cross-built with the lab's clang against the tree, the guest booted with
# bench/real/run-guest.sh as its script (the package installed from the wheel
# as for the suite), and the table of ratios printed from its results.
#   bench.sh [bench_guest.py arguments: --seconds S --rounds R --connections N name ...]
# FREEBSD names the release (default 14.2; the make target's 15.1). The
# results stay in build/real-freebsd/RELEASE/out (bench.json, bench.txt).
. "$(dirname "$0")/common.sh"
. "$LAB_HERE/toolchain.sh"
[ -x "$HOST_PY" ] || MORVEX_CACHE=$CACHE VERSION=$GUEST_PYVER sh "$PROJECT/tools/bootstrap-python.sh"
for s in host-packages sysroot libffi python; do
    FREEBSD=$FREEBSD sh "$LAB_HERE/$s.sh" || lab_die "step $s failed"
done
B=$OUTDIR/bench
rm -rf "$B"; mkdir -p "$B"
# shellcheck disable=SC2086
$XCC -fuse-ld=lld -O2 -Wall -Wextra -Werror -o "$B/floor" "$PROJECT/bench/real/floor.c" \
    -lkvm -lutil -ldevstat || lab_die "the floor program does not build"
cp "$PROJECT/bench/real/bench_guest.py" "$PROJECT/bench/real/run-guest.sh" "$B/"
echo "$*" >"$B/args"
load0=$(cut -d' ' -f1-3 /proc/loadavg)
set +e
FREEBSD=$FREEBSD GUEST_SCRIPT=/morvex/bench/run-guest.sh BOOT_TIMEOUT=${BOOT_TIMEOUT:-2400} sh "$LAB_HERE/run.sh"
rc=$?
set -e
rm -rf "$B"
[ -f "$OUTDIR/out/bench.json" ] || { tail -n 30 "$OUTDIR/out/bench.txt" 2>/dev/null; lab_die "the guest wrote no bench.json (exit $rc)"; }
echo
"$HOST_PY" "$PROJECT/bench/real/table.py" "$OUTDIR/out/bench.json" \
    "$load0 at the start, $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo
echo "tools in the guest:"; sed 's/^/  /' "$OUTDIR/out/tools.txt"
exit "$rc"
