#!/bin/sh
# A jail for the real-kernel checks, with a root of its own (the lab's kernel
# has devfs but no nullfs, so what the interpreter and the base tools need is
# copied in), devfs with the default jail ruleset (4), and addresses of its
# own: IPv4 and IPv6 aliases on lo0 and an IPv4 alias on vtnet0.
#   sh jail.sh populate ROOT [FROM]   the jail's root: FROM's (default /)
#                                     base system, /etc and interpreter
#                                     (create also copies /morvex/venv)
#   sh jail.sh create [NAME [ROOT]]   prints the jail's id; populates ROOT
#                                     first when it has no interpreter
#   sh jail.sh remove [NAME]
# The lab's image.sh runs `populate` at image time (tests/real/image-hook.sh)
# into /morvex/jail, which is then the default root: copying it inside the
# emulated guest takes more than a minute.
set -eu
CMD=${1:?usage: jail.sh populate|create|remove ...}
populate() {
    mkdir -p "$1"
    # the base system's programs and libraries, /etc (with the lab's users),
    # the run-time linker's hints (ctypes.util.find_library reads them) and
    # the interpreter with the module and the suite, at the same paths
    (cd "$2" && tar -cf - --exclude '*.a' --exclude '*.opt-1.pyc' --exclude '*.opt-2.pyc' \
        --exclude 'morvex/python/lib/python3*/idlelib' --exclude 'morvex/python/lib/python3*/tkinter' \
        --exclude 'morvex/python/lib/python3*/ensurepip' --exclude 'morvex/python/lib/python3*/config-*' \
        bin sbin lib libexec usr/bin usr/lib etc morvex/python morvex/tests morvex/capture.py \
        $( [ -f var/run/ld-elf.so.hints ] && echo var/run/ld-elf.so.hints )) | tar -xpf - -C "$1"
    mkdir -p "$1/dev" "$1/tmp" "$1/var/run" "$1/root"
    chmod 1777 "$1/tmp"
}
case $CMD in
populate)
    populate "${2:?usage: jail.sh populate ROOT [FROM]}" "${3:-/}"
    ;;
create)
    NAME=${2:-morvex}
    ROOT=${3:-/jails/$NAME}
    [ -d "$ROOT/morvex/python" ] || populate "$ROOT" /
    # the hints of the running system (made at boot)
    cp /var/run/ld-elf.so.hints "$ROOT/var/run/"
    # the virtual environment the project was installed into at boot, at the
    # same path (its interpreter links to /morvex/python, which the jail has)
    if [ -d /morvex/venv ]; then
        rm -rf "$ROOT/morvex/venv"
        cp -a /morvex/venv "$ROOT/morvex/"
    fi
    # children.max=1: the scene run inside it may make a jail of its own (on
    # 15, for a jail descriptor)
    jail -c name="$NAME" path="$ROOT" host.hostname="$NAME.jail" \
        ip4.addr="lo0|127.0.1.1/32,vtnet0|10.0.2.16/24" \
        ip6.addr="lo0|fd00:1::1/128" \
        mount.devfs devfs_ruleset=4 enforce_statfs=2 children.max=1 persist >&2
    jls -j "$NAME" jid
    ;;
remove)
    jail -r "${2:-morvex}" >&2
    ;;
*)
    echo "jail.sh: unknown command $CMD" >&2; exit 2 ;;
esac
