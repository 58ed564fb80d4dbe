# The cross compiler for the selected FreeBSD release, amd64 (sourced after
# common.sh): Debian's clang-19 and lld-19 with the unpacked tree as sysroot.
XCC="$LLVM/clang --target=$TRIPLE --sysroot=$SYSROOT"
XCXX="$LLVM/clang++ --target=$TRIPLE --sysroot=$SYSROOT"
export CC="$XCC" CXX="$XCXX" LD="$LLVM/ld.lld" AR="$LLVM/llvm-ar" RANLIB="$LLVM/llvm-ranlib" \
    NM="$LLVM/llvm-nm" STRIP="$LLVM/llvm-strip" READELF="$LLVM/llvm-readelf" OBJDUMP="$LLVM/llvm-objdump"
export LDFLAGS="-fuse-ld=lld"
# Debian sources fetched with apt-get source: the project's trixie deb-src
# entry (added by tools/bootstrap-python.sh, which is reused for it).
ensure_deb_src() {
    [ -f /etc/apt/sources.list.d/morvex-trixie-src.sources ] ||
        lab_die "no trixie deb-src entry: run tools/bootstrap-python.sh first"
    apt-cache showsrc "$1" >/dev/null 2>&1 || $SUDO apt-get update -qq
}
