"""Fuzz targets: one per parser of kernel data.

Each target turns one input into a machine (the built-in default server
with the input installed as the raw answer of the call it fuzzes), makes
the module calls that parse that answer, and checks the property every
parser must keep: a value of its documented shape (texts never longer than
the kernel field they come from), or one of the module's documented
exceptions; and every platform handle given back. A broken property raises
AssertionError; the harness (harness.cpp) turns it into a crash.

An input is a control byte, then the answers for successive invocations of
the call (a measurement, a fetch, a re-read ...) separated by CALL; each
answer is a list of records separated by RECORD. A target that knows its
record types pads or cuts each record to its size, so that mutations inside
a record keep the records after it aligned and reach the deep paths; with
FILL in the control byte it also fills every text field of every record to
its end (no NUL), and with RAW it joins the records as they are. The low
three bits of the control byte pick a length for sysctl to report instead of
the true one (REPORTS).

    python tests/fuzz/targets.py NAME FILE...   runs inputs through a target
    python tests/fuzz/targets.py --list         the targets (name, strict)
    python tests/fuzz/targets.py --seeds DIR    every profile's seeds, a folder a target
    python tests/fuzz/targets.py --dict         libFuzzer's dictionary
"""

import base64
import gzip
import json
import os
import random
import struct
import sys
import tempfile

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, fault

CALL = b"\xa5MVX-CALL\xa5"
RECORD = b"\xa5MVX-REC\xa5"
RAW = 0x10
FILL = 0x80
MAX_CALLS = 8

PID = 1310          # the default server's python3.13: threads, files, maps, sockets
ZOMBIE = 1311

# What a call may raise on a malformed answer (UnicodeDecodeError is a
# ValueError). Anything else (SystemError above all: a result with an
# exception set, or no result without one) breaks the property.
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


def fits(check, **bounds):
    """check, and the texts at the given tuple positions (p0=..., p3=...;
    text= for a plain text) no longer in bytes than the kernel field they
    were read from."""
    def text_ok(s, most):
        return s is None or len(os.fsencode(s)) <= most

    def run(v):
        if not check(v):
            return False
        for key, most in bounds.items():
            if key == "text" and not text_ok(v, most):
                return False
            if key.startswith("p") and not text_ok(v[int(key[1:])], most):
                return False
        return True
    return run


def each(check):
    return lambda v: all(check(x) for x in v)


INT, FLOAT, STR, BOOL = _atom("i"), _atom("f"), _atom("s"), _atom("b")
NONE = lambda v: v is None  # noqa: E731

# The kernel fields texts come from, in bytes.
SUN_PATH = 104       # sockaddr_un.sun_path
COMMLEN = 20         # kinfo_proc.ki_comm
PATH_MAX = 1024      # kf_path, kve_path, f_mntonname, f_mntfromname
MFSNAMELEN = 16      # f_fstypename


def _inet_end(v):
    return v == () or (type(v) is tuple and len(v) == 2 and STR(v[0]) and INT(v[1]))


def _connection(with_pid):
    def check(v):
        n = 7 if with_pid else 6
        if type(v) is not tuple or len(v) != n:
            return False
        if not all(INT(x) for x in v[:3]) or not INT(v[5]) or (with_pid and not INT(v[6])):
            return False
        if v[1] == C.AF_UNIX:  # the bound path, at most what sun_path holds, and ""
            return STR(v[3]) and len(os.fsencode(v[3])) <= SUN_PATH and v[4] == ""
        return _inet_end(v[3]) and v[3] != () and _inet_end(v[4])
    return check


SHAPES = {
    "pids": listof(INT),
    "proc_oneshot_info": fits(tup("iiiiiiiii" "f" "iiii" "ffff" "iiiii" "i" "S"), p24=COMMLEN),
    "proc_name": fits(STR, text=COMMLEN),
    "proc_num_threads": INT,
    "proc_is_zombie": BOOL,
    "proc_threads": listof(tup("iff")),
    "proc_cmdline": listof(STR),
    "proc_environ": dictof(STR, STR),
    "proc_exe": fits(STR, text=PATH_MAX),
    "proc_cwd": fits(STR, text=PATH_MAX),
    "proc_num_fds": INT,
    "proc_open_files": listof(fits(tup("si"), p0=PATH_MAX)),
    "proc_memory_maps": listof(fits(tup("sssiiii"), p2=PATH_MAX)),
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
    "disk_partitions": listof(fits(tup("ssss"), p0=PATH_MAX, p1=PATH_MAX, p2=MFSNAMELEN)),
    "disk_io_counters": dictof(STR, tup("iiiiiii")),
    "sensors_battery": tup("iii"),
    "sensors_cpu_temperature": tup("ii"),
    "users": listof(fits(tup("sssfi"), p0=32, p1=16, p2=128)),
    "net_if_addrs": listof(tup("sisSSS")),
    "net_io_counters": dictof(STR, tup("iiiiiiii")),
    "net_if_flags": listof(STR),
    "net_if_mtu": INT,
    "net_if_is_running": BOOL,
    "net_if_duplex_speed": lambda v: type(v) is list and len(v) == 2 and all(INT(x) for x in v),
}


