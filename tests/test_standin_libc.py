"""The stand-in's library answers, pinned to what FreeBSD 14's libc gives:
error texts, address text, getnameinfo, the utmpx iterator, mallctl, and the
sysctl name checks."""

import ctypes
import errno
import os
import threading

import pytest

import _fakebsd
import fakebsd
import fakebsd.answers
from fakebsd.libc import strerror_r

LIB = ctypes.CDLL(os.path.join(os.path.dirname(_fakebsd.__file__), "libfakebsd.so"),
                  use_errno=True)
LIB.fbsd_strerror.argtypes = [ctypes.c_int]
LIB.fbsd_strerror.restype = ctypes.c_char_p


# ---- strerror, strerror_r ----------------------------------------------------

@pytest.mark.parametrize("name,text", [
    ("EPERM", "Operation not permitted"),
    ("ENOENT", "No such file or directory"),
    ("ESRCH", "No such process"),
    ("ENXIO", "Device not configured"),
    ("EDEADLK", "Resource deadlock avoided"),
    ("ENOMEM", "Cannot allocate memory"),
    ("EACCES", "Permission denied"),
    ("EBUSY", "Device busy"),
    ("ENODEV", "Operation not supported by device"),
    ("EROFS", "Read-only file system"),
    ("ERANGE", "Result too large"),
    ("EAGAIN", "Resource temporarily unavailable"),
    ("EOPNOTSUPP", "Operation not supported"),
    ("EAFNOSUPPORT", "Address family not supported by protocol family"),
    ("EADDRNOTAVAIL", "Can't assign requested address"),
    ("ETIMEDOUT", "Operation timed out"),
    ("EDQUOT", "Disc quota exceeded"),
    ("EOVERFLOW", "Value too large to be stored in data type"),
    ("EOWNERDEAD", "Previous owner died"),
])
def test_texts_are_freebsds_by_errno_name(name, text):
    # The stand-in keeps the host's numbers; the text follows the name.
    assert strerror_r(getattr(errno, name)) == (0, text)
    assert fakebsd.strerror(getattr(errno, name)) == text


@pytest.mark.parametrize("num", [0, -1, -2**31, 4096, 2**31 - 1, errno.ENODATA, errno.ECHRNG])
def test_no_error_and_unknown_numbers(num):
    # 0 is "No error: 0"; a number FreeBSD has no text for (negative ones,
    # and the host's errnos FreeBSD lacks) gets "Unknown error: N" and EINVAL.
    got = strerror_r(num)
    assert got == ((0, "No error: 0") if num == 0 else (errno.EINVAL, f"Unknown error: {num}"))
    ctypes.set_errno(0)
    assert LIB.fbsd_strerror(num).decode() == got[1]
    assert ctypes.get_errno() == (0 if num == 0 else errno.EINVAL)


def test_strerror_leaves_errno_for_known_numbers():
    ctypes.set_errno(errno.EIO)
    assert LIB.fbsd_strerror(errno.ENXIO) == b"Device not configured"
    assert ctypes.get_errno() == errno.EIO


@pytest.mark.parametrize("num,size,expected", [
    (errno.EPERM, 5, (errno.ERANGE, "Oper")),
    (errno.EPERM, len("Operation not permitted"), (errno.ERANGE, "Operation not permitte")),
    (errno.EPERM, len("Operation not permitted") + 1, (0, "Operation not permitted")),
    (errno.EPERM, 0, (errno.ERANGE, "")),
    (-7, 6, (errno.EINVAL, "Unkno")),         # cut, still EINVAL rather than ERANGE
    (99999, 0, (errno.EINVAL, "")),
])
def test_short_buffers_are_cut_and_terminated(num, size, expected):
    assert strerror_r(num, size) == expected


# ---- inet_ntop ---------------------------------------------------------------

LIB.fbsd_inet_ntop.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32]
LIB.fbsd_inet_ntop.restype = ctypes.c_char_p


def ntop(af, raw, size=64):
    """(text, 0) or (None, errno) of inet_ntop with a buffer of size bytes."""
    buf = ctypes.create_string_buffer(max(size, 1))
    ctypes.set_errno(0)
    text = LIB.fbsd_inet_ntop(af, raw, buf, size)
    return (text.decode(), 0) if text is not None else (None, ctypes.get_errno())


