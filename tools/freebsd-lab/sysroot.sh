#!/bin/sh
# The release's FreeBSD tree unpacked into the cache (the guest's root file
# system and the cross builds' sysroot), with the tree, makefs and mkimg
# checked against the lab's SHA256SUMS and the tools copied next to it.
# Skipped when already there.
. "$(dirname "$0")/common.sh"
[ -f "$SYSROOT/.unpacked" ] && [ -x "$FBSD/bin/makefs" ] && [ -x "$FBSD/bin/mkimg" ] && exit 0
[ -f "$FREEBSD_LAB/$TREE_TARBALL" ] ||
    lab_die "no $TREE_TARBALL in $FREEBSD_LAB (set FREEBSD_LAB)"
for f in "$TREE_TARBALL" makefs mkimg; do
    grep -q " \*\{0,1\}$f\$" "$FREEBSD_LAB/SHA256SUMS" || lab_die "SHA256SUMS in $FREEBSD_LAB has no $f"
done
(cd "$FREEBSD_LAB" && grep -E " \*?($TREE_TARBALL|makefs|mkimg)\$" SHA256SUMS | sha256sum --quiet -c -) ||
    lab_die "$TREE_TARBALL, makefs or mkimg in $FREEBSD_LAB do not match SHA256SUMS"
mkdir -p "$FBSD/bin"
cp "$FREEBSD_LAB/makefs" "$FREEBSD_LAB/mkimg" "$FBSD/bin/"
chmod 755 "$FBSD/bin/makefs" "$FBSD/bin/mkimg"
lab_say "unpacking the FreeBSD $FREEBSD tree into $SYSROOT"
rm -rf "$SYSROOT"; mkdir -p "$SYSROOT"
xz -T2 -dc "$FREEBSD_LAB/$TREE_TARBALL" | tar -xf - -C "$SYSROOT"
[ -f "$SYSROOT/METALOG" ] && [ -f "$SYSROOT/usr/lib/libkvm.so" ] && [ -f "$SYSROOT/lib/$LIBUTIL" ] ||
    lab_die "the unpacked tree has no METALOG, libkvm or $LIBUTIL"
touch "$SYSROOT/.unpacked"
