"""The stand-in answers as FreeBSD does where the module depends on the
kernel's and libkvm's own mechanics: 64-bit vm.stats counters, libkvm's
process-wide environment buffers, its swap device walk."""

import ctypes
import errno

import pytest

import _fakebsd
import fakebsd
from fakebsd import C, fault, proc, swapdev
from fakebsd.answers import _lib

SYSCALL = b"vm.stats.sys.v_syscall"

# These call libkvm directly, without the module's lock, and look at the
# library's process-wide state: one copy at a time.
libkvm_state = pytest.mark.thread_unsafe(reason="libkvm's state is the whole process's")


def read_by_name(name, size):
    """(result, errno, reported length, bytes) of one sysctlbyname read."""
    buf = ctypes.create_string_buffer(size)
    n = ctypes.c_size_t(size)
    ctypes.set_errno(0)
    rc = _lib.fbsd_sysctlbyname(name, buf, ctypes.byref(n), None, 0)
    return rc, ctypes.get_errno() if rc else 0, n.value, buf.raw


@pytest.mark.parametrize("compat", [True, False])
def test_64_bit_counter_reads(machine, compat):
    value = 2**32 + 0x12345678
    machine({"sysctl": {"vm.stats.sys.v_syscall": fakebsd.u64(value)}, "compat_freebsd11": compat})
    n = ctypes.c_size_t(0)
    assert _lib.fbsd_sysctlbyname(SYSCALL, None, ctypes.byref(n), None, 0) == 0 and n.value == 8
    assert read_by_name(SYSCALL, 8) == (0, 0, 8, value.to_bytes(8, "little"))
    rc, err, length, raw = read_by_name(SYSCALL, 4)
    # A 4-byte buffer: the value cut to 32 bits with COMPAT_FREEBSD11; without
    # it, ENOMEM with the first 4 bytes copied and the length left as given.
    assert raw == (0x12345678).to_bytes(4, "little")
    assert (rc, err, length) == ((0, 0, 4) if compat else (-1, errno.ENOMEM, 4))
    # Any other short buffer is a short read either way.
    assert read_by_name(SYSCALL, 2)[:3] == (-1, errno.ENOMEM, 2)
    cache = read_by_name(b"vm.stats.vm.v_cache_count", 4)
    assert cache[:2] == ((0, 0) if compat else (-1, errno.ENOENT))


def getenvv(kd, pid):
    count = ctypes.c_int(0)
    kp = _lib.fbsd_kvm_getprocs(kd, C.KERN_PROC_PID, pid, ctypes.byref(count))
    assert kp and count.value == 1
    return _lib.fbsd_kvm_getenvv(kd, kp, 0)


def strings(vector):
    out = []
    for s in vector:
        if s is None:
            return out
        out.append(s)


@libkvm_state
def test_kvm_getenvv_buffers_are_the_librarys(machine):
    # One buffer and one vector for the whole process, whatever the handle:
    # the next call rewrites what an earlier one handed out, and the vector
    # grows when an answer holds more strings than any before.
    many = [b"V%d=%d" % (i, i) for i in range(200)]
    machine({"procs": [proc(42, env=[b"A=1", b"B=2"]), proc(43, env=[b"C=3"]), proc(44, env=many)]})
    with fakebsd.answers._Kvm() as kd1, fakebsd.answers._Kvm() as kd2:
        first = getenvv(kd1, 42)
        assert strings(first) == [b"A=1", b"B=2"]
        second = getenvv(kd2, 43)
        assert strings(first) == [b"C=3"] == strings(second)
        assert ctypes.addressof(first.contents) == ctypes.addressof(second.contents)
        assert strings(getenvv(kd1, 44)) == many
        assert strings(getenvv(kd2, 42)) == [b"A=1", b"B=2"]
    assert ("sysctl", "1.14.35.44") in fakebsd.calls()  # what libkvm reads


@libkvm_state
@pytest.mark.parametrize("answer,expected", [
    (b"", None),                        # nothing to read: no vector
    (b"A=1\0B", [b"A=1", b"B"]),        # the answer's end ends its last string
])
def test_kvm_getenvv_answers(machine, answer, expected):
    machine({"procs": [proc(42, env=[b"X=1"])],
             "faults": [fault("sysctl", (1, 14, 35, 42), answer=answer)]})
    with fakebsd.answers._Kvm() as kd:
        ctypes.set_errno(123)
        vector = getenvv(kd, 42)
        assert (strings(vector) if vector else None) == expected
        if expected is None:
            assert ctypes.get_errno() == 123  # untouched


@libkvm_state
def test_kvm_getenvv_truncated_answer(machine):
    # An environment longer than the library's buffer is used as far as it
    # goes, with errno 0.
    big = [b"X" * 1000 + b"=%d" % i for i in range(600)]
    machine({"procs": [proc(42, env=big)]})
    with fakebsd.answers._Kvm() as kd:
        ctypes.set_errno(99)
        got = strings(getenvv(kd, 42))
        assert ctypes.get_errno() == 0
    assert got[:-1] == big[:len(got) - 1] and big[len(got) - 1].startswith(got[-1])
    assert sum(len(s) + 1 for s in got) == C.ARG_MAX


def swapinfo(entries, flags=0):
    size = fakebsd.sizeof("kvm_swap")
    buf = ctypes.create_string_buffer(entries * size)
    with fakebsd.answers._Kvm() as kd:
        found = _lib.fbsd_kvm_getswapinfo(kd, buf, entries, flags)
    rows = [fakebsd.unpack("kvm_swap", buf.raw[i * size:(i + 1) * size]) for i in range(entries)]
    return found, [(r["ksw_devname"].rstrip(b"\0"), r["ksw_total"], r["ksw_used"]) for r in rows]


@libkvm_state
def test_kvm_getswapinfo_walk(machine):
    devices = [swapdev("ada0p3", 1032, 10), swapdev("nfs", 132, 5, dev=-1), swapdev("da1", 64, 0)]
    machine({"swap": devices, "sysctl": {"vm.dmmax": fakebsd.i32(32)}})
    totals = (b"", 1000 + 100 + 32, 15)
    # Devices fill the entries below the last; the totals go after the last
    # device listed, and that index is what comes back.
    assert swapinfo(5) == (3, [(b"ada0p3", 1000, 10), (b"[NFS swap]", 100, 5), (b"da1", 32, 0),
                               totals, (b"", 0, 0)])
    assert swapinfo(2) == (1, [(b"ada0p3", 1000, 10), totals])
    assert swapinfo(1) == (0, [totals])
    assert swapinfo(4, C.SWIF_DEV_PREFIX)[1][0][0] == b"/dev/ada0p3"
    # The test helper builds the same answer from the kernel's nodes.
    rows = [fakebsd.unpack("kvm_swap", r) for r in (fakebsd.answers.kvm_getswapinfo(3)[i:i + 52]
                                                    for i in (0, 52, 104))]
    assert [(r["ksw_total"], r["ksw_used"]) for r in rows] == [(1000, 10), (100, 5), totals[1:]]
    machine({"swap": []})
    assert swapinfo(1) == (0, [(b"", 0, 0)])
