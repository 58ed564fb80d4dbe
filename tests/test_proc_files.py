"""A process's executable (kern.proc.pathname), working directory, number of
descriptors and open regular files (kinfo_getfile)."""

import errno
import os

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, fault, fd_table, kinfo_file, proc

VDIR, VCHR = C.KF_VTYPE_VDIR, C.KF_VTYPE_VCHR
CWD, ROOT, TEXT = C.KF_FD_TYPE_CWD, C.KF_FD_TYPE_ROOT, C.KF_FD_TYPE_TEXT

# Working and root directory, then three descriptors: 5 entries.
BASIC = [kinfo_file(CWD, b"/home/alice", vtype=VDIR), kinfo_file(ROOT, b"/", vtype=VDIR),
         kinfo_file(0, b"/dev/pts/0", vtype=VCHR), kinfo_file(1, b"/var/log/app.log"),
         kinfo_file(2, b"/dev/pts/0", vtype=VCHR)]

TABLE_READERS = [m.proc_cwd, m.proc_num_fds, m.proc_open_files]


def called(name):
    return [key for call, key in fakebsd.calls() if call == name]


# --- executable -------------------------------------------------------------

@pytest.mark.parametrize("desc,expected", [
    ({"path": b"/usr/local/bin/python3.13\0"}, "/usr/local/bin/python3.13"),
    # No path in the kernel (ENOENT), or an empty one for a live process.
    ({"path": None}, ""),
    ({"path": b""}, ""),
    ({"path": b"\0/stale"}, ""),
    ({"path": b"", "kill": "eperm"}, ""),
    # The answer ends the path even without a NUL.
    ({"path": b"/bin/sh"}, "/bin/sh"),
    ({"path": b"/bin/\xffsh\0"}, "/bin/\udcffsh"),
], ids=["path", "enoent", "empty", "leading-nul", "empty-other-owner", "no-nul", "undecodable"])
def test_exe(machine, desc, expected):
    machine({"procs": [proc(42, **desc)]})
    assert m.proc_exe(42) == expected


@pytest.mark.parametrize("size", [1023, 1024])
def test_exe_answer_filling_the_buffer_is_not_read_past(machine, size):
    machine({"procs": [proc(42)],
             "faults": [fault("sysctl", (1, 14, 12, 42), answer=b"/" + b"p" * (size - 1))]})
    assert m.proc_exe(42) == "/" + "p" * (size - 1)
    # Nor when the kernel claims more than it could have written.
    machine({"procs": [proc(42)],
             "faults": [fault("sysctl", (1, 14, 12, 42), answer=b"/" + b"p" * (size - 1), report=4096)]})
    assert m.proc_exe(42) == "/" + "p" * (size - 1)


@pytest.mark.parametrize("pid,procs,faults,cls,err,message", [
    # An empty answer for a process that is gone by the time it is tested.
    (77, [], [fault("sysctl", (1, 14, 12, 77), answer=b"")], ProcessLookupError, errno.ESRCH,
     "force no such process (originated from morvex_pid_exists -> 0)"),
    (42, [proc(42, path=b"")], [fault("kill", 42, errno=errno.ESRCH)], ProcessLookupError,
     errno.ESRCH, "force no such process (originated from morvex_pid_exists -> 0)"),
    # PID 0 never counts as existing.
    (0, [proc(0, path=b"")], [], ProcessLookupError, errno.ESRCH,
     "force no such process (originated from morvex_pid_exists -> 0)"),
    # The liveness test itself fails: OSError from its errno.
    (42, [proc(42, path=b"")], [fault("kill", 42, errno=errno.EINVAL)], OSError, errno.EINVAL,
     fakebsd.strerror(errno.EINVAL)),
    (4242, [], [], ProcessLookupError, errno.ESRCH,
     f"{fakebsd.strerror(errno.ESRCH)} (originated from sysctl(KERN_PROC_PATHNAME))"),
    (42, [proc(42, path=b"/x\0")], [fault("sysctl", (1, 14, 12, 42), errno=errno.EPERM)],
     PermissionError, errno.EPERM,
     f"{fakebsd.strerror(errno.EPERM)} (originated from sysctl(KERN_PROC_PATHNAME))"),
    # Longer than the buffer: the kernel says so with ENOMEM.
    (42, [proc(42, path=b"/" * 1100 + b"\0")], [], OSError, errno.ENOMEM,
     f"{fakebsd.strerror(errno.ENOMEM)} (originated from sysctl(KERN_PROC_PATHNAME))"),
], ids=["gone", "gone-after-answer", "pid0", "liveness-fails", "no-process", "eperm", "too-long"])
def test_exe_failures(machine, pid, procs, faults, cls, err, message):
    machine({"procs": procs, "faults": faults})
    with pytest.raises(cls) as e:
        m.proc_exe(pid)
    assert (type(e.value), e.value.errno, e.value.strerror) == (cls, err, message)


