"""The stand-in's library answers, pinned to what FreeBSD 14's libc gives:
error texts, address text, getnameinfo, the utmpx iterator, mallctl, and the
sysctl name checks."""

import ctypes
import errno
import os

import pytest

import _fakebsd
import fakebsd
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
