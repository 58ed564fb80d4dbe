#!/bin/sh
# Boots the selected release's guest image under QEMU (pure emulation: this
# machine's KVM cannot run it) and brings its results back.
#   boot.sh          the test run: a results drive is attached, rc.local runs
#                    the guest script and writes /morvex/out onto it as a tar,
#                    the machine powers off; the tar is unpacked into
#                    build/real-freebsd/RELEASE/out and the exit status is the
#                    guest script's (out/status, else out/rc).
#   boot.sh shell    an interactive boot, console on this terminal (log in as
#                    root, no password; `poweroff` ends it). No results drive,
#                    so rc.local runs nothing.
# The console goes to the terminal and to
# build/real-freebsd/RELEASE/console.log.
# Environment: BOOT_TIMEOUT (seconds, default 1800), IMAGE.
. "$(dirname "$0")/common.sh"
IMAGE=${IMAGE:-$OUTDIR/fbsd.img}
[ -f "$IMAGE" ] || lab_die "no image $IMAGE (run image.sh)"
QEMU="qemu-system-x86_64 -accel tcg,thread=multi -cpu max -smp 2 -m 2048 -nographic -no-reboot
    -drive file=$IMAGE,format=raw,if=virtio,snapshot=on
    -netdev user,id=n0 -device virtio-net-pci,netdev=n0"
if [ "${1:-}" = shell ]; then
    # shellcheck disable=SC2086
    exec $QEMU
fi
RESULTS=$OUTDIR/results.img
rm -f "$RESULTS"; truncate -s 256m "$RESULTS"
lab_say "booting (console in $OUTDIR/console.log)"
set +e
# shellcheck disable=SC2086
timeout -k 10 "${BOOT_TIMEOUT:-1800}" $QEMU -drive file="$RESULTS",format=raw,if=virtio \
    </dev/null 2>&1 | tee "$OUTDIR/console.log"
qemu_rc=$?
set -e
rm -rf "$OUTDIR/out"
if ! tar -xf "$RESULTS" -C "$OUTDIR" out 2>/dev/null || [ ! -d "$OUTDIR/out" ]; then
    lab_die "the guest wrote no results (qemu/timeout exit $qemu_rc; see $OUTDIR/console.log)"
fi
rm -f "$RESULTS"
for f in status rc; do
    if [ -s "$OUTDIR/out/$f" ]; then
        rc=$(tr -dc 0-9 <"$OUTDIR/out/$f")
        lab_say "results in $OUTDIR/out; the guest's $f: $rc"
        exit "${rc:-1}"
    fi
done
lab_die "the guest left no status in $OUTDIR/out"
