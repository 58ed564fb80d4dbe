"""Every one of the module's 46 functions, called as a caller would, and the
outcome of each call reduced to a word: "ok" when it answered with the shape
its definition gives, else the exception's class and errno name. Shared by
the jail, hidden-user, churn and descriptor-exhaustion checks (and by
probe.py, which runs in a jail or as another user).
"""

import errno
import os

FAMILIES = [2, 28, 1]
TYPES = [1, 2]

# The per-process readers, their argument lists after the pid.
READERS = [
    ("proc_oneshot_info", ()), ("proc_name", ()), ("proc_num_threads", ()),
    ("proc_is_zombie", ()), ("proc_cmdline", ()), ("proc_environ", ()), ("proc_exe", ()),
    ("proc_cwd", ()), ("proc_num_fds", ()), ("proc_open_files", ()), ("proc_threads", ()),
    ("proc_memory_maps", ()), ("proc_cpu_affinity_get", ()), ("proc_getrlimit", ("RLIMIT_NOFILE",)),
    ("proc_priority_get", ()), ("proc_net_connections", (FAMILIES, TYPES)), ("check_pid_range", ()),
]
SETTERS = ["proc_cpu_affinity_set", "proc_setrlimit", "proc_priority_set"]

# The system-wide functions with the arguments they are called with.
SYSTEM = [
    ("pids", ()), ("cpu_count_logical", ()), ("cpu_times", ()), ("per_cpu_times", ()),
    ("cpu_stats", ()), ("cpu_freq", (0,)), ("cpu_topology", ()), ("boot_time", ()),
    ("virtual_mem", ()), ("swap_mem", ()), ("heap_info", ()), ("heap_trim", ()),
    ("getpagesize", ()), ("disk_partitions", ()), ("disk_io_counters", ()),
    ("sensors_battery", ()), ("sensors_cpu_temperature", (0,)), ("users", ()),
    ("net_connections", (FAMILIES, TYPES)), ("net_io_counters", ()), ("net_if_addrs", ()),
    ("net_if_mtu", ("lo0",)), ("net_if_flags", ("lo0",)), ("net_if_is_running", ("lo0",)),
    ("net_if_duplex_speed", ("lo0",)), ("set_debug", (False,)),
]
ALL_NAMES = [n for n, _ in READERS] + SETTERS + [n for n, _ in SYSTEM]
assert len(set(ALL_NAMES)) == 46


def _args(m, extra):
    return tuple(getattr(m, a) if isinstance(a, str) and a.startswith("RLIMIT_") else a
                 for a in extra)


def reader_calls(m, pid):
    return [(name, (pid,) + _args(m, extra)) for name, extra in READERS]


def setter_calls(m, pid, current=None):
    """The setters with values that change nothing: what the getters answer
    for the process (from `current` when the caller has them), harmless
    defaults where they are refused."""
    current = dict(current or {})

    def read(name, *args):
        if name not in current:
            try:
                current[name] = getattr(m, name)(pid, *args)
            except OSError:
                current[name] = None
        return current[name]

    aff = read("proc_cpu_affinity_get")
    if not isinstance(aff, list) or not aff:
        aff = list(range(os.cpu_count() or 1))
    lim = read("proc_getrlimit_core") if "proc_getrlimit_core" in current else None
    if lim is None:
        try:
            lim = m.proc_getrlimit(pid, m.RLIMIT_CORE)
        except OSError:
            lim = (0, 0)
    prio = read("proc_priority_get")
    if not isinstance(prio, int):
        prio = 0
    return [("proc_cpu_affinity_set", (pid, aff)),
            ("proc_setrlimit", (pid, m.RLIMIT_CORE, lim[0], lim[1])),
            ("proc_priority_set", (pid, prio))]


def system_calls(m):
    return [(name, _args(m, extra)) for name, extra in SYSTEM]


# -- shapes -------------------------------------------------------------------

def _is(t):
    return lambda x: isinstance(x, t)


def _list_of(check):
    return lambda x: isinstance(x, list) and all(check(v) for v in x)


def _tuple(n, *types):
    def check(x):
        if not isinstance(x, tuple) or len(x) != n:
            return False
        return all(isinstance(v, t) for v, t in zip(x, types)) if types else True
    return check


_INT = int
_NUM = (int, float)
_STR_OR_NONE = (str, type(None))
_ADDR = lambda a: a == () or (isinstance(a, tuple) and len(a) == 2  # noqa: E731
                              and isinstance(a[0], str) and isinstance(a[1], int)) or isinstance(a, str)

