"""Threads and memory maps of a process."""

import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, fault, proc, thread, vmentry

PID = 42
THREAD_MIB = (1, 14, 17, PID)
RECORD = 1088


def threads_machine(machine, *faults):
    machine({"procs": [proc(PID, threads=[thread(PID, 100201, utime=1.5, stime=0.25),
                                          thread(PID, 100202, stime=3)])],
             "faults": list(faults)})


def test_threads_in_record_order(machine):
    threads_machine(machine)
    assert m.proc_threads(PID) == [(100201, 1.5, 0.25), (100202, 0.0, 3.0)]
    assert fakebsd.calls() == [("sysctl", "1.14.17.42 (measure)"), ("sysctl", "1.14.17.42")]


def test_threads_of_the_default_interpreter_process(machine):
    machine()
    threads = m.proc_threads(1310)
    assert len(threads) == 4 and len({tid for tid, _, _ in threads}) == 4


@pytest.mark.parametrize("answer,expected", [
    (b"\x01" * (RECORD - 1), []),
    (thread(PID, 7, utime=1.5) + thread(PID, 8) + b"\x02" * 100, [(7, 1.5, 0.0), (8, 0.0, 0.0)]),
    # The thread ID travels as an unsigned int.
    (thread(PID, -1), [(2**32 - 1, 0.0, 0.0)]),
], ids=["short", "trailing-partial", "unsigned-tid"])
def test_threads_answer_length(machine, answer, expected):
    threads_machine(machine, fault("sysctl", THREAD_MIB, answer=answer))
    assert m.proc_threads(PID) == expected


@pytest.mark.parametrize("faults,pid,cls,err,message", [
    ([fault("sysctl", THREAD_MIB, answer=b"")], PID, ProcessLookupError, errno.ESRCH,
     "force no such process (originated from sysctl (size = 0))"),
    ([], 4242, ProcessLookupError, errno.ESRCH,
     f"{fakebsd.strerror(errno.ESRCH)} (originated from sysctl() malloc 1/3)"),
    ([fault("sysctl", THREAD_MIB, errno=errno.EPERM, nth=2)], PID, PermissionError, errno.EPERM,
     f"{fakebsd.strerror(errno.EPERM)} (originated from sysctl() malloc 3/3)"),
], ids=["empty-answer", "no-process", "fetch-refused"])
def test_threads_failures(machine, faults, pid, cls, err, message):
    threads_machine(machine, *faults)
    with pytest.raises(cls) as e:
        m.proc_threads(pid)
    assert type(e.value) is cls and (e.value.errno, e.value.strerror) == (err, message)


def test_threads_bad_pid_argument(machine):
    threads_machine(machine)
    with pytest.raises(TypeError):
        m.proc_threads("42")
    assert fakebsd.calls() == []


# ---- memory maps ----------------------------------------------------------

def maps_of(machine, *entries, procs=(), faults=()):
    machine({"procs": [proc(PID, vmmap=list(entries)), *procs], "faults": list(faults)})
    return m.proc_memory_maps(PID)


@pytest.mark.parametrize("start,end,prot,kind,path,text", [
    (0x1000, 0x3000, 5, C.KVME_TYPE_VNODE, b"/lib/libc.so.7", ("0x1000-0x3000", "r-x", "/lib/libc.so.7")),
    (0, 0x1000, 0, C.KVME_TYPE_DEFAULT, b"", ("0-0x1000", "---", "[default]")),
    (0x800000000, 0xffffffffffffffff, 7, C.KVME_TYPE_UNKNOWN, b"",
     ("0x800000000-0xffffffffffffffff", "rwx", "[unknown]")),
    (0x1000, 0, 2, C.KVME_TYPE_VNODE, b"", ("0x1000-0", "-w-", "[vnode]")),
    (1, 2, 1 | C.KVME_MAX_PROT_WRITE | C.KVME_MAX_PROT_EXEC, 0, b"", ("0x1-0x2", "r--", "[none]")),
    (1, 2, 6, 3, b"", ("0x1-0x2", "-wx", "[swap]")),
    (1, 2, 0, 4, b"", ("0x1-0x2", "---", "[device]")),
    (1, 2, 0, 5, b"", ("0x1-0x2", "---", "[phys]")),
    (1, 2, 0, 6, b"", ("0x1-0x2", "---", "[dead]")),
    (1, 2, 0, 7, b"", ("0x1-0x2", "---", "[sg]")),
    (1, 2, 0, C.KVME_TYPE_GUARD, b"", ("0x1-0x2", "---", "[?]")),
    (1, 2, 0, 256, b"", ("0x1-0x2", "---", "[?]")),
    # Compared as unsigned: -1 is not the 255 of "unknown".
    (1, 2, 0, -1, b"", ("0x1-0x2", "---", "[?]")),
    # A path wins over the label, and is decoded like any file name.
    (1, 2, 0, C.KVME_TYPE_UNKNOWN, b"/tmp/caf\xe9", ("0x1-0x2", "---", "/tmp/caf\udce9")),
])
def test_map_texts(machine, start, end, prot, kind, path, text):
    (entry,) = maps_of(machine, vmentry(start, end, prot=prot, type=kind, path=path))
    assert entry[:3] == text


