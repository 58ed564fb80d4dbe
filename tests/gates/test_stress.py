"""Thread stress: callers run every module function in a loop while other
threads swap the process-wide machine between two machines and flip the
debug switch.

Every answer must be the answer one of the two machines gives (computed
single-threaded first), no call may crash or hang, and the run ends with the
default machine installed again. Also: error messages raised in many threads
at once each carry their own errno's text. MORVEX_STRESS_SECONDS scales both.
"""

import ctypes
import errno
import faulthandler
import os
import random
import sys
import threading
import time
from collections import Counter

import pytest

import _morvex_bsd as m
import fakebsd
from calls import CALLS, PID, call
from fakebsd import C, fault, i32, i64, u32, u64
from fakebsd.cpumem import cp_time, cp_times, swapdev, timeval
from fakebsd.disks import devstat, statfs, temperatures, utmpx
from fakebsd.files import argv
from fakebsd.ifs import iface, inet, inet6
from fakebsd.sched import vmentry
from fakebsd.socks import xfile, xtcpcb

# The machine-swapping tests change process-wide state: one copy at a time.
swaps_process_state = pytest.mark.thread_unsafe(
    reason="swaps the process-wide machine and flips the process-wide debug switch")

CALLERS = 8
SECONDS = float(os.environ.get("MORVEX_STRESS_SECONDS", "2"))
JOIN_TIMEOUT = 60.0

# Answers that are the host allocator's figures: called, shape checked only.
UNCHECKED = {"heap_info", "heap_trim"}
# Answers put together from several kernel reads, each of which may come from
# either machine when a swap falls between them: checked field by field.
PER_FIELD = {"virtual_mem", "swap_mem", "cpu_stats", "cpu_freq", "sensors_cpu_temperature"}
# Socket lists joined from several tables read one after the other: checked
# entry by entry (each entry is one machine's, and a socket both machines
# show alike is never missing).
PER_ENTRY = {"net_connections", "proc_net_connections"}


EM0_FLAGS = C.IFF_UP | C.IFF_BROADCAST | C.IFF_RUNNING | C.IFF_SIMPLEX | C.IFF_MULTICAST


def cpu_ticks(cpu, scale):
    return cp_time(user=scale * (1000 + 37 * cpu), nice=scale * (5 + cpu), sys=scale * (400 + cpu),
                   intr=scale * (20 + 3 * cpu), idle=scale * (90000 - 11 * cpu))


def mount_flags(options):
    """The mount flags behind an options text such as "rw,noatime"."""
    flags = 0
    for opt in options.split(","):
        if opt == "ro":
            flags |= C.MNT_RDONLY
        elif opt != "rw":
            flags |= getattr(C, "MNT_" + opt.upper())
    return flags


def raw_node(name):
    """A sysctl node's answer on the process-wide machine, as the kernel hands
    it out (the stand-in's own sysctlbyname, called directly)."""
    lib = ctypes.CDLL(os.path.join(os.path.dirname(m.__file__), "libfakebsd.so"))
    query = lib.fbsd_sysctlbyname
    query.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t),
                      ctypes.c_void_p, ctypes.c_size_t]
    size = ctypes.c_size_t(0)
    assert query(name.encode(), None, ctypes.byref(size), None, 0) == 0
    buf = ctypes.create_string_buffer(size.value)
    assert query(name.encode(), buf, ctypes.byref(size), None, 0) == 0
    return buf.raw[:size.value]


def records(data, size, header=0):
    body = data[header:len(data) - header]
    return [body[i:i + size] for i in range(0, len(body), size)]


def field(record, raw, path):
    return fakebsd.unpack(record, raw)[path]


def with_field(record, raw, path, value):
    _, off, size, _ = next(f for f in fakebsd.fields(record) if f[0] == path)
    return raw[:off] + int(value).to_bytes(size, "little") + raw[off + size:]