SHAPES = {
    "pids": _list_of(_is(int)),
    "proc_oneshot_info": _tuple(25),
    "proc_name": _is(str),
    "proc_num_threads": _is(int),
    "proc_is_zombie": _is(bool),
    "proc_cmdline": _list_of(_is(str)),
    "proc_environ": lambda x: isinstance(x, dict) and all(
        isinstance(k, str) and isinstance(v, str) for k, v in x.items()),
    "proc_exe": _is(str),
    "proc_cwd": _is(str),
    "proc_num_fds": _is(int),
    "proc_open_files": _list_of(_tuple(2, str, int)),
    "proc_threads": _list_of(_tuple(3, int, float, float)),
    "proc_memory_maps": _list_of(_tuple(7, str, str, str, int, int, int, int)),
    "proc_cpu_affinity_get": _list_of(_is(int)),
    "proc_cpu_affinity_set": lambda x: x is None,
    "proc_getrlimit": _tuple(2, int, int),
    "proc_setrlimit": lambda x: x is None,
    "proc_priority_get": _is(int),
    "proc_priority_set": lambda x: x is None,
    "proc_net_connections": _list_of(lambda c: isinstance(c, tuple) and len(c) == 6
                                     and _ADDR(c[3]) and _ADDR(c[4])),
    "check_pid_range": lambda x: x is None,
    "cpu_count_logical": lambda x: x is None or isinstance(x, int),
    "cpu_times": _tuple(5, *[_NUM] * 5),
    "per_cpu_times": _list_of(_tuple(5, *[_NUM] * 5)),
    "cpu_stats": _tuple(5, *[_INT] * 5),
    "cpu_freq": _tuple(2, int, str),
    "cpu_topology": _is(_STR_OR_NONE),
    "boot_time": _is(float),
    "virtual_mem": _tuple(8, *[_INT] * 8),
    "swap_mem": _tuple(5, *[_INT] * 5),
    "heap_info": _tuple(2, int, int),
    "heap_trim": lambda x: x is None,
    "getpagesize": _is(int),
    "disk_partitions": _list_of(_tuple(4, str, str, str, str)),
    "disk_io_counters": lambda x: isinstance(x, dict) and all(
        _tuple(7, *[_INT] * 7)(v) for v in x.values()),
    "sensors_battery": _tuple(3),
    "sensors_cpu_temperature": _tuple(2, int, int),
    "users": _list_of(_tuple(5, str, str, str, float, int)),
    "net_connections": _list_of(lambda c: isinstance(c, tuple) and len(c) == 7
                                and _ADDR(c[3]) and _ADDR(c[4]) and isinstance(c[6], int)),
    "net_io_counters": lambda x: isinstance(x, dict) and all(
        _tuple(8, *[_INT] * 8)(v) for v in x.values()),
    "net_if_addrs": _list_of(lambda a: isinstance(a, tuple) and len(a) == 6),
    "net_if_mtu": _is(int),
    "net_if_flags": _list_of(_is(str)),
    "net_if_is_running": _is(bool),
    "net_if_duplex_speed": lambda x: isinstance(x, (list, tuple)) and len(x) == 2,
    "set_debug": lambda x: x is None,
}
assert set(SHAPES) == set(ALL_NAMES)


def outcome(name, fn, args):
    """(word, answer): "ok" with the answer, "badshape" when it answered
    with another shape, else "Class(ERRNO)" / "Class" with the exception."""
    try:
        got = fn(*args)
    except OSError as e:
        code = errno.errorcode.get(e.errno, str(e.errno))
        return f"{type(e).__name__}({code})", e
    except Exception as e:  # noqa: BLE001 - every other exception is reported as such
        return type(e).__name__, e
    return ("ok" if SHAPES[name](got) else "badshape"), got


# What each function may raise besides answering, as FreeBSD's answers call
# for: a process that is gone, hidden or exiting (ESRCH), one the caller may
# not debug or schedule (EPERM, and EACCES where libkvm's text is mapped to
# it), no such interface (ENXIO) and so on. Anything else is a fault.
# (EACCES: the forced permission-denied OSError, raised for the environment
# libkvm may not read and for a process that stays in execve() through the
# reads' retries)
PER_PROCESS_ERRORS = {"ProcessLookupError(ESRCH)", "PermissionError(EPERM)", "PermissionError(EACCES)"}
ALLOWED = {name: {"ok"} | PER_PROCESS_ERRORS for name, _ in READERS}
ALLOWED.update({name: {"ok"} | PER_PROCESS_ERRORS for name in SETTERS})
ALLOWED.update({name: {"ok"} for name, _ in SYSTEM})
ALLOWED["proc_environ"] |= {"PermissionError(EACCES)"}
# not on an emulated CPU / a guest without a battery
for _n in ("cpu_freq", "sensors_cpu_temperature", "sensors_battery"):
    ALLOWED[_n] |= {"NotImplementedError", "FileNotFoundError(ENOENT)"}
ALLOWED["net_if_duplex_speed"] |= {"OSError(EOPNOTSUPP)", "OSError(EINVAL)"}
