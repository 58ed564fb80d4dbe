"""Malformed kernel answers.

Every parser of kernel data gets random answers and mutations of the valid
answers of the built-in default machine: bit flips, cuts, extensions, spliced
and repeated records, length and count fields set to 0, 1, odd and huge
values, text fields without their NUL, random bytes. The answers go in
through the stand-in's faults (raw answers of sysctl, libutil, libkvm,
getfsstat, libdevstat, cpuset, the allocator) or through the machine description
where the platform hands out structures rather than bytes (interface address
lists, the accounting database).

The property, for every call on every answer: the call returns a value of
its documented shape, or raises one of the module's documented exceptions.
It never crashes (the sanitizers watch under `make check-asan` and `make
check-fuzz`), never hangs (a watchdog ends the process with every thread's
stack when an example takes longer than MORVEX_FUZZ_HANG seconds) and never
leaves a handle open.

Budget: MORVEX_FUZZ_EXAMPLES examples per parser (default 20, so the suite
stays quick); `make check-fuzz` raises it. The default run is derandomized;
MORVEX_FUZZ_RANDOM=1 draws new inputs on every run (hypothesis's
--hypothesis-seed fixes them). MORVEX_FUZZ_TRACE=<file> appends every example
to that file before it runs, so that the input that killed a process is the
last line there.
"""

import contextlib
import faulthandler
import functools
import os
import struct
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, fault

EXAMPLES = int(os.environ.get("MORVEX_FUZZ_EXAMPLES", "20"))
HANG = float(os.environ.get("MORVEX_FUZZ_HANG", "120"))
TRACE = os.environ.get("MORVEX_FUZZ_TRACE")

FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,  # the watchdog below ends real hangs; sanitizers make calls slow
    derandomize=os.environ.get("MORVEX_FUZZ_RANDOM") != "1",
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                           HealthCheck.large_base_example],
    print_blob=True,
)

PID = 1310          # the logged-in user's python3.13: threads, files, maps, sockets
ZOMBIE = 1311

# What a call may raise on a malformed answer (UnicodeDecodeError is a
# ValueError). Anything else (SystemError above all: a result with an
# exception set, or no result without one) fails the example.
ALLOWED = (OSError, RuntimeError, ValueError, TypeError, NotImplementedError, MemoryError,
           m.ZombieProcessError)


# --- result shapes ------------------------------------------------------------

def _atom(code):
    return {
        "i": lambda v: type(v) is int,
        "f": lambda v: type(v) is float,
        "s": lambda v: type(v) is str,
        "S": lambda v: v is None or type(v) is str,
        "b": lambda v: type(v) is bool,
    }[code]


def tup(codes):
    checks = [_atom(c) for c in codes]
    return lambda v: (type(v) is tuple and len(v) == len(checks)
                      and all(c(x) for c, x in zip(checks, v)))


def listof(check):
    return lambda v: type(v) is list and all(check(x) for x in v)


def dictof(key, value):
    return lambda v: type(v) is dict and all(key(k) and value(x) for k, x in v.items())


def either(*checks):
    return lambda v: any(c(v) for c in checks)


INT, FLOAT, STR, BOOL = _atom("i"), _atom("f"), _atom("s"), _atom("b")
NONE = lambda v: v is None  # noqa: E731


def _inet_end(v):
    return v == () or (type(v) is tuple and len(v) == 2 and STR(v[0]) and INT(v[1]))


def _connection(with_pid):
    def check(v):
        n = 7 if with_pid else 6
        if type(v) is not tuple or len(v) != n:
            return False
        if not all(INT(x) for x in v[:3]) or not INT(v[5]) or (with_pid and not INT(v[6])):
            return False
        if v[1] == 1:  # AF_UNIX: path and ""
            return STR(v[3]) and v[4] == ""
        return _inet_end(v[3]) and v[3] != () and _inet_end(v[4])
    return check


