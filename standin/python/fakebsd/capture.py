"""Capture a FreeBSD machine's answers to the platform calls the module makes.

    python3 capture.py OUT [--pid PID ...] [--keep-secrets]
    python3 -m fakebsd.capture OUT ...        (here, against the stand-in)

This file stands alone (it imports nothing of the fakebsd package). On
FreeBSD (amd64) it needs nothing but Python: the calls go through
ctypes to the system's libc, libkvm, libutil and libdevstat. Elsewhere it
runs against the stand-in's libfakebsd (the calls, and what they answer, are
the same). Which libraries are loaded is decided in `_Lib` alone.

The file is gzip-compressed JSON lines (see `fakebsd.replay` for reading):

    line 1   the header: {"format": "morvex-capture", "version": 1, "source",
             "freebsd", "arch", "pagesize", "ncpu", "layout": {record: size},
             "secrets": "masked" | "kept", "pids": [...]}
    then     one record per call made: {"call", "key", and either
             "answer" (base64 of the raw bytes) with "size" (what a size
             query reported, where one was made) or "errno"}; the "utmpx"
             call's answer is one record of the user-accounting database

Keys are as the stand-in's fault mechanism spells them: "1.14.1.42" for a
sysctl MIB, the name for sysctlbyname, the pid for per-process calls,
"em0 (SIOCGIFMTU)" for an interface ioctl. Environments and argument strings
are replaced by placeholders of the same length unless --keep-secrets is
given (the variable names are kept).
"""

import argparse
import base64
import ctypes
import ctypes.util
import gzip
import json
import os
import platform
import struct
import sys

FORMAT = "morvex-capture"
VERSION = 1

# FreeBSD 14 amd64's record sizes and the offsets the capture itself reads.
# The stand-in's records are checked against FreeBSD's headers
# (make check-freebsd), and against this table below when it is loaded.
LAYOUT = {"kinfo_proc": 1088, "kinfo_file": 1392, "kinfo_vmentry": 1160, "statfs": 2344,
          "devstat": 288, "statinfo": 80, "devinfo": 32, "utmpx": 280, "ifreq": 32,
          "ifmediareq": 48, "kvm_swap": 52, "xinpgen": 64, "ifaddrs": 56, "if_data": 152}
OFFSETS = {"kinfo_proc.ki_pid": 72, "statinfo.dinfo": 56, "devinfo.devices": 0,
           "devinfo.mem_ptr": 8, "devinfo.numdevs": 24}
ARCH = "amd64"

CTL_KERN, CTL_VM, CTL_NET, CTL_HW = 1, 2, 4, 6
KERN_PROC = 14
PROC_NODES = {"args": 7, "pathname": 12, "threads": 17, "vmmap": 32, "filedesc": 33, "env": 35}
RLIMIT_NLIMITS = 15
SIOC = {"SIOCGIFFLAGS": 3223349521, "SIOCGIFMTU": 3223349555, "SIOCGIFMEDIA": 3224398136}
MNT_NOWAIT, CPU_LEVEL_WHICH, CPU_WHICH_PID, PRIO_PROCESS = 2, 3, 2, 0
CPUSET_BYTES = 128

# Nodes read by MIB, and by name ("%d": every CPU id up to one past the last).
MIBS = [(CTL_HW, 3), (CTL_KERN, 12), (CTL_KERN, 21), (CTL_VM, 1), (CTL_KERN, KERN_PROC, 8, 0),
        (CTL_NET, 17, 0, 0, 3, 0)]
NAMES = ["hw.physmem", "kern.cp_time", "kern.cp_times", "kern.file", "kern.sched.topology_spec",
         "net.inet.tcp.pcblist", "net.inet.udp.pcblist", "net.local.dgram.pcblist",
         "net.local.stream.pcblist", "vfs.bufspace", "vm.dmmax", "hw.acpi.acline",
         "hw.acpi.battery.life", "hw.acpi.battery.time"] + [
    f"vm.stats.sys.v_{n}" for n in ("intr", "soft", "swtch", "syscall", "trap")] + [
    f"vm.stats.vm.v_{n}" for n in ("active_count", "cache_count", "free_count", "inactive_count",
                                   "swapin", "swapout", "vnodein", "vnodeout", "wire_count")]
