"""Stand-in FreeBSD platform for tests: build a simulated machine, install it
for the calling thread (or the whole process), inject faults, inspect calls.

A machine description is a dict; each capability group reads its own keys:

    sysctl   {name or MIB tuple: bytes or None}   plain sysctl nodes
    pagesize int
    procs    [ {pid, kinfo, threads, args, path, env, files, vmmap, cpuset,
                rlimits, nice, kill, listed} ]     the process table
    procs_changed [ {pid, ...} ]                   edits: only the given keys change
    procs_gone    [ pid ]                          processes taken out of the table
    faults   [ fault(...) ]                        injected failures
    busy_host {procs, sockets, cpus}               a generated busy host (load_busy.cpp)
    ...      further keys of the other groups (see their modules)

Records are bytes in FreeBSD's layout, made with pack(record, {field: value}).
Whole hosts by name: profile(name) for name in PROFILES (see profiles.py),
machine(profile=name).
"""

import contextlib
import types

from _fakebsd import (  # noqa: F401
    calls,
    clear_calls,
    fields,
    install,
    layout_asserts,
    pack,
    reset_global,
    resources,
    sizeof,
    sysctl_names,
    table_pids,
    uninstall,
    unpack,
)
from _fakebsd import constants as _constants

from .procs import kinfo, proc  # noqa: F401
from .sched import cpuset, rlimit, thread, vmentry  # noqa: F401
from .files import argv, fd_table, kinfo_file  # noqa: F401
from .cpumem import clockinfo, cp_time, cp_times, cpus, swapdev, timeval, vmtotal  # noqa: F401
from .disks import battery, bintime, devstat, statfs, temperatures, utmpx  # noqa: F401
from .ifs import iface, inet, inet6, sdl, sin, sin6  # noqa: F401
from .socks import Sockets  # noqa: F401
from .libc import strerror  # noqa: F401
from .profiles import NAMES as PROFILES, profile  # noqa: F401

_profile = profile

#: FreeBSD's constants as the stand-in defines them (C.AF_INET6 == 28, ...).
C = types.SimpleNamespace(**_constants())


def fault(call, key=None, *, errno=None, answers=None, answer=None, nth=1, times=None,
          report=None):
    """One injected fault.

    call     the platform call: "sysctl", "sysctlbyname", "kinfo_getfile", ...
    key      which invocations: a MIB tuple for sysctl, the name for
             sysctlbyname, a pid for per-process calls; None for all
    errno    fail with this errno (0: fail and leave errno alone)
    answers  raw answers instead of the machine's, one per invocation (the
             last repeats); answer= gives a single one
    nth      the first matching invocation it applies to (1-based)
    times    how many invocations it applies to (None: all from nth on)
    report   sysctl: the length to report back instead of the true one
    """
    f = {"call": call, "key": key, "nth": nth, "times": times, "errno": errno,
         "report": report}
    if answers is not None:
        f["answers"] = list(answers)
    if answer is not None:
        f["answer"] = answer
    return f


@contextlib.contextmanager
def machine(desc=None, base="default", profile=None, capture=None):
    """Install a machine for the calling thread for the duration of a block.

    base is "default" (the built-in machine, changed by desc), "empty" (only
    the nodes every machine has) or "current" (what this thread sees now,
    keeping its faults and counters). With profile (a name of PROFILES) the
    block starts from that host instead, and desc changes it. With capture
    (a file made by fakebsd.capture) the block replays that machine's
    recorded answers (see fakebsd.replay), and desc changes it.
    """
    if capture is not None:
        from . import replay
        install(replay.load(capture), "thread", "empty")
        if desc:
            install(desc, "thread", "current")
    elif profile is not None:
        install(_profile(profile), "thread", "default")
        if desc:
            install(desc, "thread", "current")
    else:
        install(desc, "thread", base)
    try:
        yield
    finally:
        uninstall()


def u32(v):
    return int(v).to_bytes(4, "little", signed=False)


def i32(v):
    return int(v).to_bytes(4, "little", signed=True)


def u64(v):
    return int(v).to_bytes(8, "little", signed=False)


def i64(v):
    return int(v).to_bytes(8, "little", signed=True)