SHAPES = {
    "pids": listof(INT),
    "proc_oneshot_info": tup("iiiiiiiii" "f" "iiii" "ffff" "iiiii" "i" "S"),
    "proc_name": STR,
    "proc_num_threads": INT,
    "proc_is_zombie": BOOL,
    "proc_threads": listof(tup("iff")),
    "proc_cmdline": listof(STR),
    "proc_environ": dictof(STR, STR),
    "proc_exe": STR,
    "proc_cwd": STR,
    "proc_num_fds": INT,
    "proc_open_files": listof(tup("si")),
    "proc_memory_maps": listof(tup("sssiiii")),
    "proc_getrlimit": tup("ii"),
    "proc_cpu_affinity_get": listof(INT),
    "proc_net_connections": listof(_connection(False)),
    "net_connections": listof(_connection(True)),
    "cpu_count_logical": either(INT, NONE),
    "cpu_times": tup("fffff"),
    "per_cpu_times": listof(tup("fffff")),
    "cpu_stats": tup("iiiii"),
    "cpu_freq": tup("is"),
    "cpu_topology": either(STR, NONE),
    "boot_time": FLOAT,
    "virtual_mem": tup("iiiiiiii"),
    "swap_mem": tup("iiiii"),
    "heap_info": tup("ii"),
    "disk_partitions": listof(tup("ssss")),
    "disk_io_counters": dictof(STR, tup("iiiiiii")),
    "sensors_battery": tup("iii"),
    "sensors_cpu_temperature": tup("ii"),
    "users": listof(tup("sssfi")),
    "net_if_addrs": listof(tup("sisSSS")),
    "net_io_counters": dictof(STR, tup("iiiiiiii")),
    "net_if_flags": listof(STR),
    "net_if_mtu": INT,
    "net_if_is_running": BOOL,
    "net_if_duplex_speed": lambda v: type(v) is list and len(v) == 2 and all(INT(x) for x in v),
}


# --- running one example ------------------------------------------------------

_trace_lock = threading.Lock()


@contextlib.contextmanager
def watchdog(what):
    """Ends the process, with every thread's stack, if the block hangs."""
    def expire():
        sys.stderr.write(f"\nfuzz: no answer within {HANG:g} s from {what}\n")
        sys.stderr.flush()
        faulthandler.dump_traceback(all_threads=True)
        os._exit(70)

    timer = threading.Timer(HANG, expire)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        timer.cancel()


def exercise(desc, calls):
    """Install the machine and make the calls on it; check each answer's
    shape and that every handle was given back."""
    if TRACE:
        with _trace_lock, open(TRACE, "a") as f:
            f.write(f"{calls!r} {desc!r}\n")
    outcomes = []
    with fakebsd.machine(desc), watchdog(f"{calls!r}"):
        for name, args in calls:
            try:
                result = getattr(m, name)(*args)
            except ALLOWED as e:
                outcomes.append(e)
                continue
            assert SHAPES[name](result), f"{name}{args!r} answered {result!r}"
            outcomes.append(result)
        left = {k: v for k, v in fakebsd.resources().items() if v}
        assert not left, f"handles left open after {calls!r}: {left}"
    return outcomes


# --- mutations ------------------------------------------------------------------

def _special(width):
    bits = 8 * width
    top = (1 << bits) - 1
    values = {0, 1, 2, 3, 7, 8, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10001,
              0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 1 << 32, (1 << 63) - 1, 1 << 63,
              top, top - 1, top >> 1, (top >> 1) + 1}
    return sorted(v for v in values if v <= top)


SPECIAL = {w: _special(w) for w in (1, 2, 4, 8)}
KINDS_INT = ("int", "uint")


def record_fields(record, base=0):
    """(offset, size, kind) of every field of a record placed at `base`."""
    return [(base + off, size, kind) for _, off, size, kind in fakebsd.fields(record)]


def repeated_fields(record, count, base=0):
    size = fakebsd.sizeof(record)
    per = record_fields(record)
    return [(base + i * size + off, sz, kind) for i in range(count) for off, sz, kind in per]


def _put(data, offset, width, value):
    end = min(offset + width, len(data))
    data[offset:end] = value.to_bytes(width, "little")[:end - offset]