def test_exe_of_a_process_on_its_way_out(machine):
    # Exiting (P_WEXIT) or a zombie, it has given its text back: the kernel
    # answers the empty path, and the module asks whether it still exists
    # (under churn on FreeBSD 14.2 it often no longer does).
    machine({"procs": [proc(42, path=b"/bin/sh\0", flag=C.P_INMEM | C.P_WEXIT),
                       proc(43, path=b"/bin/sh\0", stat=C.SZOMB)]})
    assert m.proc_exe(42) == m.proc_exe(43) == ""
    machine({"procs": [proc(42, path=b"/bin/sh\0", flag=C.P_INMEM | C.P_WEXIT)],
             "faults": [fault("kill", 42, errno=errno.ESRCH)]})
    with pytest.raises(ProcessLookupError, match="morvex_pid_exists -> 0"):
        m.proc_exe(42)


def test_exe_asks_liveness_only_for_an_empty_answer(machine):
    machine({"procs": [proc(42, path=b"/x\0"), proc(43, path=None)]})
    m.proc_exe(42)
    m.proc_exe(43)
    assert called("kill") == []


# --- descriptor table -------------------------------------------------------

@pytest.mark.parametrize("files,expected", [
    (BASIC, "/home/alice"),
    ([], ""),
    ([kinfo_file(ROOT, b"/", vtype=VDIR), kinfo_file(3, b"/tmp/x")], ""),
    # The first working-directory entry counts.
    ([kinfo_file(ROOT, b"/", vtype=VDIR), kinfo_file(CWD, b"/a", vtype=VDIR),
      kinfo_file(CWD, b"/b", vtype=VDIR)], "/a"),
    ([kinfo_file(CWD, b"", vtype=VDIR)], ""),
    # A path that fills kf_path without a NUL ends with the field.
    ([kinfo_file(CWD, b"/" + b"d" * 1023, vtype=VDIR), kinfo_file(3, b"/next")], "/" + "d" * 1023),
], ids=["basic", "empty-table", "no-cwd", "first-cwd", "empty-path", "full-path"])
def test_cwd(machine, files, expected):
    machine({"procs": [proc(42, files=files)]})
    assert m.proc_cwd(42) == expected


@pytest.mark.parametrize("files,expected", [
    (BASIC, 5),
    ([], 0),
    (BASIC + [kinfo_file(3, type=C.KF_TYPE_SOCKET), kinfo_file(TEXT, b"/bin/x")], 7),
])
def test_num_fds_counts_every_entry(machine, files, expected):
    machine({"procs": [proc(42, files=files)]})
    assert m.proc_num_fds(42) == expected


