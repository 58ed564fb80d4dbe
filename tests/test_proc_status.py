"""A process's status from its kernel record: the snapshot tuple, the command
name and the thread count."""

import errno
import textwrap

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, fault, kinfo, proc

PID = 4242
NOBODY = 4294967294  # above 2**31: must not come back negative

# A record with a distinct value in every field the snapshot reads.
FIELDS = {
    "ppid": 77, "stat": C.SSLEEP,
    "ruid": NOBODY, "uid": 0, "svuid": 1002,
    "rgid": 20, "groups": [5, 20, 31], "svgid": 6,
    "tdev": 0x5C,
    "start.tv_sec": 5, "start.tv_usec": 250000,
    "rusage.ru_nvcsw": 11, "rusage.ru_nivcsw": 12,
    "rusage.ru_inblock": 13, "rusage.ru_oublock": 14,
    "rusage.ru_utime.tv_sec": 1, "rusage.ru_utime.tv_usec": 500000,
    "rusage.ru_stime.tv_sec": 2, "rusage.ru_stime.tv_usec": 125000,
    "rusage_ch.ru_utime.tv_sec": 30, "rusage_ch.ru_utime.tv_usec": 1,
    "rusage_ch.ru_stime.tv_sec": 40, "rusage_ch.ru_stime.tv_usec": 999999,
    "rssize": 10, "size": 123456789, "tsize": 3, "dsize": 7, "ssize": 2,
    "oncpu": 3, "lastcpu": 1,
    "comm": b"crafted", "numthreads": 7,
}

EXPECTED = (
    77,            # 1 parent PID
    C.SSLEEP,      # 2 state
    NOBODY,        # 3 real UID
    0,             # 4 effective UID
    1002,          # 5 saved UID
    20,            # 6 real GID
    5,             # 7 first group: the effective GID
    6,             # 8 saved GID
    0x5C,          # 9 terminal
    5.25,          # 10 start time
    11, 12,        # 11, 12 context switches
    13, 14,        # 13, 14 block I/O
    1.5, 2.125,    # 15, 16 CPU times
    30 + 1 / 1e6, 40 + 999999 / 1e6,  # 17, 18 children's CPU times
    40960,         # 19 RSS: 10 pages
    123456789,     # 20 virtual size, in bytes already
    12288, 28672, 8192,    # 21-23 text, data, stack
    1,             # 24 current CPU: not running, so the last one
    "crafted",     # 25 name
)


def snapshot(machine, pagesize=None, **changes):
    desc = {"procs": [proc(PID, **{**FIELDS, **changes})]}
    if pagesize:
        desc["pagesize"] = pagesize
    machine(desc)
    return m.proc_oneshot_info(PID)


def test_snapshot_element_by_element(machine):
    info = snapshot(machine)
    assert len(info) == 25
    for i, (got, want) in enumerate(zip(info, EXPECTED), 1):
        assert got == want and type(got) is type(want), f"element {i}"
    # One record, one kernel query.
    assert [c for c, _ in fakebsd.calls() if c == "sysctl"] == ["sysctl"]


@pytest.mark.parametrize("stat,oncpu,lastcpu,cpu", [
    (C.SRUN, 3, 1, 3),
    (C.SSLEEP, 3, 1, 1),
    (C.SRUN, -1, 1, 1),       # running, but the kernel has it on no CPU
    (C.SRUN, 200, 1, 200),    # CPU numbers above 127 come through whole
    (C.SSLEEP, 3, -1, -1),    # never ran anywhere
])
def test_snapshot_current_cpu(machine, stat, oncpu, lastcpu, cpu):
    assert snapshot(machine, stat=stat, oncpu=oncpu, lastcpu=lastcpu)[23] == cpu


def test_snapshot_sizes_follow_the_page_size(machine):
    info = snapshot(machine, pagesize=16384)
    assert info[18:23] == (10 * 16384, 123456789, 3 * 16384, 7 * 16384, 2 * 16384)


@pytest.mark.parametrize("tdev,expected", [
    (2**64 - 1, -1),            # no controlling terminal (NODEV)
    (0x5C, 0x5C),
    (2**63, -(2**63)),          # passed on as a signed 64-bit value
])
def test_snapshot_terminal(machine, tdev, expected):
    assert snapshot(machine, tdev=tdev)[8] == expected


def test_snapshot_negative_parent(machine):
    assert snapshot(machine, ppid=-1)[0] == -1


