#!/bin/sh
# The host tools the lab needs, installed from Debian when missing: clang-19,
# lld-19 and llvm-19 for the cross builds, qemu-system-x86 to boot the guest,
# dpkg-dev for apt-get source, autoconf, automake and libtool (Debian's
# libffi source has no generated configure).
. "$(dirname "$0")/common.sh"
need=""
for p in clang-19 lld-19 llvm-19 qemu-system-x86 dpkg-dev xz-utils autoconf automake libtool libltdl-dev make; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || need="$need $p"
done
[ -z "$need" ] && exit 0
lab_say "installing$need"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $need >/dev/null
