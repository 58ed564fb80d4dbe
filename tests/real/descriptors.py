"""Descriptors of the types FreeBSD 15 adds to a process's file table, made
through libc with ctypes (the interpreter has no wrapper for them). Each
maker returns (descriptor, cleanup): close the descriptor, then call
cleanup()."""

import ctypes
import os

# sys/inotify.h, sys/jail.h (15)
IN_CLOEXEC, IN_CREATE = 0x00100000, 0x00000100
JAIL_CREATE, JAIL_OWN_DESC = 0x01, 0x80

LIBC = ctypes.CDLL("libc.so.7", use_errno=True)


class IOVec(ctypes.Structure):
    _fields_ = [("iov_base", ctypes.c_void_p), ("iov_len", ctypes.c_size_t)]


def inotify():
    fd = LIBC.inotify_init1(IN_CLOEXEC)
    if fd < 0:
        raise OSError(ctypes.get_errno(), "inotify_init1")
    if LIBC.inotify_add_watch(fd, b"/tmp", IN_CREATE) < 0:
        os.close(fd)
        raise OSError(ctypes.get_errno(), "inotify_add_watch")
    return fd, lambda: None


def jail_descriptor():
    """A jail made for the test with an owning descriptor (JAIL_OWN_DESC):
    closing the descriptor removes the jail."""
    desc = ctypes.c_int(-1)
    keep = []

    def buf(b):
        s = ctypes.create_string_buffer(b)
        keep.append(s)
        return ctypes.cast(s, ctypes.c_void_p).value, len(b) + 1

    params = [("name", buf(b"morvex-desc-%d" % os.getpid())), ("path", buf(b"/")), ("persist", (None, 0)),
              ("desc", (ctypes.cast(ctypes.pointer(desc), ctypes.c_void_p).value,
                        ctypes.sizeof(desc)))]
    iov = (IOVec * (2 * len(params)))()
    for i, (name, (base, size)) in enumerate(params):
        iov[2 * i].iov_base, iov[2 * i].iov_len = buf(name.encode())
        iov[2 * i + 1].iov_base, iov[2 * i + 1].iov_len = base, size
    LIBC.jail_set.argtypes = [ctypes.c_void_p, ctypes.c_uint, ctypes.c_int]
    jid = LIBC.jail_set(ctypes.cast(iov, ctypes.c_void_p), len(iov), JAIL_CREATE | JAIL_OWN_DESC)
    if jid < 0:
        raise OSError(ctypes.get_errno(), "jail_set")
    return desc.value, lambda: LIBC.jail_remove(jid)
