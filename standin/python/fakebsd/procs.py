"""Processes for machine descriptions.

    proc(42, comm=b"sshd", ki_uid=0)   -> {"pid": 42, "kinfo": <struct kinfo_proc>}

Keyword arguments that name a field of struct kinfo_proc go into the record
(dotted paths reach nested fields: "ki_rusage.ru_utime.tv_sec"); the others
("args", "env", "files", "kill", ...) are process-table entries as such.
"""

from _fakebsd import fields as _fields
from _fakebsd import pack

_KINFO_FIELDS = {f[0] for f in _fields("kinfo_proc")}
# Keys that belong to the process table rather than to the record.
_TABLE_KEYS = {"kinfo", "threads", "args", "path", "env", "files", "vmmap", "cpuset", "rlimits",
               "nice", "kill", "listed"}


def kinfo(pid, **fields):
    values = {"ki_structsize": 1088, "ki_pid": pid, "ki_stat": 3}
    for name, value in fields.items():
        values[name if name.startswith("ki_") else "ki_" + name] = value
    return pack("kinfo_proc", values)


def proc(pid, **kw):
    """A process-table entry: kinfo_proc fields (with or without "ki_") and
    table entries (threads, args, path, env, files, vmmap, cpuset, rlimits,
    nice, kill, listed)."""
    record = {k: v for k, v in kw.items() if k not in _TABLE_KEYS}
    entry = {k: v for k, v in kw.items() if k in _TABLE_KEYS}
    if "nice" in entry:
        record.setdefault("nice", entry["nice"])
    entry["pid"] = pid
    entry.setdefault("kinfo", kinfo(pid, **record))
    return entry
