"""CPU count, times, counters, frequency and topology, and the boot time."""

import errno
import os
import re

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import clockinfo, cp_time, cp_times, fault, i32, timeval, u32

from conftest import run_python

NCPU_MIB = (6, 3)
CLOCKRATE_MIB = (1, 12)


def sec(ticks, stathz=127):
    """Ticks of the statistics clock in seconds, as the module converts them
    (one multiply by the tick's length); the default machine's clock runs at
    127 ticks a second."""
    return ticks * (1 / stathz)


def names_read():
    """The sysctl names this thread asked for, in order."""
    return [k for c, k in fakebsd.calls() if c == "sysctlbyname"]


def oserror_text(err, origin):
    return f"{fakebsd.strerror(err)} (originated from {origin})"


# ---- counts and times -------------------------------------------------------

def test_cpu_count_logical(machine):
    machine({"sysctl": {"hw.ncpu": i32(256)}})
    assert m.cpu_count_logical() == 256
    assert fakebsd.calls() == [("sysctl", "6.3")]


def test_fixed_mibs_answer_by_name_and_by_mib(machine):
    machine({"sysctl": {"hw.ncpu": i32(3), "kern.boottime": timeval(5)}}, base="empty")
    assert (m.cpu_count_logical(), m.boot_time()) == (3, 5.0)  # both read by MIB
    assert fakebsd.sysctl_names()["hw.ncpu"] == NCPU_MIB


def test_cpu_count_logical_failure_is_none(machine):
    machine({"faults": [fault("sysctl", NCPU_MIB, errno=errno.EACCES)]})
    assert m.cpu_count_logical() is None


@pytest.mark.parametrize("ticks,seconds", [
    # user, nice, sys, intr, idle as the kernel orders them
    ((128, 0, 256, 64, 640), (1.0, 0.0, 2.0, 5.0, 0.5)),
    ((1, 3, 5, 7, 9), (1 / 128, 3 / 128, 5 / 128, 9 / 128, 7 / 128)),
    ((-128, 2**53, 0, 0, 2**62), (-1.0, 2**46, 0.0, 2**55, 0.0)),
])
def test_cpu_times_order(machine, ticks, seconds):
    # A clock of 128 ticks a second: the seconds are exact.
    machine({"sysctl": {"kern.cp_time": cp_time(*ticks), "kern.clockrate": clockinfo(stathz=128)}})
    assert m.cpu_times() == seconds


def test_cpu_times_default_machine_at_127_ticks_a_second(machine):
    # Four CPUs, each up for 194,400 seconds: the times add up to exactly
    # that, which a fixed 128 ticks a second would read 0.8 % short.
    machine()
    assert sum(m.cpu_times()) == pytest.approx(4 * 194400, rel=1e-12)
    assert fakebsd.calls() == [("sysctlbyname", "kern.cp_time"), ("sysctl", "1.12")]
    assert sum(map(sum, m.per_cpu_times())) == pytest.approx(4 * 194400, rel=1e-12)


# kern.clockrate as the kernel may answer it, and the rate the module takes.
@pytest.mark.parametrize("desc,stathz", [
    ({"sysctl": {"kern.clockrate": clockinfo(hz=100)}}, 127),        # a VM: hz 100
    ({"sysctl": {"kern.clockrate": clockinfo(stathz=1000)}}, 1000),
    ({"sysctl": {"kern.clockrate": None}}, 128),                     # no such node
    ({"sysctl": {"kern.clockrate": clockinfo(stathz=0)}}, 128),
    ({"sysctl": {"kern.clockrate": clockinfo(stathz=-127)}}, 128),
    ({"sysctl": {"kern.clockrate": clockinfo()[:16]}}, 128),         # short, stathz within
    ({"sysctl": {"kern.clockrate": b""}}, 128),
    ({"faults": [fault("sysctl", CLOCKRATE_MIB, errno=errno.EPERM)]}, 128),
    ({"faults": [fault("sysctl", CLOCKRATE_MIB, report=12)]}, 128),  # a length short of stathz
], ids=["vm", "1000", "missing", "zero", "negative", "short", "empty", "refused", "short-report"])
def test_tick_rate_from_kern_clockrate(machine, no_leaks, desc, stathz):
    ticks = (1270, 3, 254, 1, 127000)
    machine({**desc, "sysctl": {**desc.get("sysctl", {}),
                                 **fakebsd.cpus({0: cp_time(*ticks), 2: cp_time(*ticks)})}})
    u, n, s, i, idle = (sec(t, stathz) for t in ticks)
    # Never an error: the rate falls back to 128 ticks a second.
    assert m.cpu_times() == (2 * u, 2 * n, 2 * s, 2 * idle, 2 * i)
    assert m.per_cpu_times() == [(u, n, s, idle, i)] * 2