@st.composite
def mutated(draw, seed, fields=(), unit=0, max_extra=512):
    """A valid answer with 1 to 4 mutations stacked, or (rarely) random bytes.

    fields: (offset, size, kind) places where the parser looks (length and
    count fields, texts) to aim at. unit: the record size, which cuts and
    extensions favour (and one either side of it).
    """
    kind = draw(st.integers(0, 15))
    if kind == 0:
        return draw(st.binary(max_size=max(64, min(len(seed) * 2, 4 * unit or 2048, 4096))))
    if kind == 1:
        return bytes(seed)
    data = bytearray(seed)
    sizes = sorted({0, 1, len(seed), max(len(seed) - 1, 0), len(seed) + 1, unit, unit + 1,
                    max(unit - 1, 0)})
    for _ in range(draw(st.integers(1, 4))):
        op = draw(st.sampled_from(("field", "field", "field", "word", "flip", "cut", "extend",
                                   "splice", "overwrite")))
        if op == "field" and fields:
            off, size, fkind = draw(st.sampled_from(fields))
            if off >= len(data):
                continue
            if fkind in KINDS_INT and size in SPECIAL:
                value = draw(st.one_of(st.sampled_from(SPECIAL[size] + [v for v in sizes
                                                                       if v < 1 << 8 * size]),
                                       st.integers(0, (1 << 8 * size) - 1)))
                _put(data, off, size, value)
            elif fkind == "chars":
                # A text that fills its field: no NUL, or no valid encoding.
                fill = draw(st.sampled_from((b"A", b"\xff", b"%", b"\x80", b"/")))
                data[off:off + size] = (fill * size)[:len(data[off:off + size])]
            else:
                # A record or array: a short pattern repeated over it.
                chunk = draw(st.binary(min_size=1, max_size=16))
                data[off:off + size] = (chunk * (size // len(chunk) + 1))[:len(data[off:off + size])]
        elif op in ("word", "field"):
            if not data:
                continue
            width = draw(st.sampled_from((1, 2, 4, 8)))
            off = draw(st.integers(0, len(data) - 1))
            if draw(st.booleans()):
                off -= off % width
            _put(data, off, width, draw(st.sampled_from(SPECIAL[width])))
        elif op == "flip":
            if not data:
                continue
            off = draw(st.integers(0, len(data) - 1))
            data[off] ^= 1 << draw(st.integers(0, 7))
        elif op == "cut":
            cuts = [n for n in sizes if n <= len(data)]
            if unit:
                cuts += [n for k in range(len(data) // unit + 1)
                         for n in (k * unit - 1, k * unit, k * unit + 1) if 0 <= n <= len(data)]
            n = draw(st.one_of(st.sampled_from(cuts), st.integers(0, len(data))))
            del data[n:]
        elif op == "extend":
            how = draw(st.integers(0, 2))
            if how == 0:
                data += draw(st.binary(max_size=max_extra))
            elif how == 1:
                data += bytes(draw(st.integers(1, max(unit, 8))))
            elif data:
                a = draw(st.integers(0, len(data) - 1))
                data += data[a:a + draw(st.integers(1, max(unit, 8)))]
        elif op == "splice":
            if not data:
                continue
            a = draw(st.integers(0, len(data) - 1))
            b = draw(st.integers(a, min(len(data), a + max(unit, 64) * 2)))
            if draw(st.booleans()):
                del data[a:b]
            else:
                data[b:b] = data[a:b]
        elif op == "overwrite":
            if not data:
                continue
            off = draw(st.integers(0, len(data) - 1))
            chunk = draw(st.binary(min_size=1, max_size=64))
            data[off:off + len(chunk)] = chunk
    return bytes(data)


@st.composite
def answer_lists(draw, seed, fields=(), unit=0, most=3, one=None):
    """Answers for successive invocations (a measurement, a fetch, a
    re-measurement ...): mostly one answer for all of them, sometimes
    answers that change between calls; the last one repeats. `one` draws a
    single answer (default: mutated(seed, fields, unit))."""
    one = one if one is not None else mutated(seed, fields, unit)
    first = draw(one)
    if most == 1 or draw(st.integers(0, 3)):
        return [first]
    rest = draw(st.lists(st.one_of(one, st.just(first)), min_size=1, max_size=most - 1))
    return [first] + rest


def reported(length):
    """A length for sysctl to report instead of the true one, mostly none.

    Lengths a growing read then allocates and walks stay at a megabyte (a
    kernel answer of gigabytes of empty arguments would make the module build
    billions of empty strings, which is no fault of its own); 2**62 is one
    that no allocation can satisfy."""
    return st.one_of(st.none(), st.none(), st.none(), st.none(),
                     st.sampled_from(sorted({0, 1, max(length - 1, 0), length + 1, 2 * length,
                                             1 << 20, 1 << 62})))


# --- the default machine's answers ---------------------------------------------------

@functools.cache
def seeds():
    """Valid answers of the built-in default machine, read from the platform."""
    with fakebsd.machine(None):
        s = {
            "kinfo_proc": answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, PID)),
            "proc_table": answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0)),
            "threads": answers.sysctl((C.CTL_KERN, C.KERN_PROC,
                                       C.KERN_PROC_PID | C.KERN_PROC_INC_THREAD, PID)),
            "args": answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_ARGS, PID)),
            "pathname": answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PATHNAME, PID)),
            "rlimit": answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_RLIMIT, PID,
                                      C.RLIMIT_NOFILE)),
            "env": answers.kvm_getenvv(PID),
            "files": answers.kinfo_getfile(PID),
            "vmmap": answers.kinfo_getvmmap(PID),
            "filedesc": answers.sysctl(FILEDESC + (PID,)),
            "packed_vmmap": answers.sysctl(VMMAP + (PID,)),
            "iflist": answers.sysctl(IFLIST),
            "mounts": answers.getfsstat(),
            "devices": answers.devstat_getdevs(),
            "swap": answers.kvm_getswapinfo(),
        }
        for name in [*NODES, "kern.file", *SOCKET_LISTS]:
            s[name] = answers.sysctlbyname(name)
        size = fakebsd.sizeof("kinfo_file")
        s["sockets"] = b"".join(
            r for r in (s["files"][i:i + size] for i in range(0, len(s["files"]), size))
            if int.from_bytes(r[4:8], "little") == C.KF_TYPE_SOCKET)
    return s


