"""Sweep of every module function over every machine profile.

On each profile every one of the 46 functions is called: the per-process
ones for every process of the profile's table (hidden ones and zombies
included), the per-CPU ones for every CPU id up to one past the highest, the
per-interface ones for every interface and one that does not exist. The
setters are called with the value just read back, so they change nothing.
Every answer must have the function's shape (types and tuple lengths), or be
one of the exceptions the function documents; no call may crash, and no
platform handle may be left open.

The large profile holds 10,000 processes. The suite sweeps a deterministic
sample of them (MORVEX_SWEEP_PROCS, default 60); `make check-sweep` sets
MORVEX_SWEEP_PROCS=all and sweeps every process. Two functions stay sampled
there: the setters (MORVEX_SWEEP_SETTERS processes, default 1, 30 in the
gate), because each write copies the whole half-gigabyte machine, and
proc_net_connections (every MORVEX_SWEEP_NET_EVERY-th process, default 3, 10
in the gate), because each call reads the whole 41 MB TCP list (about 40 ms):
all 10,000 take several minutes (`make check-sweep SWEEP_NET_EVERY=1`).
"""

import os
import time
from collections import Counter

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import answers

ALL = os.environ.get("MORVEX_SWEEP_PROCS", "60") == "all"
SAMPLE = 0 if ALL else int(os.environ.get("MORVEX_SWEEP_PROCS", "60"))
SETTERS = int(os.environ.get("MORVEX_SWEEP_SETTERS", "1"))
NET_EVERY = int(os.environ.get("MORVEX_SWEEP_NET_EVERY", "3"))
FAMILIES, TYPES = [1, 2, 28], [1, 2, 5]
RLIMITS = sorted(getattr(m, n) for n in dir(m) if n.startswith("RLIMIT_"))
NO_SUCH_IFACE = "nosuch0"


# ---- shapes ------------------------------------------------------------------

def exact(t):
    return lambda v: type(v) is t


I, F, S, B = exact(int), exact(float), exact(str), exact(bool)


def none(v):
    return v is None


def either(*checks):
    return lambda v: any(c(v) for c in checks)


def tup(*checks):
    return lambda v: type(v) is tuple and len(v) == len(checks) and all(c(x) for c, x in zip(checks, v))


def listof(check):
    return lambda v: type(v) is list and all(check(x) for x in v)


def dictof(key, value):
    return lambda v: type(v) is dict and all(key(k) and value(x) for k, x in v.items())


def nonneg(v):
    return type(v) is int and v >= 0


ADDR = tup(S, I)


def conn(with_pid):
    def check(v):
        n = 7 if with_pid else 6
        if type(v) is not tuple or len(v) != n or not all(I(x) for x in (v[0], v[1], v[2], v[5])):
            return False
        if with_pid and not I(v[6]):
            return False
        if v[1] == 1:  # UNIX: path and ""
            return S(v[3]) and v[4] == ""
        return ADDR(v[3]) and (ADDR(v[4]) or v[4] == ())
    return check


ONESHOT = tup(*([I] * 9 + [F] + [I] * 4 + [F] * 4 + [I] * 6 + [either(S, none)]))
CPU_TIMES = tup(F, F, F, F, F)