# --- inputs -------------------------------------------------------------------

def decode(data):
    """(control byte, [[record, ...] per invocation])."""
    if not data:
        return 0, [[b""]]
    return data[0], [call.split(RECORD) for call in data[1:].split(CALL)[:MAX_CALLS]]


def encode(calls, control=0):
    """An input from answers given as lists of records (or plain bytes)."""
    return bytes([control]) + CALL.join(
        RECORD.join(c) if isinstance(c, list) else c for c in calls)


def fit(record, size):
    return record[:size].ljust(size, b"\0")


# The length sysctl reports instead of the true one, by the control byte's
# low three bits (n: the first answer's length). The megabyte bounds what a
# growing read then allocates and walks (gigabytes of empty arguments would
# make the module build billions of empty strings, which is no fault of its
# own); 2**62 is one that no allocation can satisfy.
REPORTS = (None, None, None, lambda n: max(n - 1, 0), lambda n: n + 1, lambda n: 2 * n,
           lambda n: 1 << 16, lambda n: 1 << 62)
# The reported length goes to the reads only (a size query is answered
# truly, so the read's buffer is sized by the answer); with MEASURE to the
# size queries too.
MEASURE = 0x08


def reported(control, first):
    r = REPORTS[control & 7]
    return None if r is None else r(len(first))


def reporting(call, key, text_key, control, answers_):
    """The faults that answer `call` for `key` with answers_, reporting the
    control byte's length (text_key: the key as the stand-in logs it)."""
    report = reported(control, answers_[0])
    faults = []
    if report is not None and not control & MEASURE:
        faults.append(fault(call, text_key + " (measure)", answers=answers_))
    faults.append(fault(call, key, answers=answers_, report=report))
    return faults


class Target:
    """One parser's target.

    setup(control, answers) -> (machine description, calls[, must_fail]),
    where answers are the joined answers, one per invocation. `frame(i, n)`
    names the record type of record i of n in an answer (None: taken as it
    is). `seeds(profile)` gives the profile's valid answers as lists of
    records.
    """

    def __init__(self, name, setup, seeds, frame=None, strict=False, fields=None):
        self.name, self.setup, self.seeds, self.frame = name, setup, seeds, frame
        # The record types for field mutations (mutate), where they differ
        # from the framing (packed records keep their own lengths).
        self.fields = fields or frame
        # Whether the target runs in an interpreter with strict file-system
        # errors, where names that cannot be decoded fail the call.
        self.strict = strict

    def answers(self, control, calls):
        out = []
        for records in calls:
            if self.frame and not control & RAW:
                n = len(records)
                records = [r if (rec := self.frame(i, n)) is None else
                           framed(r, rec, control & FILL) for i, r in enumerate(records)]
            out.append(b"".join(records))
        return out

    def run(self, data):
        control, calls = decode(data)
        setup = self.setup(control, self.answers(control, calls))
        if setup is not None:
            exercise(*setup)

    def mutate(self, data, max_size, seed):
        """A structure-aware mutation of data (None: none to offer): a bit
        of the control byte, or one field of one record set to a boundary
        value (integers) or filled to its end (texts)."""
        rnd = random.Random(seed)
        control, calls = decode(data)
        if not self.fields and rnd.randrange(4):
            return None  # libFuzzer's own, mostly, where records have no fields known
        if not self.fields or rnd.randrange(4) == 0:
            control ^= 1 << rnd.randrange(8)
        else:
            k = rnd.randrange(len(calls))
            records = calls[k]
            i = rnd.randrange(len(records))
            rec = self.fields(i, len(records))
            spots = field_spots(rec)
            if not spots:
                return None
            off, width, kind = rnd.choice(spots)
            data = bytearray(records[i].ljust(off + width, b"\0"))
            if kind == "chars":
                fill = rnd.choice((b"A", b"/", b"\xff", b"\x80", b"%"))
                data[off:off + width] = fill * width
            else:
                data[off:off + width] = boundary(rnd, width, size(rec)).to_bytes(width, "little")
            records[i] = bytes(data)
        out = encode(calls, control)
        return out if len(out) <= max_size else None


