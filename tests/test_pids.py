"""The process table: every PID, in the kernel's order."""

import ctypes
import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import answers, fault, kinfo, proc

TABLE = (1, 14, 8, 0)  # {CTL_KERN, KERN_PROC, KERN_PROC_PROC, 0}
RECORD = 1088

PYLIB = ctypes.PyDLL(m.__file__, use_errno=True)
PYLIB._morvex_pids.restype = ctypes.c_int
PYLIB._morvex_pids.argtypes = [ctypes.POINTER(ctypes.POINTER(ctypes.c_int)),
                               ctypes.POINTER(ctypes.c_int)]
LIBC = ctypes.CDLL(None)
LIBC.free.argtypes = [ctypes.c_void_p]


def records(*pids):
    return b"".join(kinfo(p, comm=b"p%d" % p) for p in pids)


def answer(raw):
    """A machine whose process table the kernel answers with `raw`."""
    return {"procs": [proc(1)], "faults": [fault("sysctl", TABLE, answer=raw)]}


def kernel_order():
    """The PIDs of the machine's kern.proc.proc answer, in its order."""
    raw = answers.sysctl(TABLE)
    off = next(f[1] for f in fakebsd.fields("kinfo_proc") if f[0] == "ki_pid")
    return [int.from_bytes(raw[i + off:i + off + 4], "little", signed=True)
            for i in range(0, len(raw) - RECORD + 1, RECORD)]


def table_calls():
    log = [k for c, k in fakebsd.calls() if c == "sysctl" and k.startswith("1.14.8.0")]
    return sum(k.endswith("(measure)") for k in log), sum(not k.endswith("(measure)") for k in log)


def internal_pids():
    """_morvex_pids through its C interface: (result, pids, exception). The
    out-parameters start with garbage, to see what the call leaves in them."""
    junk = (ctypes.c_int * 1)(-7)
    out = ctypes.POINTER(ctypes.c_int)(junk)
    count = ctypes.c_int(-7)
    try:
        r = PYLIB._morvex_pids(ctypes.byref(out), ctypes.byref(count))
    except Exception as e:
        assert not out and count.value == 0, "out-parameters touched on failure"
        return None, None, e
    try:
        return r, [out[i] for i in range(count.value)], None
    finally:
        LIBC.free(ctypes.cast(out, ctypes.c_void_p))


@pytest.mark.parametrize("pids", [
    [1],
    [0, 1, 2, 11],            # PID 0 is the kernel's own entry: kept
    [900, 5, 77, 5, 0, 1],    # kernel order, duplicates and all: nothing sorted
])
def test_whole_records(machine, pids):
    machine(answer(records(*pids)))
    assert m.pids() == pids
    assert internal_pids() == (0, pids, None)


@pytest.mark.parametrize("tail", [1, 4, RECORD // 2, RECORD - 1])
def test_trailing_partial_record_ignored(machine, tail):
    raw = records(3, 1, 2) + kinfo(99)[:tail]
    machine(answer(raw))
    assert m.pids() == [3, 1, 2]


@pytest.mark.parametrize("raw", [b"", b"\x01", kinfo(5)[:RECORD - 1]])
def test_no_whole_record(machine, raw):
    machine(answer(raw))
    with pytest.raises(RuntimeError) as e:
        m.pids()
    assert str(e.value) == "no PIDs found" and type(e.value) is RuntimeError
    # The empty answer is refused inside; a short one is an empty success there.
    r, pids, exc = internal_pids()
    if raw:
        assert (r, pids, exc) == (0, [], None)
    else:
        assert type(exc) is RuntimeError and str(exc) == "no PIDs found"


def test_table_machine_order_and_arguments_ignored(machine):
    # The kernel walks its PID hash: 4097 and 1 share a bucket, the newer first.
    machine({"procs": [proc(p) for p in (64, 1, 4097, 65)]})
    assert m.pids() == m.pids(1, "two", None) == kernel_order() == [64, 4097, 1, 65]
    machine({"procs": [proc(50), proc(2, listed=False), proc(7)]})
    assert m.pids() == kernel_order() == [7, 50]


def test_default_machine(machine):
    machine()
    pids = m.pids()
    # The size query reports five records more than the kernel then writes:
    # only the records written become PIDs.
    assert len(pids) == 35 and pids == kernel_order() and 0 not in pids[1:]
    assert pids != sorted(pids) and pids[0] == 0 and 1311 in pids
    assert all(type(p) is int for p in pids)


# A machine forking fast: the table grows between the size query and each
# fetch. The buffer has an eighth of the size measured more (at least a page),
# so a table grown by more than the kernel's own 5 records still fits.
@pytest.mark.parametrize("start,growth,calls", [
    (2, 4, (2, 2)),      # past the page added to 2 records: measured again
    (100, 8, (1, 1)),    # 8 records more than measured, every time
    (1000, 120, (1, 1)),
    (1000, 130, (2, 2)),  # past the eighth: the next round fits
])
def test_table_grows_between_measurement_and_fetch(machine, start, growth, calls):
    # measure, fetch, measure, then the last answer again
    answers = [records(*range(1, start + growth * i + 1)) for i in range(3)]
    machine({"faults": [fault("sysctl", TABLE, answers=answers)]})
    n = start + growth * calls[0]
    assert m.pids() == list(range(1, n + 1))
    assert table_calls() == calls


def test_table_shrinks_between_measurement_and_fetch(machine):
    machine({"faults": [fault("sysctl", TABLE, answers=[records(1, 2, 3), records(1, 3)])]})
    assert m.pids() == [1, 3]


def test_large_table(machine):
    pids = [(i * 7919) % 100003 for i in range(100_000)]
    machine({"procs": [{"pid": p} for p in pids]})
    got = m.pids()
    assert got == kernel_order() and sorted(got) == sorted(pids)


# The size query keeps putting the table at one record while it holds 100:
# every fetch finds it longer than the room given.
OUTGROWN = fault("sysctl", TABLE, answer=b"\0" * RECORD * 100, report=RECORD)


@pytest.mark.parametrize("faults,cls,err,message", [
    ([fault("sysctl", TABLE, errno=errno.EPERM, nth=1, times=1)], PermissionError, errno.EPERM,
     f"{fakebsd.strerror(errno.EPERM)} (originated from sysctl() malloc 1/3)"),
    ([fault("sysctl", TABLE, errno=errno.EACCES, nth=2, times=1)], PermissionError, errno.EACCES,
     f"{fakebsd.strerror(errno.EACCES)} (originated from sysctl() malloc 3/3)"),
    ([fault("sysctl", TABLE, errno=errno.EINVAL, nth=3, times=1),
      OUTGROWN], OSError, errno.EINVAL,
     f"{fakebsd.strerror(errno.EINVAL)} (originated from sysctl() malloc 2/3)"),
    ([OUTGROWN], RuntimeError, None,
     "sysctl() buffer allocation retry limit exceeded"),
])
def test_query_failures(machine, no_leaks, faults, cls, err, message):
    machine({"faults": faults})
    with pytest.raises(Exception) as e:
        m.pids()
    assert type(e.value) is cls
    if err is None:
        assert str(e.value) == message
    else:
        assert (e.value.errno, e.value.strerror) == (err, message)
    machine({"faults": faults})
    r, pids, exc = internal_pids()
    assert type(exc) is cls
