#!/bin/sh
# The real-kernel run, inside the FreeBSD guest (as root, from rc.local):
#   sh run-guest.sh OUTDIR
# First the capture and the module's answers for the same processes, taken
# one right after the other while the machine is quiet; then the suite.
# Writes OUTDIR/guest.capture.gz, OUTDIR/answers.json.gz, OUTDIR/pytest.txt,
# OUTDIR/junit.xml and OUTDIR/status (pytest's exit code).
OUT=${1:?usage: run-guest.sh OUTDIR}
HERE=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$OUT"
# The interpreter of the venv the package was installed into (rc.local sets
# PYTHON); the guest's own CPython has no module.
PY=${PYTHON:-$(ls /morvex/venv/bin/python3.*t 2>/dev/null | head -n1)}
if [ -z "$PY" ] || [ ! -x "$PY" ]; then
    echo "run-guest: no interpreter with the installed package (sh /morvex/install-guest.sh /morvex/venv)" >&2
    echo 1 >"$OUT/status"
    exit 1
fi
CAPTURE=${CAPTURE:-/morvex/capture.py}

{ sysctl kern.osrelease hw.ncpu hw.physmem hw.pagesize kern.boottime
  ifconfig -a; mount -p; df -k; id nobody; id labuser; } >"$OUT/machine.txt" 2>&1

# A scene for the capture: sockets, threads, a zombie, another user's process.
rm -f /tmp/morvex-scene.ready
mkfifo /tmp/morvex-scene.in
"$PY" "$HERE/scene.py" /tmp/morvex-scene.ready </tmp/morvex-scene.in &
exec 3>/tmp/morvex-scene.in
for _ in $(seq 1 120); do [ -s /tmp/morvex-scene.ready ] && break; sleep 0.5; done
echo "run-guest: scene $(cat /tmp/morvex-scene.ready 2>/dev/null)"

"$PY" "$CAPTURE" "$OUT/guest.capture.gz" &&
    "$PY" "$HERE/record.py" "$OUT/guest.capture.gz" "$OUT/answers.json.gz" ||
    echo "run-guest: capture or recording failed"
exec 3>&-
wait
rm -f /tmp/morvex-scene.in /tmp/morvex-scene.ready

cd /tmp || exit 1
"$PY" -m pytest -p no:cacheprovider -rsP -v --junitxml="$OUT/junit.xml" \
    "$HERE" >"$OUT/pytest.txt" 2>&1
rc=$?
tail -n 40 "$OUT/pytest.txt"
echo $rc >"$OUT/status"
exit $rc