def words(*ws):
    return b"".join(w.to_bytes(2, "big") for w in ws)


@pytest.mark.parametrize("raw,text", [
    (words(0, 0, 0, 0, 0, 0, 0, 0), "::"),
    (words(0, 0, 0, 0, 0, 0, 0, 1), "::1"),
    (words(0, 0, 0, 0, 0, 0, 0, 2), "::2"),                      # a 7-word run: no dotted quad
    (words(0, 0, 0, 0, 0, 0, 0, 0xffff), "::ffff"),
    (words(0, 0, 0, 0, 0, 0, 0x102, 0x304), "::1.2.3.4"),         # IPv4-compatible
    (words(0, 0, 0, 0, 0, 0xffff, 0xc000, 0x201), "::ffff:192.0.2.1"),  # IPv4-mapped
    (words(0, 0, 0, 0, 0, 0xffff, 0, 0), "::ffff:0.0.0.0"),
    (words(0, 0, 0, 0, 0, 0xfffe, 0xc000, 0x201), "::fffe:c000:201"),
    (words(0, 0, 0, 0, 1, 0xffff, 0xc000, 0x201), "::1:ffff:c000:201"),
    (words(0x2001, 0xdb8, 0, 0, 1, 0, 0, 1), "2001:db8::1:0:0:1"),    # first run on a tie
    (words(0x2001, 0xdb8, 0, 0, 1, 0, 0, 0), "2001:db8:0:0:1::"),      # the longer one wins
    (words(0x2001, 0xdb8, 0, 1, 1, 1, 1, 1), "2001:db8:0:1:1:1:1:1"),  # one zero word stays
    (words(0xfe80, 0, 0, 0, 0x5a9c, 0xfcff, 0xfe0a, 0x1b2c), "fe80::5a9c:fcff:fe0a:1b2c"),
    (words(*[0xffff] * 8), "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"),
    (words(1, 0, 0, 0, 0, 0, 0, 0), "1::"),
])
def test_inet6_text(raw, text):
    assert ntop(fakebsd.C.AF_INET6, raw) == (text, 0)


def test_inet_text_and_errors():
    C = fakebsd.C
    assert ntop(C.AF_INET, bytes([192, 0, 2, 255])) == ("192.0.2.255", 0)
    # Room for the text and its NUL, no less.
    assert ntop(C.AF_INET, bytes([10, 0, 0, 1]), 9) == ("10.0.0.1", 0)
    assert ntop(C.AF_INET, bytes([10, 0, 0, 1]), 8) == (None, errno.ENOSPC)
    assert ntop(C.AF_INET6, words(0, 0, 0, 0, 0, 0, 0, 1), 4) == ("::1", 0)
    assert ntop(C.AF_INET6, words(0, 0, 0, 0, 0, 0, 0, 1), 3) == (None, errno.ENOSPC)
    assert ntop(C.AF_INET6, words(0, 0, 0, 0, 0, 0xffff, 0xc000, 0x201), 16) == (None, errno.ENOSPC)
    for af in (C.AF_UNSPEC, C.AF_LINK, 10):  # 10: the host's AF_INET6, not FreeBSD's
        assert ntop(af, bytes(16)) == (None, errno.EAFNOSUPPORT)


# ---- getnameinfo -------------------------------------------------------------

EAI_FAIL, EAI_FAMILY, EAI_MEMORY, EAI_NONAME, EAI_SYSTEM, EAI_OVERFLOW = 4, 5, 6, 8, 11, 14
LIB.fbsd_getnameinfo.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_char_p, ctypes.c_size_t,
                                 ctypes.c_char_p, ctypes.c_size_t, ctypes.c_int]
LIB.fbsd_getnameinfo.restype = ctypes.c_int


