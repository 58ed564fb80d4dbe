"""A process's command line (kern.proc.args) and environment (libkvm)."""

import ctypes
import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, argv, fault, proc

ALICE = 1001
RESIDENT = C.P_INMEM


def user_proc(pid=42, args=None, **kw):
    """A resident process of alice's. (ki_args is a field of the record, so
    the argument answer is set on the table entry itself.)"""
    kw.setdefault("uid", ALICE)
    kw.setdefault("flag", RESIDENT)
    entry = proc(pid, **kw)
    if args is not None:
        entry["args"] = args
    return entry


def called(name):
    return [key for call, key in fakebsd.calls() if call == name]


# --- command line -----------------------------------------------------------

@pytest.mark.parametrize("answer,expected", [
    (argv(b"/usr/sbin/sshd", b"-D"), ["/usr/sbin/sshd", "-D"]),
    # An empty argument is an empty string, not the end of the vector.
    (b"a\0\0b\0", ["a", "", "b"]),
    (b"\0", [""]),
    # Kernel processes have no arguments at all.
    (b"", []),
    # The last string without its NUL is taken up to the end of the answer.
    (b"a\0b", ["a", "b"]),
    (b"x" * 5000, ["x" * 5000]),
    (b"\xff\0", ["\udcff"]),
], ids=["two", "empty-arg", "one-empty", "no-answer", "last-without-nul", "long-without-nul",
        "undecodable"])
def test_cmdline(machine, answer, expected):
    machine({"procs": [user_proc(args=answer)]})
    assert m.proc_cmdline(42) == expected


def test_cmdline_raw_answer_without_final_nul(machine):
    # Straight from the kernel, past the process table: nothing after the
    # answer's last byte may reach the result.
    machine({"procs": [user_proc()],
             "faults": [fault("sysctl", (1, 14, 7, 42), answer=b"python3\0-c\0" + b"y" * 3000)]})
    assert m.proc_cmdline(42) == ["python3", "-c", "y" * 3000]


@pytest.mark.parametrize("faults,pid,cls,err,message", [
    ([], 4242, ProcessLookupError, errno.ESRCH,
     f"{fakebsd.strerror(errno.ESRCH)} (originated from sysctl() malloc 1/3)"),
    ([fault("sysctl", (1, 14, 7, 42), errno=errno.EPERM)], 42, PermissionError, errno.EPERM,
     f"{fakebsd.strerror(errno.EPERM)} (originated from sysctl() malloc 1/3)"),
    ([fault("sysctl", (1, 14, 7, 42), errno=errno.EFAULT, nth=2)], 42, OSError, errno.EFAULT,
     f"{fakebsd.strerror(errno.EFAULT)} (originated from sysctl() malloc 3/3)"),
])
def test_cmdline_failures(machine, faults, pid, cls, err, message):
    machine({"procs": [user_proc(args=argv(b"x"))], "faults": faults})
    with pytest.raises(cls) as e:
        m.proc_cmdline(pid)
    assert (type(e.value), e.value.errno, e.value.strerror) == (cls, err, message)


def test_cmdline_bad_argument():
    with pytest.raises(TypeError):
        m.proc_cmdline("42")


# --- environment ------------------------------------------------------------

@pytest.mark.parametrize("env,expected", [
    ([b"HOME=/home/alice", b"SHELL=/bin/tcsh"], {"HOME": "/home/alice", "SHELL": "/bin/tcsh"}),
    # Only the first '=' separates the name.
    ([b"K=V=W"], {"K": "V=W"}),
    ([b"=x"], {"": "x"}),
    ([b"EMPTY="], {"EMPTY": ""}),
    # Entries without '=' are not part of the result.
    ([b"A=1", b"no-equals", b"B=2"], {"A": "1", "B": "2"}),
    # The later of two entries with the same name wins.
    ([b"A=1", b"B=x", b"A=2"], {"A": "2", "B": "x"}),
    # Names and values are file-system text; undecodable bytes are escaped, not lost.
    ([b"LANG=\xff"], {"LANG": "\udcff"}),
    ([b"A=1", b"N\xff=1"], {"A": "1", "N\udcff": "1"}),
])
def test_environ(machine, no_leaks, env, expected):
    machine({"procs": [user_proc(env=env)]})
    result = m.proc_environ(42)
    assert result == expected
    assert list(result) == list(expected)
    assert called("kvm_openfiles") == ["/dev/null"]


