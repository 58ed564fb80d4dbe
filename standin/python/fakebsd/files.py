"""Arguments and descriptor tables for machine descriptions.

    argv(b"sshd", b"-D")                -> b"sshd\\0-D\\0"   (a process's "args")
    kinfo_file(3, b"/var/log/messages") -> one struct kinfo_file, a regular file on fd 3
    kinfo_file(C.KF_FD_TYPE_CWD, b"/home/alice", vtype=C.KF_VTYPE_VDIR)
    kinfo_file(5, type=C.KF_TYPE_PIPE)  -> not a vnode: no vnode type
    fd_table(kinfo_file(3, b"/x"), text=b"/bin/sh", cwd=b"/home/alice")
                                        -> the table as the kernel builds it

A process's "files" is a list of such records (or their concatenation), in
the order kinfo_getfile hands them out. The kernel puts its own entries first
(kern_proc_filedesc_out): the ktrace file (fd -4) while tracing to a file,
the executable (-5), the session's controlling terminal (-6), the working
(-1) and root (-2) directories, the jail or chroot directory (-3), and then
the descriptors in ascending order. fd_table builds that; a table given as a
list of records is handed out as it is.
"""

from _fakebsd import constants as _constants
from _fakebsd import fields as _fields
from _fakebsd import pack

_C = _constants()
_FD = next((off, size) for name, off, size, _ in _fields("kinfo_file") if name == "kf_fd")


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


def kernel_entry(fd, path, vtype, flags=None):
    """An entry the kernel adds for a vnode of the process itself
    (export_vnode_to_kinfo): no reference count, no offset."""
    if flags is None:
        flags = _C["KF_FLAG_READ"]
    return kinfo_file(fd, path, vtype=vtype, ref_count=-1, offset=-1, flags=flags)


def fd_of(record):
    off, size = _FD
    return int.from_bytes(bytes(record[off:off + size]), "little", signed=True)


def fd_table(*descriptors, text=None, cwd=b"/", root=b"/", ctty=None, trace=None, jail=None):
    """A descriptor table as the kernel builds it: the entries it adds for
    the paths given (trace, text, ctty, cwd, root, jail; None leaves one
    out), then the descriptor records in ascending order."""
    rw = _C["KF_FLAG_READ"] | _C["KF_FLAG_WRITE"]
    vdir, vreg = _C["KF_VTYPE_VDIR"], _C["KF_VTYPE_VREG"]
    own = [
        (_C["KF_FD_TYPE_TRACE"], trace, vreg, rw),
        (_C["KF_FD_TYPE_TEXT"], text, vreg, None),
        (_C["KF_FD_TYPE_CTTY"], ctty, _C["KF_VTYPE_VCHR"], rw),
        (_C["KF_FD_TYPE_CWD"], cwd, vdir, None),
        (_C["KF_FD_TYPE_ROOT"], root, vdir, None),
        (_C["KF_FD_TYPE_JAIL"], jail, vdir, None),
    ]
    table = [kernel_entry(fd, path, vtype, flags) for fd, path, vtype, flags in own
             if path is not None]
    return table + sorted(descriptors, key=fd_of)