CPU_NAMES = ["dev.cpu.%d.coretemp.tjmax", "dev.cpu.%d.freq", "dev.cpu.%d.freq_levels",
             "dev.cpu.%d.temperature"]


class _Lib:
    """The platform's functions by their FreeBSD names: the system's libraries
    on FreeBSD, the stand-in's libfakebsd (fbsd_ names) elsewhere."""

    def __init__(self, stand_in=None):
        if stand_in is None:
            stand_in = not sys.platform.startswith("freebsd")
        self.stand_in = stand_in
        if stand_in:
            import _fakebsd
            lib = ctypes.CDLL(os.path.join(os.path.dirname(_fakebsd.__file__), "libfakebsd.so"),
                              use_errno=True)
            self._libs, self._prefix = [lib], "fbsd_"
            for rec, size in LAYOUT.items():
                if _fakebsd.sizeof(rec) != size:
                    raise RuntimeError(f"the stand-in's {rec} is {_fakebsd.sizeof(rec)} bytes, "
                                       f"FreeBSD's {size}")
        else:
            names = ["c", "kvm", "util", "devstat"]
            self._libs = [ctypes.CDLL(ctypes.util.find_library(n) or f"lib{n}.so", use_errno=True)
                          for n in names]
            self._prefix = ""
        self.libc = ctypes.CDLL(None)
        self.libc.free.argtypes = [ctypes.c_void_p]

    def __getattr__(self, name):
        for lib in self._libs:
            try:
                fn = getattr(lib, self._prefix + name)
            except AttributeError:
                continue
            setattr(self, name, fn)
            return fn
        raise AttributeError(name)


def _err():
    return ctypes.get_errno() or 0