def test_vm_profile_keeps_127_ticks_a_second(machine):
    machine(fakebsd.profile("vm"))
    clocks = fakebsd.unpack("clockinfo", fakebsd.answers.sysctl(CLOCKRATE_MIB))
    assert (clocks["hz"], clocks["tick"], clocks["stathz"], clocks["profhz"]) == (100, 10000, 127, 8128)


def test_cpu_times_failures(machine):
    machine({"sysctl": {"kern.cp_time": None}})
    with pytest.raises(FileNotFoundError) as e:
        m.cpu_times()
    assert e.value.strerror == oserror_text(errno.ENOENT, "sysctlbyname('kern.cp_time')")
    machine({"faults": [fault("sysctlbyname", "kern.cp_time", report=48)]})
    with pytest.raises(RuntimeError, match=re.escape(
            "sysctlbyname('kern.cp_time') size mismatch: returned 48, expected 40")):
        m.cpu_times()


def test_per_cpu_times_256_cpus(machine):
    records = [cp_time(user=i, nice=2 * i, sys=3 * i, intr=4 * i, idle=128 * i + 1)
               for i in range(256)]
    machine({"sysctl": {"hw.ncpu": i32(256), "kern.cp_times": cp_times(*records)}})
    result = m.per_cpu_times()
    assert type(result) is list and len(result) == 256
    for i, t in enumerate(result):
        assert t == (sec(i), sec(2 * i), sec(3 * i), sec(128 * i + 1), sec(4 * i))
    # The kernel's own answer size, then the answer, then the clock's rate.
    assert fakebsd.calls() == [("sysctl", "6.3"), ("sysctlbyname", "kern.cp_times (measure)"),
                               ("sysctlbyname", "kern.cp_times"), ("sysctl", "1.12")]


def test_per_cpu_times_default_machine_agrees_with_cpu_times(machine):
    machine()
    per_cpu = m.per_cpu_times()
    assert len(per_cpu) == m.cpu_count_logical() == 4
    assert tuple(sum(c[k] for c in per_cpu) for k in range(5)) == pytest.approx(m.cpu_times())


def rec(i):
    return cp_time(user=128 * i, nice=1, sys=2, intr=3, idle=640 + i)


def times(i):
    return (sec(128 * i), sec(1), sec(2), sec(640 + i), sec(3))


@pytest.mark.parametrize("present", [
    [0, 1, 3],                      # one id missing
    [0, 5],                         # several in a row
    list(range(0, 256, 2)),         # 128 CPUs, every other id absent
    [1, 2],                         # the first id absent
])
def test_per_cpu_times_sparse_cpu_ids(machine, no_leaks, present):
    # The kernel answers a record per id up to the highest, zeros for an
    # absent id; hw.ncpu counts the CPUs present. One entry per present CPU.
    machine({"sysctl": fakebsd.cpus({i: rec(i) for i in present})})
    assert m.cpu_count_logical() == len(present)
    assert m.per_cpu_times() == [times(i) for i in present]
    assert tuple(map(sum, zip(*m.per_cpu_times()))) == pytest.approx(m.cpu_times())


def test_per_cpu_times_keeps_an_idle_cpu_when_no_id_is_absent(machine):
    # As many records as CPUs: none is absent, even one with no ticks yet.
    machine({"sysctl": {"hw.ncpu": i32(2), "kern.cp_times": cp_times(cp_time(), rec(1))}})
    assert m.per_cpu_times() == [(0.0,) * 5, times(1)]


