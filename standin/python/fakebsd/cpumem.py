"""CPU and memory figures for machine descriptions.

    {"sysctl": {"kern.cp_time": cp_time(user=128, idle=640),
                "kern.cp_times": cp_times(cp_time(...), cp_time(...)),
                "kern.boottime": timeval(100, 999),
                "vm.vmtotal": vmtotal(t_vmshr=3, t_rmshr=5)},
     "swap": [swapdev("ada0p3", total=1024, used=10)],
     "heap": {"allocated": 1000, "mapped": 4096}}
"""

from _fakebsd import pack


def cp_time(user=0, nice=0, sys=0, intr=0, idle=0):
    """One CPU's tick counters, in the kernel's order (user, nice, sys, intr, idle)."""
    return b"".join(int(v).to_bytes(8, "little", signed=True)
                    for v in (user, nice, sys, intr, idle))


def cp_times(*records):
    """kern.cp_times: one cp_time record per CPU, CPU 0 first."""
    return b"".join(records)


def timeval(sec, usec=0):
    return pack("timeval", {"tv_sec": sec, "tv_usec": usec})


def vmtotal(**fields):
    return pack("vmtotal", fields)


def swapdev(name, total, used, flags=0):
    return {"name": name, "total": total, "used": used, "flags": flags}
