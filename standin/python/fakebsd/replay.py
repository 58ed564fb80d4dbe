"""Replay a capture (see fakebsd.capture) as a stand-in machine.

    desc = load(path)                  # a machine description, for base "empty"
    with fakebsd.machine(capture=path):
        ...

Each recorded call is answered with its recorded bytes or errno (a fault
per record: size queries report the recorded size). A call the capture
lacks fails with ENOSYS ("Function not implemented": not in the capture),
never with a made-up answer:
a catch-all fault per call the capture covers. The recorded getifaddrs
entries become the machine's interface table (its addresses and link-level
records, as captured); the interfaces' ioctls answer from their records.
"""

import base64
import errno
import binascii
import gzip
import json
import zlib

from .capture import ARCH, FORMAT, LAYOUT, VERSION, ifaddrs_entries

# The errno of a call the capture lacks. (FreeBSD's EDOOFUS has no number on
# the host, and the host's 88 reads as a socket error.)
NOT_CAPTURED = errno.ENOSYS

# Calls answered only from the capture. (kinfo_getfile, kinfo_getvmmap and
# kvm_getenvv read the recorded kern.proc nodes, kvm_getswapinfo the recorded
# vm.swap_info nodes; sockets, libkvm handles, name translation and name
# formatting need no state.)
CAUGHT = ["sysctl", "sysctlbyname", "kvm_getprocs", "getfsstat", "devstat_getdevs", "cpuset_getaffinity", "getpriority", "kill"]


class CaptureError(ValueError):
    """A capture file that cannot be replayed; the message says why."""


def read(path):
    """(header, records) of a capture file, checked."""
    try:
        with gzip.open(path, "rt", encoding="ascii") as f:
            lines = f.read().splitlines()
    except (OSError, EOFError, zlib.error, UnicodeDecodeError) as e:
        raise CaptureError(f"{path}: not a readable capture (gzip): {e}") from None
    if not lines:
        raise CaptureError(f"{path}: empty capture, no header")
    try:
        header = json.loads(lines[0])
    except ValueError as e:
        raise CaptureError(f"{path}: line 1: the header is not JSON: {e}") from None
    if not isinstance(header, dict) or header.get("format") != FORMAT:
        raise CaptureError(f"{path}: line 1: not a {FORMAT} header")
    if header.get("version") != VERSION:
        raise CaptureError(f"{path}: format version {header.get('version')!r}, "
                           f"this stand-in reads version {VERSION}")
    if header.get("arch") != ARCH:
        raise CaptureError(f"{path}: captured on {header.get('arch')!r}, the stand-in "
                           f"is FreeBSD {ARCH}")
    layout = header.get("layout")
    if layout != LAYOUT:
        diff = sorted(k for k in set(layout or {}) | set(LAYOUT)
                      if (layout or {}).get(k) != LAYOUT.get(k))
        raise CaptureError(f"{path}: record layout the stand-in does not know "
                           f"(differs in: {', '.join(diff)})")
    for k, t in (("pagesize", int), ("ncpu", int), ("secrets", str), ("pids", list)):
        if not isinstance(header.get(k), t):
            raise CaptureError(f"{path}: line 1: header field {k!r} missing or not {t.__name__}")
    records = []
    for n, line in enumerate(lines[1:], 2):
        try:
            rec = json.loads(line)
            if not isinstance(rec, dict) or not isinstance(rec.get("call"), str) \
                    or not isinstance(rec.get("key"), str):
                raise ValueError("a record needs a call and a key")
            if "errno" in rec:
                if not isinstance(rec["errno"], int):
                    raise ValueError("errno is not an integer")
            elif "answer" in rec:
                rec["answer"] = base64.b64decode(rec["answer"], validate=True)
                if "size" in rec and not isinstance(rec["size"], int):
                    raise ValueError("size is not an integer")
            else:
                raise ValueError("a record needs an answer or an errno")
        except (ValueError, TypeError, binascii.Error) as e:
            raise CaptureError(f"{path}: line {n}: {e}") from None
        records.append(rec)
    return header, records


def description(header, records):
    """The machine description of a capture (for base "empty")."""
    faults, users, ifs = [], [], []
    swap = _swap_prefix(records)
    for rec in records:
        call, key = rec["call"], rec["key"]
        if call == "sysctlnametomib":
            continue
        if swap and call == "sysctl" and key.startswith(swap[0]):
            key = swap[1] + key[len(swap[0]):]
        if call == "utmpx" and "answer" in rec:
            users.append(rec["answer"])
            continue
        if call == "getifaddrs" and "answer" in rec:
            ifs = _interfaces(rec["answer"])
            continue
        if "errno" in rec:
            faults.append({"call": call, "key": key, "nth": 1, "times": None,
                           "errno": rec["errno"], "report": None})
            continue
        if "size" in rec:
            # the size query first: its key carries the note
            faults.append({"call": call, "key": key + " (measure)", "nth": 1, "times": None,
                           "errno": None, "report": rec["size"], "answer": rec["answer"]})
        faults.append({"call": call, "key": key, "nth": 1, "times": None, "errno": None,
                       "report": None, "answer": rec["answer"]})
    # An interface's requests the capture lacks fail; a name that is not in
    # the captured interface list is no interface (ENXIO), as the kernel says.
    faults += [{"call": "ioctl", "key": i["name"], "nth": 1, "times": None, "errno": NOT_CAPTURED,
                "report": None} for i in ifs]
    faults += [{"call": c, "key": None, "nth": 1, "times": None, "errno": NOT_CAPTURED,
                "report": None} for c in CAUGHT]
    return {"pagesize": header["pagesize"], "utmpx": users, "ifs": ifs, "faults": faults}


def _swap_prefix(records):
    """(recorded, stand-in's) MIB prefix of vm.swap_info ("2.1234."): the
    node is numbered at boot, so the machine's number is not the stand-in's."""
    import ctypes
    import os

    import _fakebsd
    rec = next((r for r in records if r["call"] == "sysctlnametomib"
                and r["key"] == "vm.swap_info" and "answer" in r), None)
    if rec is None:
        return None
    raw = rec["answer"]
    if not raw or len(raw) % 4:
        raise CaptureError(f"sysctlnametomib vm.swap_info: a MIB of {len(raw)} bytes")
    recorded = [int.from_bytes(raw[i:i + 4], "little", signed=True)
                for i in range(0, len(raw), 4)]
    lib = ctypes.CDLL(os.path.join(os.path.dirname(_fakebsd.__file__), "libfakebsd.so"))
    mib, n = (ctypes.c_int * 24)(), ctypes.c_size_t(23)
    lib.fbsd_sysctlnametomib.argtypes = [ctypes.c_char_p, ctypes.POINTER(ctypes.c_int),
                                         ctypes.POINTER(ctypes.c_size_t)]
    if lib.fbsd_sysctlnametomib(b"vm.swap_info", mib, ctypes.byref(n)) != 0:
        return None
    ours = list(mib[:n.value])
    return (".".join(map(str, recorded)) + ".", ".".join(map(str, ours)) + ".")


def _interfaces(answer):
    """The interface table of recorded getifaddrs entries: each interface
    from its link-level entry, then its addresses with their own flags."""
    try:
        entries = ifaddrs_entries(answer)
    except ValueError as e:
        raise CaptureError(f"getifaddrs: {e}") from None
    ifs = []
    for name, flags, addr, netmask, dst, data in entries:
        if not ifs or ifs[-1]["name"] != name:
            index = addr[2] | addr[3] << 8 if addr and len(addr) >= 4 else len(ifs) + 1
            ifs.append({"name": name, "flags": flags, "index": index, "link": addr,
                        "data": data or b"", "addrs": [], "media": None})
        else:
            ifs[-1]["addrs"].append({"addr": addr, "netmask": netmask, "dst": dst,
                                     "flags": flags})
    return ifs


def load(path):
    return description(*read(path))
