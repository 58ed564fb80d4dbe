"""Raw answers of the calling thread's machine, read straight from the
stand-in platform (libfakebsd) the way the module's own calls read them:

    sysctl((1, 14, 1, 1310))          -> the struct kinfo_proc bytes
    sysctlbyname("kern.cp_times")     -> the bytes of the node
    measure("kern.file")              -> the size a size query reports (a MIB tuple works too)
    kinfo_getfile(1310)               -> the descriptor records, concatenated
    kinfo_getvmmap(1310)              -> the map entries, concatenated
    getfsstat()                       -> the struct statfs records, concatenated
    devstat_getdevs()                 -> the struct devstat records, concatenated
    kvm_getenvv(1310)                 -> the environment strings, each with its NUL
                                         (kern.proc.env, what kvm_getenvv reads)
    kvm_getswapinfo()                 -> the struct kvm_swap entries, totals last
                                         (from vm.swap_info, as libkvm builds them)

Each raises OSError when the platform call fails. These are the calls the
module makes, so they are logged and consult the machine's faults like any
other: read answers before installing faults that would change them.
"""

import ctypes
import os

import _fakebsd

_lib = ctypes.CDLL(os.path.join(os.path.dirname(_fakebsd.__file__), "libfakebsd.so"),
                   use_errno=True)
_libc = ctypes.CDLL(None)
_libc.free.argtypes = [ctypes.c_void_p]
_libc.free.restype = None

_size_t_p = ctypes.POINTER(ctypes.c_size_t)
_lib.fbsd_sysctl.argtypes = [ctypes.POINTER(ctypes.c_int), ctypes.c_uint, ctypes.c_void_p,
                             _size_t_p, ctypes.c_void_p, ctypes.c_size_t]
_lib.fbsd_sysctl.restype = ctypes.c_int
_lib.fbsd_sysctlbyname.argtypes = [ctypes.c_char_p, ctypes.c_void_p, _size_t_p, ctypes.c_void_p,
                                   ctypes.c_size_t]
_lib.fbsd_sysctlbyname.restype = ctypes.c_int
_lib.fbsd_sysctlnametomib.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int), _size_t_p]
_lib.fbsd_sysctlnametomib.restype = ctypes.c_int
for _name in ("fbsd_kinfo_getfile", "fbsd_kinfo_getvmmap"):
    getattr(_lib, _name).argtypes = [ctypes.c_int, ctypes.POINTER(ctypes.c_int)]
    getattr(_lib, _name).restype = ctypes.c_void_p
_lib.fbsd_getfsstat.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_int]
_lib.fbsd_getfsstat.restype = ctypes.c_int
_lib.fbsd_devstat_getdevs.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
_lib.fbsd_devstat_getdevs.restype = ctypes.c_int

_lib.fbsd_kvm_openfiles.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_int, ctypes.c_char_p]
_lib.fbsd_kvm_openfiles.restype = ctypes.c_void_p
_lib.fbsd_kvm_close.argtypes = [ctypes.c_void_p]
_lib.fbsd_kvm_getprocs.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                   ctypes.POINTER(ctypes.c_int)]
_lib.fbsd_kvm_getprocs.restype = ctypes.c_void_p
_lib.fbsd_kvm_getenvv.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int]
_lib.fbsd_kvm_getenvv.restype = ctypes.POINTER(ctypes.c_char_p)
_lib.fbsd_kvm_getswapinfo.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
_lib.fbsd_kvm_getswapinfo.restype = ctypes.c_int

_C = _fakebsd.constants()
_MNT_NOWAIT = _C["MNT_NOWAIT"]


def _failed(call):
    err = ctypes.get_errno() or 0
    return OSError(err, f"{call} failed in the stand-in")


def _grow(query, call):
    """A growing read: measure, fetch, retry while the answer grows."""
    for _ in range(10):
        size = ctypes.c_size_t(0)
        if query(None, ctypes.byref(size)) == -1:
            raise _failed(call)
        buf = ctypes.create_string_buffer(max(size.value, 1))
        if query(buf, ctypes.byref(size)) == 0:
            return buf.raw[:size.value]
    raise _failed(call)


def sysctl(mib):
    """The answer of a sysctl MIB (a tuple of ints)."""
    arr = (ctypes.c_int * len(mib))(*mib)
    return _grow(lambda b, n: _lib.fbsd_sysctl(arr, len(mib), b, n, None, 0), f"sysctl({mib})")


def sysctlbyname(name):
    """The answer of a sysctl name."""
    raw = name.encode()
    return _grow(lambda b, n: _lib.fbsd_sysctlbyname(raw, b, n, None, 0),
                 f"sysctlbyname({name!r})")


