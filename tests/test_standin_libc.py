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
