#!/bin/sh
# A jail for the real-kernel checks, with a root of its own (the lab's kernel
# has devfs but no nullfs, so what the interpreter and the base tools need is
# copied in), devfs with the default jail ruleset (4), and addresses of its
# own: IPv4 and IPv6 aliases on lo0 and an IPv4 alias on vtnet0.
#   sh jail.sh create [NAME [ROOT]]    prints the jail's id
#   sh jail.sh remove [NAME]
set -eu
CMD=${1:?usage: jail.sh create|remove [NAME [ROOT]]}
NAME=${2:-morvex}
ROOT=${3:-/jails/$NAME}
case $CMD in
create)
    if [ ! -d "$ROOT/morvex/python" ]; then
        mkdir -p "$ROOT"
        # the base system's programs and libraries, /etc (with the lab's users),
        # and the interpreter with the module and the suite, at the same paths
        tar -cf - -C / --exclude '*.a' \
            bin sbin lib libexec usr/bin usr/sbin usr/lib usr/libexec etc \
            morvex/python morvex/tests morvex/capture.py | tar -xpf - -C "$ROOT"
        mkdir -p "$ROOT/dev" "$ROOT/tmp" "$ROOT/var/run" "$ROOT/root"
        # the run-time linker's hints (ctypes.util.find_library reads them)
        cp /var/run/ld-elf.so.hints "$ROOT/var/run/"
        chmod 1777 "$ROOT/tmp"
    fi
    jail -c name="$NAME" path="$ROOT" host.hostname="$NAME.jail" \
        ip4.addr="lo0|127.0.1.1/32,vtnet0|10.0.2.16/24" \
        ip6.addr="lo0|fd00:1::1/128" \
        mount.devfs devfs_ruleset=4 enforce_statfs=2 persist >&2
    jls -j "$NAME" jid
    ;;
remove)
    jail -r "$NAME" >&2
    ;;
*)
    echo "jail.sh: unknown command $CMD" >&2; exit 2 ;;
esac
