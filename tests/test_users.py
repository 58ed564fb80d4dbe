"""Logged-in users from the user-accounting database: the records FreeBSD's
libc hands out, records it never builds, and walks from many threads."""

import ctypes
import errno
import os
import textwrap
import threading

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, fault, utmpx


def walk_calls():
    return [c for c, _ in fakebsd.calls() if c.endswith("utxent")]


def test_default_machine(machine, no_leaks):
    machine()
    assert m.users() == [("alice", "ttyv0", "localhost", 1765180895.0, 902),
                         ("alice", "pts/0", "192.0.2.7", 1765184410.0, 1206)]
    assert walk_calls() == ["setutxent"] + ["getutxent"] * 5 + ["endutxent"]


@pytest.mark.parametrize("host,shown", [
    (b"", "localhost"),
    (b":0", "localhost"),
    (b":0.0", "localhost"),
    (b":0\0stale bytes", "localhost"),   # only the text up to the NUL counts
    (b":0.1", ":0.1"),
    (b":1", ":1"),
    (b":00", ":00"),
    (b":0.0.0", ":0.0.0"),
    (b"0", "0"),
    (b"localhost", "localhost"),
    (b"2001:db8::7", "2001:db8::7"),
    (b"h" * 127, "h" * 127),              # the longest text the field holds
    (b"h" * 128, "h" * 127),              # libc keeps the field's last byte for the NUL
    (b"\xffhost", "\udcffhost"),
])
def test_host(machine, host, shown):
    machine({"utmpx": [utmpx(b"u", b"pts/3", host, sec=5, pid=9)]})
    assert m.users() == [("u", "pts/3", shown, 5.0, 9)]


def test_only_user_processes(machine, no_leaks):
    types = [C.EMPTY, C.BOOT_TIME, C.OLD_TIME, C.NEW_TIME, C.USER_PROCESS, C.INIT_PROCESS,
             C.LOGIN_PROCESS, C.DEAD_PROCESS, C.SHUTDOWN_TIME, C.USER_PROCESS, 4 + 0x100, -4]
    machine({"utmpx": [utmpx(f"u{i}".encode(), b"tty", type=t, pid=i) for i, t in enumerate(types)]})
    assert [(u[0], u[4]) for u in m.users()] == [("u4", 4), ("u9", 9)]


@pytest.mark.parametrize("entries", [[], [utmpx(b"bob", b"pts/1", type=C.DEAD_PROCESS)]])
def test_no_logins(machine, no_leaks, entries):
    machine({"utmpx": entries})
    assert m.users() == []
    assert walk_calls()[0] == "setutxent" and walk_calls()[-1] == "endutxent"


# libc's getutxent answers none at the end of the database with errno
# untouched, and none with fopen's errno when the database cannot be opened:
# only a database that does not exist holds nobody.
@pytest.mark.parametrize("desc,err", [
    ({"utmpx_open_errno": errno.ENOENT}, None),
    ({"nofile": 0}, errno.EMFILE),
    ({"nofile": {"limit": 0, "errno": errno.ENFILE}}, errno.ENFILE),
    ({"utmpx_open_errno": errno.EACCES}, errno.EACCES),
    # the open fails once, getutxent's own try opens it
    ({"faults": [fault("setutxent", errno=errno.EMFILE)]}, "opens"),
])
def test_database_that_cannot_be_opened(machine, no_leaks, desc, err):
    machine(desc)
    if err is None:
        assert m.users() == []
    elif err == "opens":
        assert len(m.users()) == 2
    else:
        with pytest.raises(OSError) as e:
            m.users()
        assert e.value.errno == err and "getutxent()" in e.value.strerror
    assert walk_calls()[-1] == "endutxent"
    # the walk works again once the descriptors are there
    machine()
    assert len(m.users()) == 2


def test_read_failing_midway(machine, no_leaks):
    machine({"faults": [fault("getutxent", errno=errno.EIO, nth=2)]})
    with pytest.raises(OSError) as e:
        m.users()
    assert e.value.errno == errno.EIO