class Capture:
    def __init__(self, lib, keep_secrets=False):
        self.lib, self.keep = lib, keep_secrets
        self.records = []
        L = lib
        sp = ctypes.POINTER(ctypes.c_size_t)
        L.sysctl.argtypes = [ctypes.POINTER(ctypes.c_int), ctypes.c_uint, ctypes.c_void_p, sp,
                             ctypes.c_void_p, ctypes.c_size_t]
        L.sysctlbyname.argtypes = [ctypes.c_char_p, ctypes.c_void_p, sp, ctypes.c_void_p,
                                   ctypes.c_size_t]
        L.kvm_openfiles.argtypes = [ctypes.c_char_p] * 3 + [ctypes.c_int, ctypes.c_char_p]
        L.kvm_openfiles.restype = ctypes.c_void_p
        L.kvm_close.argtypes = [ctypes.c_void_p]
        L.kvm_getprocs.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int,
                                   ctypes.POINTER(ctypes.c_int)]
        L.kvm_getprocs.restype = ctypes.c_void_p
        L.sysctlnametomib.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int), sp]
        L.getfsstat.argtypes = [ctypes.c_void_p, ctypes.c_long, ctypes.c_int]
        L.devstat_getdevs.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        L.cpuset_getaffinity.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int64,
                                         ctypes.c_size_t, ctypes.c_void_p]
        L.getpriority.argtypes = [ctypes.c_int, ctypes.c_int]
        L.getutxent.restype = ctypes.c_void_p
        L.socket.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_int]
        L.ioctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p]
        L.close.argtypes = [ctypes.c_int]
        L.kill.argtypes = [ctypes.c_int, ctypes.c_int]
        L.getifaddrs.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
        L.freeifaddrs.argtypes = [ctypes.c_void_p]

    def add(self, call, key, answer=None, errno=None, size=None):
        rec = {"call": call, "key": str(key)}
        if errno is not None:
            rec["errno"] = errno
        else:
            rec["answer"] = base64.b64encode(answer).decode()
            if size is not None:
                rec["size"] = size
        self.records.append(rec)
        return answer

    # sysctl: measure, fetch, retry while the answer grows
    def _node(self, call, key, query, mask=None):
        for _ in range(10):
            size = ctypes.c_size_t(0)
            ctypes.set_errno(0)
            if query(None, ctypes.byref(size)) == -1:
                return self.add(call, key, errno=_err())
            measured = size.value
            buf = ctypes.create_string_buffer(max(measured, 1))
            ctypes.set_errno(0)
            if query(buf, ctypes.byref(size)) == 0:
                data = buf.raw[:size.value]
                if mask and not self.keep:
                    data = mask(data)
                return self.add(call, key, data, size=measured)
            if _err() != 12:  # ENOMEM: it grew
                return self.add(call, key, errno=_err())
        return self.add(call, key, errno=12)

    def mib(self, mib, mask=None):
        arr = (ctypes.c_int * len(mib))(*mib)
        return self._node("sysctl", ".".join(map(str, mib)),
                          lambda b, n: self.lib.sysctl(arr, len(mib), b, n, None, 0), mask)

    def name(self, name):
        raw = name.encode()
        return self._node("sysctlbyname", name,
                          lambda b, n: self.lib.sysctlbyname(raw, b, n, None, 0))

    def process(self, pid, kd):
        for node in ("pathname", "threads", "vmmap", "filedesc"):
            self.mib((CTL_KERN, KERN_PROC, PROC_NODES[node], pid))
        self.mib((CTL_KERN, KERN_PROC, 1, pid))
        self.mib((CTL_KERN, KERN_PROC, PROC_NODES["args"], pid), mask=mask_args)
        self.mib((CTL_KERN, KERN_PROC, PROC_NODES["env"], pid), mask=mask_env)
        for r in range(RLIMIT_NLIMITS):
            self.mib((CTL_KERN, KERN_PROC, 37, pid, r))
        cnt = ctypes.c_int(0)
        ctypes.set_errno(0)
        kp = self.lib.kvm_getprocs(kd, 1, pid, ctypes.byref(cnt))  # KERN_PROC_PID
        if kp:
            self.add("kvm_getprocs", pid, ctypes.string_at(kp, cnt.value * LAYOUT["kinfo_proc"]))
        else:
            self.add("kvm_getprocs", pid, errno=_err())
        ctypes.set_errno(0)
        if self.lib.kill(pid, 0):  # signal 0: only whether the process is there
            self.add("kill", pid, errno=_err())
        else:
            self.add("kill", pid, b"")
        mask = ctypes.create_string_buffer(CPUSET_BYTES)
        ctypes.set_errno(0)
        if self.lib.cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, pid, CPUSET_BYTES, mask):
            self.add("cpuset_getaffinity", pid, errno=_err())
        else:
            self.add("cpuset_getaffinity", pid, mask.raw)
        ctypes.set_errno(0)
        prio = self.lib.getpriority(PRIO_PROCESS, pid)
        if prio == -1 and _err():
            self.add("getpriority", pid, errno=_err())
        else:
            self.add("getpriority", pid, prio.to_bytes(4, "little", signed=True))

    def pids(self):
        data = self.mib((CTL_KERN, KERN_PROC, 8, 0)) or b""
        size, off = LAYOUT["kinfo_proc"], OFFSETS["kinfo_proc.ki_pid"]
        return [int.from_bytes(data[i + off:i + off + 4], "little", signed=True)
                for i in range(0, len(data) - size + 1, size)]

    def interfaces(self):
        """getifaddrs, recorded as its entries (see ifaddrs_entries), and
        the interfaces' names."""
        head = ctypes.c_void_p()
        ctypes.set_errno(0)
        if self.lib.getifaddrs(ctypes.byref(head)):
            self.add("getifaddrs", "", errno=_err())
            return []
        names, out, p = [], [], head.value
        try:
            while p:
                ptr = [ctypes.c_void_p.from_address(p + off).value for off in (0, 8, 24, 32, 40, 48)]
                name = ctypes.string_at(ptr[1])
                flags = ctypes.c_uint.from_address(p + 16).value
                if name.decode() not in names:
                    names.append(name.decode())
                blobs = [None if not a else ctypes.string_at(a, ctypes.c_ubyte.from_address(a).value)
                         for a in ptr[2:5]]
                blobs.append(ctypes.string_at(ptr[5], LAYOUT["if_data"]) if ptr[5] else None)
                out.append(name.ljust(16, b"\0")[:16] + struct.pack("<I", flags) + b"".join(
                    struct.pack("<H", 0xFFFF) if b is None else struct.pack("<H", len(b)) + b
                    for b in blobs))
                p = ptr[0]
        finally:
            self.lib.freeifaddrs(head)
        self.add("getifaddrs", "", b"".join(out))
        return names

    def ioctls(self, names):
        fd = self.lib.socket(2, 2, 0)  # AF_INET, SOCK_DGRAM
        if fd < 0:
            return
        try:
            for name in names:
                for req, code in SIOC.items():
                    size = LAYOUT["ifmediareq" if req == "SIOCGIFMEDIA" else "ifreq"]
                    buf = ctypes.create_string_buffer(name.encode()[:15], size)
                    ctypes.set_errno(0)
                    key = f"{name} ({req})"
                    if self.lib.ioctl(fd, code, buf):
                        self.add("ioctl", key, errno=_err())
                    else:
                        self.add("ioctl", key, buf.raw)
        finally:
            self.lib.close(fd)

    def mounts_and_disks(self):
        count = self.lib.getfsstat(None, 0, MNT_NOWAIT)
        if count < 0:
            self.add("getfsstat", MNT_NOWAIT, errno=_err())
        else:
            size = LAYOUT["statfs"]
            buf = ctypes.create_string_buffer(max(count, 1) * size)
            got = self.lib.getfsstat(buf, count * size, MNT_NOWAIT)
            if got < 0:
                self.add("getfsstat", MNT_NOWAIT, errno=_err())
            else:
                self.add("getfsstat", MNT_NOWAIT, buf.raw[:got * size])
        stats = ctypes.create_string_buffer(LAYOUT["statinfo"])
        dinfo = ctypes.create_string_buffer(LAYOUT["devinfo"])
        ctypes.c_void_p.from_buffer(stats, OFFSETS["statinfo.dinfo"]).value = \
            ctypes.addressof(dinfo)
        if self.lib.devstat_getdevs(None, stats) == -1:
            self.add("devstat_getdevs", "", errno=_err())
        else:
            devices = ctypes.c_void_p.from_buffer(dinfo, OFFSETS["devinfo.devices"]).value
            n = ctypes.c_int.from_buffer(dinfo, OFFSETS["devinfo.numdevs"]).value
            self.add("devstat_getdevs", "",
                     ctypes.string_at(devices, n * LAYOUT["devstat"]) if n else b"")
            self.lib.libc.free(ctypes.c_void_p.from_buffer(dinfo, OFFSETS["devinfo.mem_ptr"]).value)

    def users(self):
        self.lib.setutxent()
        try:
            while True:
                p = self.lib.getutxent()
                if not p:
                    break
                self.add("utmpx", "", ctypes.string_at(p, LAYOUT["utmpx"]))
        finally:
            self.lib.endutxent()

    def swap(self):
        """What kvm_getswapinfo reads: vm.swap_info.<n> until the kernel says
        there is no such device. vm.swap_info's MIB is made at boot, so its
        translation is recorded as well."""
        mib = (ctypes.c_int * 24)()
        n = ctypes.c_size_t(23)
        ctypes.set_errno(0)
        if self.lib.sysctlnametomib(b"vm.swap_info", mib, ctypes.byref(n)) == -1:
            return self.add("sysctlnametomib", "vm.swap_info", errno=_err())
        node = tuple(mib[:n.value])
        self.add("sysctlnametomib", "vm.swap_info", struct.pack(f"<{len(node)}i", *node))
        for dev in range(1024):
            if self.mib((*node, dev)) is None:
                break