def sockets_b():
    """The default machine's socket tables a moment later: the user's
    database connection is closing (both ends), one HTTPS client has gone,
    the processes that left took their descriptors along, and a new login
    shell holds a fresh connection. Sockets that stay keep their kernel
    address, as they do in a kernel."""
    tcp_so = "xt_inp.xi_socket.xso_so"
    files = records(raw_node("kern.file"), fakebsd.sizeof("xfile"))
    tcp = records(raw_node("net.inet.tcp.pcblist"), fakebsd.sizeof("xtcpcb"), 64)
    gone_client = ("203.0.113.45", 51234)
    closing = {40112: C.TCPS_FIN_WAIT_2, 5432: C.TCPS_CLOSE_WAIT}
    kept_tcp, dropped = [], set()
    for rec in tcp:
        inp = fakebsd.unpack("xtcpcb", rec)
        if inp["t_state"] == C.TCPS_SYN_RECEIVED and inp[tcp_so] == 0:
            continue  # the syncache's: machine B keeps A's
        faddr = ".".join(str(b) for b in inp["xt_inp.inp_inc.inc_faddr"][:4])
        fport = int.from_bytes(inp["xt_inp.inp_inc.inc_fport"].to_bytes(2, "little"), "big")
        lport = int.from_bytes(inp["xt_inp.inp_inc.inc_lport"].to_bytes(2, "little"), "big")
        if (faddr, fport) == gone_client:
            dropped.add(inp[tcp_so])
            continue
        if faddr == "127.0.0.1" and lport in closing:
            rec = with_field("xtcpcb", rec, "t_state", closing[lport])
        kept_tcp.append(rec)
    kept_files = [f for f in files if field("xfile", f, "xf_pid") not in (852, 853)
                  and field("xfile", f, "xf_data") not in dropped]
    fresh = 0xfffff800b0000400
    kept_tcp.append(xtcpcb(fresh, ("192.168.1.20", 22), ("198.51.100.23", 61000),
                           C.TCPS_ESTABLISHED))
    kept_files.append(xfile(2002, 3, fresh, uid=1001))
    assert len(kept_files) < len(files) and len(dropped) == 1
    return {"files": kept_files, "tcp": kept_tcp}


