"""The stand-in platform itself: isolation from the host C library, record
layouts, fault semantics, thread-local machines."""

import ctypes
import errno
import shutil
import subprocess
import threading

import pytest

import _fakebsd
import _morvex_bsd as m
import fakebsd
from fakebsd import fault

# Host C library functions whose FreeBSD namesakes the stand-in serves: the
# module must reach the stand-in's, never the host's.
SERVED = {
    "sysctl", "sysctlbyname", "sysconf", "kill", "close", "socket", "ioctl", "inet_ntop",
    "getifaddrs", "freeifaddrs", "getnameinfo", "getpriority", "setpriority", "setutxent",
    "getutxent", "endutxent", "getfsstat", "cpuset_getaffinity", "cpuset_setaffinity",
}


def dynsyms(path, *flags):
    out = subprocess.run(["nm", "-D", *flags, path], capture_output=True, text=True, check=True)
    return {line.split()[-1].split("@")[0] for line in out.stdout.splitlines() if line.strip()}


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_module_never_binds_host_namesakes():
    undefined = dynsyms(m.__file__, "--undefined-only")
    assert not undefined & SERVED
    libfake = [p for p in undefined if p.startswith("fbsd_")]
    assert "fbsd_sysctl" in libfake


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_standin_exports_no_libc_names():
    import os
    lib = os.path.join(os.path.dirname(m.__file__), "libfakebsd.so")
    exported = dynsyms(lib, "--defined-only")
    c_names = {s for s in exported if not s.startswith("_Z")}  # C++ names are mangled
    assert c_names and all(s.startswith("fbsd_") or s.startswith("_") for s in c_names), c_names


@pytest.mark.parametrize("record,size", [
    ("kinfo_proc", 1088), ("kinfo_file", 1392), ("kinfo_vmentry", 1160), ("xfile", 128),
    ("xinpgen", 64), ("xtcpcb", 744), ("xinpcb", 400), ("xunpgen", 32), ("xunpcb", 904),
    ("statfs", 2344), ("devstat", 288), ("devinfo", 32), ("if_msghdr", 168), ("ifreq", 32),
    ("ifmediareq", 48), ("vmtotal", 88), ("cpuset_t", 128), ("rlimit", 16),
])
def test_record_sizes(record, size):
    assert fakebsd.sizeof(record) == size


def test_pack_unpack_roundtrip():
    raw = fakebsd.pack("kinfo_proc", {"ki_pid": -7, "ki_uid": 2**32 - 1, "ki_comm": b"abc",
                                      "ki_groups": [5, 6], "ki_rusage.ru_utime.tv_usec": 9})
    back = fakebsd.unpack("kinfo_proc", raw)
    assert (back["ki_pid"], back["ki_uid"]) == (-7, 2**32 - 1)
    assert back["ki_comm"].rstrip(b"\0") == b"abc" and back["ki_groups"][:3] == [5, 6, 0]
    assert back["ki_rusage.ru_utime.tv_usec"] == 9
    with pytest.raises(KeyError):
        fakebsd.pack("kinfo_proc", {"no_such_field": 1})
    with pytest.raises(ValueError):
        fakebsd.pack("kinfo_proc", {"ki_comm": b"x" * 40})


def test_constants_are_freebsds():
    C = fakebsd.C
    assert (C.AF_INET6, C.AF_LINK, C.RLIMIT_NOFILE, C._SC_PAGESIZE, C.USER_PROCESS,
            C.NI_NUMERICHOST) == (28, 18, 8, 47, 4, 2)


def test_fault_nth_and_times(machine):
    machine({"faults": [fault("sysconf", None, errno=errno.EIO, nth=2, times=2)]})
    got = [m.getpagesize() for _ in range(5)]
    assert got == [4096, -1, -1, 4096, 4096]


def test_thread_machines_are_private(machine):
    machine({"pagesize": 8192})
    seen = []
    t = threading.Thread(target=lambda: seen.append(m.getpagesize()))
    t.start()
    t.join()
    assert m.getpagesize() == 8192 and seen == [4096]


def test_call_log_is_per_thread(machine):
    machine()
    m.getpagesize()
    t = threading.Thread(target=m.getpagesize)
    t.start()
    t.join()
    assert fakebsd.calls() == [("sysconf", "47")]


def test_process_table_edits(machine):
    # Edits keep the base machine's table and change only what they name.
    machine()
    base_pids = m.pids()
    machine({"procs_changed": [{"pid": 1310, "args": fakebsd.argv(b"worker", b"-v")},
                               fakebsd.proc(4242, comm=b"new")],
             "procs_gone": [1, 852]})
    assert sorted(m.pids()) == sorted([p for p in base_pids if p not in (1, 852)] + [4242])
    assert m.proc_cmdline(1310) == ["worker", "-v"]
    assert m.proc_name(1310) == "python3.13" and m.proc_name(4242) == "new"
    with pytest.raises(ProcessLookupError):
        m.proc_name(852)
    with pytest.raises(TypeError):
        _fakebsd.install({"procs_gone": [None]})


def test_description_errors():
    with pytest.raises(TypeError):
        _fakebsd.install([1])
    with pytest.raises(KeyError):
        _fakebsd.install({"faults": [{"errno": 1}]})
    with pytest.raises(ValueError):
        _fakebsd.install({}, "nowhere")