def ifaddrs_entries(data):
    """The entries of a recorded getifaddrs answer: (name, flags, addr,
    netmask, dstaddr, data), None for a null pointer. Each entry is the name
    (16 bytes), the flags (u32), then four blobs, each a u16 length (0xFFFF:
    none) and its bytes. Raises ValueError on a truncated answer."""
    out, at = [], 0
    while at < len(data):
        if at + 20 > len(data):
            raise ValueError("getifaddrs answer truncated in an entry's head")
        name = data[at:at + 16].rstrip(b"\0").decode()
        flags = struct.unpack_from("<I", data, at + 16)[0]
        at += 20
        blobs = []
        for _ in range(4):
            if at + 2 > len(data):
                raise ValueError("getifaddrs answer truncated in a length")
            n = struct.unpack_from("<H", data, at)[0]
            at += 2
            if n == 0xFFFF:
                blobs.append(None)
                continue
            if at + n > len(data):
                raise ValueError("getifaddrs answer truncated in an address")
            blobs.append(data[at:at + n])
            at += n
        out.append((name, flags, *blobs))
    return out


def mask_args(data):
    """Every argument but the first replaced by 'x's of its length."""
    parts = data.split(b"\0")
    return b"\0".join(parts[:1] + [b"x" * len(p) for p in parts[1:]])


