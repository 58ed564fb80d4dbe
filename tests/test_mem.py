"""Virtual memory, swap and paging, and the process's own allocator."""

import ctypes
import errno
import os
import re

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import fault, swapdev, u32, u64, vmtotal

from conftest import run_python

VM = "vm.stats.vm."


def names_read():
    return [k for c, k in fakebsd.calls() if c == "sysctlbyname"]


def mallctl_calls():
    return [k for c, k in fakebsd.calls() if c == "mallctl"]


def oserror_text(err, origin):
    return f"{fakebsd.strerror(err)} (originated from {origin})"


# ---- virtual memory ---------------------------------------------------------

def vm_desc(physmem=1 << 33, active=1, inactive=2, wire=3, cache=4, free=5, bufspace=12345,
            vmshr=3, rmshr=5, pagesize=4096):
    nodes = {"hw.physmem": u64(physmem), VM + "v_active_count": u32(active),
             VM + "v_inactive_count": u32(inactive), VM + "v_wire_count": u32(wire),
             VM + "v_cache_count": None if cache is None else u32(cache),
             VM + "v_free_count": u32(free), "vfs.bufspace": u64(bufspace),
             "vm.vmtotal": vmtotal(t_vmshr=vmshr, t_rmshr=rmshr, t_avmshr=1000, t_armshr=1000)}
    return {"sysctl": nodes, "pagesize": pagesize}


VM_READS = ["hw.physmem", VM + "v_active_count", VM + "v_inactive_count", VM + "v_wire_count",
            VM + "v_cache_count", VM + "v_free_count", "vfs.bufspace"]


@pytest.mark.parametrize("pagesize", [4096, 16384])
def test_virtual_mem(machine, pagesize):
    machine(vm_desc(free=10, pagesize=pagesize))
    p = pagesize
    # total and buffers as read; page counts times the page size; shared = vmshr + rmshr
    assert m.virtual_mem() == (1 << 33, 10 * p, 1 * p, 2 * p, 3 * p, 4 * p, 12345, 8 * p)
    assert names_read() == VM_READS
    assert fakebsd.calls()[-1] == ("sysctl", "2.1")


def test_virtual_mem_wide_arithmetic(machine):
    big = 2**32 - 1
    machine(vm_desc(physmem=2**64 - 1, active=big, free=big, bufspace=2**63,
                    vmshr=2**40, rmshr=2**40))
    total, free, active, *_, buffers, shared = m.virtual_mem()
    assert (total, free, active, buffers, shared) == (2**64 - 1, big * 4096, big * 4096, 2**63,
                                                      2**41 * 4096)


@pytest.mark.parametrize("desc", [
    vm_desc(cache=None),
    {**vm_desc(), "faults": [fault("sysctlbyname", VM + "v_cache_count", errno=errno.EACCES)]},
])
def test_virtual_mem_without_cache_count(machine, desc):
    machine(desc)
    result = m.virtual_mem()  # nothing left pending: that would be a SystemError
    assert len(result) == 8 and result[5] == 0 and result[1] == 5 * 4096
    assert names_read() == VM_READS


@pytest.mark.parametrize("failing", [n for n in VM_READS if not n.endswith("v_cache_count")])
def test_virtual_mem_first_failure_ends_the_reads(machine, failing):
    machine({**vm_desc(), "faults": [fault("sysctlbyname", failing, errno=errno.EIO)]})
    with pytest.raises(OSError) as e:
        m.virtual_mem()
    assert (e.value.errno, e.value.strerror) == (
        errno.EIO, oserror_text(errno.EIO, f"sysctlbyname('{failing}')"))
    assert names_read() == VM_READS[:VM_READS.index(failing) + 1]


def test_virtual_mem_vmtotal_failure(machine):
    machine({**vm_desc(), "faults": [fault("sysctl", (2, 1), errno=errno.EPERM)]})
    with pytest.raises(PermissionError) as e:
        m.virtual_mem()
    assert e.value.errno == errno.EPERM
    assert e.value.strerror == oserror_text(errno.EPERM, "sysctl(CTL_VM | VM_METER)")