def measure(node):
    """What a size query of the node (a name or a MIB tuple) reports: the
    kernel's estimate, which may exceed the answer."""
    size = ctypes.c_size_t(0)
    if isinstance(node, str):
        rc = _lib.fbsd_sysctlbyname(node.encode(), None, ctypes.byref(size), None, 0)
    else:
        arr = (ctypes.c_int * len(node))(*node)
        rc = _lib.fbsd_sysctl(arr, len(node), None, ctypes.byref(size), None, 0)
    if rc == -1:
        raise _failed(f"measure({node!r})")
    return size.value


def _records(call, pid, size):
    count = ctypes.c_int(0)
    ptr = getattr(_lib, "fbsd_" + call)(pid, ctypes.byref(count))
    if not ptr:
        raise _failed(call)
    try:
        return ctypes.string_at(ptr, count.value * size)
    finally:
        _libc.free(ptr)


def kinfo_getfile(pid):
    return _records("kinfo_getfile", pid, _fakebsd.sizeof("kinfo_file"))


def kinfo_getvmmap(pid):
    return _records("kinfo_getvmmap", pid, _fakebsd.sizeof("kinfo_vmentry"))


def getfsstat():
    count = _lib.fbsd_getfsstat(None, 0, _MNT_NOWAIT)
    if count < 0:
        raise _failed("getfsstat")
    size = _fakebsd.sizeof("statfs")
    buf = ctypes.create_string_buffer(max(count, 1) * size)
    stored = _lib.fbsd_getfsstat(buf, count * size, _MNT_NOWAIT)
    if stored < 0:
        raise _failed("getfsstat")
    return buf.raw[:stored * size]


def devstat_getdevs():
    def offset(record, field):
        return next(f[1] for f in _fakebsd.fields(record) if f[0] == field)

    stats = ctypes.create_string_buffer(_fakebsd.sizeof("statinfo"))
    dinfo = ctypes.create_string_buffer(_fakebsd.sizeof("devinfo"))
    ctypes.c_void_p.from_buffer(stats, offset("statinfo", "dinfo")).value = ctypes.addressof(dinfo)
    mem = ctypes.c_void_p.from_buffer(dinfo, offset("devinfo", "mem_ptr"))
    try:
        if _lib.fbsd_devstat_getdevs(None, stats) == -1:
            raise _failed("devstat_getdevs")
        devices = ctypes.c_void_p.from_buffer(dinfo, offset("devinfo", "devices")).value
        numdevs = ctypes.c_int.from_buffer(dinfo, offset("devinfo", "numdevs")).value
        return ctypes.string_at(devices, numdevs * _fakebsd.sizeof("devstat")) if numdevs else b""
    finally:
        _libc.free(mem.value)


class _Kvm:
    """A libkvm handle on the live kernel, closed on leaving the block."""

    def __enter__(self):
        errbuf = ctypes.create_string_buffer(2048)
        self.kd = _lib.fbsd_kvm_openfiles(None, b"/dev/null", None, 0, errbuf)
        if not self.kd:
            raise OSError(0, errbuf.value.decode(errors="replace"))
        return self.kd

    def __exit__(self, *exc):
        _lib.fbsd_kvm_close(self.kd)


def kvm_getenvv(pid):
    # What kvm_getenvv reads: the kernel's kern.proc.env answer. (Not through
    # libkvm itself, whose vector lives in buffers shared by every caller.)
    return sysctl((_C["CTL_KERN"], _C["KERN_PROC"], _C["KERN_PROC_ENV"], pid))


def kvm_getswapinfo(entries=4):
    """What kvm_getswapinfo answers with room for `entries`: the devices, then
    the totals. Built from the kernel's answers (vm.dmmax, vm.swap_info.<n>)
    as libkvm builds it (device names left empty), not through libkvm itself,
    whose device counter is shared by every caller in the process."""
    dmmax = int.from_bytes(sysctlbyname("vm.dmmax"), "little", signed=True)
    mib = (ctypes.c_int * 24)()
    n = ctypes.c_size_t(23)
    if _lib.fbsd_sysctlnametomib(b"vm.swap_info", mib, ctypes.byref(n)) == -1:
        raise _failed("sysctlnametomib")
    node = tuple(mib[:n.value])
    rows, total, used = [], 0, 0
    while True:
        try:
            xsw = _fakebsd.unpack("xswdev", sysctl((*node, len(rows))))
        except FileNotFoundError:
            break
        size = (xsw["xsw_nblks"] - dmmax) & 0xFFFFFFFF
        rows.append({"ksw_total": size, "ksw_used": xsw["xsw_used"], "ksw_flags": xsw["xsw_flags"]})
        total, used = total + size, used + xsw["xsw_used"]
    rows = rows[:entries - 1] + [{"ksw_total": total & 0xFFFFFFFF, "ksw_used": used & 0xFFFFFFFF}]
    return b"".join(_fakebsd.pack("kvm_swap", r) for r in rows)