def machine_b(mounts_a):
    """The second machine: the default one a while later, after a CPU
    hot-add, with processes come and gone, counters moved on, a second
    interface, a new mount, other logins, swap in use."""
    topology = (b'<groups>\n <group level="1" cache-level="3">\n'
                b'  <cpu count="8" mask="ff,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0">'
                b'0, 1, 2, 3, 4, 5, 6, 7</cpu>\n </group>\n</groups>\n\0')
    # The same mounts in the same order, and one more after them: the table
    # a later getfsstat sees after a mount.
    mounts = [statfs(dev.encode(), on.encode(), fs.encode(), mount_flags(opts))
              for dev, on, fs, opts in mounts_a]
    mounts.append(statfs(b"/dev/da0s1", b"/media/usb", b"msdosfs", C.MNT_NOEXEC | C.MNT_NOSUID))
    return {
        "sysctl": {
            "hw.ncpu": i32(8),
            "kern.cp_time": cp_time(user=900000, nice=4000, sys=300000, intr=9000, idle=8000000),
            "kern.cp_times": cp_times(*(cpu_ticks(cpu, 3) for cpu in range(8))),
            "kern.sched.topology_spec": topology,
            "kern.boottime": timeval(1765180801, 5),
            "vm.stats.sys.v_soft": u32(1), "vm.stats.sys.v_intr": u32(2),
            "vm.stats.sys.v_syscall": u32(3), "vm.stats.sys.v_trap": u32(4),
            "vm.stats.sys.v_swtch": u32(5),
            "hw.physmem": u64(34359738368),
            "vm.stats.vm.v_active_count": u32(100), "vm.stats.vm.v_inactive_count": u32(200),
            "vm.stats.vm.v_wire_count": u32(300), "vm.stats.vm.v_free_count": u32(400),
            "vfs.bufspace": i64(4096 * 7),
            "dev.cpu.0.freq": i32(1200),
            "dev.cpu.0.freq_levels": b"2400/35000 1200/14000\0",
            **temperatures({0: (3332, 3831)}),
        },
        "procs_gone": [852, 853],
        "procs_changed": [
            {"pid": PID, "args": argv(b"python3.13", b"-m", b"app.worker", b"--queue", b"mail"),
             "env": [b"USER=alice", b"HOME=/home/alice", b"APP_QUEUE=mail"],
             "path": b"/usr/local/bin/python3.13t",
             "cpuset": fakebsd.cpuset([0, 1, 2, 3]),  # pinned to half the CPUs
             "vmmap": [vmentry(0x200000, 0x204000, prot=1, path=b"/usr/local/bin/python3.13t",
                               resident=4),
                       vmentry(0x800000, 0x900000, prot=3, type=1, resident=200,
                               private_resident=180)]},
            fakebsd.proc(2001, comm=b"cron", ppid=1, ki_uid=0),
            fakebsd.proc(2002, comm=b"sh", ppid=2001, ki_uid=1001),
        ],
        "ifs": [
            iface("em0", flags=EM0_FLAGS | C.IFF_PROMISC, mtu=9000,
                  media=C.IFM_ETHER | C.IFM_10G_T | C.IFM_FDX,
                  media_status=C.IFM_AVALID | C.IFM_ACTIVE, lladdr=b"\x58\x9c\xfc\x0a\x1b\x2c",
                  addrs=[inet("192.168.1.21", "255.255.255.0", dst="192.168.1.255"),
                         inet6("2001:db8:1::21", 64)],
                  ibytes=2000000000, obytes=1000000000, ipackets=2000000, opackets=1000000),
            iface("lo0", flags=C.IFF_UP | C.IFF_LOOPBACK | C.IFF_RUNNING | C.IFF_MULTICAST, mtu=16384, type=C.IFT_LOOP,
                  addrs=[inet("127.0.0.1", "255.0.0.0"), inet6("::1", 128)],
                  ibytes=6000000, obytes=6000000),
            iface("em1", flags=C.IFF_BROADCAST | C.IFF_SIMPLEX | C.IFF_MULTICAST, mtu=1500,
                  media=C.IFM_ETHER | C.IFM_1000_T | C.IFM_FDX,
                  lladdr=b"\x58\x9c\xfc\x0a\x1b\x2d"),
        ],
        "mounts": mounts,
        "devices": [devstat(b"ada", 0, reads=2000000, writes=1000000, bytes_read=5 << 30,
                            bytes_written=3 << 30, read_time=(20, 0), write_time=(30, 0),
                            busy_time=(40, 0)),
                    devstat(b"ada", 1, reads=10, writes=20, bytes_read=4096, bytes_written=8192)],
        "utmpx": [utmpx(b"bob", b"pts/1", b"198.51.100.23", sec=1765190000, pid=2002),
                  utmpx(b"carol", b"ttyv1", b"", sec=1765190100, pid=2001)],
        "swap": [swapdev("ada0p3", nblks=1048576, used=50000)],
        "socks": sockets_b(),
    }


def reference(desc):
    """Every call's answer on a machine installed for the whole process, made
    twice (the setters set what the machine already holds: the second pass
    must answer as the first)."""
    fakebsd.install(desc, "global")
    first = {name: call(name, args) for name, args in CALLS}
    second = {name: call(name, args) for name, args in CALLS}
    for name, _ in CALLS:
        if name not in UNCHECKED:
            assert repr(first[name]) == repr(second[name]), name
    return second


def same(a, b):
    # Exceptions compare by type and text (expected ones, sensors_battery).
    if isinstance(a, BaseException) or isinstance(b, BaseException):
        return type(a) is type(b) and str(a) == str(b)
    return a == b