# What each function returns, and the exceptions it documents: OSError covers
# its subclasses (ProcessLookupError, PermissionError, ...).
OS, RT, NI = OSError, RuntimeError, NotImplementedError
ZOMBIE = m.ZombieProcessError
SHAPES = {
    # per process
    "proc_oneshot_info": (ONESHOT, (OS, RT)),
    "proc_name": (S, (OS, RT)),
    "proc_num_threads": (nonneg, (OS, RT)),
    "proc_is_zombie": (B, ()),
    "proc_cmdline": (listof(S), (OS, RT)),
    "proc_environ": (dictof(S, S), (OS, RT)),
    "proc_exe": (S, (OS, RT)),
    "proc_cwd": (S, (OS, RT, ZOMBIE)),
    "proc_num_fds": (nonneg, (OS, RT, ZOMBIE)),
    "proc_open_files": (listof(tup(S, I)), (OS, RT, ZOMBIE)),
    "proc_threads": (listof(tup(I, F, F)), (OS, RT)),
    "proc_memory_maps": (listof(tup(S, S, S, I, I, I, I)), (OS, RT, ZOMBIE)),
    "proc_cpu_affinity_get": (listof(nonneg), (OS,)),
    "proc_cpu_affinity_set": (none, (OS,)),
    "proc_getrlimit": (tup(I, I), (OS, RT)),
    "proc_setrlimit": (none, (OS,)),
    "proc_priority_get": (I, (OS,)),
    "proc_priority_set": (none, (OS,)),
    "proc_net_connections": (listof(conn(False)), (OS, RT, ZOMBIE)),
    "check_pid_range": (none, ()),
    # system
    "pids": (listof(nonneg), (OS, RT)),
    "cpu_count_logical": (either(I, none), ()),
    "cpu_times": (CPU_TIMES, (OS, RT)),
    "per_cpu_times": (listof(CPU_TIMES), (OS, RT)),
    "cpu_stats": (tup(*[nonneg] * 5), (OS, RT)),
    "cpu_freq": (tup(I, S), (NI, OS)),
    "cpu_topology": (either(S, none), ()),
    "boot_time": (F, (OS, RT)),
    "virtual_mem": (tup(*[nonneg] * 8), (OS, RT)),
    "swap_mem": (tup(*[nonneg] * 5), (OS, RT)),
    "heap_info": (tup(nonneg, nonneg), (OS,)),
    "heap_trim": (none, (OS,)),
    "getpagesize": (nonneg, (OS, RT)),
    "disk_partitions": (listof(tup(S, S, S, S)), (OS,)),
    "disk_io_counters": (dictof(S, tup(*[nonneg] * 7)), (RT,)),
    "sensors_battery": (tup(I, I, I), (NI, OS)),
    "sensors_cpu_temperature": (tup(I, I), (NI, OS)),
    "users": (listof(tup(S, S, S, F, I)), ()),
    "net_connections": (listof(conn(True)), (OS, RT)),
    "net_io_counters": (dictof(S, tup(*[nonneg] * 8)), (OS, RT)),
    "net_if_addrs": (listof(tup(S, I, S, either(S, none), either(S, none), either(S, none))),
                     (OS,)),
    "net_if_mtu": (I, (OS,)),
    "net_if_flags": (listof(S), (OS,)),
    "net_if_is_running": (B, (OS,)),
    "net_if_duplex_speed": (listof(I), (OS,)),
    "set_debug": (none, ()),
}


def test_every_function_has_a_shape():
    """The table above covers the module's 46 functions, no more."""
    functions = {n for n in dir(m) if callable(getattr(m, n)) and not n[0].isupper()
                 and n != "ZombieProcessError"}
    assert set(SHAPES) == functions
    assert len(SHAPES) == 46


# ---- the sweep -----------------------------------------------------------------

class Sweep:
    def __init__(self):
        self.outcomes = Counter()   # (function, "ok" or exception name) -> calls
        self.wrong = []             # (function, args, what came back)
        self.calls = 0

    def call(self, name, *args):
        shape, documented = SHAPES[name]
        self.calls += 1
        try:
            result = getattr(m, name)(*args)
        except documented as e:
            self.outcomes[name, type(e).__name__] += 1
            return None
        except Exception as e:  # noqa: BLE001 - an undocumented exception is the finding
            self.wrong.append((name, args, repr(e)))
            return None
        if not shape(result):
            self.wrong.append((name, args, repr(result)[:300]))
            return None
        self.outcomes[name, "ok"] += 1
        return result