def test_open_files_lists_regular_files_only(machine):
    files = [
        kinfo_file(CWD, b"/home/alice", vtype=VDIR),
        kinfo_file(ROOT, b"/", vtype=VDIR),
        kinfo_file(TEXT, b"/usr/local/bin/python3.13"),  # a regular-file vnode: listed
        kinfo_file(0, b"/dev/pts/0", vtype=VCHR),
        kinfo_file(3, b"/data/events.db"),
        kinfo_file(4, b"/data/events.db"),               # the same file twice
        kinfo_file(5, b"/data", vtype=VDIR),
        kinfo_file(6, type=C.KF_TYPE_SOCKET),
        kinfo_file(7, type=C.KF_TYPE_PIPE),
        kinfo_file(8, b"/tmp/fifo", vtype=C.KF_VTYPE_VFIFO),
        kinfo_file(9, b"/x", type=C.KF_TYPE_SHM, vtype=C.KF_VTYPE_VREG),  # not a vnode
        kinfo_file(10, b""),                              # no path known
        kinfo_file(11, b"/" + b"f" * 1023),               # kf_path without a NUL
        kinfo_file(12, b"/caf\xc3\xa9/\xff"),
    ]
    machine({"procs": [proc(42, files=files)]})
    assert m.proc_open_files(42) == [
        ("/usr/local/bin/python3.13", TEXT), ("/data/events.db", 3), ("/data/events.db", 4),
        ("", 10), ("/" + "f" * 1023, 11), ("/caf\u00e9/\udcff", 12)]


def test_tables_as_the_kernel_builds_them(machine):
    # The kernel's own entries (trace file, executable, terminal, working,
    # root and jail directory) come before the descriptors, and count.
    files = fd_table(kinfo_file(0, b"/dev/pts/1", vtype=VCHR), kinfo_file(3, b"/var/log/app.log"),
                     trace=b"/tmp/ktrace.out", text=b"/usr/local/bin/app", ctty=b"/dev/pts/1",
                     cwd=b"/srv", jail=b"/jails/app")
    machine({"procs": [proc(42, files=files), proc(43, path=b"/bin/sh\0")]})
    assert m.proc_num_fds(42) == 8
    assert m.proc_cwd(42) == "/srv"
    # Every regular-file vnode is listed: the trace file and the executable too.
    assert m.proc_open_files(42) == [("/tmp/ktrace.out", C.KF_FD_TYPE_TRACE),
                                     ("/usr/local/bin/app", TEXT), ("/var/log/app.log", 3)]
    # A process with no descriptors open still has its text and directories.
    assert (m.proc_num_fds(43), m.proc_open_files(43), m.proc_cwd(43)) == (3, [("/bin/sh", TEXT)], "/")


def filedesc(pid):
    return (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_FILEDESC, pid)


@pytest.mark.parametrize("fn", TABLE_READERS)
def test_table_read_through_libutil(machine, fn):
    machine({"procs": [proc(42, files=BASIC)]})
    packed = answers.sysctl(filedesc(42))
    assert len(packed) < 5 * 1392
    # The table grew by more than a third between libutil's size query and
    # its read: ENOMEM, no second try.
    machine({"procs": [proc(42, files=BASIC)],
             "faults": [fault("sysctl", filedesc(42), answers=[packed, packed * 2])]})
    with pytest.raises(OSError) as e:
        fn(42)
    assert (e.value.errno, e.value.strerror) == (
        errno.ENOMEM, f"{fakebsd.strerror(errno.ENOMEM)} (originated from kinfo_getfile())")
    # The kernel refuses the table (another user's process): its errno.
    machine({"procs": [proc(42, files=BASIC)],
             "faults": [fault("sysctl", filedesc(42), errno=errno.EPERM)]})
    with pytest.raises(PermissionError) as e:
        fn(42)
    assert e.value.strerror == f"{fakebsd.strerror(errno.EPERM)} (originated from kinfo_getfile())"
    # A record size of 0 ends the table where libutil stops reading.
    cut = packed[:packed.index(b"/var/log/app.log") - 368]   # up to the fourth record
    machine({"procs": [proc(42, files=BASIC)],
             "faults": [fault("sysctl", filedesc(42), answer=cut + bytes(8) + packed)]})
    assert m.proc_num_fds(42) == 3 and m.proc_open_files(42) == [] and m.proc_cwd(42) == "/home/alice"


@pytest.mark.parametrize("files", [[], BASIC[:1] + [kinfo_file(3, type=C.KF_TYPE_PIPE)]])
def test_open_files_none(machine, files):
    machine({"procs": [proc(42, files=files)]})
    assert m.proc_open_files(42) == []


