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


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


def interfaces():
    section("Network interfaces")
    if not has("net_if_addrs", "net_if_flags", "net_if_mtu", "net_if_duplex_speed",
               "net_io_counters"):
        line("(not available)", "")
        return
    families = {2: "inet", 28: "inet6", m.AF_LINK: "link"}
    addrs = attempt(m.net_if_addrs)
    counters = attempt(m.net_io_counters)
    addr_list = addrs if isinstance(addrs, list) else []
    io_map = counters if isinstance(counters, dict) else {}
    names = list(dict.fromkeys([a[0] for a in addr_list] + list(io_map)))
    duplex_names = {0: "unknown", 1: "half", 2: "full"}
    for name in names:
        print(f"  {name}")
        flags = attempt(m.net_if_flags, name)
        line("  flags", ",".join(flags) if isinstance(flags, list) else flags)
        line("  running", attempt(m.net_if_is_running, name))
        line("  MTU", attempt(m.net_if_mtu, name))
        ds = attempt(m.net_if_duplex_speed, name)
        if isinstance(ds, list):
            ds = f"{ds[1]} Mbit/s, {duplex_names.get(ds[0], ds[0])} duplex" if ds[1] else "unknown"
        line("  speed", ds)
        for _, fam, address, netmask, broadcast, ptp in (a for a in addr_list if a[0] == name):
            text = address + (f" netmask {netmask}" if netmask else "")
            text += f" broadcast {broadcast}" if broadcast else ""
            text += f" peer {ptp}" if ptp else ""
            line(f"  {families.get(fam, fam)}", text)
        io = io_map.get(name)
        if io:
            line("  sent", f"{io[0]} bytes, {io[2]} packets, {io[5]} errors")
            line("  received", f"{io[1]} bytes, {io[3]} packets, {io[4]} errors, {io[6]} drops")
    if addrs is not addr_list:
        line("addresses", addrs)
    if counters is not io_map:
        line("counters", counters)


# Each capability adds its own section here.
PARTS = []
PARTS.append(interfaces)

if __name__ == "__main__":
    main()
