"""CPU affinity, resource limits and nice value of a process."""

import errno
import os

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, cpuset, fault, proc, rlimit

PID = 42
NOFILE = C.RLIMIT_NOFILE
RLIMIT_MIB = (1, 14, 37, PID, NOFILE)


@pytest.fixture
def host(machine):
    """A process on CPUs 1 and 3, with an open-files limit and nice -1, and
    one that belongs to someone else."""
    # "nice" is also a field of the process record (ki_nice), so it is set on
    # the table entry itself: getpriority answers from the table.
    def install(*faults, cpus=None, **fields):
        fields.setdefault("cpuset", cpuset([1, 3]))
        machine({"procs": [dict(proc(PID, rlimits={NOFILE: rlimit(1024, 4096)}, **fields), nice=-1),
                           proc(60, kill="eperm")],
                 "sysctl": fakebsd.cpus({i: fakebsd.cp_time(idle=1) for i in cpus or range(4)}),
                 "faults": list(faults)})
    return install


def calls_of(name):
    return [key for call, key in fakebsd.calls() if call == name]


def plain_oserror(e, cls, err):
    """OSError straight from errno: the platform's text, no call named."""
    return type(e) is cls and (e.errno, e.strerror) == (err, fakebsd.strerror(err))


# ---- affinity -------------------------------------------------------------

@pytest.mark.parametrize("cpus", [[0, 2, 64], [63, 64, 127, 128, 1023], list(range(1024)), []],
                         ids=["0-2-64", "word-edges", "all", "none"])
def test_affinity_get(host, cpus):
    host(cpuset=cpuset(cpus))
    assert m.proc_cpu_affinity_get(PID) == cpus
    assert calls_of("cpuset_getaffinity") == [str(PID)]


@pytest.mark.parametrize("pid,faults,cls,err", [
    (4242, [], ProcessLookupError, errno.ESRCH),
    (60, [], PermissionError, errno.EPERM),  # someone else's mask (p_cansched)
    (PID, [fault("cpuset_getaffinity", PID, errno=errno.EPERM)], PermissionError, errno.EPERM),
])
def test_affinity_get_refused(host, pid, faults, cls, err):
    host(*faults)
    with pytest.raises(OSError) as e:
        m.proc_cpu_affinity_get(pid)
    assert plain_oserror(e.value, cls, err)


@pytest.mark.parametrize("make", [
    lambda: [0, 2], lambda: (0, 2), lambda: [2, 0, 2, 2], lambda: range(0, 4, 2),
    lambda: iter([0, 2]), lambda: {0: "a", 2: "b"}.keys(),
], ids=["list", "tuple", "repeated", "range", "iterator", "keys"])
def test_affinity_set_from_any_sequence(host, make):
    host()
    assert m.proc_cpu_affinity_set(PID, make()) is None
    assert m.proc_cpu_affinity_get(PID) == [0, 2]


def test_affinity_set_word_edges(host):
    host(cpus=[0, 1, 3, 63, 64, 128, 1023])
    m.proc_cpu_affinity_set(PID, [1023, 0, 64, 63, 128])
    assert m.proc_cpu_affinity_get(PID) == [0, 63, 64, 128, 1023]


@pytest.mark.parametrize("cpus,cls,err", [
    ([], OSError, errno.EDEADLK),        # nothing in common with the machine's CPUs
    ([1, 4], OSError, errno.EINVAL),     # a CPU the machine does not have
    ([2], OSError, errno.EINVAL),        # an absent id between present ones
])
def test_affinity_set_refused_by_the_kernel(host, cpus, cls, err):
    host(cpus=[0, 1, 3])
    with pytest.raises(OSError) as e:
        m.proc_cpu_affinity_set(PID, cpus)
    assert plain_oserror(e.value, cls, err)
    assert calls_of("cpuset_setaffinity") == [str(PID)]
    assert m.proc_cpu_affinity_get(PID) == [1, 3]


@pytest.mark.parametrize("cpus,cls,text", [
    (3, TypeError, "expected a sequence or integer"),
    (None, TypeError, "expected a sequence or integer"),
    ([0, "1"], TypeError, None),
    ([0, 1.0], TypeError, None),
    ([0, 2**64], OverflowError, None),
    ([0, -1], ValueError, "-1"),
    ([0, 1024], ValueError, "1024"),
    ([5000, 0], ValueError, "5000"),
    ([0, -2**40], ValueError, str(-2**40)),
])
def test_affinity_set_bad_cpus_never_reach_the_kernel(host, cpus, cls, text):
    host()
    with pytest.raises(cls) as e:
        m.proc_cpu_affinity_set(PID, cpus)
    assert type(e.value) is cls
    if cls is ValueError:
        assert str(e.value) == f"invalid CPU number {text} (must be 0 to 1023)"
    elif text is not None:
        assert str(e.value) == text
    assert calls_of("cpuset_setaffinity") == []
    assert m.proc_cpu_affinity_get(PID) == [1, 3]