def test_virtual_mem_vmtotal_too_long(machine):
    # No call failed, so there is no errno to blame: the size mismatch stands.
    machine({**vm_desc(), "faults": [fault("sysctl", (2, 1), report=96)]})
    with pytest.raises(RuntimeError, match=re.escape("sysctl() size mismatch")):
        m.virtual_mem()


def test_virtual_mem_default_machine(machine):
    machine()
    total, free, active, inactive, wired, cached, buffers, shared = m.virtual_mem()
    assert total == 17120591872 and cached == 0
    assert free + active + inactive + wired < total
    assert 0 < buffers < total and 0 < shared < total


# ---- swap -------------------------------------------------------------------

DMMAX = 32  # pages libkvm counts off each device (vm.dmmax)


def swap_desc(devices, swapin=4, swapout=6, vnodein=1, vnodeout=2, counter=u64):
    return {"swap": devices,
            "sysctl": {"vm.dmmax": fakebsd.i32(DMMAX),
                       VM + "v_swapin": counter(swapin), VM + "v_swapout": counter(swapout),
                       VM + "v_vnodein": counter(vnodein), VM + "v_vnodeout": counter(vnodeout)}}


SWAP_READS = [VM + "v_swapin", VM + "v_swapout", VM + "v_vnodein", VM + "v_vnodeout"]


def module_calls():
    """The module's own platform calls: libkvm's reads inside kvm_getswapinfo
    (vm.dmmax, the vm.swap_info nodes) left out."""
    out, inside = [], False
    for c, k in fakebsd.calls():
        if c == "kvm_getswapinfo":
            inside = True
        elif inside and (k == "vm.dmmax" or c in ("sysctl", "sysctlnametomib")):
            continue
        else:
            inside = False
        if c != "sysconf":
            out.append((c, k))
    return out


def test_swap_mem(machine, no_leaks):
    machine(swap_desc([swapdev("ada0p3", nblks=1000 + DMMAX, used=100),
                       swapdev("ada1p3", nblks=24 + DMMAX, used=20)]))
    assert m.swap_mem() == (1024 * 4096, 120 * 4096, 904 * 4096, 10, 3)
    assert [c for c, _ in module_calls()] == ["kvm_open", "kvm_getswapinfo"] + ["sysctlbyname"] * 4
    assert [k for c, k in module_calls() if c == "sysctlbyname"] == SWAP_READS


def test_swap_mem_default_machine(machine):
    # One partition of 1048576 blocks, reported by libkvm without vm.dmmax.
    machine()
    total, used, free, _, _ = m.swap_mem()
    assert (total, used, free) == (1048544 * 4096, 3412 * 4096, (1048544 - 3412) * 4096)


@pytest.mark.parametrize("devices", [[], [swapdev("ada0p3", nblks=2**31 - 1, used=2**31 - 1 - DMMAX)]])
def test_swap_mem_edges(machine, devices):
    machine(swap_desc(devices))
    total, used, free, *_ = m.swap_mem()
    expected = (2**31 - 1 - DMMAX) * 4096 if devices else 0
    assert (total, used, free) == (expected, expected, 0)


@pytest.mark.parametrize("devices,total,used", [
    # libkvm's total is a device's blocks less vm.dmmax, but the pager fills
    # all but the first two blocks: used can pass total, and nothing is free.
    ([swapdev("ada0p3", nblks=1000 + DMMAX, used=1000 + DMMAX - 2)], 1000, 1000 + DMMAX - 2),
    ([swapdev("ada0p3", nblks=1000 + DMMAX, used=1000)], 1000, 1000),   # exactly at total
    ([swapdev("ada0p3", nblks=1000 + DMMAX, used=1000 + DMMAX - 2),     # one full device in the
      swapdev("ada1p3", nblks=500 + DMMAX, used=10)], 1500, 1000 + DMMAX - 2 + 10),  # sum's room
    ([swapdev("ada0p3", nblks=100 + DMMAX, used=100 + DMMAX - 2),       # full devices together
      swapdev("ada1p3", nblks=100 + DMMAX, used=100 + DMMAX - 2)], 200, 2 * (100 + DMMAX - 2)),
])
def test_swap_mem_full_devices_have_nothing_free(machine, devices, total, used):
    machine(swap_desc(devices))
    assert m.swap_mem()[:3] == (total * 4096, used * 4096, max(total - used, 0) * 4096)