# A failed table read, explained by what is known about the process then.
@pytest.mark.parametrize("fn", TABLE_READERS)
@pytest.mark.parametrize("procs,faults,cls,err,message", [
    ([proc(42)], [fault("kinfo_getfile", 42, errno=errno.EACCES)], PermissionError, errno.EACCES,
     f"{fakebsd.strerror(errno.EACCES)} (originated from kinfo_getfile())"),
    # errno left at 0: the process exited meanwhile ...
    ([proc(42)], [fault("kinfo_getfile", 42, errno=0), fault("kill", 42, errno=errno.ESRCH)],
     ProcessLookupError, errno.ESRCH, "force no such process (originated from kinfo_getfile())"),
    # ... is a zombie ...
    ([proc(42, stat=C.SZOMB)], [fault("kinfo_getfile", 42, errno=0)], m.ZombieProcessError, None, ""),
    # ... or is alive and well.
    ([proc(42)], [fault("kinfo_getfile", 42, errno=0)], RuntimeError, None,
     "kinfo_getfile() syscall failed"),
], ids=["errno", "gone", "zombie", "alive"])
def test_table_read_failures(machine, fn, procs, faults, cls, err, message):
    machine({"procs": procs, "faults": faults})
    with pytest.raises(cls) as e:
        fn(42)
    assert type(e.value) is cls
    if err is None:
        assert str(e.value) == message
    else:
        assert (e.value.errno, e.value.strerror) == (err, message)


@pytest.mark.parametrize("fn", TABLE_READERS)
def test_table_readers_missing_process(machine, fn):
    machine({"procs": [proc(42, files=BASIC)]})
    with pytest.raises(ProcessLookupError) as e:
        fn(4242)
    assert e.value.strerror == f"{fakebsd.strerror(errno.ESRCH)} (originated from sysctl(kinfo_proc))"
    # The record lookup fails first; the table is never asked for.
    assert called("kinfo_getfile") == []
    with pytest.raises(TypeError):
        fn("42")


def test_default_machine(machine):
    machine()
    assert m.proc_exe(701) == "/usr/sbin/sshd"
    assert m.proc_cwd(1310) == "/home/alice/src/app"
    assert ("/home/alice/src/app/data/events.db", 3) in m.proc_open_files(1310)
    # sshd: its executable, the working and root directories, stdin/out/err,
    # two listening sockets
    assert m.proc_num_fds(701) == 8
    assert m.proc_open_files(701) == [("/usr/sbin/sshd", TEXT)]
    # the user's interpreter: also its session's terminal, nine descriptors
    # and two sockets
    assert m.proc_num_fds(1310) == 15
    assert m.proc_open_files(1310)[0] == ("/usr/local/bin/python3.13", TEXT)
    # a kernel process: no executable, only the directories
    assert m.proc_exe(12) == "" and m.proc_cwd(12) == "/" and m.proc_num_fds(12) == 2


def test_no_leaks_over_many_calls(machine, no_leaks):
    machine({"procs": [proc(42, files=BASIC, path=b"/bin/x\0"), proc(43, files=BASIC),
                       proc(44, stat=C.SZOMB), proc(45, files=[kinfo_file(3, b"/\xff")], path=b"")],
             "faults": [fault("kinfo_getfile", 43, errno=errno.EACCES),
                        fault("kinfo_getfile", 44, errno=0)]})
    for _ in range(300):
        assert m.proc_exe(42) == "/bin/x" and m.proc_exe(45) == ""
        assert m.proc_cwd(42) == "/home/alice" and m.proc_num_fds(42) == 5
        assert m.proc_open_files(42) == [("/var/log/app.log", 1)]
        assert m.proc_open_files(45) == [("/\udcff", 3)]
        for fn in TABLE_READERS:
            for pid, exc in ((43, PermissionError), (44, m.ZombieProcessError),
                             (4242, ProcessLookupError)):
                with pytest.raises(exc):
                    fn(pid)
        with pytest.raises(ProcessLookupError):
            m.proc_exe(4242)