def test_affinity_set_reads_a_list_that_changes_under_it(host):
    host()
    cpus = []

    class Shrinking:
        # Reading this item empties the list it came from.
        def __index__(self):
            cpus.clear()
            return 1

    cpus.extend([Shrinking(), 2, 3])
    m.proc_cpu_affinity_set(PID, cpus)
    assert m.proc_cpu_affinity_get(PID) == [1, 2, 3]


@pytest.mark.parametrize("pid,faults,cls,err", [
    (4242, [], ProcessLookupError, errno.ESRCH),
    (60, [], PermissionError, errno.EPERM),
    (PID, [fault("cpuset_setaffinity", PID, errno=errno.EDEADLK)], OSError, errno.EDEADLK),
])
def test_affinity_set_refused(host, pid, faults, cls, err):
    host(*faults)
    with pytest.raises(OSError) as e:
        m.proc_cpu_affinity_set(pid, [0])
    assert plain_oserror(e.value, cls, err)
    assert m.proc_cpu_affinity_get(PID) == [1, 3]


# ---- resource limits ------------------------------------------------------

def test_getrlimit(host):
    host()
    assert m.proc_getrlimit(PID, NOFILE) == (1024, 4096)
    assert m.proc_getrlimit(PID, C.RLIMIT_CORE) == (m.RLIM_INFINITY, m.RLIM_INFINITY) == (2**63 - 1,) * 2
    assert calls_of("sysctl") == ["1.14.37.42.8", "1.14.37.42.4"]


@pytest.mark.parametrize("pid,resource,faults,cls,err,message", [
    (4242, NOFILE, [], ProcessLookupError, errno.ESRCH, None),
    (PID, 99, [], OSError, errno.EINVAL, None),
    (PID, NOFILE, [fault("sysctl", RLIMIT_MIB, errno=errno.EPERM)], PermissionError, errno.EPERM, None),
    (PID, NOFILE, [fault("sysctl", RLIMIT_MIB, answer=rlimit(1, 2) + bytes(8))], OSError, errno.ENOMEM, None),
    (PID, NOFILE, [fault("sysctl", RLIMIT_MIB, answer=rlimit(1, 2), report=24)], RuntimeError, None,
     "sysctl() size mismatch"),
], ids=["no-process", "bad-resource", "refused", "long-answer", "reported-longer"])
def test_getrlimit_failures(host, pid, resource, faults, cls, err, message):
    host(*faults)
    with pytest.raises(cls) as e:
        m.proc_getrlimit(pid, resource)
    assert type(e.value) is cls
    if err is not None:
        assert (e.value.errno, e.value.strerror) == (err, f"{fakebsd.strerror(err)} (originated from sysctl())")
    else:
        assert str(e.value) == message


CORE, NPROC = C.RLIMIT_CORE, C.RLIMIT_NPROC


@pytest.mark.parametrize("resource,soft,hard,after", [
    (NOFILE, 100, 200, (100, 200)),
    (NOFILE, 0, 0, (0, 0)),
    (CORE, m.RLIM_INFINITY, m.RLIM_INFINITY, (m.RLIM_INFINITY, m.RLIM_INFINITY)),
    # -1 is a limit like any other: the kernel reads a negative limit as none.
    (CORE, -1, -1, (m.RLIM_INFINITY, m.RLIM_INFINITY)),
    (NOFILE, -1, 2048, (2048, 2048)),
    # The system's caps: kern.maxfilesperproc, kern.maxprocperuid, and a
    # process limit of at least 1.
    (NOFILE, m.RLIM_INFINITY, m.RLIM_INFINITY, (58576, 58576)),
    (NPROC, 0, 10**6, (1, 6656)),
])
def test_setrlimit(host, resource, soft, hard, after):
    host()
    assert m.proc_setrlimit(PID, resource, soft, hard) is None
    assert m.proc_getrlimit(PID, resource) == after