@pytest.mark.parametrize("a,b,expected", [(2**32 - 1, 1, 2**32), (2**32 - 1, 2**32 - 1, 2**33 - 2),
                                          (2**40, 5, 2**40 + 5)])
@pytest.mark.parametrize("compat", [True, False])
def test_swap_mem_paging_sums_are_64_bit(machine, a, b, expected, compat):
    # 64-bit counters, on kernels with and without the 32-bit compatibility.
    machine({**swap_desc([], swapin=a, swapout=b, vnodein=b, vnodeout=a), "compat_freebsd11": compat})
    assert m.swap_mem()[3:] == (expected, expected)


def test_swap_mem_reads_32_bit_counters_of_older_kernels(machine):
    # An older kernel keeps 32-bit counters and answers 4 bytes.
    machine(swap_desc([], swapin=2**32 - 1, swapout=1, vnodein=7, vnodeout=8, counter=u32))
    assert m.swap_mem()[3:] == (2**32, 15)


@pytest.mark.parametrize("f,text", [
    (fault("kvm_open", errno=errno.EACCES), "kvm_open() syscall failed (Permission denied)"),
    (fault("kvm_open", errno=0), "kvm_open() syscall failed"),
    (fault("kvm_getswapinfo", errno=errno.EIO), "kvm_getswapinfo() syscall failed"),
    (fault("kvm_getswapinfo", errno=0, answer=b"kvm_getswapinfo: Permission denied"),
     "kvm_getswapinfo() syscall failed"),
    # libkvm's own reads: vm.dmmax, a device that cannot be read, a device
    # record of another size or version than libkvm's
    (fault("sysctlbyname", "vm.dmmax", errno=errno.EPERM), "kvm_getswapinfo() syscall failed"),
    (fault("sysctl", None, errno=errno.EIO, nth=2), "kvm_getswapinfo() syscall failed"),
    (fault("sysctl", None, answer=b"\2" + b"\0" * 23), "kvm_getswapinfo() syscall failed"),
    (fault("sysctl", None, answer=b"\1" + b"\0" * 31), "kvm_getswapinfo() syscall failed"),
])
def test_swap_mem_kvm_failures(machine, no_leaks, f, text):
    machine({**swap_desc([swapdev("ada0p3", 100, 1), swapdev("ada1p3", 100, 1)]), "faults": [f]})
    with pytest.raises(RuntimeError) as e:
        m.swap_mem()
    assert type(e.value) is RuntimeError and str(e.value) == text
    assert [k for c, k in module_calls() if c == "sysctlbyname"] == []  # no counter is read


@pytest.mark.parametrize("failing", SWAP_READS)
def test_swap_mem_counter_failure(machine, no_leaks, failing):
    machine({**swap_desc([swapdev("ada0p3", 100, 1)]),
             "faults": [fault("sysctlbyname", failing, errno=errno.ENOENT)]})
    with pytest.raises(FileNotFoundError) as e:
        m.swap_mem()
    assert e.value.strerror == oserror_text(errno.ENOENT, f"sysctlbyname('{failing}')")
    assert [k for c, k in module_calls() if c == "sysctlbyname"] == SWAP_READS[:SWAP_READS.index(failing) + 1]


def test_swap_mem_kvm_open_diagnostic():
    # libkvm writes its own diagnostic, with the module's prefix, when the open fails.
    code = """
import _morvex_bsd as m, fakebsd
fakebsd.install({"faults": [fakebsd.fault("kvm_open", errno=1, answer=b"/dev/mem: Permission denied")]})
try:
    m.swap_mem()
except RuntimeError as e:
    print(e)
"""
    r = run_python(code)
    assert r.stdout == "kvm_open() syscall failed (Operation not permitted)\n"
    assert r.stderr == "kvm_open failed: /dev/mem: Permission denied\n"


