"""A process caught in execve(): FreeBSD's p_candebug refuses every read it
guards (descriptor table, memory map, environment, limit writes) with EBUSY
until the new image is in place. The module reads again after short pauses
(1, 2, 4, 8 ms); a process still in exec after that is refused as a read
the caller may not make now (the forced permission-denied OSError), which a
caller walking every process already handles."""

import errno
import time

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, pack, unpack

PID = 1310  # alice's python3.13 on the default machine
GUARDED = [
    ("proc_environ", ()),
    ("proc_cwd", ()),
    ("proc_num_fds", ()),
    ("proc_open_files", ()),
    ("proc_memory_maps", ()),
    ("proc_net_connections", ([2, 28, 1], [1, 2])),
    ("proc_setrlimit", (m.RLIMIT_CORE, 0, 0)),
]
# What the module reads p_candebug's nodes through, one call per attempt.
READS = {"proc_environ": "kvm_getenvv", "proc_memory_maps": "kinfo_getvmmap",
         "proc_setrlimit": "sysctl"}


def in_exec(busy=None):
    """The default machine with PID in execve(): P_INEXEC in its record, busy
    for `busy` guarded reads (None: for ever)."""
    with fakebsd.machine():
        record = unpack("kinfo_proc", answers.sysctl((1, 14, 1, PID)))
    record["ki_flag"] |= C.P_INEXEC
    changed = {"pid": PID, "kinfo": pack("kinfo_proc", record)}
    if busy is not None:
        changed["exec_busy"] = busy
    return {"procs_changed": [changed]}


def attempts(name):
    call = READS.get(name, "kinfo_getfile")
    log = fakebsd.calls()
    if call == "sysctl":
        return sum(1 for c, k in log if c == "sysctl" and k.startswith(f"1.14.{C.KERN_PROC_RLIMIT}."))
    return sum(1 for c, _ in log if c == call)


@pytest.mark.parametrize("name,args", GUARDED, ids=[g[0] for g in GUARDED])
def test_still_in_exec_after_the_retries(machine, no_leaks, name, args):
    machine(in_exec())
    start = time.monotonic()
    with pytest.raises(PermissionError) as e:
        getattr(m, name)(PID, *args)
    assert time.monotonic() - start < 1.0
    assert e.value.errno == errno.EACCES
    assert "EBUSY (process in exec)" in e.value.strerror
    assert attempts(name) == 5


@pytest.mark.parametrize("name,args", GUARDED, ids=[g[0] for g in GUARDED])
def test_exec_over_during_the_retries(machine, no_leaks, name, args):
    machine()
    want = getattr(m, name)(PID, *args)
    # Busy for two reads: each failed attempt stops at its first read, the
    # third answers.
    machine(in_exec(busy=2))
    assert getattr(m, name)(PID, *args) == want
    assert attempts(name) == 3


def test_reads_that_need_no_debugging_answer_at_once(machine, no_leaks):
    machine(in_exec())
    for name in ("proc_name", "proc_oneshot_info", "proc_cmdline", "proc_exe", "proc_threads",
                 "proc_cpu_affinity_get", "proc_priority_get"):
        getattr(m, name)(PID)
    m.proc_getrlimit(PID, m.RLIMIT_CORE)
    assert PID in m.pids()
