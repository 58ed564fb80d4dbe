"""Mounted file systems with their mount options, and per-device I/O counters."""

import errno
import os

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, devstat, fault, statfs

from conftest import run_python

# Every option flag with its text, in the order the texts are written.
OPTIONS = [
    (C.MNT_SYNCHRONOUS, ",sync"), (C.MNT_NOEXEC, ",noexec"), (C.MNT_NOSUID, ",nosuid"),
    (C.MNT_ASYNC, ",async"), (C.MNT_NOATIME, ",noatime"), (C.MNT_SOFTDEP, ",softdep"),
    (C.MNT_UNION, ",union"), (C.MNT_SUIDDIR, ",suiddir"), (C.MNT_NOSYMFOLLOW, ",nosymfollow"),
    (C.MNT_GJOURNAL, ",gjournal"), (C.MNT_MULTILABEL, ",multilabel"), (C.MNT_ACLS, ",acls"),
    (C.MNT_NOCLUSTERR, ",noclusterr"), (C.MNT_NOCLUSTERW, ",noclusterw"),
    (C.MNT_NFS4ACLS, ",nfs4acls"),
]
ALL_FLAGS = C.MNT_RDONLY
for _flag, _ in OPTIONS:
    ALL_FLAGS |= _flag

ROOT = statfs(b"/dev/ada0p2", b"/", b"ufs", C.MNT_LOCAL)
VAR = statfs(b"/dev/ada0p3", b"/var", b"ufs", C.MNT_LOCAL)
DEV = statfs(b"devfs", b"/dev", b"devfs", C.MNT_LOCAL)


def test_partitions_two_counts_without_the_thread_state(machine, no_leaks):
    machine({"mounts": [ROOT, DEV]})
    assert m.disk_partitions() == [("/dev/ada0p2", "/", "ufs", "rw"),
                                   ("devfs", "/dev", "devfs", "rw")]
    # A count with no buffer, then the fetch, both MNT_NOWAIT (2), and neither
    # made while the thread state is held.
    assert fakebsd.calls() == [("getfsstat", "2 (measure)"), ("getfsstat", "2")]


@pytest.mark.parametrize("flags,text", [
    (0, "rw"),
    (C.MNT_RDONLY | C.MNT_SOFTDEP | C.MNT_NOATIME, "ro,noatime,softdep"),
    (C.MNT_NFS4ACLS | C.MNT_SYNCHRONOUS, "rw,sync,nfs4acls"),
    (ALL_FLAGS, "ro" + "".join(text for _, text in OPTIONS)),
    # flags outside the table, below and above bit 32, add nothing
    (C.MNT_SUJ | C.MNT_LOCAL | C.MNT_QUOTA | C.MNT_ROOTFS | C.MNT_EXPORTED | C.MNT_UNTRUSTED,
     "rw"),
])
def test_option_text_in_table_order(machine, flags, text):
    machine({"mounts": [statfs(b"zroot", b"/", b"zfs", flags)]})
    assert m.disk_partitions()[0][3] == text


def test_each_option_flag_has_its_own_text(machine):
    machine({"mounts": [statfs(b"d", b"/", b"ufs", flag) for flag, _ in OPTIONS]})
    assert [opts for _, _, _, opts in m.disk_partitions()] == ["rw" + text for _, text in OPTIONS]


def test_name_fields_are_read_to_their_end_and_no_further(machine):
    # Fields filled to their last byte, without a NUL.
    machine({"mounts": [statfs(b"F" * 1024, b"/" * 1024, b"T" * 16, 0, f_charspare=b"X" * 80),
                        statfs(b"\xff\xfe", b"/mnt/\xe9", b"msdosfs", 0)]})
    assert m.disk_partitions() == [("F" * 1024, "/" * 1024, "T" * 16, "rw"),
                                   ("\udcff\udcfe", "/mnt/\udce9", "msdosfs", "rw")]


@pytest.mark.parametrize("later,expected", [
    ([], []),                            # everything unmounted in between
    ([ROOT], ["/"]),                     # one unmounted
    ([ROOT, DEV, VAR], ["/", "/dev"]),   # one mounted: only what was counted fits
])
def test_mount_table_changes_between_the_calls(machine, no_leaks, later, expected):
    machine({"mounts": [ROOT, DEV], "mounts_later": later})
    assert [p[1] for p in m.disk_partitions()] == expected


def test_empty_mount_table(machine):
    machine({"mounts": []})
    assert m.disk_partitions() == []