def test_swap_mem_kvm_getswapinfo_diagnostic():
    # The handle was opened with the module's prefix, so libkvm prints its
    # later errors after it too, instead of keeping them.
    code = """
import _morvex_bsd as m, fakebsd
fakebsd.install({"swap": [fakebsd.swapdev("ada0p3", 100, 1)],
                 "faults": [fakebsd.fault("sysctl", None, answer=b"\\1" + b"\\0" * 23)]})
try:
    m.swap_mem()
except RuntimeError as e:
    print(e)
"""
    r = run_python(code)
    assert r.stdout == "kvm_getswapinfo() syscall failed\n"
    assert r.stderr == ("kvm_open failed: struct xswdev has unexpected size;  "
                        "kernel and libkvm out of sync?\n")


# ---- allocator --------------------------------------------------------------

HEAP_CALLS = ["thread.tcache.flush", "epoch", "epoch", "stats.allocated", "stats.mapped"]


def test_heap_info_fixed_figures(machine):
    machine({"heap": {"allocated": 2**40 + 1, "mapped": 2**64 - 1}})
    assert m.heap_info() == (2**40 + 1, 2**64 - 1)
    assert mallctl_calls() == HEAP_CALLS


@pytest.mark.parametrize("name,nth,text", [
    ("thread.tcache.flush", 1, "mallctl('thread.tcache.flush')"),
    ("epoch", 1, "mallctl('epoch')"),
    ("epoch", 2, "mallctl('epoch') update"),
    ("stats.allocated", 1, "mallctl('stats.allocated')"),
    ("stats.mapped", 1, "mallctl('stats.mapped')"),
])
@pytest.mark.parametrize("err", [errno.EINVAL, errno.EFAULT])
def test_heap_info_failures(machine, name, nth, text, err):
    machine({"heap": {"allocated": 1, "mapped": 2},
             "faults": [fault("mallctl", name, errno=err, nth=nth)]})
    with pytest.raises(OSError) as e:
        m.heap_info()
    # The error number mallctl returned, not whatever errno held.
    assert (e.value.errno, e.value.strerror) == (err, oserror_text(err, text))
    calls = mallctl_calls()
    assert calls == HEAP_CALLS[:len(calls)] and len(calls) == HEAP_CALLS.index(name) + nth


def test_heap_info_epoch_written_back_within_its_size(machine):
    # An allocator that reports a longer epoch than it was given room for:
    # the write-back still hands over no more than the value.
    machine({"heap": {"allocated": 7, "mapped": 9},
             "faults": [fault("mallctl", "epoch", answer=b"\x01" * 16, times=1)]})
    assert m.heap_info() == (7, 9)


def test_heap_info_host_allocator(machine):
    machine()
    allocated, mapped = m.heap_info()
    assert 0 <= allocated <= mapped
    if os.environ.get("MORVEX_SANITIZED"):
        return  # the sanitizer's allocator serves malloc, not the host's
    libc = ctypes.CDLL(None)
    libc.malloc.restype = ctypes.c_void_p
    libc.free.argtypes = [ctypes.c_void_p]
    size = 64 << 20
    block = libc.malloc(size)
    assert block
    try:
        ctypes.memset(block, 1, 4096)
        allocated, mapped = m.heap_info()
        assert allocated >= size and mapped >= size
    finally:
        libc.free(block)


def test_heap_trim_twice(machine):
    machine()
    assert m.heap_trim() is None
    assert m.heap_trim() is None
    assert mallctl_calls() == ["arena.4096.purge"] * 2


def test_heap_trim_failure(machine):
    machine({"faults": [fault("mallctl", "arena.4096.purge", errno=errno.EFAULT, times=1)]})
    with pytest.raises(OSError) as e:
        m.heap_trim()
    assert (e.value.errno, e.value.strerror) == (errno.EFAULT, fakebsd.strerror(errno.EFAULT))
    assert m.heap_trim() is None


@pytest.mark.parametrize("name", ["virtual_mem", "swap_mem", "heap_info", "heap_trim"])
def test_extra_arguments_are_ignored(machine, name):
    machine({"heap": {"allocated": 1, "mapped": 2}})
    fn = getattr(m, name)
    assert fn(1, "two", None) == fn()