def test_environ_name_not_utf8_is_no_failure(machine, no_leaks):
    machine({"procs": [user_proc(env=[b"A=1", b"\xff=1", b"B=2"])]})
    assert m.proc_environ(42) == {"A": "1", "\udcff": "1", "B": "2"}


@pytest.mark.parametrize("flag", [
    C.P_INMEM | C.P_SYSTEM,      # a kernel process
    0,                           # swapped out
    C.P_SYSTEM,
    # Only the low 32 bits of ki_flag count.
    (1 << 40) | C.P_INMEM | C.P_SYSTEM,
])
def test_environ_not_read_for_system_or_swapped_out(machine, no_leaks, flag):
    machine({"procs": [user_proc(flag=flag, env=[b"A=1"])]})
    assert m.proc_environ(42) == {}
    assert called("kvm_getprocs") == ["42"] and called("kvm_getenvv") == []


def test_environ_resident_with_other_flags(machine, no_leaks):
    machine({"procs": [user_proc(flag=C.P_INMEM | 0x4000 | (1 << 40), env=[b"A=1"])]})
    assert m.proc_environ(42) == {"A": "1"}


@pytest.mark.parametrize("env_fault", [
    # No environment: a failed read that leaves errno at 0, an empty vector,
    # and a process whose kernel answer is empty.
    fault("kvm_getenvv", 42, errno=0),
    fault("kvm_getenvv", 42, answer=b""),
    None,
])
def test_environ_empty(machine, no_leaks, env_fault):
    env = [] if env_fault is None else [b"A=1"]
    machine({"procs": [user_proc(env=env)], "faults": [env_fault] if env_fault else []})
    assert m.proc_environ(42) == {}


def test_environ_empty_after_a_stale_errno(machine, no_leaks):
    # libkvm answers "no environment" with NULL and errno untouched, so an
    # errno left over from before the call must not be taken for a failure.
    machine({"procs": [user_proc(env=[b"A=1"])], "faults": [fault("kvm_getenvv", 42, errno=0)]})
    errno_location = ctypes.CDLL(None).__errno_location
    errno_location.restype = ctypes.POINTER(ctypes.c_int)
    errno_location()[0] = errno.EIO
    assert m.proc_environ(42) == {}


ENOMEM_TEXT = "kvm_getenvv(pid=42, ki_uid=1001) -> ENOMEM"


@pytest.mark.parametrize("err,cls,exc_errno,message", [
    (errno.EPERM, PermissionError, errno.EACCES,
     "force permission denied (originated from kvm_getenvv -> EPERM)"),
    (errno.ESRCH, ProcessLookupError, errno.ESRCH,
     "force no such process (originated from kvm_getenvv -> ESRCH)"),
    (errno.ENOMEM, PermissionError, errno.EACCES,
     f"force permission denied (originated from {ENOMEM_TEXT})"),
    (errno.EIO, OSError, errno.EIO,
     f"{fakebsd.strerror(errno.EIO)} (originated from kvm_getenvv(pid=42))"),
    (errno.EACCES, PermissionError, errno.EACCES,
     f"{fakebsd.strerror(errno.EACCES)} (originated from kvm_getenvv(pid=42))"),
])
def test_environ_read_failures(machine, no_leaks, err, cls, exc_errno, message):
    machine({"procs": [user_proc(env=[b"A=1"])], "faults": [fault("kvm_getenvv", 42, errno=err)]})
    with pytest.raises(OSError) as e:
        m.proc_environ(42)
    assert (type(e.value), e.value.errno, e.value.strerror) == (cls, exc_errno, message)


def test_environ_long_pid_narrowed_for_lookup_printed_in_full(machine, no_leaks):
    pid = (1 << 32) + 42
    machine({"procs": [user_proc(env=[b"A=1"])]})
    assert m.proc_environ(pid) == {"A": "1"}
    assert called("kvm_getprocs") == ["42"]

    machine({"procs": [user_proc(env=[b"A=1"])],
             "faults": [fault("kvm_getenvv", 42, errno=errno.ENOMEM)]})
    with pytest.raises(PermissionError) as e:
        m.proc_environ(pid)
    assert e.value.strerror == ("force permission denied (originated from "
                                f"kvm_getenvv(pid={pid}, ki_uid=1001) -> ENOMEM)")
    machine({"procs": [user_proc(env=[b"A=1"])], "faults": [fault("kvm_getenvv", 42, errno=errno.EIO)]})
    with pytest.raises(OSError) as e:
        m.proc_environ(-(1 << 32) + 42)
    assert e.value.strerror.endswith(f"(originated from kvm_getenvv(pid={-(1 << 32) + 42}))")

    with pytest.raises(OverflowError):
        m.proc_environ(1 << 64)
    with pytest.raises(TypeError):
        m.proc_environ("42")


