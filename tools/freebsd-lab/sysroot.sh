#!/bin/sh
# The FreeBSD 14.2 tree unpacked into the cache (the guest's root file system
# and the cross builds' sysroot), with makefs and mkimg checked against the
# lab's SHA256SUMS and copied next to it. Skipped when already there.
. "$(dirname "$0")/common.sh"
[ -f "$SYSROOT/.unpacked" ] && [ -x "$FBSD/bin/makefs" ] && [ -x "$FBSD/bin/mkimg" ] && exit 0
[ -f "$FREEBSD_LAB/freebsd-14.2-amd64-root.tar.xz" ] ||
    lab_die "no freebsd-14.2-amd64-root.tar.xz in $FREEBSD_LAB (set FREEBSD_LAB)"
(cd "$FREEBSD_LAB" && sha256sum --quiet -c SHA256SUMS) ||
    lab_die "makefs/mkimg in $FREEBSD_LAB do not match SHA256SUMS"
mkdir -p "$FBSD/bin"
cp "$FREEBSD_LAB/makefs" "$FREEBSD_LAB/mkimg" "$FBSD/bin/"
chmod 755 "$FBSD/bin/makefs" "$FBSD/bin/mkimg"
lab_say "unpacking the FreeBSD tree into $SYSROOT"
rm -rf "$SYSROOT"; mkdir -p "$SYSROOT"
xz -dc "$FREEBSD_LAB/freebsd-14.2-amd64-root.tar.xz" | tar -xf - -C "$SYSROOT"
[ -f "$SYSROOT/METALOG" ] && [ -f "$SYSROOT/usr/lib/libkvm.so" ] ||
    lab_die "the unpacked tree has no METALOG or libkvm"
touch "$SYSROOT/.unpacked"