IFLIST = (C.CTL_NET, C.PF_ROUTE, 0, 0, C.NET_RT_IFLIST, 0)
FILEDESC = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_FILEDESC)
VMMAP = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_VMMAP)
KINFO = fakebsd.sizeof("kinfo_proc")

# Plain sysctl nodes read by name (or by their fixed MIB), each with the calls
# that parse it.
NODES = {
    "kern.cp_time": [("cpu_times", ())],
    "kern.cp_times": [("per_cpu_times", ())],
    "hw.ncpu": [("cpu_count_logical", ()), ("per_cpu_times", ())],
    "kern.boottime": [("boot_time", ())],
    "vm.vmtotal": [("virtual_mem", ())],
    "hw.physmem": [("virtual_mem", ())],
    "vfs.bufspace": [("virtual_mem", ())],
    "vm.stats.vm.v_active_count": [("virtual_mem", ())],
    "vm.stats.vm.v_inactive_count": [("virtual_mem", ())],
    "vm.stats.vm.v_wire_count": [("virtual_mem", ())],
    "vm.stats.vm.v_cache_count": [("virtual_mem", ())],
    "vm.stats.vm.v_free_count": [("virtual_mem", ())],
    "vm.stats.vm.v_swapin": [("swap_mem", ())],
    "vm.stats.vm.v_vnodeout": [("swap_mem", ())],
    "vm.stats.sys.v_soft": [("cpu_stats", ())],
    "vm.stats.sys.v_swtch": [("cpu_stats", ())],
    "dev.cpu.0.freq": [("cpu_freq", (0,))],
    "dev.cpu.0.freq_levels": [("cpu_freq", (0,))],
    "kern.sched.topology_spec": [("cpu_topology", ())],
    "dev.cpu.0.temperature": [("sensors_cpu_temperature", (0,))],
    "dev.cpu.0.coretemp.tjmax": [("sensors_cpu_temperature", (0,))],
}
# Nodes the default server lacks (no battery); their answers are made up.
BATTERY = {"hw.acpi.battery.life": 4, "hw.acpi.battery.time": 4, "hw.acpi.acline": 4}


def _node_fault(name, answers_, report=None):
    """A fault on a node, whichever way the module reads it: by name, and by
    its MIB when it has one."""
    faults = [fault("sysctlbyname", name, answers=answers_, report=report)]
    mib = fakebsd.sysctl_names().get(name)
    if mib is not None:
        faults.append(fault("sysctl", mib, answers=answers_, report=report))
    return faults


# --- process records, arguments, environment ------------------------------------

PROC_RECORD_CALLS = [
    ("proc_oneshot_info", (PID,)), ("proc_name", (PID,)), ("proc_num_threads", (PID,)),
    ("proc_is_zombie", (PID,)), ("proc_cwd", (PID,)), ("proc_num_fds", (PID,)),
    ("proc_memory_maps", (PID,)), ("proc_exe", (PID,)),
]


@FUZZ
@given(data=st.data())
def test_process_record(data):
    """kern.proc.pid: the record every per-process call starts from."""
    seed = seeds()["kinfo_proc"]
    answers_ = data.draw(answer_lists(seed, record_fields("kinfo_proc"), KINFO), "answers")
    report = data.draw(reported(len(seed)), "report")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, PID)
    exercise({"faults": [fault("sysctl", mib, answers=answers_, report=report)]},
             PROC_RECORD_CALLS)


@FUZZ
@given(data=st.data())
def test_process_record_explains_failure(data):
    """A failed descriptor or map read is explained from the process record."""
    seed = seeds()["kinfo_proc"]
    answer = data.draw(mutated(seed, record_fields("kinfo_proc"), KINFO), "answer")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, ZOMBIE)
    exercise({"faults": [fault("sysctl", mib, nth=2, answer=answer),
                         fault("kinfo_getfile", ZOMBIE, errno=0),
                         fault("kinfo_getvmmap", ZOMBIE, errno=0)]},
             [("proc_cwd", (ZOMBIE,)), ("proc_memory_maps", (ZOMBIE,)),
              ("proc_is_zombie", (ZOMBIE,))])


@FUZZ
@given(data=st.data())
def test_process_table(data):
    """kern.proc.proc: one record per process."""
    seed = seeds()["proc_table"]
    n = len(seed) // KINFO
    answers_ = data.draw(answer_lists(seed, repeated_fields("kinfo_proc", n), KINFO), "answers")
    report = data.draw(reported(len(seed)), "report")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0)
    exercise({"faults": [fault("sysctl", mib, answers=answers_, report=report)]}, [("pids", ())])