def test_per_cpu_times_answer_larger_than_its_size_query(machine):
    # Sized from the kernel's own answer: an answer that outgrows its size
    # query still fails as a short read does.
    machine({"sysctl": fakebsd.cpus({0: rec(0), 2: rec(2)}),
             "faults": [fault("sysctlbyname", "kern.cp_times", report=80, nth=1, times=1)]})
    with pytest.raises(OSError) as e:
        m.per_cpu_times()
    assert e.value.errno == errno.ENOMEM
    assert e.value.strerror == oserror_text(errno.ENOMEM, "sysctlbyname('kern.cp_times')")


@pytest.mark.parametrize("extra,expected", [(b"", 2), (b"\x01" * 39, 2), (b"", 0)])
def test_per_cpu_times_short_answer_gives_the_records_written(machine, extra, expected):
    # Fewer records than hw.ncpu: only whole records the kernel wrote are read.
    records = [cp_time(user=128 * (i + 1)) for i in range(expected)]
    machine({"sysctl": {"hw.ncpu": i32(8), "kern.cp_times": cp_times(*records) + extra}})
    assert m.per_cpu_times() == [(sec(128 * (i + 1)), 0.0, 0.0, 0.0, 0.0) for i in range(expected)]


@pytest.mark.parametrize("ncpu", [0, -1, -2**31, 65537, 2**31 - 1])
def test_per_cpu_times_rejects_a_cpu_count_no_kernel_has(machine, ncpu):
    machine({"sysctl": {"hw.ncpu": i32(ncpu)}})
    with pytest.raises(RuntimeError) as e:
        m.per_cpu_times()
    assert str(e.value) == f"sysctl(HW_NCPU) returned an invalid CPU count: {ncpu}"
    assert names_read() == []  # nothing was sized or read by it


def test_per_cpu_times_largest_count_accepted(machine):
    machine({"sysctl": {"hw.ncpu": i32(65536), "kern.cp_times": cp_time(idle=256)}})
    assert m.per_cpu_times() == [(0.0, 0.0, 0.0, sec(256), 0.0)]


@pytest.mark.parametrize("f,cls,text", [
    (fault("sysctl", NCPU_MIB, errno=errno.EPERM), PermissionError,
     oserror_text(errno.EPERM, "sysctl()")),
    (fault("sysctl", NCPU_MIB, report=8), RuntimeError, "sysctl() size mismatch"),
    (fault("sysctlbyname", "kern.cp_times", errno=errno.EACCES), PermissionError,
     oserror_text(errno.EACCES, "sysctlbyname('kern.cp_times')")),
    (fault("sysctlbyname", "kern.cp_times", errno=errno.EACCES, nth=2), PermissionError,
     oserror_text(errno.EACCES, "sysctlbyname('kern.cp_times')")),
    (fault("sysctlbyname", "kern.cp_times", report=200, nth=2), RuntimeError,
     "sysctlbyname('kern.cp_times') size mismatch: returned 200, expected 160"),
])
def test_per_cpu_times_failures(machine, f, cls, text):
    machine({"faults": [f]})
    with pytest.raises(cls) as e:
        m.per_cpu_times()
    assert (e.value.strerror if cls is not RuntimeError else str(e.value)) == text


# ---- event counters ---------------------------------------------------------

STATS = ["v_soft", "v_intr", "v_syscall", "v_trap", "v_swtch"]  # the order they are read in


def stats_desc(values, counter=fakebsd.u64):
    return {"sysctl": {f"vm.stats.sys.{n}": counter(v) for n, v in zip(STATS, values)}}


@pytest.mark.parametrize("values,expected", [
    ((1, 2, 3, 4, 5), (5, 2, 1, 3, 4)),  # switches, interrupts, soft, syscalls, traps
    ((0, 2**32 - 1, 2**31, 7, 2**32 - 2), (2**32 - 2, 2**32 - 1, 0, 2**31, 7)),
    ((2**32, 2**33 + 1, 2**64 - 1, 5, 2**40), (2**40, 2**33 + 1, 2**32, 2**64 - 1, 5)),
])
@pytest.mark.parametrize("compat", [True, False])
def test_cpu_stats(machine, values, expected, compat):
    # 64-bit counters, exact above 2**32 on kernels with and without the
    # 32-bit compatibility of COMPAT_FREEBSD11.
    machine({**stats_desc(values), "compat_freebsd11": compat})
    assert m.cpu_stats() == expected
    assert names_read() == [f"vm.stats.sys.{n}" for n in STATS]