def sample(pids, n):
    """The first processes of the table (kernel, daemons, servers), the last
    ones (zombies among them) and an even spread of the rest."""
    if n <= 0 or len(pids) <= n:
        return list(pids)
    nhead, ntail = max(1, n // 3), n // 6
    head, middle, tail = pids[:nhead], pids[nhead:len(pids) - ntail], pids[len(pids) - ntail:]
    rest = n - nhead - ntail
    step = max(1, len(middle) // max(1, rest))
    return head + middle[::step][:rest] + tail


def sweep_process(s, pid, setters, net):
    for name in ("proc_oneshot_info", "proc_name", "proc_num_threads", "proc_is_zombie",
                 "proc_cmdline", "proc_environ", "proc_exe", "proc_cwd", "proc_num_fds",
                 "proc_open_files", "proc_threads", "proc_memory_maps", "check_pid_range"):
        s.call(name, pid)
    if net:
        s.call("proc_net_connections", pid, FAMILIES, TYPES)
    cpus = s.call("proc_cpu_affinity_get", pid)
    nice = s.call("proc_priority_get", pid)
    limits = {r: s.call("proc_getrlimit", pid, r) for r in RLIMITS}
    if setters:
        # Back what was read; where the read failed, a value the process
        # could have had (the write is refused anyway).
        s.call("proc_cpu_affinity_set", pid, cpus if cpus is not None else [0])
        s.call("proc_priority_set", pid, nice if nice is not None else 0)
        r = RLIMITS[pid % len(RLIMITS)]
        soft, hard = limits[r] if limits[r] is not None else (m.RLIM_INFINITY, m.RLIM_INFINITY)
        s.call("proc_setrlimit", pid, r, soft, hard)


def sweep_system(s):
    for name in ("pids", "cpu_count_logical", "cpu_times", "per_cpu_times", "cpu_stats",
                 "cpu_topology", "boot_time", "virtual_mem", "swap_mem", "heap_info", "heap_trim",
                 "getpagesize", "disk_partitions", "disk_io_counters", "sensors_battery", "users",
                 "net_io_counters"):
        s.call(name)
    s.call("set_debug", False)
    s.call("net_connections", FAMILIES, TYPES)
    # Every CPU id the kernel has a slot for, and one past the last.
    slots = len(answers.sysctlbyname("kern.cp_times")) // 40
    for cpu in range(slots + 1):
        s.call("cpu_freq", cpu)
        s.call("sensors_cpu_temperature", cpu)
    addrs = s.call("net_if_addrs") or []
    io = s.call("net_io_counters") or {}
    for name in sorted({a[0] for a in addrs} | set(io)) + [NO_SUCH_IFACE]:
        for fn in ("net_if_mtu", "net_if_flags", "net_if_is_running", "net_if_duplex_speed"):
            s.call(fn, name)


def open_handles():
    return {k: v for k, v in fakebsd.resources().items() if v}


def run_sweep(profile):
    s = Sweep()
    with fakebsd.machine(profile=profile):
        table = fakebsd.table_pids()
        pids = table if ALL else sample(table, SAMPLE)
        write, net = set(pids), set(pids)
        if profile == "large":
            write, net = set(sample(pids, SETTERS)), set(pids[::NET_EVERY])
        sweep_system(s)
        assert not open_handles()
        for pid in pids:
            sweep_process(s, pid, pid in write, pid in net)
            left = open_handles()
            assert not left, f"pid {pid}: handles left open: {left}"
        s.procs = len(pids)
    return s


# The large machine is half a gigabyte: one copy at a time.
@pytest.mark.parametrize("profile", [
    p if p != "large" else pytest.param(p, marks=pytest.mark.thread_unsafe(
        reason="a 10,000-process machine per thread is too much memory"))
    for p in fakebsd.PROFILES])
def test_sweep(profile):
    start = time.perf_counter()
    s = run_sweep(profile)
    took = time.perf_counter() - start
    assert not s.wrong, "\n".join(f"{n}{a}: {r}" for n, a, r in s.wrong[:20])
    print(f"\n{profile}: {s.procs} processes, {s.calls} calls, {took:.2f}s")
    assert {name for name, _ in s.outcomes} == set(SHAPES)  # every function was called