@pytest.mark.parametrize("soft,hard,result", [
    (10, 4096, (10, 4096)),               # lowering is anyone's right
    (2048, 2048, (2048, 2048)),
    (10, 4097, errno.EPERM),              # raising the hard limit takes privilege
    (4097, 4097, errno.EPERM),
])
def test_setrlimit_unprivileged_own_process(machine, soft, hard, result):
    machine({"caller": {"uid": 1001, "pid": PID},
             "procs": [proc(PID, uid=1001, ruid=1001, svuid=1001, rlimits={NOFILE: rlimit(1024, 4096)})]})
    if isinstance(result, tuple):
        m.proc_setrlimit(PID, NOFILE, soft, hard)
        assert m.proc_getrlimit(PID, NOFILE) == result
    else:
        with pytest.raises(PermissionError):
            m.proc_setrlimit(PID, NOFILE, soft, hard)
        assert m.proc_getrlimit(PID, NOFILE) == (1024, 4096)


@pytest.mark.parametrize("soft,hard,cls", [
    ("10", 20, TypeError), (10, None, TypeError), (10.0, 20, TypeError),
    (2**63, 20, OverflowError), (10, -2**63 - 1, OverflowError),
])
def test_setrlimit_bad_limits_never_reach_the_kernel(host, soft, hard, cls):
    host()
    with pytest.raises(cls):
        m.proc_setrlimit(PID, NOFILE, soft, hard)
    assert calls_of("sysctl") == []
    assert m.proc_getrlimit(PID, NOFILE) == (1024, 4096)


@pytest.mark.parametrize("pid,resource,faults,cls,err", [
    (4242, NOFILE, [], ProcessLookupError, errno.ESRCH),
    (60, NOFILE, [], PermissionError, errno.EPERM),
    (PID, -1, [], OSError, errno.EINVAL),
    (PID, NOFILE, [fault("sysctl", RLIMIT_MIB, errno=errno.EPERM, times=1)], PermissionError, errno.EPERM),
])
def test_setrlimit_refused(host, pid, resource, faults, cls, err):
    host(*faults)
    with pytest.raises(OSError) as e:
        m.proc_setrlimit(pid, resource, 10, 20)
    assert plain_oserror(e.value, cls, err)
    assert m.proc_getrlimit(PID, NOFILE) == (1024, 4096)


# ---- priority -------------------------------------------------------------

def test_priority_minus_one_is_a_value(host):
    host()
    assert m.proc_priority_get(PID) == -1
    # errno left behind by a failed call does not turn the next -1 into a failure.
    with pytest.raises(ProcessLookupError):
        m.proc_priority_get(4242)
    assert m.proc_priority_get(PID) == -1
    assert m.proc_priority_get(60) == 0


@pytest.mark.parametrize("pid,faults,cls,err", [
    (4242, [], ProcessLookupError, errno.ESRCH),
    (PID, [fault("getpriority", PID, errno=errno.EPERM)], PermissionError, errno.EPERM),
])
def test_priority_get_refused(host, pid, faults, cls, err):
    host(*faults)
    with pytest.raises(OSError) as e:
        m.proc_priority_get(pid)
    assert plain_oserror(e.value, cls, err)


@pytest.mark.parametrize("value", [10, -1, -20, 20])
def test_priority_set(host, value):
    host()
    assert m.proc_priority_set(PID, value) is None
    assert m.proc_priority_get(PID) == value
    assert calls_of("setpriority") == [str(PID)]


@pytest.mark.parametrize("pid,faults,cls,err", [
    (4242, [], ProcessLookupError, errno.ESRCH),
    (60, [], PermissionError, errno.EPERM),
    (PID, [fault("setpriority", PID, errno=errno.EACCES)], PermissionError, errno.EACCES),
])
def test_priority_set_refused(host, pid, faults, cls, err):
    host(*faults)
    with pytest.raises(OSError) as e:
        m.proc_priority_set(pid, 5)
    assert plain_oserror(e.value, cls, err)
    assert m.proc_priority_get(PID) == -1


def test_priority_set_bad_value_never_reaches_the_kernel(host):
    host()
    with pytest.raises(OverflowError):
        m.proc_priority_set(PID, 2**31)
    with pytest.raises(TypeError):
        m.proc_priority_set(PID, "5")
    assert calls_of("setpriority") == []


@pytest.mark.parametrize("value,result", [(10, 10), (0, 0), (-1, -1), (-2, errno.EACCES), (-20, errno.EACCES)])
def test_priority_set_unprivileged(machine, value, result):
    # Without privilege a nice value may be raised, never lowered (EACCES).
    machine({"caller": {"uid": 1001, "pid": 7},
             "procs": [dict(proc(PID, uid=1001, ruid=1001, svuid=1001), nice=-1)]})
    if result == errno.EACCES:
        with pytest.raises(PermissionError) as e:
            m.proc_priority_set(PID, value)
        assert e.value.errno == errno.EACCES
        assert m.proc_priority_get(PID) == -1
    else:
        m.proc_priority_set(PID, value)
        assert m.proc_priority_get(PID) == result
