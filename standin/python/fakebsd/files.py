"""Arguments and descriptor tables for machine descriptions.

    argv(b"sshd", b"-D")                -> b"sshd\\0-D\\0"   (a process's "args")
    kinfo_file(3, b"/var/log/messages") -> one struct kinfo_file, a regular file on fd 3
    kinfo_file(C.KF_FD_TYPE_CWD, b"/home/alice", vtype=C.KF_VTYPE_VDIR)
    kinfo_file(5, type=C.KF_TYPE_PIPE)  -> not a vnode: no vnode type

A process's "files" is a list of such records (or their concatenation), in
the order kinfo_getfile hands them out.
"""

from _fakebsd import constants as _constants
from _fakebsd import pack

_C = _constants()


def argv(*args):
    """The kernel's argument answer: each string followed by its NUL."""
    return b"".join(bytes(a) + b"\0" for a in args)


def kinfo_file(fd, path=b"", *, type=_C["KF_TYPE_VNODE"], vtype=None, **fields):
    """One descriptor-table entry. A vnode defaults to a regular file; other
    fields of struct kinfo_file go by name (with or without "kf_")."""
    if vtype is None:
        vtype = _C["KF_VTYPE_VREG"] if type == _C["KF_TYPE_VNODE"] else _C["KF_VTYPE_VNON"]
    values = {"kf_structsize": 1392, "kf_type": type, "kf_fd": fd, "kf_ref_count": 1,
              "kf_vnode_type": vtype, "kf_status": _C["KF_ATTR_VALID"], "kf_path": path}
    for name, value in fields.items():
        values[name if name.startswith("kf_") else "kf_" + name] = value
    return pack("kinfo_file", values)