@pytest.mark.parametrize("nth", [1, 2])
@pytest.mark.parametrize("err,cls", [(errno.EPERM, PermissionError), (errno.EIO, OSError)])
def test_partitions_getfsstat_fails(machine, nth, err, cls):
    machine({"mounts": [ROOT], "faults": [fault("getfsstat", errno=err, nth=nth, times=1)]})
    with pytest.raises(OSError) as e:
        m.disk_partitions()
    assert type(e.value) is cls and (e.value.errno, e.value.strerror) == (err, fakebsd.strerror(err))
    assert e.value.filename is None
    assert len(fakebsd.calls()) == nth


def test_partitions_undecodable_type_is_escaped(machine):
    machine({"mounts": [ROOT, statfs(b"x", b"/x", b"\xff", 0), VAR]})
    assert [p[2] for p in m.disk_partitions()] == ["ufs", "\udcff", "ufs"]


# ---- disk_io_counters -------------------------------------------------------

def test_io_counters_fields(machine, no_leaks):
    machine({"devices": [devstat(b"ada", 0, reads=7, writes=11, bytes_read=2**64 - 1,
                                 bytes_written=4096, read_time=(1, 2**63),
                                 write_time=(0, 2**64 - 1), busy_time=(5, 2**62))]})
    assert m.disk_io_counters() == {"ada0": (7, 11, 2**64 - 1, 4096, 1500, 999, 5250)}
    assert fakebsd.calls() == [("devstat_checkversion", ""), ("devstat_getdevs", "")]


@pytest.mark.parametrize("sec,frac,ms", [
    (1, 2**63, 1500),
    (0, 2**64 - 1, 999),
    (0, 2**32 - 1, 0),               # only the upper 32 bits of the fraction count
    (0, 4294968 << 32, 1),           # just over a millisecond: 1000000.16 ns
    (0, 4294967 << 32, 0),           # just under: 999999.93 ns
    (3, 0, 3000),
    (-2, 2**63, -1500),
])
def test_bintime_to_milliseconds(machine, sec, frac, ms):
    machine({"devices": [devstat(b"da", 1, read_time=(sec, frac))]})
    assert m.disk_io_counters()["da1"][4] == ms


def test_device_keys(machine):
    machine({"devices": [devstat(b"da", 12, reads=1), devstat(b"nvd", 0, reads=2),
                         devstat(b"da", 12, reads=3),   # same key: the later one stays
                         devstat(b"N" * 16, 7, reads=4)]})  # name filling its field
    assert m.disk_io_counters() == {"da12": (3, 0, 0, 0, 0, 0, 0), "nvd0": (2, 0, 0, 0, 0, 0, 0),
                                    "N" * 16 + "7": (4, 0, 0, 0, 0, 0, 0)}


def test_no_devices(machine, no_leaks):
    machine({"devices": []})
    assert m.disk_io_counters() == {}


@pytest.mark.parametrize("call,text,calls", [
    ("devstat_checkversion", "devstat_checkversion() syscall failed", 1),
    ("devstat_getdevs", "devstat_getdevs() syscall failed", 2),
])
def test_io_counters_library_fails(machine, call, text, calls):
    machine({"faults": [fault(call, errno=errno.EIO)]})
    with pytest.raises(RuntimeError) as e:
        m.disk_io_counters()
    assert str(e.value) == text and len(fakebsd.calls()) == calls


LEAK_CHECK = r"""
import ctypes, _morvex_bsd as m, fakebsd
from fakebsd import devstat, fault

class MallInfo(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]
libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo

fakebsd.install(%s)
def call():
    try:
        m.disk_io_counters()
    except RuntimeError:
        pass
    fakebsd.clear_calls()
for _ in range(200):
    call()
before = libc.mallinfo2().uordblks
for _ in range(5000):
    call()
print(libc.mallinfo2().uordblks - before)
"""


@pytest.mark.skipif(os.environ.get("MORVEX_SANITIZED") == "1", reason="the sanitizers' allocator")
@pytest.mark.parametrize("desc", [
    '{"devices": []}',
    '{"devices": [devstat(b"ada", 0), devstat(b"cd", 0)]}',
    '{"faults": [fault("devstat_getdevs", errno=5)]}',  # fails with the memory allocated
])
def test_library_memory_is_freed(desc):
    # Every call leaves the library's block behind if the module does not free
    # it: at least 5000 blocks of 8 bytes and more.
    r = run_python(LEAK_CHECK % desc)
    assert r.returncode == 0, r.stderr
    assert int(r.stdout) < 16384