@FUZZ
@given(data=st.data())
def test_threads(data):
    """kern.proc.pid with threads: one record per thread."""
    seed = seeds()["threads"]
    n = len(seed) // KINFO
    answers_ = data.draw(answer_lists(seed, repeated_fields("kinfo_proc", n), KINFO), "answers")
    report = data.draw(reported(len(seed)), "report")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID | C.KERN_PROC_INC_THREAD, PID)
    exercise({"faults": [fault("sysctl", mib, answers=answers_, report=report)]},
             [("proc_threads", (PID,))])


@FUZZ
@given(data=st.data())
def test_arguments(data):
    """kern.proc.args: NUL-terminated strings."""
    seed = seeds()["args"]
    answers_ = data.draw(answer_lists(seed), "answers")
    report = data.draw(reported(len(seed)), "report")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_ARGS, PID)
    exercise({"faults": [fault("sysctl", mib, answers=answers_, report=report)]},
             [("proc_cmdline", (PID,))])


@FUZZ
@given(data=st.data())
def test_pathname(data):
    """kern.proc.pathname: the executable's path."""
    seed = seeds()["pathname"]
    answers_ = data.draw(answer_lists(seed, most=1), "answers")
    report = data.draw(reported(len(seed)), "report")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PATHNAME, PID)
    exercise({"faults": [fault("sysctl", mib, answers=answers_, report=report)]},
             [("proc_exe", (PID,))])


@FUZZ
@given(data=st.data())
def test_kvm_process_record(data):
    """libkvm's records of the process the environment is read for."""
    seed = seeds()["kinfo_proc"]
    answer = data.draw(mutated(seed, record_fields("kinfo_proc"), KINFO), "answer")
    exercise({"faults": [fault("kvm_getprocs", PID, answer=answer)]},
             [("proc_environ", (PID,))])


@FUZZ
@given(data=st.data())
def test_environment(data):
    """libkvm's environment strings."""
    answer = data.draw(mutated(seeds()["env"]), "answer")
    exercise({"faults": [fault("kvm_getenvv", PID, answer=answer)]}, [("proc_environ", (PID,))])


@FUZZ
@given(data=st.data())
def test_resource_limit(data):
    """kern.proc.rlimit: one struct rlimit."""
    seed = seeds()["rlimit"]
    answers_ = data.draw(answer_lists(seed, record_fields("rlimit"), len(seed), most=1), "answers")
    report = data.draw(reported(len(seed)), "report")
    mib = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_RLIMIT, PID, C.RLIMIT_NOFILE)
    exercise({"faults": [fault("sysctl", mib, answers=answers_, report=report)]},
             [("proc_getrlimit", (PID, C.RLIMIT_NOFILE))])


@FUZZ
@given(answer=st.one_of(st.binary(max_size=200),
                        mutated((0b1111).to_bytes(128, "little"), unit=128)))
def test_cpu_mask(answer):
    """cpuset_getaffinity: a CPU mask of any length and content."""
    exercise({"faults": [fault("cpuset_getaffinity", PID, answer=answer)]},
             [("proc_cpu_affinity_get", (PID,))])


# --- descriptor tables and memory maps -------------------------------------------

FILE_CALLS = [("proc_cwd", (PID,)), ("proc_num_fds", (PID,)), ("proc_open_files", (PID,)),
              ("proc_net_connections", (PID, [1, 2, 28], [1, 2]))]