def nameinfo(sa, salen=None, hostlen=64, flags=None, servlen=0):
    """(code, host text, service text) of getnameinfo; the host buffer starts
    filled with '#', so a partial write shows."""
    if flags is None:
        flags = fakebsd.C.NI_NUMERICHOST
    host = ctypes.create_string_buffer(b"#" * hostlen, hostlen) if hostlen else None
    serv = ctypes.create_string_buffer(servlen) if servlen else None
    code = LIB.fbsd_getnameinfo(sa, len(sa) if salen is None else salen, host, hostlen,
                                serv, servlen, flags)
    return (code, host.value.decode() if host else None, serv.value.decode() if serv else None)


@pytest.mark.parametrize("addr,scope,flags,text", [
    ("fe80::1", 1, 0, "fe80::1%em0"),
    ("fe80::1", 2, 0, "fe80::1%lo0"),
    ("febf::1", 1, 0, "febf::1%em0"),                 # the top of fe80::/10
    ("fec0::1", 1, 0, "fec0::1%1"),                   # site-local: the number
    ("ff02::1", 1, 0, "ff02::1%em0"),                 # link-local multicast
    ("ff01::1", 2, 0, "ff01::1%lo0"),                 # interface-local multicast
    ("ff12::1", 1, 0, "ff12::1%em0"),                 # scope nibble, whatever the flags
    ("ff05::1", 1, 0, "ff05::1%1"),                   # site-local multicast: the number
    ("2001:db8::1", 1, 0, "2001:db8::1%1"),
    ("fe80::1", 0, 0, "fe80::1"),                     # no scope id, no zone
    ("fe80::1", 1, "NI_NUMERICSCOPE", "fe80::1%1"),
    ("fe80::1", 77, 0, "fe80::1%77"),                 # no interface with that index
    ("fe80::1", 2**32 - 1, 0, "fe80::1%4294967295"),
])
def test_scope_of_ipv6_addresses(machine, addr, scope, flags, text):
    machine()
    C = fakebsd.C
    flag = C.NI_NUMERICHOST | (getattr(C, flags) if flags else 0)
    assert nameinfo(fakebsd.sin6(addr, scope), flags=flag) == (0, text, None)


def test_socket_address_checks(machine):
    machine()
    C = fakebsd.C
    v4, v6 = fakebsd.sin("192.0.2.1", 80), fakebsd.sin6("2001:db8::1")
    assert nameinfo(v4) == (0, "192.0.2.1", None)
    assert nameinfo(v6) == (0, "2001:db8::1", None)
    # salen short of the family's structure is refused; a longer one, up to a
    # struct sockaddr_storage, is taken and only the structure read.
    for sa, size, text in ((v4, 16, "192.0.2.1"), (v6, 28, "2001:db8::1")):
        padded = sa + b"\xff" * (128 - len(sa) + 1)
        assert nameinfo(padded, size - 1)[0] == EAI_FAMILY
        assert nameinfo(padded, size + 1) == (0, text, None)
        assert nameinfo(padded, 128) == (0, text, None)
        assert nameinfo(padded, 129)[0] == EAI_FAMILY
    assert nameinfo(v4 + bytes(12), 28) == (0, "192.0.2.1", None)
    # Other families, whatever the length.
    assert nameinfo(fakebsd.sin("192.0.2.1", family=C.AF_UNSPEC))[0] == EAI_FAMILY
    assert nameinfo(fakebsd.sdl("em0", b"\1" * 6))[0] == EAI_FAMILY
    assert nameinfo(fakebsd.sin6("::1", family=10))[0] == EAI_FAMILY
    # NI_NAMEREQD conflicts with NI_NUMERICHOST; without it there is no name
    # service to ask.
    assert nameinfo(v4, flags=C.NI_NUMERICHOST | C.NI_NAMEREQD)[0] == EAI_NONAME
    assert nameinfo(v6, flags=C.NI_NAMEREQD)[0] == EAI_NONAME
    assert nameinfo(v6, flags=0) == (0, "2001:db8::1", None)
    assert nameinfo(v4, hostlen=0)[0] == EAI_NONAME  # neither host nor service wanted
    assert nameinfo(v4, hostlen=0, servlen=3) == (0, None, "80")
    assert nameinfo(v4, hostlen=0, servlen=2)[0] == EAI_MEMORY


def test_host_buffer_too_small(machine):
    machine()
    v4 = fakebsd.sin("192.0.2.1")
    assert nameinfo(v4, hostlen=10) == (0, "192.0.2.1", None)
    # IPv4: EAI_MEMORY, nothing written.
    assert nameinfo(v4, hostlen=9) == (EAI_MEMORY, "#" * 9, None)
    # IPv6: EAI_OVERFLOW; when only the zone does not fit, the address is
    # already in the buffer.
    scoped = fakebsd.sin6("fe80::1", 1)
    assert nameinfo(scoped, hostlen=12) == (0, "fe80::1%em0", None)
    assert nameinfo(scoped, hostlen=11) == (EAI_OVERFLOW, "fe80::1", None)
    assert nameinfo(scoped, hostlen=7) == (EAI_OVERFLOW, "#" * 7, None)
    # Without NI_NUMERICHOST the IPv4 fallback is inet_ntop into the buffer.
    ctypes.set_errno(0)
    assert nameinfo(v4, hostlen=9, flags=0)[0] == EAI_SYSTEM
    assert ctypes.get_errno() == errno.ENOSPC
    assert nameinfo(fakebsd.sin6("2001:db8::1"), hostlen=11, flags=0)[0] == EAI_OVERFLOW


# ---- utmpx -------------------------------------------------------------------

LIB.fbsd_getutxent.restype = ctypes.c_void_p
UTMPX = fakebsd.sizeof("utmpx")


def next_record():
    p = LIB.fbsd_getutxent()
    return fakebsd.unpack("utmpx", ctypes.string_at(p, UTMPX)) if p else None


def test_utmpx_records_as_libc_rebuilds_them(machine):
    C = fakebsd.C
    full = dict(ut_id=b"I" * 8, sec=7, usec=5, pid=42)
    machine({"utmpx": [fakebsd.utmpx(b"U" * 32, b"L" * 16, b"H" * 128, **full),
                       fakebsd.utmpx(b"u", b"l", b"h", type=C.LOGIN_PROCESS, **full),
                       fakebsd.utmpx(b"u", b"l", b"h", type=C.DEAD_PROCESS, **full),
                       fakebsd.utmpx(b"u", b"l", b"h", type=C.BOOT_TIME, **full),
                       fakebsd.utmpx(b"u", b"l", b"h", type=99, **full),
                       fakebsd.utmpx(b"u\0stale", b"l", sec=-1, usec=999999)]})
    LIB.fbsd_setutxent()
    got = [next_record() for _ in range(6)]
    LIB.fbsd_endutxent()
    pick = ("ut_type", "ut_id", "ut_pid", "ut_user", "ut_line", "ut_host", "ut_tv.tv_sec",
            "ut_tv.tv_usec")
    rows = [tuple(r[k].rstrip(b"\0") if isinstance(r[k], bytes) else r[k] for k in pick)
            for r in got]
    assert rows == [
        # texts cut to the field's size less one: always terminated
        (C.USER_PROCESS, b"I" * 8, 42, b"U" * 31, b"L" * 15, b"H" * 127, 7, 5),
        (C.LOGIN_PROCESS, b"I" * 8, 42, b"u", b"l", b"", 7, 5),      # no host
        (C.DEAD_PROCESS, b"I" * 8, 42, b"", b"", b"", 7, 5),         # id and pid only
        (C.BOOT_TIME, b"", 0, b"", b"", b"", 7, 5),                  # the time only
        (C.EMPTY, b"", 0, b"", b"", b"", 0, 0),                      # unknown type
        (C.USER_PROCESS, b"", 0, b"u", b"l", b"", (2**64 - 1) // 10**6, (2**64 - 1) % 10**6),
    ]
    assert all(r["ut_user"][-1:] == b"\0" for r in got)


def test_utmpx_iterator_per_thread(machine):
    db = [fakebsd.utmpx(f"u{i}".encode(), b"tty") for i in range(3)]
    machine({"utmpx": db})

    def user():
        r = next_record()
        return r and r["ut_user"].rstrip(b"\0")

    assert user() == b"u0"                 # getutxent opens the database itself
    assert fakebsd.resources()["utmpx"] == 1
    other = []

    def walk():
        with fakebsd.machine({"utmpx": db}):
            LIB.fbsd_setutxent()
            other.extend(iter(user, None))
            LIB.fbsd_endutxent()

    t = threading.Thread(target=walk)
    t.start()
    t.join()
    assert other == [b"u0", b"u1", b"u2"]
    assert user() == b"u1"                 # this thread's walk went on where it was
    LIB.fbsd_setutxent()                   # rewinds, still one handle
    assert user() == b"u0" and fakebsd.resources()["utmpx"] == 1
    assert [user(), user(), user(), user()] == [b"u1", b"u2", None, None]
    # FreeBSD's libc keeps the file open at its end, until endutxent: a walk
    # that forgets endutxent shows as an open handle.
    assert fakebsd.resources()["utmpx"] == 1
    LIB.fbsd_endutxent()
    assert fakebsd.resources()["utmpx"] == 0


# ---- mallctl -----------------------------------------------------------------

LIB.fbsd_mallctl.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.POINTER(ctypes.c_size_t),
                             ctypes.c_void_p, ctypes.c_size_t]
LIB.fbsd_mallctl.restype = ctypes.c_int


def mallctl(name, oldlen=None, new=None, newlen=None):
    """(return value, bytes read, *oldlenp after) of one mallctl call."""
    old = ctypes.create_string_buffer(b"\xee" * 16, 16) if oldlen is not None else None
    lenp = ctypes.pointer(ctypes.c_size_t(oldlen)) if oldlen is not None else None
    newbuf = ctypes.create_string_buffer(new, len(new)) if new is not None else None
    ret = LIB.fbsd_mallctl(name.encode(), old, lenp, newbuf,
                           len(new) if newlen is None and new is not None else (newlen or 0))
    return ret, (old.raw if old else None), (lenp.contents.value if lenp else None)


def test_mallctl_reads(machine):
    machine({"heap": {"allocated": 0x1122334455667788, "mapped": 2**40}})
    value = (0x1122334455667788).to_bytes(8, "little")
    assert mallctl("stats.allocated", 8) == (0, value + b"\xee" * 8, 8)
    # Another length: what fits is copied, EINVAL, and *oldlenp stays as given.
    assert mallctl("stats.allocated", 4) == (errno.EINVAL, value[:4] + b"\xee" * 12, 4)
    assert mallctl("stats.mapped", 16) == (errno.EINVAL, (2**40).to_bytes(8, "little") + b"\xee" * 8, 16)
    assert mallctl("stats.allocated", 0) == (errno.EINVAL, b"\xee" * 16, 0)
    # A read-only value refuses writes, even alongside a read.
    assert mallctl("stats.allocated", 8, new=bytes(8))[0] == errno.EPERM
    assert mallctl("stats.mapped", newlen=8)[0] == errno.EPERM
    for name in ("stats", "stats.allocated.x", "no.such", "epoch.", ""):
        assert mallctl(name, 8)[0] == errno.ENOENT


def test_mallctl_epoch(machine):
    machine({"heap": {"allocated": 1, "mapped": 2}})
    ret, raw, n = mallctl("epoch", 8)
    before = int.from_bytes(raw[:8], "little")
    assert (ret, n) == (0, 8)
    # Only a write of exactly 8 bytes refreshes (and the new epoch reads back).
    for size in (4, 7, 9, 16):
        assert mallctl("epoch", 8, new=bytes(size))[0] == errno.EINVAL
    ret, raw, _ = mallctl("epoch", 8, new=bytes(8))
    assert ret == 0 and int.from_bytes(raw[:8], "little") > before
    assert mallctl("epoch", 4)[0] == errno.EINVAL


@pytest.mark.parametrize("name,ok", [
    ("arena.0.purge", True), ("arena.15.purge", True),
    ("arena.16.purge", True),                              # the arena count: every arena
    (f"arena.{fakebsd.C.MALLCTL_ARENAS_ALL}.purge", True),
    ("arena.17.purge", False), ("arena.4095.purge", False),  # past the arenas: no such name
    ("arena.-1.purge", False), ("arena.x.purge", False), ("arena..purge", False),
])
def test_mallctl_actions(machine, name, ok):
    machine({"heap": {"allocated": 1, "mapped": 2}})
    assert mallctl(name)[0] == (0 if ok else errno.ENOENT)
    if ok:  # an action is neither read nor written
        assert mallctl(name, 8)[0] == errno.EPERM
        assert mallctl(name, new=bytes(8))[0] == errno.EPERM
    assert mallctl("thread.tcache.flush")[0] == 0
    assert mallctl("thread.tcache.flush", 8)[0] == errno.EPERM


# ---- sysctl name checks ------------------------------------------------------

LIB.fbsd_sysctl.argtypes = [ctypes.POINTER(ctypes.c_int), ctypes.c_uint, ctypes.c_void_p,
                            ctypes.POINTER(ctypes.c_size_t), ctypes.c_void_p, ctypes.c_size_t]
LIB.fbsd_sysctl.restype = ctypes.c_int


def sysctl_errno(mib, new=None):
    """0 when a size query of mib succeeds, else its errno."""
    arr = (ctypes.c_int * max(len(mib), 1))(*mib)
    size = ctypes.c_size_t(0)
    newbuf = ctypes.create_string_buffer(new, len(new)) if new is not None else None
    ctypes.set_errno(0)
    if LIB.fbsd_sysctl(arr, len(mib), None, ctypes.byref(size), newbuf,
                       len(new) if new is not None else 0) == 0:
        return 0
    return ctypes.get_errno()


def test_sysctl_name_length(machine):
    machine()
    C = fakebsd.C
    assert sysctl_errno((C.CTL_KERN, C.KERN_ARGMAX)) == 0
    assert sysctl_errno(()) == errno.EINVAL
    assert sysctl_errno((C.CTL_KERN,)) == errno.EINVAL        # FreeBSD takes 2 to CTL_MAXNAME
    assert sysctl_errno((C.CTL_KERN, 9999)) == errno.ENOENT
    assert sysctl_errno((C.CTL_KERN,) + (1,) * 23) != errno.EINVAL  # 24 elements: looked up
    assert sysctl_errno((C.CTL_KERN,) + (1,) * 24) == errno.EINVAL


@pytest.mark.parametrize("tail,err", [
    ((0, 0, "IFLIST", 0), 0),
    ((7, 0, "IFLIST", 0), 0),                 # the protocol is not looked at
    ((0, "AF_INET6", "IFLIST", 2), 0),
    ((0, "AF_MAX", "IFLIST", 0), 0),
    ((0, 256 + 2, "IFLIST", 0), 0),           # the family is a u_char
    ((0, "AF_MAX+1", "IFLIST", 0), errno.EINVAL),
    ((0, 0, 99, 0), errno.EINVAL),            # no such operation
    ((0, 0, "IFLIST"), errno.EISDIR),         # fewer than three after the protocol
    ((0, 0), errno.EISDIR),
    ((0, 0, "IFLIST", 0, 0), errno.ENOTDIR),  # more
])
def test_interface_list_name(machine, tail, err):
    machine()
    C = fakebsd.C
    names = {"IFLIST": C.NET_RT_IFLIST, "AF_INET6": C.AF_INET6, "AF_MAX": C.AF_MAX,
             "AF_MAX+1": C.AF_MAX + 1}
    mib = (C.CTL_NET, C.PF_ROUTE) + tuple(names.get(v, v) for v in tail)
    assert sysctl_errno(mib) == err
    if err == 0:
        assert sysctl_errno(mib, new=b"\0" * 4) == errno.EPERM


def test_interface_list_filters(machine):
    machine()
    C = fakebsd.C
    base = (C.CTL_NET, C.PF_ROUTE, 0)
    everything = fakebsd.answers.sysctl(base + (0, C.NET_RT_IFLIST, 0))
    assert fakebsd.answers.sysctl((C.CTL_NET, C.PF_ROUTE, 5, 0, C.NET_RT_IFLIST, 0)) == everything
    # One interface: its messages only, a part of the whole list.
    one = fakebsd.answers.sysctl(base + (0, C.NET_RT_IFLIST, 2))
    assert one and one in everything and len(one) < len(everything)
    assert fakebsd.answers.sysctl(base + (0, C.NET_RT_IFLIST, 99)) == b""
