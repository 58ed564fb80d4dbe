"""A short report of the machine, made through _morvex_bsd's own functions.

Off FreeBSD the module runs on its stand-in platform, so this describes the
stand-in's built-in default machine.
"""

import sys

import _morvex_bsd as m


def section(title):
    print()
    print(title)
    print("-" * len(title))


def line(label, value):
    print(f"  {label:<22} {value}")


def attempt(fn, *args):
    """Call a module function; report its exception instead of stopping."""
    try:
        return fn(*args)
    except (OSError, RuntimeError, NotImplementedError) as e:
        return f"({type(e).__name__}: {e})"


def has(*names):
    return all(hasattr(m, n) for n in names)


def frame():
    section("Module")
    line("version", m.version)
    line("GIL enabled", sys._is_gil_enabled())
    line("page size", f"{m.getpagesize()} bytes")
    line("AF_LINK", m.AF_LINK)
    line("RLIM_INFINITY", m.RLIM_INFINITY)
    line("no-TCP-state status", m.MORVEX_CONN_NONE)


def connections():
    section("Connections")
    if not has("net_connections", "proc_net_connections"):
        return
    unix, inet, inet6, stream, dgram = 1, 2, 28, 1, 2  # FreeBSD's values
    states = {getattr(m, n): n[5:] for n in dir(m) if n.startswith("TCPS_")}
    states[m.MORVEX_CONN_NONE] = ""
    entries = attempt(m.net_connections, [unix, inet, inet6], [stream, dgram])
    if isinstance(entries, str):
        line("sockets", entries)
        return

    def where(a):
        if isinstance(a, str) or not a:
            return a or "-"
        return f"[{a[0]}]:{a[1]}" if ":" in a[0] else f"{a[0]}:{a[1]}"

    print(f"  {'proto':<6} {'local':<26} {'remote':<26} {'state':<12} {'pid':>5} {'fd':>3}")
    for fd, fam, typ, laddr, raddr, status, pid in entries:
        proto = ("unix" if fam == unix else "tcp" if typ == stream else "udp") + ("6" if fam == inet6 else "")
        print(f"  {proto:<6} {where(laddr):<26} {where(raddr):<26} {states.get(status, status):<12} {pid:>5} {fd:>3}")
    for pid in (802, 1310):
        mine = attempt(m.proc_net_connections, pid, [unix, inet, inet6], [stream, dgram])
        line(f"pid {pid}", mine if isinstance(mine, str) else
             ", ".join(f"fd {e[0]} {where(e[3])} {states.get(e[5], e[5])}".rstrip() for e in mine))


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = []
PARTS.append(connections)

if __name__ == "__main__":
    main()