def torn_per_cpu_times(result):
    # The CPU count from one machine and the per-CPU table from the other with
    # more CPUs: the table does not fit the buffer sized by the count and the
    # read fails as it does on any kernel whose table outgrows the count.
    return (isinstance(result, OSError) and result.errno == 12
            and "sysctlbyname('kern.cp_times')" in str(result))


def torn_libutil_table(result):
    # A descriptor table or memory map measured on one machine and read on
    # the other, more than a third longer: libutil's read fails with ENOMEM,
    # as it does when a process's table grows that much between its two
    # calls.
    return (isinstance(result, OSError) and result.errno == 12
            and ("(originated from kinfo_getvmmap())" in str(result)
                 or "(originated from kinfo_getfile())" in str(result)))


def judge(name, result, ref_a, ref_b):
    """Which machine's answer `result` is: "A", "B", "either" (the two agree,
    or it is unchecked), "mixed" (fields of both, or a read torn by a swap
    failing the way the kernel fails it), or None for a wrong answer."""
    a, b = ref_a[name], ref_b[name]
    if name in UNCHECKED:
        ok = (result is None if name == "heap_trim" else
              isinstance(result, tuple) and len(result) == 2
              and all(isinstance(v, int) and v >= 0 for v in result))
        return "either" if ok else None
    is_a, is_b = same(result, a), same(result, b)
    if is_a or is_b:
        return "either" if is_a and is_b else "A" if is_a else "B"
    if name in PER_ENTRY:
        got, ca, cb = Counter(result) if isinstance(result, list) else None, Counter(a), Counter(b)
        ok = got is not None and not got - (ca | cb) and not (ca & cb) - got
        return "mixed" if ok else None
    if name in PER_FIELD:
        ok = (isinstance(result, tuple) and len(result) == len(a) == len(b)
              and all(r == x or r == y for r, x, y in zip(result, a, b)))
        return "mixed" if ok else None
    if name == "per_cpu_times" and torn_per_cpu_times(result):
        return "mixed"
    if torn_libutil_table(result):
        return "mixed"
    return None


@pytest.fixture
def two_machines():
    """The reference answers of the default machine (A) and of machine B,
    with B's description; the default machine and a quiet debug switch are
    back in place afterwards."""
    try:
        fakebsd.reset_global()
        mounts_a = m.disk_partitions()
        desc_b = machine_b(mounts_a)
        ref_a = reference(None)
        ref_b = reference(desc_b)
        yield ref_a, ref_b, desc_b
    finally:
        m.set_debug(False)
        fakebsd.reset_global()


@swaps_process_state
def test_machines_differ_where_the_stress_looks(two_machines):
    ref_a, ref_b, _ = two_machines
    differ = {name for name, _ in CALLS if not same(ref_a[name], ref_b[name])}
    expected = {
        "pids", "cpu_count_logical", "per_cpu_times", "cpu_times", "cpu_topology", "cpu_stats",
        "boot_time", "virtual_mem", "swap_mem", "cpu_freq", "sensors_cpu_temperature",
        "disk_partitions", "disk_io_counters", "users", "net_if_addrs", "net_io_counters",
        "net_if_mtu", "net_if_flags", "net_if_duplex_speed", "proc_cmdline", "proc_environ",
        "proc_exe", "proc_memory_maps", "net_connections", "proc_net_connections",
    }
    assert expected <= differ, sorted(expected - differ)
    # The one table that grows: B's mounts are A's and one more after them.
    assert ref_b["disk_partitions"][:len(ref_a["disk_partitions"])] == ref_a["disk_partitions"]