@pytest.mark.parametrize("comm,emul,name", [
    (b"abcdefghijklmnopqrs", b"elf64", "abcdefghijklmnopqrs"),   # 19 characters, the most
    (b"", b"elf64", ""),
    (b"sp\xc3\xa4t", b"", "sp\xe4t"),
    # A record whose name fills the field without a NUL: read no further.
    (b"abcdefghijklmnopqrst", b"elf64", "abcdefghijklmnopqrst"),
])
def test_names(machine, comm, emul, name):
    machine({"procs": [proc(PID, comm=comm, emul=emul)]})
    assert m.proc_name(PID) == name
    assert m.proc_oneshot_info(PID)[24] == name


@pytest.mark.parametrize("threads", [1, 0, 4096, -1])
def test_num_threads(machine, threads):
    machine({"procs": [proc(PID, numthreads=threads)]})
    assert m.proc_num_threads(PID) == threads


def test_default_machine(machine):
    machine()
    assert m.proc_name(1) == "init"
    assert m.proc_num_threads(0) == 40
    info = m.proc_oneshot_info(1310)
    assert (info[0], info[1], info[3], info[24]) == (1207, C.SRUN, 1001, "python3.13")


def test_short_answer_leaves_the_rest_zero(machine):
    # A record cut before the command name: what the kernel did not send is 0.
    record = kinfo(PID, comm=b"cut", numthreads=9, ppid=77)
    machine({"procs": [proc(PID)],
             "faults": [fault("sysctl", (1, 14, 1, PID), answer=record[:400])]})
    assert m.proc_name(PID) == "" and m.proc_num_threads(PID) == 0
    info = m.proc_oneshot_info(PID)
    assert info[0] == 77 and info[24] == "" and info[8] == 0


FUNCTIONS = [m.proc_oneshot_info, m.proc_name, m.proc_num_threads]
NSP = "force no such process (originated from sysctl(kinfo_proc), size = 0)"


@pytest.mark.parametrize("fn", FUNCTIONS)
@pytest.mark.parametrize("faults,pid,cls,err,message", [
    # The process exited: the kernel sends no record.
    ([fault("sysctl", (1, 14, 1, PID), answer=b"")], PID, ProcessLookupError, errno.ESRCH, NSP),
    # No process by that PID at all.
    ([], 31337, ProcessLookupError, errno.ESRCH,
     f"{fakebsd.strerror(errno.ESRCH)} (originated from sysctl(kinfo_proc))"),
    ([fault("sysctl", (1, 14, 1, PID), errno=errno.EACCES)], PID, PermissionError, errno.EACCES,
     f"{fakebsd.strerror(errno.EACCES)} (originated from sysctl(kinfo_proc))"),
])
def test_failed_lookup(machine, fn, faults, pid, cls, err, message):
    machine({"procs": [proc(PID)], "faults": faults})
    with pytest.raises(OSError) as e:
        fn(pid)
    assert type(e.value) is cls and (e.value.errno, e.value.strerror) == (err, message)


@pytest.mark.parametrize("fn", FUNCTIONS)
def test_bad_arguments(machine, fn):
    machine({"procs": [proc(PID)]})
    with pytest.raises(RuntimeError, match=r"^morvex_kinfo_proc\(\) invalid args passed to function$"):
        fn(-1)
    for args in [("1",), (), (1, 2), (2**31,)]:
        with pytest.raises((TypeError, OverflowError)):
            fn(*args)
    assert not [c for c, _ in fakebsd.calls() if c == "sysctl"]


# --- names the file-system encoding cannot decode ---
# (only an interpreter configured with strict file-system errors can fail:
# see the strict_python fixture)

UNDECODABLE = textwrap.dedent("""
    import sys, _morvex_bsd as m, fakebsd
    assert sys.getfilesystemencodeerrors() == "strict"
    fakebsd.install({"procs": [fakebsd.proc(7, comm=b"bad\\xff\\xfename", ppid=3)]}, "thread")
    info = m.proc_oneshot_info(7)
    assert info[24] is None and info[0] == 3, info
    assert sys.exc_info() == (None, None, None)
    try:
        m.proc_name(7)
    except UnicodeDecodeError as e:
        assert e.object == b"bad\\xff\\xfename", e.object
    else:
        raise AssertionError("proc_name decoded the name")
    print("ok")
""")


def test_undecodable_name(strict_python):
    r = strict_python(UNDECODABLE)
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr
