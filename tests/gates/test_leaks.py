"""Leak check of every module function.

Each case is one function with its arguments on a described machine, and what
the call must give (a result, or one exact exception class). The call is made
many times in a row: after a warm-up, three rounds of N calls each. A leak
grows by at least its own size in every round, a one-off change (a cache
filled, memory given back late) in one round at most, so the median round is
judged. In it none of these may grow past its limit:

- the interpreter's allocated blocks (one leaked object per call: N blocks),
- the bytes the C allocator has handed out and not had back (one leaked
  buffer per call: N blocks of at least 32 bytes; under the sanitizers the
  sanitizer's own count),
- the process's resident memory (a coarser, independent view; not under the
  sanitizers, whose quarantine holds freed memory by design),
- the reference counts of the objects every call touches (the module, the
  function, the exception class of zombies);

and afterwards every platform handle must be back. Arguments are fresh
objects for every call, so a reference kept to one shows as a leaked block.

N comes from MORVEX_LEAK_CALLS: a few dozen by default, so that the suite (and
its run under the sanitizers) takes every path quickly; `make check-leaks`
runs thousands.
"""

import ctypes
import errno
import gc
import os
import re
import sys
from dataclasses import dataclass, field

import pytest

import _morvex_bsd as m
import fakebsd
from calls import CALLS, EXPECTED_ERRORS, IFACE, PID, ZOMBIE
from fakebsd import (C, Sockets, battery, cpuset, devstat, fault, i32, iface, inet, kinfo_file,
                     proc, statfs, temperatures, utmpx, vmentry)
from fakebsd.ifs import IFLIST, ifinfo, message
from fakebsd.socks import kinfo_socket, pcblist, xfile, xinpcb, xinpgen, xtcpcb, xunpcb, xunpgen

CALLS_PER_ROUND = int(os.environ.get("MORVEX_LEAK_CALLS", "40"))
ROUNDS = 3
SANITIZED = bool(os.environ.get("MORVEX_SANITIZED"))

pytestmark = pytest.mark.thread_unsafe(reason="measures the whole process")

GONE = 4242             # no such process
KPROC = 11              # a kernel process ("idle"): no arguments, no path
ALICE = 1001
OTHER = 42              # a process of the described machines below
FOREIGN = 43            # someone else's: readable, not changeable



def kern_proc(op, *rest):
    """MIB of a kern.proc query."""
    return (C.CTL_KERN, C.KERN_PROC, op, *rest)


def record_mib(pid):
    return kern_proc(C.KERN_PROC_PID, pid)


def args_mib(pid):
    return kern_proc(C.KERN_PROC_ARGS, pid)


def path_mib(pid):
    return kern_proc(C.KERN_PROC_PATHNAME, pid)


def threads_mib(pid):
    return kern_proc(C.KERN_PROC_PID | C.KERN_PROC_INC_THREAD, pid)


def rlimit_mib(pid, resource):
    return kern_proc(C.KERN_PROC_RLIMIT, pid, resource)


PROCTABLE = kern_proc(C.KERN_PROC_PROC, 0)
NCPU = (C.CTL_HW, C.HW_NCPU)
BOOTTIME = (C.CTL_KERN, C.KERN_BOOTTIME)
VMMETER = (C.CTL_VM, C.VM_METER)

BIG = 1 << 20           # a length no buffer of these calls has


class Boom(Exception):
    """Raised by the argument objects below, so that the exception can only
    come from calling into them."""


class BadIndex:
    def __index__(self):
        raise Boom("__index__")


class BadBool:
    def __bool__(self):
        raise Boom("__bool__")


class BadEq:
    def __eq__(self, other):
        raise Boom("__eq__")

    __hash__ = object.__hash__


def fresh(value):
    """A new object equal to `value` (immortal singletons and small ints
    apart), so that a reference the module keeps to an argument keeps a
    block of its own alive."""
    if isinstance(value, bool) or value is None or isinstance(value, float):
        return value
    if isinstance(value, int):
        return value if -5 <= value <= 256 else int(str(value))
    if isinstance(value, str):
        return value.encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass")
    if isinstance(value, bytes):
        return bytes(bytearray(value))
    if isinstance(value, list):
        return [fresh(v) for v in value]
    if isinstance(value, tuple):
        return tuple([fresh(v) for v in value])
    if isinstance(value, dict):
        return {fresh(k): fresh(v) for k, v in value.items()}
    if isinstance(value, type):           # a class: a new instance of it
        return value()
    raise TypeError(f"no fresh copy of {value!r}")


def _counted(f):
    return f.get("nth", 1) != 1 or f.get("times") is not None or len(f.get("answers") or ()) > 1


@dataclass
class Case:
    func: str
    args: tuple = ()
    desc: dict | None = None
    raises: type | None = None
    match: str | None = None
    base: str = "default"
    # Every call doubles buffers up to gigabytes of address space: cheap
    # untouched, slow under the sanitizers, which shadow every byte.
    heavy: bool = False
    # A fault that counts invocations (from the nth on, for so many times,
    # one answer after another) must see each call from the start: such a
    # case gets a fresh machine before every call.
    fresh_machine: bool = field(init=False)

    def __post_init__(self):
        self.fresh_machine = any(_counted(f) for f in (self.desc or {}).get("faults", ()))


CASES = []


def case(label, func, args=(), desc=None, raises=None, match=None, base="default", heavy=False):
    CASES.append(pytest.param(Case(func, args, desc, raises, match, base, heavy),
                              id=f"{func}-{label}"))


def faults(*fs, **desc):
    return {"faults": list(fs), **desc}


def growing_read(func, args, call, key, text, tolerated=False):
    """The failure paths of one growing read: the measurement, the fetch or
    the second measurement fails, the answer keeps outgrowing the buffer, the
    answer claims more than the buffer holds. `text` names the read in its
    messages; a caller that tolerates every failure returns all the same."""
    def expect(cls, message):
        return (None, None) if tolerated else (cls, message)
    # measured at 1 byte while it holds more than the room added to that
    outgrown = fault(call, key, report=1, answer=b"\0" * 100_000)
    case("measure-fails", func, args, faults(fault(call, key, errno=errno.EPERM)),
         *expect(PermissionError, re.escape(f"{text} malloc 1/3")))
    case("fetch-fails", func, args, faults(fault(call, key, errno=errno.EIO, nth=2)),
         *expect(OSError, re.escape(f"{text} malloc 3/3")))
    case("remeasure-fails", func, args,
         faults(fault(call, key, errno=errno.EIO, nth=3), outgrown),
         *expect(OSError, re.escape(f"{text} malloc 2/3")))
    case("retry-limit", func, args, faults(outgrown),
         *expect(RuntimeError, "retry limit exceeded"))
    case("overlong-answer", func, args,
         faults(fault(call, key, nth=2, times=1, answer=b"\0" * 8, report=BIG)),
         *expect(RuntimeError, "size mismatch"))


def bad_args(func, *arg_lists, raises=TypeError):
    for i, args in enumerate(arg_lists):
        case(f"bad-args{i}", func, args, raises=raises)


# --- success on the default machine: one call of every function ---------------

for _name, _args in CALLS:
    case("default", _name, _args, raises=EXPECTED_ERRORS.get(_name))


# --- process record: name, snapshot, thread count, zombie test -----------------

for _f in ("proc_name", "proc_oneshot_info", "proc_num_threads"):
    case("gone", _f, (GONE,), raises=ProcessLookupError, match=r"sysctl\(kinfo_proc\)")
    case("eperm", _f, (PID,), faults(fault("sysctl", record_mib(PID), errno=errno.EPERM)),
         PermissionError)
    case("empty-answer", _f, (PID,), faults(fault("sysctl", record_mib(PID), answer=b"")),
         ProcessLookupError, "size = 0")
    case("short-answer", _f, (PID,), faults(fault("sysctl", record_mib(PID), answer=b"\1" * 100)))
    case("unterminated-name", _f, (PID,),
         {"procs": [proc(PID, comm=b"\xff" * 20)]})
    case("zombie", _f, (ZOMBIE,))
    bad_args(_f, ("1310",), ())
    case("overflow", _f, (2**40,), raises=OverflowError)

case("alive", "proc_is_zombie", (PID,))
case("gone", "proc_is_zombie", (GONE,))
case("failed-lookup", "proc_is_zombie", (PID,),
     faults(fault("sysctl", record_mib(PID), errno=errno.EPERM)))
bad_args("proc_is_zombie", ("x",), ())


# --- process list ---------------------------------------------------------------

growing_read("pids", (), "sysctl", PROCTABLE, "sysctl()")
case("empty-table", "pids", (), faults(fault("sysctl", PROCTABLE, answer=b"")),
     RuntimeError, "no PIDs found")
case("partial-record", "pids", (), faults(fault("sysctl", PROCTABLE, answer=b"\0" * 1000)),
     RuntimeError, "no PIDs found")
case("trailing-partial-record", "pids", (),
     faults(fault("sysctl", PROCTABLE, answer=fakebsd.kinfo(7) * 3 + b"\0" * 50)))
case("extra-args", "pids", (1, 2))


# --- command line and environment -----------------------------------------------

growing_read("proc_cmdline", (PID,), "sysctl", args_mib(PID), "sysctl()")
case("gone", "proc_cmdline", (GONE,), raises=ProcessLookupError)
case("kernel-process", "proc_cmdline", (KPROC,))
case("last-without-nul", "proc_cmdline", (PID,),
     faults(fault("sysctl", args_mib(PID), answer=b"a\0b\0" + b"c" * 3000)))
case("undecodable", "proc_cmdline", (PID,),
     faults(fault("sysctl", args_mib(PID), answer=b"\xff\0")))
bad_args("proc_cmdline", ("1310",), ())

ENV_DESC = {"procs": [proc(OTHER, uid=ALICE, flag=C.P_INMEM,
                           env=[b"A=1", b"no-equals", b"B=x", b"A=2"])]}
case("entries", "proc_environ", (OTHER,), ENV_DESC)
case("kernel-process", "proc_environ", (KPROC,))
case("gone", "proc_environ", (GONE,), raises=ProcessLookupError, match="kvm_getprocs")
for _label, _text, _cls in [("open-denied", b"/dev/mem: Permission denied", PermissionError),
                            ("open-fails", b"kvm_openfiles: cannot open", RuntimeError)]:
    case(_label, "proc_environ", (PID,),
         faults(fault("kvm_openfiles", errno=0, answer=_text)), _cls)
case("getprocs-fails", "proc_environ", (PID,),
     faults(fault("kvm_getprocs", PID, errno=errno.EPERM)), ProcessLookupError)
case("getprocs-no-record", "proc_environ", (PID,),
     faults(fault("kvm_getprocs", PID, report=0)), ProcessLookupError, "cnt==0")
case("getprocs-negative-count", "proc_environ", (PID,),
     faults(fault("kvm_getprocs", PID, report=-2)), ProcessLookupError, "bad process count")
case("no-environment", "proc_environ", (PID,), faults(fault("kvm_getenvv", PID, errno=0)))
case("empty-vector", "proc_environ", (PID,), faults(fault("kvm_getenvv", PID, answer=b"")))
for _err, _cls in [(errno.EPERM, PermissionError), (errno.ESRCH, ProcessLookupError),
                   (errno.ENOMEM, PermissionError), (errno.EIO, OSError)]:
    case(f"getenvv-{errno.errorcode[_err]}", "proc_environ", (PID,),
         faults(fault("kvm_getenvv", PID, errno=_err)), _cls, "kvm_getenvv")
case("no-descriptors", "proc_environ", (PID,), {"nofile": 1}, RuntimeError,
     "kvm_openfiles: /dev/null: Too many open files")
case("undecodable-name", "proc_environ", (PID,),
     faults(fault("kvm_getenvv", PID, answer=b"A=1\0B=2\0\xff=3\0")))
bad_args("proc_environ", ("1310",), ())
case("overflow", "proc_environ", (2**70,), raises=OverflowError)


# --- executable, working directory, descriptors ------------------------------------

case("kernel-process", "proc_exe", (KPROC,))
case("no-path", "proc_exe", (OTHER,), {"procs": [proc(OTHER, path=None)]})
case("eperm", "proc_exe", (PID,), faults(fault("sysctl", path_mib(PID), errno=errno.EPERM)),
     PermissionError, "KERN_PROC_PATHNAME")
case("gone", "proc_exe", (GONE,), raises=ProcessLookupError)
case("empty-and-gone", "proc_exe", (PID,),
     faults(fault("sysctl", path_mib(PID), answer=b""), fault("kill", PID, errno=errno.ESRCH)),
     ProcessLookupError, "morvex_pid_exists")
case("empty-and-kill-fails", "proc_exe", (PID,),
     faults(fault("sysctl", path_mib(PID), answer=b""), fault("kill", PID, errno=errno.EINVAL)),
     OSError)
case("unterminated", "proc_exe", (PID,),
     faults(fault("sysctl", path_mib(PID), answer=b"/x" * 512)))
bad_args("proc_exe", ("1310",), ())

FILES_DESC = {"procs": [proc(OTHER, uid=ALICE, files=[
    kinfo_file(C.KF_FD_TYPE_CWD, b"/home/\xff", vtype=C.KF_VTYPE_VDIR),
    kinfo_file(3, b"/var/log/messages"), kinfo_file(4, b"x" * 1024),
    kinfo_file(5, type=C.KF_TYPE_PIPE), kinfo_file(6, b"/dev/null", vtype=C.KF_VTYPE_VCHR)])]}
for _f in ("proc_cwd", "proc_num_fds", "proc_open_files"):
    case("table", _f, (OTHER,), FILES_DESC)
    case("empty-table", _f, (PID,), faults(fault("kinfo_getfile", PID, answer=b"")))
    case("gone", _f, (GONE,), raises=ProcessLookupError, match=r"kinfo_proc")
    case("getfile-errno", _f, (PID,), faults(fault("kinfo_getfile", PID, errno=errno.EACCES)),
         PermissionError, r"kinfo_getfile\(\)")
    case("getfile-vanished", _f, (PID,),
         faults(fault("kinfo_getfile", PID, errno=0), fault("kill", PID, errno=errno.ESRCH)),
         ProcessLookupError, r"kinfo_getfile\(\)")
    case("getfile-zombie", _f, (ZOMBIE,), faults(fault("kinfo_getfile", ZOMBIE, errno=0)),
         m.ZombieProcessError)
    case("getfile-unexplained", _f, (PID,), faults(fault("kinfo_getfile", PID, errno=0)),
         RuntimeError, r"kinfo_getfile\(\) syscall failed")
    case("getfile-kill-fails", _f, (PID,),
         faults(fault("kinfo_getfile", PID, errno=0), fault("kill", PID, errno=errno.EINVAL)),
         RuntimeError)
    bad_args(_f, ("1310",), ())
case("no-cwd-entry", "proc_cwd", (PID,),
     faults(fault("kinfo_getfile", PID, answer=kinfo_file(3, b"/x"))))


# --- threads and memory maps -----------------------------------------------------

growing_read("proc_threads", (PID,), "sysctl", threads_mib(PID), "sysctl()")
case("gone", "proc_threads", (GONE,), raises=ProcessLookupError)
case("empty-answer", "proc_threads", (PID,), faults(fault("sysctl", threads_mib(PID), answer=b"")),
     ProcessLookupError, r"size = 0")
case("partial-record", "proc_threads", (PID,),
     faults(fault("sysctl", threads_mib(PID), answer=fakebsd.thread(PID, 7) + b"\0" * 500)))
bad_args("proc_threads", ("1310",), ())

MAPS = b"".join([vmentry(0x1000, 0x3000, prot=5, path=b"/bin/\xff"),
                 vmentry(0x4000, 0x5000, prot=3, type=C.KVME_TYPE_SWAP),
                 vmentry(0x6000, 0x7000, type=99),
                 vmentry(2**64 - 0x1000, 2**64 - 1, prot=7, path=b"p" * 1024)])
case("entries", "proc_memory_maps", (PID,), faults(fault("kinfo_getvmmap", PID, answer=MAPS)))
case("empty", "proc_memory_maps", (PID,), faults(fault("kinfo_getvmmap", PID, answer=b"")))
case("gone", "proc_memory_maps", (GONE,), raises=ProcessLookupError)
case("getvmmap-errno", "proc_memory_maps", (PID,),
     faults(fault("kinfo_getvmmap", PID, errno=errno.EACCES)), PermissionError,
     r"kinfo_getvmmap\(\)")
case("getvmmap-vanished", "proc_memory_maps", (PID,),
     faults(fault("kinfo_getvmmap", PID, errno=0), fault("kill", PID, errno=errno.ESRCH)),
     ProcessLookupError)
case("getvmmap-zombie", "proc_memory_maps", (ZOMBIE,),
     faults(fault("kinfo_getvmmap", ZOMBIE, errno=0)), m.ZombieProcessError)
case("getvmmap-unexplained", "proc_memory_maps", (PID,),
     faults(fault("kinfo_getvmmap", PID, errno=0)), RuntimeError)
bad_args("proc_memory_maps", ("1310",), ())


# --- CPU affinity, limits, priority --------------------------------------------------

EPERM_DESC = {"procs": [proc(FOREIGN, uid=0, kill="eperm")]}

case("high-cpus", "proc_cpu_affinity_get", (PID,),
     faults(fault("cpuset_getaffinity", PID, answer=cpuset([0, 63, 64, 1023]))))
case("gone", "proc_cpu_affinity_get", (GONE,), raises=ProcessLookupError)
case("eperm", "proc_cpu_affinity_get", (PID,),
     faults(fault("cpuset_getaffinity", PID, errno=errno.EPERM)), PermissionError)
bad_args("proc_cpu_affinity_get", ("1310",), ())

case("tuple", "proc_cpu_affinity_set", (PID, (3, 2, 1, 0)))
case("gone", "proc_cpu_affinity_set", (GONE, [0]), raises=ProcessLookupError)
case("foreign", "proc_cpu_affinity_set", (FOREIGN, [0]), EPERM_DESC, PermissionError)
case("fails", "proc_cpu_affinity_set", (PID, [0]),
     faults(fault("cpuset_setaffinity", PID, errno=errno.EDEADLK)), OSError)
case("empty-set", "proc_cpu_affinity_set", (PID, []), raises=OSError)
case("not-a-sequence", "proc_cpu_affinity_set", (PID, 1), raises=TypeError)
case("not-an-int", "proc_cpu_affinity_set", (PID, [0, "1"]), raises=TypeError)
case("index-raises", "proc_cpu_affinity_set", (PID, [0, BadIndex]), raises=Boom)
case("out-of-range", "proc_cpu_affinity_set", (PID, [0, 1024]), raises=ValueError)
case("negative", "proc_cpu_affinity_set", (PID, [-1]), raises=ValueError)
case("huge", "proc_cpu_affinity_set", (PID, [2**80]), raises=OverflowError)
bad_args("proc_cpu_affinity_set", ("1310", [0]), (PID,))

case("set-limit", "proc_getrlimit", (PID, m.RLIMIT_DATA))
case("gone", "proc_getrlimit", (GONE, m.RLIMIT_CORE), raises=ProcessLookupError)
case("bad-resource", "proc_getrlimit", (PID, 99), raises=OSError)
case("eperm", "proc_getrlimit", (PID, m.RLIMIT_CORE),
     faults(fault("sysctl", rlimit_mib(PID, m.RLIMIT_CORE), errno=errno.EPERM)), PermissionError)
case("overlong-answer", "proc_getrlimit", (PID, m.RLIMIT_CORE),
     faults(fault("sysctl", rlimit_mib(PID, m.RLIMIT_CORE), report=100)), RuntimeError,
     "size mismatch")
bad_args("proc_getrlimit", ("1310", 1), (PID,))

case("gone", "proc_setrlimit", (GONE, m.RLIMIT_CORE, 0, 0), raises=ProcessLookupError)
case("foreign", "proc_setrlimit", (FOREIGN, m.RLIMIT_CORE, 0, 0), EPERM_DESC, PermissionError)
case("bad-resource", "proc_setrlimit", (PID, 99, 0, 0), raises=OSError)
case("fails", "proc_setrlimit", (PID, m.RLIMIT_CORE, 0, 0),
     faults(fault("sysctl", rlimit_mib(PID, m.RLIMIT_CORE), errno=errno.EPERM)), PermissionError)
case("soft-not-int", "proc_setrlimit", (PID, m.RLIMIT_CORE, "0", 0), raises=TypeError)
case("hard-overflow", "proc_setrlimit", (PID, m.RLIMIT_CORE, 0, 2**64), raises=OverflowError)
case("soft-index-raises", "proc_setrlimit", (PID, m.RLIMIT_CORE, BadIndex, 0), raises=Boom)
bad_args("proc_setrlimit", ("1310", 4, 0, 0), (PID, 4, 0))

case("gone", "proc_priority_get", (GONE,), raises=ProcessLookupError)
case("eperm", "proc_priority_get", (PID,), faults(fault("getpriority", PID, errno=errno.EPERM)),
     PermissionError)
bad_args("proc_priority_get", ("1310",), ())
case("gone", "proc_priority_set", (GONE, 0), raises=ProcessLookupError)
case("foreign", "proc_priority_set", (FOREIGN, 0), EPERM_DESC, PermissionError)
case("fails", "proc_priority_set", (PID, 0), faults(fault("setpriority", PID, errno=errno.EACCES)),
     PermissionError)
bad_args("proc_priority_set", ("1310", 0), (PID,))


# --- module frame --------------------------------------------------------------------

case("negative", "check_pid_range", (-1,), raises=ValueError)
case("overflow", "check_pid_range", (2**40,), raises=OverflowError)
bad_args("check_pid_range", ("1",), ())
case("truth-raises", "set_debug", (BadBool,), raises=Boom)
bad_args("set_debug", ())
case("extra-args", "getpagesize", (1, "x"))
case("sysconf-fails", "getpagesize", (), faults(fault("sysconf", errno=errno.EINVAL)))


# --- CPU statistics and boot time -----------------------------------------------------

case("fails", "cpu_count_logical", (), faults(fault("sysctl", NCPU, errno=errno.EPERM)))
case("fails", "boot_time", (), faults(fault("sysctl", BOOTTIME, errno=errno.EPERM)),
     PermissionError)
case("overlong-answer", "boot_time", (), faults(fault("sysctl", BOOTTIME, report=32)),
     RuntimeError, "size mismatch")
case("fails", "cpu_times", (), faults(fault("sysctlbyname", "kern.cp_time", errno=errno.EIO)),
     OSError, "kern.cp_time")
case("overlong-answer", "cpu_times", (), faults(fault("sysctlbyname", "kern.cp_time", report=48)),
     RuntimeError, "size mismatch")
for _n in ("v_soft", "v_intr", "v_syscall", "v_trap", "v_swtch"):
    case(f"{_n}-fails", "cpu_stats", (),
         faults(fault("sysctlbyname", f"vm.stats.sys.{_n}", errno=errno.EIO)), OSError, _n)
case("overlong-answer", "cpu_stats", (),
     faults(fault("sysctlbyname", "vm.stats.sys.v_trap", report=16)), RuntimeError, "size mismatch")

case("ncpu-fails", "per_cpu_times", (), faults(fault("sysctl", NCPU, errno=errno.EPERM)),
     PermissionError)
case("ncpu-zero", "per_cpu_times", (), {"sysctl": {"hw.ncpu": i32(0)}}, RuntimeError,
     "invalid CPU count")
case("ncpu-huge", "per_cpu_times", (), {"sysctl": {"hw.ncpu": i32(2**31 - 1)}}, RuntimeError,
     "invalid CPU count")
case("cp-times-fails", "per_cpu_times", (),
     faults(fault("sysctlbyname", "kern.cp_times", errno=errno.EACCES)), PermissionError)
case("cp-times-overlong", "per_cpu_times", (),
     faults(fault("sysctlbyname", "kern.cp_times", report=200, nth=2)), RuntimeError, "size mismatch")
case("sparse-cpu-ids", "per_cpu_times", (),
     {"sysctl": fakebsd.cpus({0: fakebsd.cp_time(idle=5), 1: fakebsd.cp_time(idle=6), 3: fakebsd.cp_time(idle=7)})})
case("cp-times-short", "per_cpu_times", (),
     faults(fault("sysctlbyname", "kern.cp_times", answer=b"\1" * 100)))

case("no-driver", "cpu_freq", (7,), raises=NotImplementedError)
case("fails", "cpu_freq", (0,), faults(fault("sysctlbyname", "dev.cpu.0.freq", errno=errno.EIO)),
     OSError)
case("overlong-answer", "cpu_freq", (0,),
     faults(fault("sysctlbyname", "dev.cpu.0.freq", report=8)), RuntimeError, "size mismatch")
case("levels-fail", "cpu_freq", (0,),
     faults(fault("sysctlbyname", "dev.cpu.0.freq_levels", errno=errno.EACCES)))
case("levels-undecodable", "cpu_freq", (0,),
     faults(fault("sysctlbyname", "dev.cpu.0.freq_levels", answer=b"2400/-1 \xff")))
case("negative-index", "cpu_freq", (-2**31,), raises=NotImplementedError)
bad_args("cpu_freq", ("0",), ())

# Every failure of the topology read is tolerated: the answer is None.
growing_read("cpu_topology", (), "sysctlbyname", "kern.sched.topology_spec",
             "sysctlbyname('kern.sched.topology_spec')", tolerated=True)
case("empty", "cpu_topology", (),
     faults(fault("sysctlbyname", "kern.sched.topology_spec", answer=b"")))
case("unterminated", "cpu_topology", (),
     faults(fault("sysctlbyname", "kern.sched.topology_spec", answer=b"<groups>" * 500)))
case("undecodable", "cpu_topology", (),
     faults(fault("sysctlbyname", "kern.sched.topology_spec", answer=b"<\xff>\0")))


# --- memory -----------------------------------------------------------------------------

_VM = "vm.stats.vm."
for _n in ("hw.physmem", _VM + "v_active_count", _VM + "v_inactive_count", _VM + "v_wire_count",
           _VM + "v_free_count", "vfs.bufspace"):
    case(f"{_n}-fails", "virtual_mem", (), faults(fault("sysctlbyname", _n, errno=errno.EIO)),
         OSError, re.escape(_n))
case("no-cache-count", "virtual_mem", (),
     faults(fault("sysctlbyname", _VM + "v_cache_count", errno=errno.ENOENT)))
case("vmmeter-fails", "virtual_mem", (), faults(fault("sysctl", VMMETER, errno=errno.EPERM)),
     PermissionError, "VM_METER")
case("vmmeter-overlong", "virtual_mem", (), faults(fault("sysctl", VMMETER, report=200)),
     RuntimeError, "size mismatch")

case("open-fails", "swap_mem", (), faults(fault("kvm_open", errno=errno.EACCES)), RuntimeError,
     r"kvm_open\(\)")
case("swap-device-unreadable", "swap_mem", (), faults(fault("sysctl", None, errno=errno.EIO, nth=2)),
     RuntimeError, r"kvm_getswapinfo\(\)")
case("getswapinfo-fails", "swap_mem", (), faults(fault("kvm_getswapinfo", errno=errno.EIO)),
     RuntimeError, r"kvm_getswapinfo\(\)")
for _n in ("v_swapin", "v_swapout", "v_vnodein", "v_vnodeout"):
    case(f"{_n}-fails", "swap_mem", (), faults(fault("sysctlbyname", _VM + _n, errno=errno.EIO)),
         OSError, _n)
case("no-devices", "swap_mem", (), {"swap": []})

for _label, _f in [("flush", fault("mallctl", "thread.tcache.flush", errno=errno.EINVAL)),
                   ("epoch-read", fault("mallctl", "epoch", errno=errno.EFAULT)),
                   ("epoch-write", fault("mallctl", "epoch", errno=errno.EFAULT, nth=2)),
                   ("allocated", fault("mallctl", "stats.allocated", errno=errno.EINVAL)),
                   ("mapped", fault("mallctl", "stats.mapped", errno=errno.EINVAL))]:
    case(f"{_label}-fails", "heap_info", (), faults(_f), OSError)
case("overlong-epoch", "heap_info", (), faults(fault("mallctl", "epoch", answer=b"\1" * 16)))
case("fails", "heap_trim", (),
     faults(fault("mallctl", f"arena.{C.MALLCTL_ARENAS_ALL}.purge", errno=errno.EFAULT)), OSError)


# --- disks --------------------------------------------------------------------------------

MOUNTS = [statfs(b"/dev/ada0p2", b"/", b"ufs", 0x1 | 0x10),
          statfs(b"/dev/\xff", b"/x" * 512, b"zfs"),
          statfs(b"tmpfs", b"/tmp", b"tmpfs", 0xffffffff)]
case("mounts", "disk_partitions", (), {"mounts": MOUNTS})
case("no-mounts", "disk_partitions", (), {"mounts": []})
case("more-mounts-later", "disk_partitions", (), {"mounts": MOUNTS[:1], "mounts_later": MOUNTS})
case("fewer-mounts-later", "disk_partitions", (), {"mounts": MOUNTS, "mounts_later": MOUNTS[:1]})
case("count-fails", "disk_partitions", (), faults(fault("getfsstat", errno=errno.EIO)), OSError)
case("read-fails", "disk_partitions", (), faults(fault("getfsstat", errno=errno.EIO, nth=2)),
     OSError)
case("undecodable-type", "disk_partitions", (),
     {"mounts": [MOUNTS[0], statfs(b"/dev/da0", b"/mnt", b"\xff")]})

DEVICES = [devstat(b"ada", 0, reads=5, read_time=(1, 2**63)), devstat(b"d" * 16, 2**31 - 1),
           devstat(b"cd", -1)]
case("devices", "disk_io_counters", (), {"devices": DEVICES})
case("no-devices", "disk_io_counters", (), {"devices": []})
case("checkversion-fails", "disk_io_counters", (),
     faults(fault("devstat_checkversion", errno=errno.EINVAL)), RuntimeError, "checkversion")
case("getdevs-fails", "disk_io_counters", (), faults(fault("devstat_getdevs", errno=errno.EIO)),
     RuntimeError, "getdevs")
case("undecodable-name", "disk_io_counters", (),
     {"devices": [DEVICES[0], devstat(b"\xff", 0)]})


# --- sensors and users ------------------------------------------------------------------------

case("battery", "sensors_battery", (), {"sysctl": battery(80, 95, 1)})
for _n in ("hw.acpi.battery.life", "hw.acpi.battery.time", "hw.acpi.acline"):
    case(f"{_n}-missing", "sensors_battery", (), {"sysctl": {**battery(80, 95, 1), _n: None}},
         NotImplementedError)
    case(f"{_n}-fails", "sensors_battery", (),
         faults(fault("sysctlbyname", _n, errno=errno.EACCES), sysctl=battery(80, 95, 1)),
         PermissionError)

case("no-sensor", "sensors_cpu_temperature", (9,), raises=NotImplementedError)
case("fails", "sensors_cpu_temperature", (0,),
     faults(fault("sysctlbyname", "dev.cpu.0.temperature", errno=errno.EIO)), OSError)
case("no-tjmax", "sensors_cpu_temperature", (1,), {"sysctl": temperatures({1: (3232, None)})})
case("tjmax-fails", "sensors_cpu_temperature", (1,),
     faults(fault("sysctlbyname", "dev.cpu.1.coretemp.tjmax", errno=errno.EACCES)))
bad_args("sensors_cpu_temperature", ("0",), ())

LOGINS = [utmpx(b"alice", b"pts/0", b"192.0.2.7", sec=100, pid=7),
          utmpx(b"bob", b"ttyv0", b":0", sec=5), utmpx(b"\xff" * 32, b"l" * 16, b"h" * 128),
          utmpx(b"carol", b"pts/1", type=8)]
case("logins", "users", (), {"utmpx": LOGINS})
# the same records as they are, full fields without a NUL among them
case("raw-logins", "users", (), faults(fault("getutxent", answers=LOGINS, times=len(LOGINS)),
                                        utmpx=[]))
case("no-logins", "users", (), {"utmpx": []})
case("walk-fails", "users", (), faults(fault("getutxent", errno=errno.EIO)), OSError,
     r"getutxent\(\)")
case("no-descriptors", "users", (), {"nofile": 0}, OSError, "Too many open files")
case("no-database", "users", (), {"utmpx_open_errno": errno.ENOENT})
case("rewind-fails", "users", (), faults(fault("setutxent", errno=errno.EIO)))


# --- interfaces -----------------------------------------------------------------------------

growing_read("net_io_counters", (), "sysctl", IFLIST, "sysctl()")
_EM0 = ifinfo("em0", ibytes=1)
for _label, _answer in [
        ("header-cut", _EM0 + b"\x10\0"),
        ("length-zero", _EM0 + message(C.RTM_IFINFO, b"\0" * 8, msglen=0)),
        ("length-past-end", _EM0 + message(C.RTM_IFINFO, b"\0" * 8, msglen=500)),
        ("ifinfo-too-short", _EM0 + message(C.RTM_IFINFO, b"\0" * 100)),
        ("name-past-message", _EM0 + ifinfo("em1" * 40, msglen=180))]:
    case(_label, "net_io_counters", (), faults(fault("sysctl", IFLIST, answer=_answer)),
         RuntimeError, "NET_RT_IFLIST")
case("other-messages", "net_io_counters", (),
     faults(fault("sysctl", IFLIST, answer=message(C.RTM_NEWADDR, b"\0" * 20) + _EM0
                  + ifinfo("usbus0"))))
case("empty", "net_io_counters", (), faults(fault("sysctl", IFLIST, answer=b"")))
case("undecodable-name", "net_io_counters", (),
     faults(fault("sysctl", IFLIST, answer=_EM0 + ifinfo(b"\xff0"))))

IFS = [iface("em0", flags=0x8843, lladdr=b"\x00\x1a+<M^",
             addrs=[inet("192.168.1.20", "255.255.255.0", dst="192.168.1.255"),
                    fakebsd.ifs.inet6("fe80::1", 64, scope=1)]),
       iface("tun0", flags=0x8051, addrs=[inet("10.0.0.1", "255.255.255.255", dst="10.0.0.2")]),
       iface("lo0", flags=0x8049, addrs=[inet("127.0.0.1", "255.0.0.0")])]
case("interfaces", "net_if_addrs", (), {"ifs": IFS})
case("no-interfaces", "net_if_addrs", (), {"ifs": []})
case("getifaddrs-fails", "net_if_addrs", (), faults(fault("getifaddrs", errno=errno.EIO)),
     OSError)
case("getnameinfo-fails", "net_if_addrs", (), faults(fault("getnameinfo", errno=errno.EIO)))
case("undecodable-name", "net_if_addrs", (),
     {"ifs": [IFS[0], iface(b"\xff0", addrs=[inet("10.1.1.1")])]})

for _f in ("net_if_flags", "net_if_is_running", "net_if_mtu", "net_if_duplex_speed"):
    case("loopback", _f, ("lo0",))
    case("escaped-name", _f, ("lo\udcff0",), raises=None if _f == "net_if_duplex_speed" else OSError)
    case("long-name", _f, ("em0" * 20,), raises=None if _f == "net_if_duplex_speed" else OSError)
    case("socket-fails", _f, (IFACE,), faults(fault("socket", errno=errno.EMFILE)), OSError)
    case("no-descriptors", _f, (IFACE,), {"nofile": 0}, OSError, "Too many open files")
    case("close-fails", _f, (IFACE,), faults(fault("close", errno=errno.EIO)))
    if _f != "net_if_duplex_speed":
        case("no-such-interface", _f, ("nope0",), raises=OSError)
        case("ioctl-fails", _f, (IFACE,), faults(fault("ioctl", IFACE, errno=errno.EPERM)),
             PermissionError)
    else:
        case("ioctl-fails", _f, (IFACE,), faults(fault("ioctl", IFACE, errno=errno.EPERM)))
    case("nul-in-name", _f, ("em\0",), raises=ValueError)
    bad_args(_f, (b"em0",), ())


# --- sockets ----------------------------------------------------------------------------------

LISTS = ["net.inet.tcp.pcblist", "net.inet.udp.pcblist", "net.local.stream.pcblist",
         "net.local.dgram.pcblist"]
ALL = ([1, 2, 28], [1, 2])
OWNER = 40


def sockets_world():
    """Sockets of every kind with their holders (processes 40 and 41), plus a
    descriptor that is no socket, sockets of other domains and a connection
    nobody holds."""
    w = Sockets()
    w.file(OWNER, 0, b"/var/log/app.log")
    w.tcp(("10.0.0.1", 8080), holders=[(OWNER, 3)])
    w.tcp(("10.0.0.1", 8080), ("10.0.0.7", 50000), C.TCPS_ESTABLISHED, holders=[(OWNER, 4)])
    w.tcp(("2001:db8::1", 443), ("2001:db8::9", 60000), C.TCPS_CLOSE_WAIT, holders=[(OWNER, 5)])
    w.tcp(("10.0.0.1", 80), ("10.0.0.8", 41000), C.TCPS_TIME_WAIT)
    w.udp(("0.0.0.0", 53), holders=[(OWNER, 6), (41, 3)])
    w.udp(("::1", 53), ("::1", 5000), holders=[(OWNER, 7)])
    w.unix("stream", b"/var/run/\xff.sock", holders=[(OWNER, 8)])
    w.unix("stream", b"s" * 104, sun_len=255, holders=[(41, 4)])
    w.unix("dgram", None, holders=[(OWNER, 9)])
    w.proc_files[OWNER] += [
        kinfo_socket(10, C.AF_ROUTE, C.SOCK_RAW),
        kinfo_socket(11, C.AF_INET, C.SOCK_SEQPACKET, C.IPPROTO_SCTP, ("10.0.0.1", 9), None),
        kinfo_socket(12, C.AF_INET, C.SOCK_STREAM, C.IPPROTO_TCP, ("10.0.0.1", 7777),
                     ("10.0.0.2", 1)),
    ]
    return w


SOCKETS = sockets_world().desc()
BIG_TABLES = Sockets()
for _i in range(40):     # lists and file table past their first buffers
    BIG_TABLES.tcp(("192.0.2.1", 1000 + _i), holders=[(OWNER, 10 + _i)])
    BIG_TABLES.unix("dgram", b"/tmp/%d" % _i, holders=[(OWNER, 100 + _i)])
BIG_TABLES = BIG_TABLES.desc()


def with_socks(*fs, **socks):
    return {**SOCKETS, "socks": {**SOCKETS["socks"], **socks}, "faults": list(fs)}


_TCP = xtcpcb(0x1000, ("192.0.2.1", 22))
_UDP = xinpcb(0x2000, ("192.0.2.1", 53))
_UNX = xunpcb(0x3000, b"/s")


def _len(record, n):
    return n.to_bytes(8, "little") + record[8:]


case("tables", "net_connections", ALL, SOCKETS)
case("big-tables", "net_connections", ALL, BIG_TABLES)
case("nothing-wanted", "net_connections", ([], []), SOCKETS)
case("unix-only", "net_connections", ([1], []), SOCKETS)
case("v4-tcp", "net_connections", ([2], (1,)), SOCKETS)
case("rereads", "net_connections", ALL,
     with_socks(gen_mismatch={"tcp": 9, "udp": 2, "unix_stream": 9, "unix_dgram": 1}))
case("no-file-table", "net_connections", ALL,
     with_socks(fault("sysctlbyname", "kern.file", answer=b"")))
case("families-not-a-sequence", "net_connections", (2, [1]), SOCKETS, TypeError,
     "arg 2 or 3 is not a sequence")
case("types-not-a-sequence", "net_connections", ([2], None), SOCKETS, TypeError,
     "arg 2 or 3 is not a sequence")
case("families-test-raises", "net_connections", ([1, BadEq], [1]), SOCKETS, Boom)
case("types-test-raises", "net_connections", ([2], [BadEq]), SOCKETS, Boom)
bad_args("net_connections", ([2],), ())
for _short, _name in zip(["file-table", "tcp", "udp", "unix-stream", "unix-dgram"],
                         ["kern.file"] + LISTS):
    case(f"{_short}-denied", "net_connections", ALL,
         with_socks(fault("sysctlbyname", _name, errno=errno.EACCES)), PermissionError)
    case(f"{_short}-fails", "net_connections", ALL,
         with_socks(fault("sysctlbyname", _name, errno=errno.EIO)), OSError)
    case(f"{_short}-growth-bounded", "net_connections", ALL,
         with_socks(fault("sysctlbyname", _name, errno=errno.ENOMEM)), RuntimeError,
         "retry limit exceeded", heavy=True)
    case(f"{_short}-overlong", "net_connections", ALL,
         with_socks(fault("sysctlbyname", _name, report=1 << 40)), RuntimeError, "size mismatch")
case("file-table-grows-then-fails", "net_connections", ALL,
     with_socks(fault("sysctlbyname", "kern.file", errno=errno.ENOMEM, times=2),
                fault("sysctlbyname", "kern.file", errno=errno.EPERM)), PermissionError)
for _label, _name, _answer, _text in [
        ("xfile-size", "kern.file", xfile(1, 1, 0x1000, xf_size=64), "xfile"),
        ("xfile-cut", "kern.file", b"\x80\0\0", "xfile"),
        ("tcp-no-trailer", LISTS[0], xinpgen(1), "xinpgen"),
        ("tcp-header-size", LISTS[0], _len(xinpgen(1), 32) + _TCP + xinpgen(1), "xinpgen"),
        ("tcp-record-size", LISTS[0], pcblist([_TCP, _len(_TCP, 743)]), "xtcpcb"),
        ("tcp-record-cut", LISTS[0], pcblist([_TCP, _TCP[:700]]), "xtcpcb"),
        ("udp-record-size", LISTS[1], pcblist([_UDP, _len(_UDP, 0)]), "xinpcb"),
        ("unix-trailer-size", LISTS[3], pcblist([_UNX], unix=True, trailer=_len(xunpgen(1), 64)),
         "xinpgen"),
        ("unix-record-size", LISTS[2], pcblist([_len(_UNX, 1 << 63)], unix=True), "xunpcb")]:
    case(_label, "net_connections", ALL, with_socks(fault("sysctlbyname", _name, answer=_answer)),
         RuntimeError, f"struct {_text} size mismatch")

case("tables", "proc_net_connections", (OWNER,) + ALL, SOCKETS)
case("big-table", "proc_net_connections", (OWNER,) + ALL, BIG_TABLES)
case("no-sockets", "proc_net_connections", (1, [2], [1]))
case("inet-only", "proc_net_connections", (OWNER, [2, 28], [1, 2, 5]), SOCKETS)
case("rereads", "proc_net_connections", (OWNER,) + ALL, with_socks(gen_mismatch={"tcp": 9}))
case("families-not-a-sequence", "proc_net_connections", (OWNER, {}, [1]), SOCKETS, TypeError,
     "arg 2 or 3 is not a sequence")
case("types-not-a-sequence", "proc_net_connections", (OWNER, [2], 1), SOCKETS, TypeError,
     "arg 2 or 3 is not a sequence")
# The membership tests run per descriptor: these raise after entries are in the list.
case("families-test-raises", "proc_net_connections", (OWNER, [2, BadEq], [1]), SOCKETS, Boom)
case("types-test-raises", "proc_net_connections", (OWNER, [1, 2, 28], [1, BadEq]), SOCKETS, Boom)
case("gone", "proc_net_connections", (GONE,) + ALL, SOCKETS, ProcessLookupError)
case("getfile-errno", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("kinfo_getfile", OWNER, errno=errno.EPERM)), PermissionError)
case("getfile-vanished", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("kinfo_getfile", OWNER, errno=0), fault("kill", OWNER, errno=errno.ESRCH)),
     ProcessLookupError)
case("getfile-zombie", "proc_net_connections", (ZOMBIE,) + ALL,
     faults(fault("kinfo_getfile", ZOMBIE, errno=0)), m.ZombieProcessError)
case("getfile-unexplained", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("kinfo_getfile", OWNER, errno=0)), RuntimeError)
case("list-denied", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("sysctlbyname", LISTS[0], errno=errno.EACCES)), PermissionError)
case("list-growth-bounded", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("sysctlbyname", LISTS[0], errno=errno.ENOMEM)), RuntimeError,
     "retry limit exceeded", heavy=True)