def exercise(desc, calls, expect=None):
    """Install the machine, make the calls, check each answer's shape and
    that every handle was given back; with expect "fail", that every call
    raised (its answer is one the module must refuse), with "succeed" that
    none did."""
    with fakebsd.machine(desc):
        for name, args in calls:
            try:
                result = getattr(m, name)(*args)
            except ALLOWED as e:
                assert expect != "succeed", f"{name}{args!r} refused a sound answer: {e!r}"
                continue
            assert SHAPES[name](result), f"{name}{args!r} answered {result!r}"
            assert expect != "fail", f"{name}{args!r} took a malformed answer: {result!r}"
        left = {k: v for k, v in fakebsd.resources().items() if v}
        assert not left, f"handles left open after {calls!r}: {left}"


TARGETS = {}


def target(name, seeds, frame=None, strict=False, fields=None):
    def register(setup):
        TARGETS[name] = Target(name, setup, seeds, frame, strict, fields)
        return setup
    return register


_spots = {}


def field_spots(record):
    """(offset, width, kind) of the integer and text fields of a record."""
    if record not in _spots:
        _spots[record] = [(off, n, kind) for _, off, n, kind in fakebsd.fields(record)
                          if kind == "chars" or (kind in ("int", "uint") and n in (1, 2, 4, 8))]
    return _spots[record]


def boundary(rnd, width, record_size):
    """A value for an integer field of `width` bytes: one at an edge of its
    range, near the record's size, or any."""
    top = (1 << 8 * width) - 1
    edges = [0, 1, 2, 3, 7, 8, 0x7F, 0x80, 0xFF, 0x100, 0x7FFF, 0x8000, 0xFFFF, 0x10001,
             0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 1 << 32, (1 << 63) - 1, 1 << 63,
             top, top - 1, record_size - 1, record_size, record_size + 1]
    if rnd.randrange(4):
        return rnd.choice([v for v in edges if 0 <= v <= top])
    return rnd.randrange(top + 1)


def size(record):
    return fakebsd.sizeof(record)


def every(record):
    return lambda i, count: record


def framed(data, record, fill):
    """data cut or padded to the record's size; with fill, every text field
    of the record filled to its end (its NULs made 'A'), as a kernel field
    without its NUL would be."""
    data = fit(data, size(record))
    if not fill:
        return data
    out = bytearray(data)
    for off, n, kind in field_spots(record):
        if kind == "chars":
            out[off:off + n] = out[off:off + n].replace(b"\0", b"A")
    return bytes(out)


def records(data, record):
    n = size(record)
    return [data[i:i + n] for i in range(0, len(data), n)] or [b""]


# --- seeds: every profile's answers ---------------------------------------------

PROFILES = fakebsd.profiles.NAMES
SEED_MOST = 1 << 14   # bytes in a committed seed


def on(profile):
    return fakebsd.machine(None) if profile == "default" else fakebsd.machine(profile=profile)


def sample_pids(most=3):
    """Processes of the installed machine worth a seed: the default server's
    python3.13 first, then those with the most descriptors."""
    pids = sorted(m.pids())
    chosen = [PID] if PID in pids else []
    scored = []
    for pid in pids[:400]:
        try:
            scored.append((-len(answers.kinfo_getfile(pid)), pid))
        except OSError:
            pass
    chosen += [pid for _, pid in sorted(scored) if pid not in chosen]
    return chosen[:most]


def per_pid(read, split=None):
    """Seeds from read(pid) for sampled processes of the profile."""
    def seeds(profile):
        out = []
        with on(profile):
            for pid in sample_pids():
                try:
                    data = read(pid)
                except OSError:
                    continue
                out.append([split(data) if split else data])
        return out
    return seeds


def once(read, split=None):
    def seeds(profile):
        with on(profile):
            try:
                data = read()
            except OSError:
                return []
        return [[split(data) if split else data]]
    return seeds


def proc_mib(op, pid, *rest):
    return (C.CTL_KERN, C.KERN_PROC, op, pid, *rest)


def sysctl_fault(mib, control, answers_):
    return reporting("sysctl", mib, ".".join(map(str, mib)), control, answers_)


def node_faults(name, control, answers_):
    """A node's faults, whichever way the module reads it: by name, and by
    its MIB when it has one."""
    faults = reporting("sysctlbyname", name, name, control, answers_)
    mib = fakebsd.sysctl_names().get(name)
    if mib is not None:
        faults += sysctl_fault(mib, control, answers_)
    return faults


# --- process records, arguments, environment ------------------------------------

PROC_RECORD_CALLS = [
    ("proc_oneshot_info", (PID,)), ("proc_name", (PID,)), ("proc_num_threads", (PID,)),
    ("proc_is_zombie", (PID,)), ("proc_cwd", (PID,)), ("proc_num_fds", (PID,)),
    ("proc_memory_maps", (PID,)), ("proc_exe", (PID,)),
]
EXPLAIN = 0x20   # proc_record: the record explains a failed descriptor or map read