def mask_env(data):
    """Every variable's value replaced by 'x's of its length, names kept."""
    out = []
    for p in data.split(b"\0"):
        name, eq, value = p.partition(b"=")
        out.append(name + eq + b"x" * len(value))
    return b"\0".join(out)


def _text(c, name):
    v = c.name(name)
    return v.rstrip(b"\0").decode(errors="replace") if v else None


def capture(path, pids=None, keep_secrets=False, stand_in=None):
    """Capture the machine into path; returns the header written."""
    lib = _Lib(stand_in)
    c = Capture(lib, keep_secrets)
    ncpu_raw = c.mib((CTL_HW, 3))
    ncpu = int.from_bytes(ncpu_raw, "little") if ncpu_raw else 0
    for mib in MIBS[1:]:
        c.mib(mib)
    for name in NAMES:
        c.name(name)
    for cpu in range(ncpu + 1):
        for pattern in CPU_NAMES:
            c.name(pattern % cpu)
    table = c.pids()
    chosen = list(dict.fromkeys((pids if pids is not None else
                                 [os.getpid(), os.getppid()] + table)))
    errbuf = ctypes.create_string_buffer(2048)
    kd = lib.kvm_openfiles(None, b"/dev/null", None, 0, errbuf)
    if not kd:
        raise OSError(0, "kvm_openfiles: " + errbuf.value.decode(errors="replace"))
    try:
        for pid in chosen:
            c.process(pid, kd)
    finally:
        lib.kvm_close(kd)
    c.swap()
    c.mounts_and_disks()
    c.users()
    c.ioctls(c.interfaces())
    records, c.records = c.records, []
    release = _text(c, "kern.osrelease")
    arch = _text(c, "hw.machine_arch") or (ARCH if lib.stand_in else platform.machine())
    header = {"format": FORMAT, "version": VERSION,
              "source": "stand-in" if lib.stand_in else "freebsd",
              "freebsd": release, "arch": arch,
              "pagesize": lib.sysconf(47), "ncpu": ncpu, "layout": LAYOUT,
              "secrets": "kept" if keep_secrets else "masked", "pids": chosen}
    with gzip.open(path, "wt", encoding="ascii") as out:
        out.write(json.dumps(header) + "\n")
        for rec in records:
            out.write(json.dumps(rec) + "\n")
    return header


def main(argv=None):
    ap = argparse.ArgumentParser(prog="capture.py",
                                 description="Capture this machine's answers for the stand-in.")
    ap.add_argument("out")
    ap.add_argument("--pid", type=int, action="append",
                    help="capture these processes only (default: this one, its parent and "
                         "every process in the table)")
    ap.add_argument("--keep-secrets", action="store_true",
                    help="keep environment values and arguments as they are")
    a = ap.parse_args(argv)
    h = capture(a.out, a.pid, a.keep_secrets)
    print(f"{a.out}: {len(h['pids'])} processes, secrets {h['secrets']}, "
          f"{os.path.getsize(a.out)} bytes")


if __name__ == "__main__":
    main()