case("list-grows-then-fails", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("sysctlbyname", LISTS[0], errno=errno.ENOMEM, times=2),
                fault("sysctlbyname", LISTS[0], errno=errno.EIO)), OSError)
case("list-overlong", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("sysctlbyname", LISTS[0], report=1 << 20)), RuntimeError, "xinpgen")
case("list-header", "proc_net_connections", (OWNER,) + ALL,
     with_socks(fault("sysctlbyname", LISTS[0], answer=xinpgen())), RuntimeError, "xinpgen")
# A malformed record matters only once a stream socket needs its state, after
# the entries of the descriptors before it.
case("list-record-size", "proc_net_connections", (OWNER, [1, 2, 28], [2, 1]),
     with_socks(fault("sysctlbyname", LISTS[0], answer=pcblist([_TCP, _len(_TCP, 64)]))),
     RuntimeError, "xtcpcb")
bad_args("proc_net_connections", ("40", [2], [1]), (OWNER, [2]))
case("overflow", "proc_net_connections", (1 << 40, [2], [1]), raises=OverflowError)


# --- measurement --------------------------------------------------------------------------------

_PAGE = os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _c_heap_reader():
    """Bytes the C allocator has handed out and not had back: the
    sanitizer's count when it replaces the allocator, else glibc's.
    (The interpreter's own objects come from its own allocator.)"""
    libc = ctypes.CDLL(None)
    try:
        counter = libc.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        mallinfo2 = libc.mallinfo2
        mallinfo2.restype = _MallInfo2

        def glibc():
            mi = mallinfo2()
            return mi.uordblks + mi.hblkhd
        return glibc
    counter.restype = ctypes.c_size_t
    return counter


_c_heap = _c_heap_reader()


def _resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * _PAGE


def _figures(func, collect):
    if collect:
        # The second pass frees what the first one only queued.
        gc.collect()
        gc.collect()
    return {
        "blocks": sys.getallocatedblocks(),
        "c heap bytes": _c_heap(),
        "resident bytes": 0 if SANITIZED else _resident(),
        "module refs": sys.getrefcount(m),
        "function refs": sys.getrefcount(func),
        "zombie class refs": sys.getrefcount(m.ZombieProcessError),
    }


def limits(n):
    """Growth allowed over one round of n calls: well under what one leaked
    object (one block, 32 bytes and more) or one leaked C buffer (a 32-byte
    chunk and more) per call adds, well over what caches filling once do."""
    return {
        "blocks": n // 10 + 16,
        "c heap bytes": 8 * n + 4096,
        "resident bytes": 8 * n + 128 * 1024,
        "module refs": n // 10 + 4,
        "function refs": n // 10 + 4,
        "zombie class refs": n // 10 + 4,
    }


def _describe(c):
    return f"{c.func}{c.args!r}"


def _caller(c):
    """run(n): n calls of the case, each checked for its outcome."""
    func = getattr(m, c.func)
    args, raises, fresh_machine = c.args, c.raises, c.fresh_machine
    install, clear_calls, resources = fakebsd.install, fakebsd.clear_calls, fakebsd.resources

    def run(n):
        for _ in range(n):
            if fresh_machine:
                install(c.desc, "thread", c.base)
            try:
                func(*fresh(args))
            except Exception as e:
                if type(e) is not raises:
                    raise
            else:
                if raises is not None:
                    pytest.fail(f"{_describe(c)} returned instead of raising {raises.__name__}")
            if fresh_machine:
                # The handles were counted on the machine about to be replaced.
                left = {k: v for k, v in resources().items() if v}
                assert not left, f"{_describe(c)} left handles open: {left}"
            # The platform's call log would grow with every call.
            clear_calls()
    return run


@pytest.mark.parametrize("c", CASES)
def test_no_leak(machine, c):
    if not hasattr(m, c.func):
        pytest.skip(f"{c.func} is not built")
    machine(c.desc, c.base)
    func = getattr(m, c.func)

    # The first call shows the case takes the path it is meant to.
    try:
        func(*fresh(c.args))
    except Exception as e:
        assert type(e) is c.raises, f"{_describe(c)} raised {type(e).__name__}: {e}"
        if c.match:
            assert re.search(c.match, str(e)), f"{_describe(c)}: {e}"
    else:
        assert c.raises is None, f"{_describe(c)} returned instead of raising"

    run = _caller(c)
    n, warm_up = CALLS_PER_ROUND, max(20, CALLS_PER_ROUND // 10)
    if c.heavy and SANITIZED:
        n, warm_up = 2, 1       # the path, for the sanitizers to watch
    allowed = limits(n)

    def growth(collect):
        run(warm_up)
        figures = [_figures(func, collect)]
        for _ in range(ROUNDS):
            run(n)
            figures.append(_figures(func, collect))
        grown = {k: [b[k] - a[k] for a, b in zip(figures, figures[1:])] for k in allowed}
        return {k: g for k, g in grown.items() if sorted(g)[ROUNDS // 2] > allowed[k]}

    # The calls make no reference cycles, so the collector is kept out of the
    # rounds (a full collection costs more than a round of calls); what a
    # collection would give back is no leak, so growth is measured again
    # with collections before every figure.
    enabled = gc.isenabled()
    gc.disable()
    try:
        leaks = growth(collect=False) and growth(collect=True)
    finally:
        if enabled:
            gc.enable()
    left = {k: v for k, v in fakebsd.resources().items() if v}
    assert not leaks and not left, (
        f"{_describe(c)}: growth in {ROUNDS} rounds of {n} calls {leaks} (allowed per round: "
        f"{ {k: allowed[k] for k in leaks} }); handles left open: {left}")


def test_every_function_is_in_the_table():
    """Every function the module registers has its success path in the table,
    and every one that can fail at all has failure paths as well."""
    registered = {name for name, obj in vars(m).items()
                  if callable(obj) and not isinstance(obj, type)}
    assert registered <= {name for name, _ in CALLS}
    in_table = {p.values[0].func for p in CASES}
    failing = {p.values[0].func for p in CASES if p.values[0].raises is not None}
    assert registered <= in_table
    # Functions without arguments that tolerate every failed read (and
    # cpu_topology decodes any text the kernel gives).
    never_fail = {"getpagesize", "cpu_count_logical", "users", "cpu_topology"}
    assert registered - never_fail <= failing
