#!/bin/sh
# The release's FreeBSD tree unpacked into the cache (the guest's root file
# system and the cross builds' sysroot), with the tree, makefs and mkimg
# checked against the lab's SHA256SUMS and the tools copied next to it
# (bin/makefs, bin/mkimg): the cache's entry freebsd-RELEASE-tree. Skipped
# when already there.
. "$(dirname "$0")/common.sh"
make_tree() {
    [ -f "$FREEBSD_LAB/$TREE_TARBALL" ] ||
        lab_die "no $TREE_TARBALL in $FREEBSD_LAB (set FREEBSD_LAB)"
    for f in "$TREE_TARBALL" makefs mkimg; do
        grep -q " \*\{0,1\}$f\$" "$FREEBSD_LAB/SHA256SUMS" || lab_die "SHA256SUMS in $FREEBSD_LAB has no $f"
    done
    (cd "$FREEBSD_LAB" && grep -E " \*?($TREE_TARBALL|makefs|mkimg)\$" SHA256SUMS | sha256sum --quiet -c -) ||
        lab_die "$TREE_TARBALL, makefs or mkimg in $FREEBSD_LAB do not match SHA256SUMS"
    mkdir -p "$CACHE_OUT/bin" "$CACHE_OUT/root"
    cp "$FREEBSD_LAB/makefs" "$FREEBSD_LAB/mkimg" "$CACHE_OUT/bin/"
    chmod 755 "$CACHE_OUT/bin/makefs" "$CACHE_OUT/bin/mkimg"
    lab_say "unpacking the FreeBSD $FREEBSD tree"
    xz -T2 -dc "$FREEBSD_LAB/$TREE_TARBALL" | tar -xf - -C "$CACHE_OUT/root"
    [ -f "$CACHE_OUT/root/METALOG" ] && [ -f "$CACHE_OUT/root/usr/lib/libkvm.so" ] &&
        [ -f "$CACHE_OUT/root/lib/$LIBUTIL" ] ||
        lab_die "the unpacked tree has no METALOG, libkvm or $LIBUTIL"
}
cache_make "freebsd-$FREEBSD-tree" make_tree