def test_cpu_stats_32_bit_counters_of_older_kernels(machine):
    machine(stats_desc((1, 2, 2**32 - 1, 4, 5), counter=u32))
    assert m.cpu_stats() == (5, 2, 1, 2**32 - 1, 4)


@pytest.mark.parametrize("failing", range(5))
def test_cpu_stats_first_failure_ends_the_reads(machine, failing):
    name = f"vm.stats.sys.{STATS[failing]}"
    machine({"faults": [fault("sysctlbyname", name, errno=errno.EIO)]})
    with pytest.raises(OSError) as e:
        m.cpu_stats()
    assert (e.value.errno, e.value.strerror) == (errno.EIO, oserror_text(errno.EIO, f"sysctlbyname('{name}')"))
    assert names_read() == [f"vm.stats.sys.{n}" for n in STATS[:failing + 1]]


# ---- frequency --------------------------------------------------------------

def freq_desc(cpu, freq, levels=None):
    nodes = {f"dev.cpu.{cpu}.freq": i32(freq)}
    if levels is not None:
        nodes[f"dev.cpu.{cpu}.freq_levels"] = levels
    return {"sysctl": nodes}


def test_cpu_freq(machine):
    machine(freq_desc(1, 1800, b"1800/20000 900/9000\0"))
    assert m.cpu_freq(1) == (1800, "1800/20000 900/9000")
    assert names_read() == ["dev.cpu.1.freq", "dev.cpu.1.freq_levels"]


@pytest.mark.parametrize("cpu", [4, 99999, -1, 2**31 - 1, -2**31])
def test_cpu_freq_without_a_node_is_not_implemented(machine, cpu):
    machine()
    with pytest.raises(NotImplementedError) as e:
        m.cpu_freq(cpu)
    assert str(e.value) == "unable to read frequency"
    assert names_read() == [f"dev.cpu.{cpu}.freq"]


@pytest.mark.parametrize("err", [errno.EACCES, errno.EIO, errno.ENOMEM])
def test_cpu_freq_other_errors_are_plain_oserrors(machine, err):
    machine({"faults": [fault("sysctlbyname", "dev.cpu.0.freq", errno=err)]})
    with pytest.raises(OSError) as e:
        m.cpu_freq(0)
    assert type(e.value) is not NotImplementedError
    assert (e.value.errno, e.value.strerror) == (err, fakebsd.strerror(err))  # no sysctl name


def test_cpu_freq_over_long_answer_is_not_blamed_on_errno(machine):
    # No call fails, so no errno explains it: the size mismatch is reported.
    machine({"faults": [fault("sysctlbyname", "dev.cpu.0.freq", report=8)]})
    with pytest.raises(RuntimeError, match=re.escape(
            "sysctlbyname('dev.cpu.0.freq') size mismatch: returned 8, expected 4")):
        m.cpu_freq(0)


@pytest.mark.parametrize("levels,expected", [
    (None, ""),                                  # no levels node
    (b"x" * 1000 + b"\0", ""),                   # does not fit: no partial text either
    (b"y" * 999 + b"\0", "y" * 999),             # fits exactly
    (b"z" * 1000, "z" * 1000),                   # unterminated: read no further than the room
    (b"800/1\0garbage", "800/1"),
])
def test_cpu_freq_levels(machine, levels, expected):
    machine({"sysctl": {"dev.cpu.0.freq": i32(2400), "dev.cpu.0.freq_levels": levels}})
    assert m.cpu_freq(0) == (2400, expected)


def test_cpu_freq_levels_failure_is_ignored(machine):
    machine({"faults": [fault("sysctlbyname", "dev.cpu.0.freq_levels", errno=errno.EACCES)]})
    assert m.cpu_freq(0) == (2400, "")


