"""Processes for machine descriptions.

    proc(42, comm=b"sshd", ki_uid=0)   -> {"pid": 42, "kinfo": <struct kinfo_proc>, "files": ...}

Keyword arguments that name a field of struct kinfo_proc go into the record
(dotted paths reach nested fields: "ki_rusage.ru_utime.tv_sec"); the others
("args", "env", "files", "kill", ...) are process-table entries as such.

A process described without "files" gets the descriptor table the kernel
would hand out for it with no descriptors open (see files.fd_table): its
executable (from "path", when one is given), its working and root
directories ("/"). A zombie has none; a system process (P_SYSTEM in
ki_flag) has no executable.
"""

from _fakebsd import constants as _constants
from _fakebsd import fields as _fields
from _fakebsd import pack

from .files import fd_table

_C = _constants()
_KINFO_FIELDS = {f[0] for f in _fields("kinfo_proc")}
# Keys that belong to the process table rather than to the record.
_TABLE_KEYS = {"kinfo", "threads", "args", "path", "env", "files", "vmmap", "cpuset", "rlimits",
               "nice", "kill", "listed", "exec_busy"}


def kinfo(pid, **fields):
    values = {"ki_structsize": 1088, "ki_pid": pid, "ki_stat": 3}
    for name, value in fields.items():
        values[name if name.startswith("ki_") else "ki_" + name] = value
    return pack("kinfo_proc", values)


def _default_files(record, path):
    def field(name):
        return record.get(name, record.get("ki_" + name, 0))

    if field("stat") == _C["SZOMB"]:
        return []
    # The kernel copies the path into kf_path with its NUL (strlcpy).
    text = bytes(path).split(b"\0")[0][:1023] if path else b""
    if not text or field("flag") & _C["P_SYSTEM"]:
        text = None
    return fd_table(text=text)


def proc(pid, **kw):
    """A process-table entry: kinfo_proc fields (with or without "ki_") and
    table entries (threads, args, path, env, files, vmmap, cpuset, rlimits,
    nice, kill, listed, exec_busy: for a process in execve(), P_INEXEC in
    its flag, how many of the reads p_candebug guards answer EBUSY before
    the exec is over; without it, all of them)."""
    record = {k: v for k, v in kw.items() if k not in _TABLE_KEYS}
    entry = {k: v for k, v in kw.items() if k in _TABLE_KEYS}
    if "nice" in entry:
        record.setdefault("nice", entry["nice"])
    entry["pid"] = pid
    entry.setdefault("kinfo", kinfo(pid, **record))
    if "files" not in entry:
        entry["files"] = _default_files(record, entry.get("path"))
    return entry