@FUZZ
@given(data=st.data())
def test_descriptor_table(data):
    """kinfo_getfile: one struct kinfo_file per descriptor."""
    seed = seeds()["files"]
    size = fakebsd.sizeof("kinfo_file")
    answer = data.draw(mutated(seed, repeated_fields("kinfo_file", len(seed) // size), size),
                       "answer")
    exercise({"faults": [fault("kinfo_getfile", PID, answer=answer)]}, FILE_CALLS)


@FUZZ
@given(data=st.data())
def test_memory_map(data):
    """kinfo_getvmmap: one struct kinfo_vmentry per mapping."""
    seed = seeds()["vmmap"]
    size = fakebsd.sizeof("kinfo_vmentry")
    answer = data.draw(mutated(seed, repeated_fields("kinfo_vmentry", len(seed) // size), size),
                       "answer")
    exercise({"faults": [fault("kinfo_getvmmap", PID, answer=answer)]},
             [("proc_memory_maps", (PID,))])


def packed_fields(raw, record):
    """(offset, size, kind) of the fields of each packed record as far as
    the record reaches, walking the records by their own sizes."""
    out, pos = [], 0
    while pos + 4 <= len(raw):
        size = int.from_bytes(raw[pos:pos + 4], "little", signed=True)
        out += [(pos + off, sz, kind) for _, off, sz, kind in fakebsd.fields(record) if off + sz <= size]
        if size <= 0:
            break
        pos += size
    return out


@FUZZ
@given(data=st.data())
def test_packed_descriptor_table(data):
    """kern.proc.filedesc: packed records, walked by libutil's kinfo_getfile
    by their own sizes; a measurement, then the read."""
    seed = seeds()["filedesc"]
    answers_ = data.draw(answer_lists(seed, packed_fields(seed, "kinfo_file"), unit=8), "answers")
    exercise({"faults": [fault("sysctl", FILEDESC + (PID,), answers=answers_)]}, FILE_CALLS)


@FUZZ
@given(data=st.data())
def test_packed_memory_map(data):
    """kern.proc.vmmap: packed records, walked by libutil's kinfo_getvmmap."""
    seed = seeds()["packed_vmmap"]
    answers_ = data.draw(answer_lists(seed, packed_fields(seed, "kinfo_vmentry"), unit=8), "answers")
    exercise({"faults": [fault("sysctl", VMMAP + (PID,), answers=answers_)]},
             [("proc_memory_maps", (PID,))])


# --- fixed-size reads and texts by name ---------------------------------------------

@pytest.mark.parametrize("name", sorted(NODES))
@FUZZ
@given(data=st.data())
def test_node(name, data):
    """cp_time(s), CPU count, boot time, vmtotal, memory counters, frequency
    and its levels, topology, temperatures."""
    seed = seeds()[name]
    fields = {"kern.boottime": record_fields("timeval"),
              "vm.vmtotal": record_fields("vmtotal")}.get(name, ())
    unit = {"kern.cp_times": 40, "kern.cp_time": 40}.get(name, len(seed))
    answers_ = data.draw(answer_lists(seed, fields, unit), "answers")
    report = data.draw(reported(len(seed)), "report")
    exercise({"faults": _node_fault(name, answers_, report)}, NODES[name])


@FUZZ
@given(data=st.data())
def test_battery(data):
    """The ACPI battery nodes (absent from the default server)."""
    faults = []
    for name, size in BATTERY.items():
        answer = data.draw(mutated(struct.pack("<i", 50)[:size]), name)
        faults += _node_fault(name, [answer], data.draw(reported(size), name + " report"))
    exercise({"faults": faults}, [("sensors_battery", ())])


@FUZZ
@given(data=st.data())
def test_swap_devices(data):
    """libkvm's swap entries."""
    seed = seeds()["swap"]
    size = fakebsd.sizeof("kvm_swap")
    answer = data.draw(mutated(seed, repeated_fields("kvm_swap", len(seed) // size), size),
                       "answer")
    exercise({"faults": [fault("kvm_getswapinfo", "", answer=answer)]}, [("swap_mem", ())])


@FUZZ
@given(data=st.data())
def test_allocator_figures(data):
    """The allocator's answers (epoch, allocated and mapped bytes)."""
    faults = []
    for name in ("epoch", "stats.allocated", "stats.mapped"):
        if data.draw(st.booleans(), f"{name} malformed"):
            answer = data.draw(mutated(struct.pack("<Q", 4096)), name)
            faults.append(fault("mallctl", name, answer=answer))
    exercise({"faults": faults}, [("heap_info", ())])


# --- routing messages and interface addresses ---------------------------------------

def iflist_fields(seed):
    """The fields of every message of a NET_RT_IFLIST answer."""
    out, off = [], 0
    while off + 4 <= len(seed):
        msglen, _, mtype = struct.unpack_from("<HBB", seed, off)
        if msglen < 4:
            break
        if mtype == C.RTM_IFINFO:
            out += record_fields("if_msghdr", off)
            out += record_fields("if_data", off + 16)
            out += record_fields("sockaddr_dl", off + fakebsd.sizeof("if_msghdr"))
        else:
            out += record_fields("ifa_msghdr", off)
        off += msglen
    return out


@FUZZ
@given(data=st.data())
def test_interface_list(data):
    """NET_RT_IFLIST: routing messages, each with its own length."""
    seed = seeds()["iflist"]
    answers_ = data.draw(answer_lists(seed, iflist_fields(seed), fakebsd.sizeof("if_msghdr")),
                         "answers")
    report = data.draw(reported(len(seed)), "report")
    exercise({"faults": [fault("sysctl", IFLIST, answers=answers_, report=report)]},
             [("net_io_counters", ())])


def sockaddrs():
    """Socket addresses: valid ones of each family, mutated, or random."""
    valid = [fakebsd.sin("192.168.1.20"), fakebsd.sin("255.255.255.0"),
             fakebsd.sin6("fe80::21a:2bff:fe3c:4d5e", 1), fakebsd.sin6("2001:db8::20"),
             fakebsd.sdl(b"em0", b"\x00\x1a\x2b\x3c\x4d\x5e", index=1),
             fakebsd.sdl(b"lo0", index=2)]
    return st.one_of(
        st.none(),
        st.sampled_from(valid).flatmap(
            lambda sa: mutated(sa, record_fields("sockaddr_in6" if sa[1] == C.AF_INET6 else
                                                 "sockaddr_dl" if sa[1] == C.AF_LINK else
                                                 "sockaddr_in"), len(sa), max_extra=300)),
        st.binary(max_size=300))


FLAGS = st.one_of(st.integers(0, 0xFFFF),
                  st.sampled_from([C.IFF_UP | C.IFF_BROADCAST | C.IFF_RUNNING,
                                   C.IFF_UP | C.IFF_POINTOPOINT, C.IFF_LOOPBACK]))


@st.composite
def interfaces(draw):
    ifs = []
    for k in range(draw(st.integers(0, 3))):
        addrs = [fakebsd.ifs.address(draw(sockaddrs()), draw(sockaddrs()), draw(sockaddrs()),
                 draw(st.one_of(st.none(), FLAGS)))
                 for _ in range(draw(st.integers(0, 4)))]
        name = draw(st.one_of(st.sampled_from([b"em0", b"lo0", b"usbus0"]),
                              st.binary(min_size=1, max_size=24)))
        lladdr = draw(st.binary(max_size=16))
        link = draw(st.one_of(st.none(), sockaddrs().filter(lambda sa: sa is not None)))
        ifs.append(fakebsd.iface(name, flags=draw(FLAGS), lladdr=lladdr, link=link,
                                 addrs=addrs, mtu=draw(st.integers(-(1 << 31), (1 << 31) - 1)),
                                 media=draw(st.one_of(st.none(), st.integers(0, (1 << 31) - 1))),
                                 index=k + 1))
    return ifs


@FUZZ
@given(ifs=interfaces())
def test_interface_addresses(ifs):
    """getifaddrs: malformed socket addresses of every kind, and the
    interface ioctls on the same interfaces."""
    calls = [("net_if_addrs", ())]
    for i in ifs[:1]:
        name = i["name"].decode("utf-8", "replace").replace("\0", "")
        calls += [("net_if_flags", (name,)), ("net_if_mtu", (name,)),
                  ("net_if_is_running", (name,)), ("net_if_duplex_speed", (name,))]
    exercise({"ifs": ifs}, calls)


# --- socket tables ----------------------------------------------------------------

ALL_FAMILIES, ALL_TYPES = [C.AF_INET, C.AF_INET6, C.AF_UNIX], [C.SOCK_STREAM, C.SOCK_DGRAM]
# Each list: its header record, its own record, and who reads it.
SOCKET_LISTS = {
    "net.inet.tcp.pcblist": ("xinpgen", "xtcpcb", [
        ("net_connections", (ALL_FAMILIES, ALL_TYPES)),
        ("net_connections", ([C.AF_INET6], [C.SOCK_STREAM])),
        ("proc_net_connections", (PID, ALL_FAMILIES, ALL_TYPES))]),
    "net.inet.udp.pcblist": ("xinpgen", "xinpcb", [
        ("net_connections", (ALL_FAMILIES, ALL_TYPES))]),
    "net.local.stream.pcblist": ("xunpgen", "xunpcb", [
        ("net_connections", ([C.AF_UNIX], []))]),
    "net.local.dgram.pcblist": ("xunpgen", "xunpcb", [
        ("net_connections", ([C.AF_UNIX], []))]),
}


def list_fields(seed, header, record):
    """Header, records and trailer of a protocol list answer."""
    hsize, rsize = fakebsd.sizeof(header), fakebsd.sizeof(record)
    count = max(len(seed) - 2 * hsize, 0) // rsize
    return (record_fields(header) + repeated_fields(record, count, hsize)
            + record_fields(header, max(len(seed) - hsize, 0)))


def framed(seed, header, record):
    """A list answer whose records are mutated between the valid header and
    trailer, so that the walk itself gets the malformed records."""
    hsize, rsize = fakebsd.sizeof(header), fakebsd.sizeof(record)
    body = seed[hsize:len(seed) - hsize]
    fields = repeated_fields(record, len(body) // rsize)
    return mutated(body, fields, rsize).map(lambda b: seed[:hsize] + b + seed[-hsize:])


@FUZZ
@given(data=st.data())
def test_file_table(data):
    """kern.file: struct xfile records, read into a buffer that doubles."""
    seed = seeds()["kern.file"]
    size = fakebsd.sizeof("xfile")
    answers_ = data.draw(answer_lists(seed, repeated_fields("xfile", len(seed) // size), size),
                         "answers")
    report = data.draw(reported(len(seed)), "report")
    exercise({"faults": _node_fault("kern.file", answers_, report)},
             [("net_connections", (ALL_FAMILIES, ALL_TYPES))])


@pytest.mark.parametrize("name", sorted(SOCKET_LISTS))
@FUZZ
@given(data=st.data())
def test_protocol_list(name, data):
    """TCP, UDP and UNIX-domain lists: header, records, trailer, each
    record with its own length; generations that differ between reads."""
    header, record, calls = SOCKET_LISTS[name]
    seed = seeds()[name]
    one = st.one_of(mutated(seed, list_fields(seed, header, record), fakebsd.sizeof(record)),
                    framed(seed, header, record))
    answers_ = data.draw(answer_lists(seed, most=7, one=one), "answers")
    report = data.draw(reported(len(seed)), "report")
    exercise({"faults": _node_fault(name, answers_, report)}, calls)


@FUZZ
@given(data=st.data())
def test_descriptor_sockets(data):
    """The socket entries of a descriptor table: domains, types, protocols
    and socket addresses of every length."""
    seed = seeds()["sockets"]
    size = fakebsd.sizeof("kinfo_file")
    answer = data.draw(mutated(seed, repeated_fields("kinfo_file", len(seed) // size), size),
                       "answer")
    families = data.draw(st.sampled_from([ALL_FAMILIES, [C.AF_UNIX], [C.AF_INET, C.AF_INET6]]))
    exercise({"faults": [fault("kinfo_getfile", PID, answer=answer)]},
             [("proc_net_connections", (PID, families, ALL_TYPES + [5]))])


# --- mounts, devices, logins ------------------------------------------------------

@FUZZ
@given(data=st.data())
def test_mount_table(data):
    """getfsstat: struct statfs records, counted and then fetched."""
    seed = seeds()["mounts"]
    size = fakebsd.sizeof("statfs")
    answers_ = data.draw(answer_lists(seed, repeated_fields("statfs", len(seed) // size), size),
                         "answers")
    exercise({"faults": [fault("getfsstat", C.MNT_NOWAIT, answers=answers_)]},
             [("disk_partitions", ())])


@FUZZ
@given(data=st.data())
def test_device_statistics(data):
    """devstat_getdevs: struct devstat records."""
    seed = seeds()["devices"]
    size = fakebsd.sizeof("devstat")
    answer = data.draw(mutated(seed, repeated_fields("devstat", len(seed) // size), size),
                       "answer")
    exercise({"faults": [fault("devstat_getdevs", "", answer=answer)]}, [("disk_io_counters", ())])


LOGINS = [
    fakebsd.utmpx(b"", b"", type=C.BOOT_TIME, sec=1765180804),
    fakebsd.utmpx(b"alice", b"ttyv0", sec=1765180895, usec=120000, pid=902, ut_id=b"v0"),
    fakebsd.utmpx(b"bob", b"pts/1", b"198.51.100.23", type=C.DEAD_PROCESS, sec=1765182600,
                  pid=1150, ut_id=b"s/1"),
    fakebsd.utmpx(b"alice", b"pts/0", b"192.0.2.7", sec=1765184410, usec=532000, pid=1206,
                  ut_id=b"s/0"),
]


@FUZZ
@given(entries=st.lists(st.sampled_from(LOGINS).flatmap(
    lambda e: mutated(e, record_fields("utmpx"), len(e))), max_size=6), raw=st.booleans())
def test_logins(entries, raw):
    """The accounting database's records: as libc rebuilds them from the file,
    or (raw) handed out as they are, which libc never does."""
    if raw and entries:
        desc = {"utmpx": [], "faults": [fault("getutxent", answers=entries, times=len(entries))]}
    else:
        desc = {"utmpx": entries}
    exercise(desc, [("users", ())])


# --- findings, kept as regression cases ----------------------------------------------

def test_short_process_record_reads_as_zeros(machine):
    # A process record shorter than struct kinfo_proc left the fields it did
    # not reach as the stack held them: after a look at a zombie, the state
    # of a process whose record stops before ki_stat read as "zombie".
    short = seeds()["kinfo_proc"][:64]
    machine({"faults": [fault("sysctl", (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, PID),
                              answer=short)]})
    for _ in range(3):
        assert m.proc_is_zombie(ZOMBIE) is True
        assert m.proc_is_zombie(PID) is False
        assert m.proc_oneshot_info(PID)[1] == 0