def test_cpu_freq_index_of_any_width(machine):
    # The levels name of a long index is not cut short.
    machine(freq_desc(-2**31, 600, b"600/1\0"))
    assert m.cpu_freq(-2**31) == (600, "600/1")
    assert names_read()[-1] == f"dev.cpu.{-2**31}.freq_levels"


@pytest.mark.parametrize("args", [(), ("0",), (2**31,), (0, 1)])
def test_cpu_freq_bad_arguments(machine, args):
    machine()
    with pytest.raises((TypeError, OverflowError)):
        m.cpu_freq(*args)
    assert names_read() == []


# ---- topology and boot time ------------------------------------------------

def test_cpu_topology(machine):
    text = "<groups>\n <group level=\"1\"><cpu count=\"2\">0, 1</cpu></group>\n</groups>\n"
    machine({"sysctl": {"kern.sched.topology_spec": text.encode() + b"\0"}})
    assert m.cpu_topology() == text


@pytest.mark.parametrize("answer,expected", [(b"", ""), (b"<groups/>", "<groups/>")])
def test_cpu_topology_reads_no_further_than_the_answer(machine, answer, expected):
    machine({"sysctl": {"kern.sched.topology_spec": answer}})
    assert m.cpu_topology() == expected


@pytest.mark.parametrize("desc", [
    {"sysctl": {"kern.sched.topology_spec": None}},
    {"faults": [fault("sysctlbyname", "kern.sched.topology_spec", errno=errno.EPERM)]},
    {"faults": [fault("sysctlbyname", "kern.sched.topology_spec",
                      answer=b"x" * 100000, report=1)]},  # outgrows every buffer
])
def test_cpu_topology_failure_is_none(machine, desc):
    machine(desc)
    assert m.cpu_topology() is None  # and nothing pending: that would be a SystemError


@pytest.mark.parametrize("usec", [0, 999, 999999])
def test_boot_time_whole_seconds(machine, usec):
    machine({"sysctl": {"kern.boottime": timeval(100, usec)}})
    assert m.boot_time() == 100.0
    assert fakebsd.calls() == [("sysctl", "1.21")]


def test_boot_time_failure(machine):
    machine({"faults": [fault("sysctl", (1, 21), errno=errno.EACCES)]})
    with pytest.raises(PermissionError) as e:
        m.boot_time()
    assert e.value.strerror == oserror_text(errno.EACCES, "sysctl()")


def test_default_machine_is_consistent(machine):
    machine()
    assert m.cpu_count_logical() == len(m.per_cpu_times()) == 4
    assert m.boot_time() == 1765180800.0
    freq, levels = m.cpu_freq(3)
    assert str(freq) in levels.split()[0]
    assert m.cpu_topology().count("<cpu ") == 3


@pytest.mark.parametrize("name", ["cpu_count_logical", "cpu_times", "per_cpu_times",
                                  "cpu_stats", "cpu_topology", "boot_time"])
def test_extra_arguments_are_ignored(machine, name):
    machine()
    fn = getattr(m, name)
    assert fn(1, "two", None) == fn()


# ---- debug lines ------------------------------------------------------------

DEBUG_CODE = r"""
import _morvex_bsd as m, fakebsd
fakebsd.install({"sysctl": {"kern.sched.topology_spec": None, "dev.cpu.0.freq_levels": None}})
assert m.cpu_topology() is None
assert m.cpu_freq(0) == (2400, "")
"""


def test_debug_lines():
    r = run_python(DEBUG_CODE, {"MORVEX_DEBUG": ""})
    assert r.returncode == 0, r.stderr
    lines = [re.sub(r":\d+\]", ":N]", ln) for ln in r.stderr.splitlines()]
    assert lines == [
        "morvex-debug [arch/freebsd/cpu.cpp:N]> ignore sysctlbyname('kern.sched.topology_spec') error",
        "morvex-debug [arch/freebsd/cpu.cpp:N]> cpu freq levels failed (ignored)",
    ]
    quiet = run_python(DEBUG_CODE)
    assert (quiet.returncode, quiet.stderr) == (0, "")