def test_maps_whole_entries_in_kernel_order(machine):
    entries = maps_of(
        machine,
        vmentry(0x200000, 0x203000, prot=1, path=b"/bin/sh", resident=3, private_resident=0,
                ref_count=4, shadow_count=1),
        vmentry(0x7fffdfffe000, 0x7ffffffff000, prot=3, type=C.KVME_TYPE_SWAP, resident=40,
                private_resident=38, ref_count=1, shadow_count=0),
    )
    assert entries == [
        ("0x200000-0x203000", "r--", "/bin/sh", 3, 0, 4, 1),
        ("0x7fffdfffe000-0x7ffffffff000", "rw-", "[swap]", 40, 38, 1, 0),
    ]


def test_map_path_filling_its_field_is_read_no_further(machine):
    # The last entry's path runs to the end of the array without a NUL.
    entries = maps_of(machine, vmentry(1, 2, path=b"/a"), vmentry(3, 4, path=b"p" * 1024))
    assert entries[0][2] == "/a" and entries[1][2] == "p" * 1024


def test_maps_empty(machine):
    assert maps_of(machine) == []


def test_maps_of_the_default_machine(machine):
    machine()
    maps = m.proc_memory_maps(1310)
    assert ("0x7ffffffff000-0x800000000000", "r-x", "[phys]", 1, 0, 60, 0) in maps
    assert any(path == "/lib/libc.so.7" and perms == "r-x" for _, perms, path, *_ in maps)


@pytest.mark.parametrize("procs,faults,cls,err,message", [
    ([], [fault("kinfo_getvmmap", PID, errno=errno.EACCES)], PermissionError, errno.EACCES,
     f"{fakebsd.strerror(errno.EACCES)} (originated from kinfo_getvmmap())"),
    ([], [fault("kinfo_getvmmap", PID, errno=0), fault("kill", PID, errno=errno.ESRCH)],
     ProcessLookupError, errno.ESRCH, "force no such process (originated from kinfo_getvmmap())"),
    ([proc(7, stat=C.SZOMB)], [fault("kinfo_getvmmap", 7, errno=0)], m.ZombieProcessError, None, ""),
    ([], [fault("kinfo_getvmmap", PID, errno=0)], RuntimeError, None, "kinfo_getvmmap() syscall failed"),
], ids=["errno", "gone", "zombie", "unexplained"])
def test_maps_failure_explained(machine, procs, faults, cls, err, message):
    pid = procs[0]["pid"] if procs else PID
    machine({"procs": [proc(PID, vmmap=[vmentry(1, 2)]), *procs], "faults": faults})
    with pytest.raises(cls) as e:
        m.proc_memory_maps(pid)
    assert type(e.value) is cls
    if err is None:
        assert str(e.value) == message
    else:
        assert (e.value.errno, e.value.strerror) == (err, message)


def test_maps_read_through_libutil(machine):
    vmmap = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_VMMAP, PID)
    entries = [vmentry(0x1000, 0x2000, 5, path=b"/bin/sh"), vmentry(0x2000, 0x3000, 3, type=1)]
    machine({"procs": [proc(PID, vmmap=entries)]})
    packed = answers.sysctl(vmmap)
    # Packed: 136 bytes up to the path, the path and its NUL, rounded up to 8.
    assert len(packed) == 144 + 144
    expected = [("0x1000-0x2000", "r-x", "/bin/sh", 0, 0, 1, 0),
                ("0x2000-0x3000", "rw-", "[default]", 0, 0, 1, 0)]
    assert m.proc_memory_maps(PID) == expected
    # A map that grew by more than a third between measure and read: ENOMEM.
    machine({"procs": [proc(PID, vmmap=entries)],
             "faults": [fault("sysctl", vmmap, answers=[packed, packed * 2])]})
    with pytest.raises(OSError) as e:
        m.proc_memory_maps(PID)
    assert (e.value.errno, e.value.strerror) == (
        errno.ENOMEM, f"{fakebsd.strerror(errno.ENOMEM)} (originated from kinfo_getvmmap())")
    # A record size of 0 ends the map.
    machine({"procs": [proc(PID, vmmap=entries)],
             "faults": [fault("sysctl", vmmap, answer=packed[:144] + bytes(144))]})
    assert m.proc_memory_maps(PID) == expected[:1]


def test_maps_of_a_missing_process_stop_at_its_record(machine):
    machine({"procs": [proc(PID)]})
    with pytest.raises(ProcessLookupError):
        m.proc_memory_maps(4242)
    assert [c for c, _ in fakebsd.calls()] == ["sysctl"]