@target("proc_record", per_pid(lambda pid: answers.sysctl(proc_mib(C.KERN_PROC_PID, pid))),
        frame=every("kinfo_proc"))
def _proc_record(control, answers_):
    """kern.proc.pid: the record every per-process call starts from; with
    EXPLAIN, the record a zombie's failed descriptor and map reads are
    explained from."""
    if control & EXPLAIN:
        return ({"faults": [fault("sysctl", proc_mib(C.KERN_PROC_PID, ZOMBIE), nth=2,
                                  answers=answers_),
                            fault("kinfo_getfile", ZOMBIE, errno=0),
                            fault("kinfo_getvmmap", ZOMBIE, errno=0)]},
                [("proc_cwd", (ZOMBIE,)), ("proc_memory_maps", (ZOMBIE,)),
                 ("proc_is_zombie", (ZOMBIE,))])
    return ({"faults": sysctl_fault(proc_mib(C.KERN_PROC_PID, PID), control, answers_)},
            PROC_RECORD_CALLS)


def _proc_table(profile):
    with on(profile):
        data = answers.sysctl(proc_mib(C.KERN_PROC_PROC, 0))
    return [records(data[:SEED_MOST // size("kinfo_proc") * size("kinfo_proc")], "kinfo_proc")]


@target("proc_table", lambda p: [_proc_table(p)], frame=every("kinfo_proc"))
def _proc_table_setup(control, answers_):
    """kern.proc.proc: one record per process, read into a growing buffer."""
    return ({"faults": sysctl_fault(proc_mib(C.KERN_PROC_PROC, 0), control, answers_)},
            [("pids", ())])


@target("threads", per_pid(lambda pid: answers.sysctl(
    proc_mib(C.KERN_PROC_PID | C.KERN_PROC_INC_THREAD, pid)), lambda d: records(d, "kinfo_proc")),
    frame=every("kinfo_proc"))
def _threads(control, answers_):
    """kern.proc.pid with threads: one record per thread."""
    mib = proc_mib(C.KERN_PROC_PID | C.KERN_PROC_INC_THREAD, PID)
    return {"faults": sysctl_fault(mib, control, answers_)}, [("proc_threads", (PID,))]


@target("args", per_pid(lambda pid: answers.sysctl(proc_mib(C.KERN_PROC_ARGS, pid))))
def _args(control, answers_):
    """kern.proc.args: NUL-terminated strings."""
    return ({"faults": sysctl_fault(proc_mib(C.KERN_PROC_ARGS, PID), control, answers_)},
            [("proc_cmdline", (PID,))])


@target("pathname", per_pid(lambda pid: answers.sysctl(proc_mib(C.KERN_PROC_PATHNAME, pid))))
def _pathname(control, answers_):
    """kern.proc.pathname: the executable's path."""
    return ({"faults": sysctl_fault(proc_mib(C.KERN_PROC_PATHNAME, PID), control, answers_)},
            [("proc_exe", (PID,))])


def _environ_seed(pid):
    return [answers.kvm_getenvv(pid), answers.sysctl(proc_mib(C.KERN_PROC_PID, pid))]


@target("environ", per_pid(_environ_seed))
def _environ(control, answers_):
    """libkvm: the process's record (kvm_getprocs), then its environment
    strings (kvm_getenvv); the first answer is the strings, the second, if
    any, the record."""
    env, *rest = answers_
    faults = [fault("kvm_getenvv", PID, answer=env)]
    if rest:
        faults.append(fault("kvm_getprocs", PID, answer=rest[0]))
    return {"faults": faults}, [("proc_environ", (PID,))]


@target("rlimit", per_pid(lambda pid: answers.sysctl(proc_mib(C.KERN_PROC_RLIMIT, pid,
                                                                C.RLIMIT_NOFILE))),
        fields=every("rlimit"))
def _rlimit(control, answers_):
    """kern.proc.rlimit: one struct rlimit."""
    mib = proc_mib(C.KERN_PROC_RLIMIT, PID, C.RLIMIT_NOFILE)
    return ({"faults": sysctl_fault(mib, control, answers_)},
            [("proc_getrlimit", (PID, C.RLIMIT_NOFILE))])


def _mask_seeds(profile):
    with on(profile):
        ncpu = m.cpu_count_logical() or 1
    return [[((1 << ncpu) - 1).to_bytes(128, "little")], [(0b1010).to_bytes(16, "little")]]


@target("cpu_mask", _mask_seeds)
def _cpu_mask(control, answers_):
    """cpuset_getaffinity: a CPU mask of any length and content."""
    return ({"faults": [fault("cpuset_getaffinity", PID, answer=answers_[0])]},
            [("proc_cpu_affinity_get", (PID,))])


# --- descriptor tables and memory maps -------------------------------------------

FILE_CALLS = [("proc_cwd", (PID,)), ("proc_num_fds", (PID,)), ("proc_open_files", (PID,)),
              ("proc_net_connections", (PID, [1, 2, 28], [1, 2]))]
FILEDESC = proc_mib(C.KERN_PROC_FILEDESC, PID)[:3]
VMMAP = proc_mib(C.KERN_PROC_VMMAP, PID)[:3]


@target("descriptor_table", per_pid(answers.kinfo_getfile, lambda d: records(d, "kinfo_file")),
        frame=every("kinfo_file"))
def _descriptor_table(control, answers_):
    """kinfo_getfile: one struct kinfo_file per descriptor."""
    return {"faults": [fault("kinfo_getfile", PID, answer=answers_[0])]}, FILE_CALLS


def _sockets_only(data):
    return [r for r in records(data, "kinfo_file")
            if int.from_bytes(r[4:8], "little") == C.KF_TYPE_SOCKET] or [b""]


FAMILIES = ([C.AF_INET, C.AF_INET6, C.AF_UNIX], [C.AF_UNIX], [C.AF_INET, C.AF_INET6], [])
TYPES = [C.SOCK_STREAM, C.SOCK_DGRAM]


@target("descriptor_sockets", per_pid(answers.kinfo_getfile, _sockets_only),
        frame=every("kinfo_file"))
def _descriptor_sockets(control, answers_):
    """The socket entries of a descriptor table: domains, types, protocols
    and socket addresses of every length. Bits 5-6 of the control byte pick
    the families asked for."""
    families = FAMILIES[control >> 5 & 3]
    return ({"faults": [fault("kinfo_getfile", PID, answer=answers_[0])]},
            [("proc_net_connections", (PID, families, TYPES + [5]))])


def packed(data):
    """The packed records of a kern.proc.filedesc or vmmap answer, each as
    long as its own first field says."""
    out, pos = [], 0
    while pos + 4 <= len(data):
        n = int.from_bytes(data[pos:pos + 4], "little", signed=True)
        if n <= 0:
            break
        out.append(data[pos:pos + n])
        pos += n
    return out + ([data[pos:]] if pos < len(data) else []) or [b""]


@target("packed_descriptor_table",
        per_pid(lambda pid: answers.sysctl(FILEDESC + (pid,)), packed), fields=every("kinfo_file"))
def _packed_descriptor_table(control, answers_):
    """kern.proc.filedesc: packed records, walked by libutil's kinfo_getfile
    by their own sizes; a measurement, then the read."""
    return {"faults": [fault("sysctl", FILEDESC + (PID,), answers=answers_)]}, FILE_CALLS


@target("memory_map", per_pid(answers.kinfo_getvmmap, lambda d: records(d, "kinfo_vmentry")),
        frame=every("kinfo_vmentry"))
def _memory_map(control, answers_):
    """kinfo_getvmmap: one struct kinfo_vmentry per mapping."""
    return ({"faults": [fault("kinfo_getvmmap", PID, answer=answers_[0])]},
            [("proc_memory_maps", (PID,))])


@target("packed_memory_map", per_pid(lambda pid: answers.sysctl(VMMAP + (pid,)), packed),
        fields=every("kinfo_vmentry"))
def _packed_memory_map(control, answers_):
    """kern.proc.vmmap: packed records, walked by libutil's kinfo_getvmmap."""
    return ({"faults": [fault("sysctl", VMMAP + (PID,), answers=answers_)]},
            [("proc_memory_maps", (PID,))])


# --- socket tables ----------------------------------------------------------------

ALL_FAMILIES = [C.AF_INET, C.AF_INET6, C.AF_UNIX]


@target("file_table", once(lambda: answers.sysctlbyname("kern.file"),
                           lambda d: records(d[:SEED_MOST], "xfile")), frame=every("xfile"))
def _file_table(control, answers_):
    """kern.file: struct xfile records, read into a buffer that doubles."""
    return ({"faults": node_faults("kern.file", control, answers_)},
            [("net_connections", (ALL_FAMILIES, TYPES))])


def list_frame(header, record):
    """Header, records, trailer."""
    return lambda i, n: header if i == 0 or i == n - 1 else record


def list_records(header, record):
    h, r = size(header), size(record)

    def split(data):
        body = data[h:len(data) - h]
        keep = (SEED_MOST - 2 * h) // r * r
        return [data[:h]] + records(body[:keep], record) + [data[len(data) - h:]]
    return split


def u64(data, at):
    return int.from_bytes(data[at:at + 8], "little")


def malformed_list(answer, header, record):
    """Whether a protocol list answer breaks its framing: a header and a
    trailer that carry the header's size, between them whole records that
    each carry the record's size."""
    h, r, n = size(header), size(record), len(answer)
    if n < 2 * h or u64(answer, 0) != h or u64(answer, n - h) != h:
        return True
    body = n - 2 * h
    return body % r != 0 or any(u64(answer, h + i * r) != r for i in range(body // r))


def protocol_list(name, header, record, calls):
    @target(name.split(".")[1] + "_" + name.split(".")[2] + "_list",
            once(lambda: answers.sysctlbyname(name), list_records(header, record)),
            frame=list_frame(header, record))
    def setup(control, answers_):
        # With one answer for every read and its true length reported, a
        # call that reads the list must refuse a malformed one and take a
        # sound one, wherever a slip is: a walk that steps over the trailer
        # into the rest of its buffer, or that takes a record running into
        # the trailer.
        expect = None
        if len(answers_) == 1 and reported(control, answers_[0]) is None:
            expect = "fail" if malformed_list(answers_[0], header, record) else "succeed"
        return {"faults": node_faults(name, control, answers_)}, calls, expect
    setup.__doc__ = f"{name}: header, records, trailer, each record with its own length."


protocol_list("net.inet.tcp.pcblist", "xinpgen", "xtcpcb", [
    ("net_connections", (ALL_FAMILIES, TYPES)),
    ("net_connections", ([C.AF_INET6], [C.SOCK_STREAM])),
    ("proc_net_connections", (PID, ALL_FAMILIES, TYPES))])
protocol_list("net.inet.udp.pcblist", "xinpgen", "xinpcb", [
    ("net_connections", (ALL_FAMILIES, TYPES))])
protocol_list("net.local.stream.pcblist", "xunpgen", "xunpcb", [
    ("net_connections", ([C.AF_UNIX], []))])
protocol_list("net.local.dgram.pcblist", "xunpgen", "xunpcb", [
    ("net_connections", ([C.AF_UNIX], []))])


# --- interfaces ---------------------------------------------------------------------

IFLIST = fakebsd.ifs.IFLIST


def messages(data):
    """The routing messages of a NET_RT_IFLIST answer, each as long as its
    own rtm_msglen."""
    out, pos = [], 0
    while pos + 2 <= len(data):
        n = int.from_bytes(data[pos:pos + 2], "little")
        if n < 4:
            break
        out.append(data[pos:pos + n])
        pos += n
    return out + ([data[pos:]] if pos < len(data) else []) or [b""]


@target("routing_messages", once(lambda: answers.sysctl(IFLIST), messages))
def _routing_messages(control, answers_):
    """NET_RT_IFLIST: routing messages, each with its own length."""
    return {"faults": sysctl_fault(IFLIST, control, answers_)}, [("net_io_counters", ())]


def _ifaddrs_seeds(profile):
    """The profile's getifaddrs entries, as a capture records them: a name
    (16 bytes), flags, then address, netmask, destination and data, each a
    u16 length (0xFFFF: none) and its bytes."""
    from fakebsd import capture
    with on(profile), tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "c.gz")
        capture.capture(path, pids=[1])
        with gzip.open(path, "rt") as f:
            for line in f:
                rec = json.loads(line)
                if rec.get("call") == "getifaddrs" and "answer" in rec:
                    return [_ifaddrs_split(base64.b64decode(rec["answer"]))]
    return []


def _ifaddrs_split(data):
    out, at = [], 0
    while at + 20 <= len(data):
        start, at = at, at + 20
        for _ in range(4):
            if at + 2 > len(data):
                break
            n = struct.unpack_from("<H", data, at)[0]
            at += 2 + (0 if n == 0xFFFF else n)
        out.append(data[start:at])
    return out


def _blobs(entry):
    """(name, flags, addr, netmask, dst) of one entry; what is cut short is
    missing (None)."""
    name, flags = entry[:16].rstrip(b"\0"), int.from_bytes(entry[16:20].ljust(4, b"\0"), "little")
    blobs, at = [], 20
    for _ in range(3):
        if at + 2 > len(entry):
            blobs.append(None)
            continue
        n = struct.unpack_from("<H", entry, at)[0]
        at += 2
        if n == 0xFFFF:
            blobs.append(None)
        else:
            blobs.append(entry[at:at + n])
            at += n
    return (name, flags, *blobs)


@target("interface_addresses", _ifaddrs_seeds)
def _interface_addresses(control, answers_):
    """getifaddrs: one record per entry (the link-level entry of an
    interface, then its addresses), socket addresses of every kind and
    length; and the interface ioctls on the first interface."""
    ifs = []
    for entry in _ifaddrs_split(answers_[0]):
        name, flags, addr, netmask, dst = _blobs(entry)
        if not name:
            continue
        if not ifs or ifs[-1]["name"] != name:
            ifs.append(fakebsd.iface(name, flags=flags & 0xFFFF, link=addr, index=len(ifs) + 1,
                                     mtu=1500, media=None if control & 1 else 0x100030))
        else:
            ifs[-1]["addrs"].append(fakebsd.ifs.address(addr, netmask, dst, flags & 0xFFFF))
    calls = [("net_if_addrs", ())]
    for i in ifs[:1]:
        name = os.fsdecode(i["name"]).replace("\0", "")
        calls += [("net_if_flags", (name,)), ("net_if_mtu", (name,)),
                  ("net_if_is_running", (name,)), ("net_if_duplex_speed", (name,))]
    return {"ifs": ifs}, calls


# --- mounts, devices, logins, swap --------------------------------------------------

@target("mounts", once(answers.getfsstat, lambda d: records(d, "statfs")), frame=every("statfs"))
def _mounts(control, answers_):
    """getfsstat: struct statfs records, counted and then fetched."""
    return ({"faults": [fault("getfsstat", C.MNT_NOWAIT, answers=answers_)]},
            [("disk_partitions", ())])


@target("devstat", once(answers.devstat_getdevs, lambda d: records(d, "devstat")),
        frame=every("devstat"))
def _devstat(control, answers_):
    """devstat_getdevs: struct devstat records."""
    return ({"faults": [fault("devstat_getdevs", "", answer=answers_[0])]},
            [("disk_io_counters", ())])


def _users_seeds(profile):
    desc = {} if profile == "default" else fakebsd.profiles.profile(profile)
    logins = desc.get("utmpx") or [
        fakebsd.utmpx(b"", b"", type=C.BOOT_TIME, sec=1765180804),
        fakebsd.utmpx(b"alice", b"ttyv0", sec=1765180895, usec=120000, pid=902, ut_id=b"v0"),
        fakebsd.utmpx(b"bob", b"pts/1", b"198.51.100.23", type=C.DEAD_PROCESS,
                      sec=1765182600, pid=1150, ut_id=b"s/1"),
        fakebsd.utmpx(b"alice", b"pts/0", b"192.0.2.7", sec=1765184410, usec=532000,
                      pid=1206, ut_id=b"s/0")]
    return [[logins]]


AS_STORED = 0x20   # users: records handed out as they are, which libc never does


@target("users", _users_seeds, frame=every("utmpx"), strict=True)
def _users(control, answers_):
    """The accounting database's records: as libc rebuilds them from the
    file, or (AS_STORED) handed out as they are. Run with strict file-system
    errors, so that a name that cannot be decoded fails the call once the
    walk's records are copied."""
    n = size("utmpx")
    entries = [fit(answers_[0][i:i + n], n) for i in range(0, len(answers_[0]), n)][:64]
    if control & AS_STORED and entries:
        desc = {"utmpx": [], "faults": [fault("getutxent", answers=entries, times=len(entries))]}
    else:
        desc = {"utmpx": entries}
    return desc, [("users", ())]


@target("swap_devices", once(answers.kvm_getswapinfo, lambda d: records(d, "kvm_swap")),
        frame=every("kvm_swap"))
def _swap_devices(control, answers_):
    """libkvm's swap entries."""
    return ({"faults": [fault("kvm_getswapinfo", "", answer=answers_[0])]}, [("swap_mem", ())])


# --- fixed-size reads ---------------------------------------------------------------

# Plain sysctl nodes read by name (or by their fixed MIB), each with the calls
# that parse it; the first record of the input names the node.
NODES = {
    "kern.cp_time": [("cpu_times", ())],
    "kern.cp_times": [("per_cpu_times", ())],
    "hw.ncpu": [("cpu_count_logical", ()), ("per_cpu_times", ())],
    "kern.boottime": [("boot_time", ())],
    "kern.clockrate": [("cpu_times", ()), ("per_cpu_times", ())],
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
    # Absent from the default server (no battery): answers made up.
    "hw.acpi.battery.life": [("sensors_battery", ())],
    "hw.acpi.battery.time": [("sensors_battery", ())],
    "hw.acpi.acline": [("sensors_battery", ())],
}
# The allocator's figures, read through mallctl.
MALLCTL = ("epoch", "stats.allocated", "stats.mapped")


def _node_seeds(profile):
    out = []
    with on(profile):
        for name in NODES:
            try:
                value = answers.sysctlbyname(name)
            except OSError:
                value = struct.pack("<i", 50)
            out.append([[name.encode(), value]])
    out += [[[name.encode(), struct.pack("<Q", 4096)]] for name in MALLCTL]
    return out


def _nodes_answers(calls):
    """The node's name (the first record of the first answer) and the answers."""
    name = calls[0][0].decode("ascii", "replace")
    first = b"".join(calls[0][1:])
    return name, [first] + [b"".join(c) for c in calls[1:]]


class NodeTarget(Target):
    """The fixed-size reads and short texts by name: cp_time(s), CPU count,
    boot time, vmtotal, memory counters, frequency and its levels, topology,
    temperatures, the battery, the allocator's figures. The input's first
    record names the node; the rest of the first answer, and the later
    answers, are its answers."""

    def run(self, data):
        control, calls = decode(data)
        name, answers_ = _nodes_answers(calls)
        if name in MALLCTL:
            exercise({"faults": [fault("mallctl", name, answer=answers_[0])]}, [("heap_info", ())])
        elif name in NODES:
            exercise({"faults": node_faults(name, control, answers_)}, NODES[name])


TARGETS["nodes"] = NodeTarget("nodes", None, _node_seeds)


def write_seeds(root):
    """Every target's seeds from every profile, as corpus files."""
    import hashlib
    for t in TARGETS.values():
        folder = os.path.join(root, t.name)
        os.makedirs(folder, exist_ok=True)
        seen = set()
        for profile in PROFILES:
            for calls in t.seeds(profile):
                data = encode(calls)[:SEED_MOST + 64]
                digest = hashlib.sha1(data).hexdigest()[:12]
                if digest in seen:
                    continue
                seen.add(digest)
                with open(os.path.join(folder, f"seed-{profile}-{digest}"), "wb") as f:
                    f.write(data)


def dictionary():
    """libFuzzer's dictionary: the separators, every record size the parsers
    check (as 1, 2, 4 and 8 bytes), the families, types and message types
    they branch on, and the node names."""
    out = [("call", CALL), ("record", RECORD)]
    sizes = {r: size(r) for r in (
        "kinfo_proc", "kinfo_file", "kinfo_vmentry", "xfile", "xinpgen", "xinpcb", "xtcpcb",
        "xunpgen", "xunpcb", "statfs", "devstat", "utmpx", "kvm_swap", "if_msghdr",
        "ifa_msghdr", "if_data", "sockaddr_in", "sockaddr_in6", "sockaddr_dl", "sockaddr_un",
        "rlimit", "timeval", "vmtotal")}
    for rec, n in sizes.items():
        for width in (1, 2, 4, 8):
            if n < 1 << 8 * width:
                out.append((f"{rec}_{width}", n.to_bytes(width, "little")))
    for name in ("AF_UNIX", "AF_INET", "AF_INET6", "AF_LINK", "SOCK_STREAM", "SOCK_DGRAM",
                 "IPPROTO_TCP", "IPPROTO_UDP", "KF_TYPE_SOCKET", "KF_TYPE_VNODE",
                 "KF_FD_TYPE_CWD", "RTM_IFINFO", "RTM_NEWADDR", "RTM_VERSION", "INP_IPV4",
                 "INP_IPV6", "USER_PROCESS", "BOOT_TIME", "DEAD_PROCESS", "KVME_TYPE_VNODE"):
        v = getattr(C, name, None)
        if v is not None:
            out.append((name.lower(), int(v).to_bytes(4, "little", signed=v < 0)))
            out.append((name.lower() + "_1", bytes([v & 0xFF])))
    for v in (0xFFFF, 0xFFFFFFFF, 1 << 31, 1 << 63):
        out.append((f"big_{v:x}", v.to_bytes(8 if v >= 1 << 32 else 4, "little")))
    for name in [*NODES, *MALLCTL]:
        out.append(("node_" + name.replace(".", "_"), name.encode()))
    out.append(("sun_path_full", b"/" * 104))
    lines = ["# libFuzzer dictionary of the fuzz targets (python tests/fuzz/targets.py --dict)"]
    for key, value in out:
        lines.append(f'{key}="' + "".join(f"\\x{b:02x}" for b in value) + '"')
    return "\n".join(lines) + "\n"


def main(argv):
    if argv == ["--list"]:
        for t in TARGETS.values():
            print(t.name, int(t.strict))
        return
    if argv[:1] == ["--seeds"]:
        write_seeds(argv[1])
        return
    if argv == ["--dict"]:
        sys.stdout.write(dictionary())
        return
    name, *files = argv
    t = TARGETS[name]
    for path in files:
        with open(path, "rb") as f:
            t.run(f.read())
        print(f"{path}: ok")


if __name__ == "__main__":
    main(sys.argv[1:])
