"""Record the module's answer to every reader call a replay of a capture is
compared on: every process the capture took, every interface plus a missing
one, every CPU id plus one past the last. Run right after the capture command,
on the same machine:

    python3 record.py machine.capture.gz answers.json.gz

Answers are stored as plain JSON (see plain()); an exception is stored as
{"error": class name, "errno": its errno}.
"""

import gzip
import json
import os
import sys

FAMILIES = [2, 28, 1]
TYPES = [1, 2]

# (name, kind, extra args): kind says what the call runs over.
READERS = [
    ("proc_cmdline", "pid", ()),
    ("proc_cwd", "pid", ()),
    ("proc_environ", "pid", ()),
    ("proc_name", "pid", ()),
    ("proc_num_fds", "pid", ()),
    ("proc_oneshot_info", "pid", ()),
    ("proc_open_files", "pid", ()),
    ("proc_threads", "pid", ()),
    ("proc_num_threads", "pid", ()),
    ("proc_cpu_affinity_get", "pid", ()),
    ("proc_exe", "pid", ()),
    ("proc_getrlimit", "pid", ("RLIMIT_NOFILE",)),
    ("proc_memory_maps", "pid", ()),
    ("proc_net_connections", "pid", (FAMILIES, TYPES)),
    ("proc_priority_get", "pid", ()),
    ("proc_is_zombie", "pid", ()),
    ("check_pid_range", "pid", ()),
    ("boot_time", "", ()),
    ("cpu_count_logical", "", ()),
    ("cpu_stats", "", ()),
    ("cpu_times", "", ()),
    ("disk_io_counters", "", ()),
    ("disk_partitions", "", ()),
    ("net_connections", "", (FAMILIES, TYPES)),
    ("net_io_counters", "", ()),
    ("per_cpu_times", "", ()),
    ("pids", "", ()),
    ("swap_mem", "", ()),
    ("virtual_mem", "", ()),
    ("cpu_topology", "", ()),
    ("sensors_battery", "", ()),
    ("getpagesize", "", ()),
    ("net_if_addrs", "", ()),
    ("users", "", ()),
    ("cpu_freq", "cpu", ()),
    ("sensors_cpu_temperature", "cpu", ()),
    ("net_if_flags", "iface", ()),
    ("net_if_is_running", "iface", ()),
    ("net_if_mtu", "iface", ()),
    ("net_if_duplex_speed", "iface", ()),
]


def plain(x):
    """A JSON-able form of an answer that keeps what equality needs: tuples
    and lists become lists, a dict becomes a sorted list of [key, value]
    pairs, a float stays a float."""
    if isinstance(x, BaseException):
        return {"error": type(x).__name__, "errno": getattr(x, "errno", None)}
    if isinstance(x, dict):
        return {"dict": sorted(([plain(k), plain(v)] for k, v in x.items()), key=repr)}
    if isinstance(x, (set, frozenset)):
        return {"set": sorted((plain(v) for v in x), key=repr)}
    if isinstance(x, (list, tuple)):
        return [plain(v) for v in x]
    if isinstance(x, bytes):
        return {"bytes": x.hex()}
    if x is None or isinstance(x, (bool, int, float, str)):
        return x
    if hasattr(x, "__iter__"):
        return [plain(v) for v in x]
    return {"repr": repr(x)}


def masked(name, answer):
    """The answer as a capture with its secrets masked replays it: every
    argument but the first, and every variable's value, as 'x's of its
    length in bytes."""
    if name == "proc_cmdline" and isinstance(answer, list):
        return answer[:1] + ["x" * len(os.fsencode(a)) for a in answer[1:]]
    if name == "proc_environ" and isinstance(answer, dict) and "dict" in answer:
        return {"dict": [[k, "x" * len(os.fsencode(v))] for k, v in answer["dict"]]}
    return answer


def key(name, *args):
    return "%s(%s)" % (name, ", ".join(map(repr, args)))


def answers(m, pids, ifaces, ncpu, keep_secrets=False):
    out = {}

    def one(name, *args):
        try:
            got = plain(getattr(m, name)(*args))
        except Exception as e:  # noqa: BLE001 - the exception is the answer
            got = plain(e)
        out[key(name, *args)] = got if keep_secrets else masked(name, got)

    for name, kind, extra in READERS:
        extra = tuple(getattr(m, a) if isinstance(a, str) else a for a in extra)
        if kind == "pid":
            for pid in pids:
                one(name, pid, *extra)
        elif kind == "iface":
            for i in [*ifaces, "nosuch0"]:
                one(name, i)
        elif kind == "cpu":
            for cpu in range(ncpu + 1):
                one(name, cpu)
        else:
            one(name, *extra)
    return out


def main(argv=None):
    import _morvex_bsd as m
    cap, dest = (argv or sys.argv[1:])[:2]
    with gzip.open(cap, "rt") as f:
        header = json.loads(f.readline())
    ifaces = sorted(m.net_io_counters())
    got = answers(m, header["pids"], ifaces, header["ncpu"], header["secrets"] == "kept")
    with gzip.open(dest, "wt") as f:
        json.dump({"pids": header["pids"], "secrets": header["secrets"], "ifaces": ifaces, "ncpu": header["ncpu"],
                   "answers": got}, f, indent=0, sort_keys=True)
    print(f"{dest}: {len(got)} answers for {len(header['pids'])} processes")


if __name__ == "__main__":
    main()
