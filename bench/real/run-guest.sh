#!/bin/sh
# The real-kernel benchmark, inside the FreeBSD guest (as root, from rc.local):
#   sh run-guest.sh OUTDIR
# Runs bench_guest.py with the installed package's interpreter (PYTHON) and the
# floor program beside it, with the arguments in ./args; writes
# OUTDIR/bench.json, OUTDIR/bench.txt, OUTDIR/tools.txt and OUTDIR/status.
OUT=${1:?usage: run-guest.sh OUTDIR}
HERE=$(cd "$(dirname "$0")" && pwd)
PY=${PYTHON:-python3}
mkdir -p "$OUT"
# Which of the tools the benchmark compares with this base system has.
for t in ps procstat sockstat netstat ifconfig mount iostat swapinfo sysctl who; do
    printf '%s %s\n' "$t" "$(command -v "$t" || echo MISSING)"
done >"$OUT/tools.txt"
cd /tmp || exit 1
# shellcheck disable=SC2046
"$PY" "$HERE/bench_guest.py" "$HERE/floor" "$OUT/bench.json" $(cat "$HERE/args" 2>/dev/null) \
    >"$OUT/bench.txt" 2>&1
rc=$?
tail -n 20 "$OUT/bench.txt"
echo $rc >"$OUT/status"
exit $rc
