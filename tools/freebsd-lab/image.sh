#!/bin/sh
# The selected release's disk image: its unpacked FreeBSD tree plus
#   /morvex/python       the cross-built interpreter and pytest (pure-Python
#                        wheels, unpacked into site-packages)
#   /morvex/wheels       the project's wheel for the release (wheel.sh):
#                        rc.local has install-guest.sh install it with pip
#                        into a fresh venv, /morvex/venv, that sees pytest
#   /morvex/pip          pip, unpacked from its wheel
#   /morvex/builds/REL   the module as built for each other release, for the
#                        loading test (one folder per release built)
#   /morvex/tests/real   the real-kernel suite, copied from the repo
#   /morvex/capture.py   the capture command
#   /morvex/lab.conf     the release and which guest script rc.local runs
#   /etc/rc.local        the test run (runs at the end of boot, powers off)
# each with a METALOG line, then makefs and mkimg as in the lab's README.
# Environment: GUEST_SCRIPT (guest path of the script rc.local runs; default
# the suite's tests/real/run-guest.sh when the repo has it, else the lab's own
# smoke-guest.sh), IMAGE (default build/real-freebsd/RELEASE/fbsd.img).
. "$(dirname "$0")/common.sh"
IMAGE=${IMAGE:-$OUTDIR/fbsd.img}
STAGE=$OUTDIR/root
SITE=$GUEST_SITE
ls "$OUTDIR"/dist/*.whl >/dev/null 2>&1 || lab_die "no wheel in $OUTDIR/dist (run wheel.sh)"
PIP_WHEEL=$(ls "$WHEEL_ENV"/pip-wheel/pip-*.whl 2>/dev/null | head -n1)
[ -n "$PIP_WHEEL" ] || lab_die "no pip wheel in $WHEEL_ENV/pip-wheel (run wheel.sh)"

# pytest and its dependencies: pure-Python wheels, fetched once into the
# cache (pytest-wheels.sh).
sh "$LAB_HERE/pytest-wheels.sh" || lab_die "no pytest wheels"

rm -rf "$STAGE" "$IMAGE" "$OUTDIR/rootfs.ufs"
mkdir -p "$OUTDIR"
cp -a "$SYSROOT" "$STAGE"
rm -f "$STAGE/.unpacked"
mkdir -p "$STAGE/morvex"
# The interpreter, without its static library (nothing in the guest links).
cp -a "$PYSTAGE$GUEST_PY" "$STAGE/morvex/"
find "$STAGE$GUEST_PY" -name "lib$PYT.a" -delete
"$HOST_PY" - "$STAGE$SITE" "$WHEELS"/*.whl <<'PY'
import sys, zipfile
site = sys.argv[1]
for whl in sys.argv[2:]:
    zipfile.ZipFile(whl).extractall(site)
PY
# Compiled here (the same version's bytecode as the guest's): the guest's disk is a
# snapshot, so whatever it compiled itself would be lost at every boot.
"$HOST_PY" -m compileall -q -d "$SITE" "$STAGE$SITE" >/dev/null
# The project's wheel, and pip unpacked from its wheel, its bytecode compiled
# here too (under emulation compiling pip takes the best part of a minute).
mkdir -p "$STAGE/morvex/wheels"
cp "$OUTDIR"/dist/*.whl "$STAGE/morvex/wheels/"
"$HOST_PY" -c 'import sys, zipfile; zipfile.ZipFile(sys.argv[1]).extractall(sys.argv[2])' \
    "$PIP_WHEEL" "$STAGE/morvex/pip"
"$HOST_PY" -m compileall -q -d /morvex/pip "$STAGE/morvex/pip" >/dev/null
cp "$LAB_HERE/install-guest.sh" "$STAGE/morvex/install-guest.sh"
# The benchmark's programs (bench.sh), when it is the benchmark's image.
if [ -d "$OUTDIR/bench" ]; then cp -a "$OUTDIR/bench" "$STAGE/morvex/bench"; fi
mkdir -p "$STAGE/morvex/tests"
if [ -d "$PROJECT/tests/real" ]; then
    cp -a "$PROJECT/tests/real" "$STAGE/morvex/tests/"
    find "$STAGE/morvex/tests" -name __pycache__ -prune -exec rm -rf {} +
fi
# The module as built for each other release, from its wheel build
# (build/real-freebsd/REL/wheel-build).
for rel in $FREEBSD_RELEASES; do
    [ "$rel" = "$FREEBSD" ] && continue
    other=$(ls "$BUILDS/$rel"/wheel-build/_morvex_bsd*.so 2>/dev/null | head -n1) || true
    [ -n "$other" ] || continue
    mkdir -p "$STAGE/morvex/builds/$rel"
    cp "$other" "$STAGE/morvex/builds/$rel/"
done
cp "$PROJECT/standin/python/fakebsd/capture.py" "$STAGE/morvex/capture.py"
cp "$LAB_HERE/smoke-guest.sh" "$STAGE/morvex/smoke-guest.sh"
if [ -z "${GUEST_SCRIPT:-}" ]; then
    if [ -f "$PROJECT/tests/real/run-guest.sh" ]; then
        GUEST_SCRIPT=/morvex/tests/real/run-guest.sh
    else
        GUEST_SCRIPT=/morvex/smoke-guest.sh
    fi
fi
[ -f "$STAGE$GUEST_SCRIPT" ] || lab_die "GUEST_SCRIPT=$GUEST_SCRIPT is not in the image"
printf 'FREEBSD=%s\nGUEST_SCRIPT=%s\nGUEST_PYTHON=%s\n' "$FREEBSD" "$GUEST_SCRIPT" "$GUEST_PY/bin/$PYT" \
    >"$STAGE/morvex/lab.conf"
cp "$LAB_HERE/rc.local" "$STAGE/etc/rc.local"
chmod -R u+rwX,go+rX,go-w "$STAGE/morvex"
chmod 755 "$STAGE/etc/rc.local"
# The suite's own additions (the jail's root), after the modes above are set.
if [ -f "$PROJECT/tests/real/image-hook.sh" ]; then
    sh "$PROJECT/tests/real/image-hook.sh" "$STAGE" || lab_die "tests/real/image-hook.sh failed"
fi
# Static addresses for vtnet0 (QEMU's user network), no DHCP wait.
cat >>"$STAGE/etc/rc.conf" <<'CONF'
ifconfig_vtnet0="inet 10.0.2.15 netmask 255.255.255.0"
ifconfig_vtnet0_ipv6="inet6 fec0::15 prefixlen 64"
defaultrouter="10.0.2.2"
CONF
{
    cat "$SYSROOT/METALOG"
    "$HOST_PY" "$LAB_HERE/metalog.py" "$STAGE" morvex etc/rc.local
} >"$STAGE/METALOG.new"
mv "$STAGE/METALOG.new" "$STAGE/METALOG"
lab_say "GUEST_SCRIPT=$GUEST_SCRIPT; making $IMAGE"
(cd "$STAGE" && "$TREE/bin/makefs" -D -N etc -B little -t ffs -o label=rootfs -o version=2 \
    -o softupdates=1 -s "${IMAGE_SIZE:-1g}" "$OUTDIR/rootfs.ufs" METALOG) >"$OUTDIR/makefs.log" 2>&1 ||
    { grep -v 'duplicate definition' "$OUTDIR/makefs.log" | tail -20; lab_die "makefs failed"; }
"$TREE/bin/mkimg" -s gpt -f raw -b "$STAGE/boot/pmbr" -p freebsd-boot/bootfs:="$STAGE/boot/gptboot" \
    -p freebsd-ufs/rootfs:="$OUTDIR/rootfs.ufs" -o "$IMAGE" || lab_die "mkimg failed"
rm -f "$OUTDIR/rootfs.ufs"
