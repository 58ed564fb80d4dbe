"""CPU and memory figures for machine descriptions.

    {"sysctl": {"kern.cp_time": cp_time(user=128, idle=640),
                "kern.cp_times": cp_times(cp_time(...), cp_time(...)),
                "kern.boottime": timeval(100, 999),
                "kern.clockrate": clockinfo(stathz=128),   # None: no such node
                "vm.vmtotal": vmtotal(t_vmshr=3, t_rmshr=5)},
     "swap": [swapdev("ada0p3", nblks=1056, used=10)],
     "compat_freebsd11": False}   # a kernel without COMPAT_FREEBSD11

    {"sysctl": cpus({0: cp_time(...), 1: cp_time(...), 3: cp_time(...)})}
                                  # CPU ids 0, 1 and 3 present, 2 absent
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


def cpus(records):
    """hw.ncpu, kern.cp_times and kern.cp_time of a machine whose present CPUs
    have the ids of `records` ({id: cp_time record}), maybe with gaps: the
    kernel answers a record for every id up to the highest, zeros for an id
    no CPU has, and hw.ncpu counts the CPUs present."""
    top = max(records)
    zero = cp_time()
    per_id = [records.get(i, zero) for i in range(top + 1)]
    total = [sum(int.from_bytes(r[k * 8:k * 8 + 8], "little", signed=True) for r in per_id)
             for k in range(5)]
    return {"hw.ncpu": len(records).to_bytes(4, "little"),
            "kern.cp_times": cp_times(*per_id),
            "kern.cp_time": cp_time(*total)}


def clockinfo(hz=1000, tick=None, spare=0, stathz=127, profhz=None):
    """kern.clockrate: the kernel's clock rates. The CPU state counters tick
    at stathz, 127 a second on the usual event timers; tick is the length of
    an hz tick in microseconds and profhz 64 times stathz unless given."""
    if tick is None:
        tick = 1000000 // hz if hz else 0
    if profhz is None:
        profhz = stathz * 64
    return pack("clockinfo", {"hz": hz, "tick": tick, "spare": spare, "stathz": stathz,
                              "profhz": profhz})


def timeval(sec, usec=0):
    return pack("timeval", {"tv_sec": sec, "tv_usec": usec})


def vmtotal(**fields):
    return pack("vmtotal", fields)


def swapdev(name, nblks, used, flags=0, dev=None):
    """A swap device as the kernel exports it: its size in pages (libkvm
    reports vm.dmmax pages less) and the pages in use. dev=-1 is NODEV (swap
    over NFS); by default each device gets a number of its own."""
    d = {"name": name, "nblks": nblks, "used": used, "flags": flags}
    if dev is not None:
        d["dev"] = dev
    return d