@pytest.mark.parametrize("faults,pid,message", [
    # The process is gone: libkvm hands back no records.
    ([], 4242, "kvm_getprocs"),
    ([fault("kvm_getprocs", 42, errno=errno.EPERM)], 42, "kvm_getprocs"),
    ([fault("kvm_getprocs", 42, answer=b"")], 42, "kvm_getprocs: cnt==0"),
    # A negative count: the message is the handle's own error text.
    ([fault("kvm_getprocs", 42, report=-2)], 42, "kvm_getprocs: bad process count"),
])
def test_environ_lookup_failures(machine, no_leaks, faults, pid, message):
    machine({"procs": [user_proc(env=[b"A=1"])], "faults": faults})
    with pytest.raises(ProcessLookupError) as e:
        m.proc_environ(pid)
    assert (e.value.errno, e.value.strerror) == (
        errno.ESRCH, f"force no such process (originated from {message})")
    assert called("kvm_getenvv") == []


@pytest.mark.parametrize("text,cls", [
    (b"kvm_openfiles: /dev/mem: Permission denied", PermissionError),
    (b"kvm_openfiles: /dev/mem: Operation not permitted", PermissionError),
    (b"kvm_openfiles: /boot/kernel/kernel: 100% unreadable", RuntimeError),
    (b"permission denied", RuntimeError),  # the phrases are matched exactly
])
def test_environ_open_failures(machine, no_leaks, text, cls):
    machine({"procs": [user_proc(env=[b"A=1"])],
             "faults": [fault("kvm_openfiles", "/dev/null", errno=0, answer=text)]})
    with pytest.raises(cls) as e:
        m.proc_environ(42)
    composed = f"(originated from kvm_openfiles: {text.decode()})"
    assert type(e.value) is cls
    if cls is PermissionError:
        assert (e.value.errno, e.value.strerror) == (
            errno.EACCES, f"force permission denied (originated from {composed})")
    else:
        assert str(e.value) == composed
    assert called("kvm_getprocs") == []


def test_default_machine_environments(machine, no_leaks):
    machine()
    assert m.proc_environ(1310)["VIRTUAL_ENV"] == "/home/alice/src/app/.venv"
    assert m.proc_environ(0) == {} and m.proc_environ(12) == {}
    assert m.proc_cmdline(701) == ["/usr/sbin/sshd"]
    assert m.proc_cmdline(0) == [] and m.proc_cmdline(1311) == []


def test_no_leaks_over_many_calls(machine, no_leaks):
    machine({"procs": [user_proc(args=argv(b"a", b"b"), env=[b"A=1", b"B=2=3", b"C"]),
                       user_proc(43, env=[b"A=1"]), user_proc(44, env=[b"A=1"]),
                       user_proc(45, env=[b"\xff=1"]), user_proc(46, flag=C.P_INMEM | C.P_SYSTEM)],
             "faults": [fault("kvm_getenvv", 43, errno=errno.ENOMEM),
                        fault("kvm_getenvv", 44, errno=errno.EIO),
                        fault("sysctl", (1, 14, 7, 43), errno=errno.EPERM)]})
    for _ in range(300):
        assert m.proc_environ(42) == {"A": "1", "B": "2=3"}
        assert m.proc_environ(46) == {}
        assert m.proc_cmdline(42) == ["a", "b"]
        assert m.proc_environ(45) == {"\udcff": "1"}
        for pid, exc in ((43, PermissionError), (44, OSError), (4242, ProcessLookupError)):
            with pytest.raises(exc):
                m.proc_environ(pid)
        for pid in (43, 4242):
            with pytest.raises(OSError):
                m.proc_cmdline(pid)
    assert fakebsd.resources()["kvm"] == 0