@swaps_process_state
def test_stress_swapping_machines_and_debug(two_machines):
    ref_a, ref_b, desc_b = two_machines
    stop = threading.Event()
    failures = []
    counts = [0] * CALLERS
    swaps = [0]
    crashed = []
    seen = {name: set() for name, _ in CALLS}

    def guarded(fn):
        def run(*args):
            try:
                fn(*args)
            except BaseException as e:  # noqa: BLE001 - reported by the main thread
                crashed.append(f"{threading.current_thread().name}: {e!r}")
                stop.set()
        return run

    def caller(index):
        rng = random.Random(index)
        order = list(CALLS)
        while not stop.is_set() or counts[index] < len(CALLS):
            rng.shuffle(order)
            for name, args in order:
                try:
                    result = call(name, args)
                except Exception as e:  # noqa: BLE001 - judged like any answer
                    result = e
                verdict = judge(name, result, ref_a, ref_b)
                counts[index] += 1
                if verdict is None:
                    failures.append(f"{name}: {result!r:.300}")
                    if len(failures) > 20:
                        stop.set()
                else:
                    seen[name].add(verdict)

    def swapper():
        # Pausing a little between swaps lets some calls run whole on one
        # machine and others straddle a swap.
        while not stop.is_set():
            fakebsd.install(None, "global")
            time.sleep(0.0002)
            fakebsd.install(desc_b, "global")
            time.sleep(0.0002)
            swaps[0] += 2

    def debug_toggler():
        on = False
        while not stop.is_set():
            on = not on
            m.set_debug(on)
            time.sleep(0.0005)
        m.set_debug(False)

    threads = [threading.Thread(target=guarded(caller), args=(i,), name=f"caller-{i}", daemon=True)
               for i in range(CALLERS)]
    threads += [threading.Thread(target=guarded(swapper), name="swapper", daemon=True),
                threading.Thread(target=guarded(debug_toggler), name="debug", daemon=True)]
    for t in threads:
        t.start()
    stop.wait(SECONDS)
    stop.set()
    deadline = time.monotonic() + JOIN_TIMEOUT
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    hung = [t.name for t in threads if t.is_alive()]
    if hung:
        faulthandler.dump_traceback(file=sys.stderr, all_threads=True)
    assert not hung, f"threads still running after {JOIN_TIMEOUT}s: {hung}"
    assert not crashed, crashed
    assert not failures, failures[:20]
    assert min(counts) >= len(CALLS) and swaps[0] > 0, (counts, swaps)
    # The swaps reached the callers: answers of both machines came back.
    both = [name for name in ("pids", "net_if_addrs", "proc_cmdline", "users")
            if {"A", "B"} <= seen[name]]
    assert both, {name: sorted(v) for name, v in seen.items()}
    if os.environ.get("MORVEX_STRESS_REPORT"):
        print(f"\n{sum(counts)} calls, {swaps[0]} swaps;",
              {name: sorted(v) for name, v in seen.items()})


def test_error_texts_from_many_threads():
    # Every thread's reads fail with an errno of its own; every message must
    # carry that errno's text (FreeBSD's strerror shares one buffer between
    # all threads, so a module formatting from it mixes other threads' texts
    # into its messages).
    errnos = [errno.EACCES, errno.ENOENT, errno.EIO, errno.ENOMEM, errno.EPERM, errno.EINVAL,
              errno.EFAULT, errno.EBUSY]
    wrong = []
    rounds = max(1000, int(10000 * SECONDS))
    barrier = threading.Barrier(len(errnos))

    def fail_reads(err):
        expected = f"{fakebsd.strerror(err)} (originated from sysctlbyname('kern.cp_time'))"
        fakebsd.install({"faults": [fault("sysctlbyname", "kern.cp_time", errno=err)]}, "thread")
        try:
            barrier.wait()
            for _ in range(rounds):
                try:
                    m.cpu_times()
                except OSError as e:
                    if e.errno != err or e.strerror != expected:
                        wrong.append((err, e.errno, e.strerror))
                else:
                    wrong.append((err, "no error"))
        finally:
            fakebsd.uninstall()

    threads = [threading.Thread(target=fail_reads, args=(err,), daemon=True) for err in errnos]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads)
    assert not wrong, wrong[:5]
