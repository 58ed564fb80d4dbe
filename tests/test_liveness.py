"""One process's kernel record, liveness, and the exception a failed
per-process call turns into."""

import ctypes
import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import fault, proc

PYLIB = ctypes.PyDLL(m.__file__, use_errno=True)
PYLIB.morvex_kinfo_proc.restype = ctypes.c_int
PYLIB.morvex_pid_exists.restype = ctypes.c_int
PYLIB.is_zombie.restype = ctypes.c_int
PYLIB.morvex_raise_for_pid.restype = ctypes.py_object

PROCS = [proc(1, comm=b"init"), proc(50, comm=b"zomb", stat=fakebsd.C.SZOMB),
         proc(60, kill="eperm"), proc(70, kill="gone")]


def kinfo_proc(pid):
    buf = ctypes.create_string_buffer(1088)
    try:
        return PYLIB.morvex_kinfo_proc(pid, buf), buf.raw
    except Exception as e:
        return None, e


def test_kinfo_proc(machine):
    machine({"procs": PROCS})
    r, raw = kinfo_proc(1)
    assert r == 0 and fakebsd.unpack("kinfo_proc", raw)["ki_comm"].rstrip(b"\0") == b"init"
    assert fakebsd.calls() == [("sysctl", "1.14.1.1")]


def test_kinfo_proc_pid0_asks_the_kernel_and_negative_does_not(machine):
    machine({"procs": PROCS})
    r, exc = kinfo_proc(0)
    assert isinstance(exc, ProcessLookupError) and fakebsd.calls() == [("sysctl", "1.14.1.0")]
    fakebsd.clear_calls()
    r, exc = kinfo_proc(-1)
    assert type(exc) is RuntimeError
    assert str(exc) == "morvex_kinfo_proc() invalid args passed to function"
    assert fakebsd.calls() == []


@pytest.mark.parametrize("f,cls,err,message", [
    (fault("sysctl", (1, 14, 1, 1), answer=b""), ProcessLookupError, errno.ESRCH,
     "force no such process (originated from sysctl(kinfo_proc), size = 0)"),
    (fault("sysctl", (1, 14, 1, 1), errno=errno.EACCES), PermissionError, errno.EACCES,
     f"{fakebsd.strerror(errno.EACCES)} (originated from sysctl(kinfo_proc))"),
])
def test_kinfo_proc_failures(machine, f, cls, err, message):
    machine({"procs": PROCS, "faults": [f]})
    r, exc = kinfo_proc(1)
    assert type(exc) is cls and (exc.errno, exc.strerror) == (err, message)


def test_proc_is_zombie(machine):
    machine({"procs": PROCS})
    ctypes.set_errno(0)
    assert [m.proc_is_zombie(p) for p in (50, 1, 70, 4242, -1)] == [True, False, False, False, False]
    assert PYLIB.is_zombie(4242) == 0 and ctypes.get_errno() == 0
    with pytest.raises(TypeError):
        m.proc_is_zombie("1")


@pytest.mark.parametrize("pid,expected,asks_kill", [
    (1, 1, True), (60, 1, True), (70, 0, True), (4242, 0, True), (0, 0, False), (-5, 0, False),
])
def test_pid_exists(machine, pid, expected, asks_kill):
    machine({"procs": PROCS})
    assert PYLIB.morvex_pid_exists(pid) == expected
    assert any(c == "kill" for c, _ in fakebsd.calls()) == asks_kill


def test_pid_exists_unexpected_errno(machine):
    machine({"procs": PROCS, "faults": [fault("kill", 1, errno=errno.EINVAL)]})
    assert PYLIB.morvex_pid_exists(1) == -1


@pytest.mark.parametrize("pid,err,faults,cls,message", [
    (1, errno.EACCES, [], PermissionError, f"{fakebsd.strerror(errno.EACCES)} (originated from kinfo_getfile())"),
    (70, 0, [], ProcessLookupError, "force no such process (originated from kinfo_getfile())"),
    (50, 0, [], m.ZombieProcessError, ""),
    (1, 0, [], RuntimeError, "kinfo_getfile() syscall failed"),
    # A liveness test that fails itself counts as existing: the zombie test decides.
    (50, 0, [fault("kill", 50, errno=errno.EINVAL)], m.ZombieProcessError, ""),
])
def test_raise_for_pid(machine, pid, err, faults, cls, message):
    machine({"procs": PROCS, "faults": faults})
    ctypes.set_errno(err)
    with pytest.raises(cls) as e:
        PYLIB.morvex_raise_for_pid(pid, b"kinfo_getfile()")
    assert type(e.value) is cls
    got = e.value.strerror if isinstance(e.value, OSError) else str(e.value)
    assert got == message
    if isinstance(e.value, OSError):
        assert e.value.errno == (err or errno.ESRCH)