def test_entry_fields(machine):
    machine({"utmpx": [
        utmpx(b"alice", b"pts/0", b"192.0.2.7", sec=100, usec=999, pid=4242),
        # names filling their fields: libc hands out one byte less, terminated
        utmpx(b"U" * 32, b"L" * 16, b"h", sec=0, usec=999999, pid=-7, ut_id=b"I" * 8),
        utmpx(b"\xe9ric", b"ttyv\xff", sec=2**40, pid=2**31 - 1),
        # the file keeps the time as unsigned microseconds: one before the
        # epoch comes back as a date far ahead
        utmpx(b"late", b"pts/9", sec=-1, usec=999999, pid=1),
    ]})
    assert m.users() == [("alice", "pts/0", "192.0.2.7", 100.0, 4242),
                         ("U" * 31, "L" * 15, "h", 0.0, -7),
                         ("\udce9ric", "ttyv\udcff", "localhost", float(2**40), 2**31 - 1),
                         ("late", "pts/9", "localhost", float((2**64 - 1) // 10**6), 1)]


@pytest.mark.parametrize("record,entry", [
    # texts filling their fields to the last byte, without a NUL
    (utmpx(b"U" * 32, b"L" * 16, b"h" * 128, sec=-1, pid=-7),
     ("U" * 32, "L" * 16, "h" * 128, -1.0, -7)),
    # bytes after the NUL, a type FreeBSD would have turned into EMPTY, and
    # fields its type does not carry
    (utmpx(b"u\0stale", b"pts/1\0x", b":0\0x", sec=3, pid=4), ("u", "pts/1", "localhost", 3.0, 4)),
    (utmpx(b"u", b"tty", type=C.USER_PROCESS + 0x100), None),
    (utmpx(b"x", b"y", b"z", type=C.DEAD_PROCESS, pid=3), None),
    # a record cut short: the rest reads as zeros
    (utmpx(b"short", b"pts/2", b"host")[:60], ("short", "", "localhost", 0.0, 0)),
], ids=["full-fields", "stale-bytes", "unknown-type", "dead", "cut-short"])
def test_records_libc_never_builds(machine, no_leaks, record, entry):
    # Placed as they are through raw answers of getutxent: the module reads
    # each field to its first NUL or its end, nothing beyond.
    machine({"utmpx": [], "faults": [fault("getutxent", answers=[record], times=1)]})
    assert m.users() == ([entry] if entry else [])


# ---- concurrency ----------------------------------------------------------

LOGINS = 1000
DB = []
EXPECTED = []
for _i in range(LOGINS):
    DB.append(utmpx(f"user{_i}".encode(), f"pts/{_i}".encode(), f"10.1.{_i // 256}.{_i % 256}".encode(),
                    sec=1700000000 + _i, pid=3000 + _i))
    EXPECTED.append((f"user{_i}", f"pts/{_i}", f"10.1.{_i // 256}.{_i % 256}", 1700000000.0 + _i,
                     3000 + _i))
    if _i % 7 == 0:
        DB.append(utmpx(b"gone", b"pts/99", type=C.DEAD_PROCESS))


def run_threads(target, n):
    """Run target(index) in n threads started together; re-raise the first error."""
    barrier = threading.Barrier(n)
    errors = []

    def run(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            errors.append(e)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_concurrent_walks_are_complete():
    results, handles = [], []

    def work(i):
        fakebsd.install({"utmpx": DB}, "thread")
        try:
            for _ in range(15):
                if i % 3 != 2:
                    results.append(m.users())
                else:  # other functions meanwhile
                    m.disk_partitions()
                    m.disk_io_counters()
                    m.sensors_cpu_temperature(i % 4)
                    m.proc_is_zombie(1)
                    m.getpagesize()
            handles.append(fakebsd.resources()["utmpx"])
        finally:
            fakebsd.uninstall()

    run_threads(work, 12)
    assert len(results) == 8 * 15
    assert all(r == EXPECTED for r in results)
    assert handles == [0] * 12  # every walk was closed


@pytest.mark.thread_unsafe  # walks through the platform calls, bypassing the module's lock
def test_walks_without_the_lock_are_per_thread():
    # FreeBSD's libc keeps one iterator per thread: walks made straight
    # through the platform calls, in many threads at once and without any
    # lock, each see the whole database in order.
    lib = ctypes.CDLL(os.path.join(os.path.dirname(m.__file__), "libfakebsd.so"))
    # The function objects are made here, once: ctypes (3.13) updates a
    # shared flag of their type whenever one is made, racing with calls of
    # the others, so the threads only call them.
    setutxent, getutxent, endutxent = lib.fbsd_setutxent, lib.fbsd_getutxent, lib.fbsd_endutxent
    getutxent.restype = ctypes.c_void_p
    size = fakebsd.sizeof("utmpx")
    want = [e for e in DB if fakebsd.unpack("utmpx", e)["ut_type"] == C.USER_PROCESS]
    bad, handles = [], []

    def walk(i):
        fakebsd.install({"utmpx": DB}, "thread")
        try:
            for _ in range(15):
                setutxent()
                seen = []
                while (p := getutxent()):
                    rec = ctypes.string_at(p, size)
                    if fakebsd.unpack("utmpx", rec)["ut_type"] == C.USER_PROCESS:
                        seen.append(rec)
                endutxent()
                if seen != want:
                    bad.append((i, len(seen)))
            handles.append(fakebsd.resources()["utmpx"])
        finally:
            fakebsd.uninstall()

    run_threads(walk, 8)
    assert not bad and handles == [0] * 8


# A name that fails to decode: with strict file-system errors, a login name
# that cannot be decoded ends the call. The records are copied during the
# walk and decoded after it, so the walk has been read to its end and ended
# (endutxent), the lock given back (another thread's walk then completes)
# and no handle left open.
MIDWAY = textwrap.dedent("""
    import sys, threading, _morvex_bsd as m, fakebsd
    from fakebsd import utmpx
    assert sys.getfilesystemencodeerrors() == "strict"
    good = utmpx(b"alice", b"pts/0", b"192.0.2.7", sec=1765184410, pid=1206)
    bad = utmpx(b"b\\xff\\xfeb", b"pts/1", b"192.0.2.8", sec=1765184411, pid=1207)
    fakebsd.install({"utmpx": [good]}, "global")
    fakebsd.install({"utmpx": [good, bad, good]}, "thread")
    try:
        m.users()
    except UnicodeDecodeError as e:
        assert e.object == b"b\\xff\\xfeb", e.object
    else:
        raise AssertionError("users() decoded the name")
    walk = [c for c, _ in fakebsd.calls() if c.endswith("utxent")]
    assert walk == ["setutxent"] + ["getutxent"] * 4 + ["endutxent"], walk
    assert not any(fakebsd.resources().values()), fakebsd.resources()
    out = []
    t = threading.Thread(target=lambda: out.append(m.users()), daemon=True)
    t.start()
    t.join(20)
    assert not t.is_alive(), "the lock was kept"
    assert [u[0] for u in out[0]] == ["alice"], out
    print("ok")
""")


def test_walk_failing_midway(strict_python):
    r = strict_python(MIDWAY)
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr
