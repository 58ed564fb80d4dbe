"""The stand-in's pure library answers, read straight from libfakebsd for
tests that state what the module passes on:

    strerror(errno.ENXIO)   -> "Device not configured" (FreeBSD's text)

These calls consult no machine and are not logged.
"""

import ctypes
import os

import _fakebsd

_lib = ctypes.CDLL(os.path.join(os.path.dirname(_fakebsd.__file__), "libfakebsd.so"))
_lib.fbsd_strerror_r.argtypes = [ctypes.c_int, ctypes.c_char_p, ctypes.c_size_t]
_lib.fbsd_strerror_r.restype = ctypes.c_int


def strerror_r(num, size=256):
    """(return value, text) of strerror_r with a buffer of size bytes."""
    buf = ctypes.create_string_buffer(b"\x7f" * size, size) if size else None
    ret = _lib.fbsd_strerror_r(num, buf, size)
    return ret, (buf.value.decode() if size else "")


def strerror(num):
    """FreeBSD's text for error number num, as the module's messages carry it."""
    return strerror_r(num)[1]
