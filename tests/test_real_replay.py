"""Real FreeBSD machines replayed on the stand-in: for each release the lab
boots (14.2 and 15.1), the capture taken in its guest (make
check-real-freebsd) and the answers the module gave there, a moment later,
for the same calls. Every reader must answer on the replay as it did on the
real kernel.

The two were taken one after the other, not at once, so what moves between
them is compared by shape (and counters by direction) rather than value:
CPU times and tick counts, context switches, I/O counters, memory figures,
a process's state and usage; the process list gains the recording process.
Everything else is compared exactly.
"""

import gzip
import importlib.util
import json
import os

import pytest

import _fakebsd
import _morvex_bsd as m
import fakebsd
from fakebsd import capture, profiles, replay
from fakebsd.profiles import KF_TYPE_INOTIFY, KF_TYPE_JAILDESC

DATA = os.path.join(os.path.dirname(__file__), "data")
RELEASES = ["14.2", "15.1"]
C = _fakebsd.constants()


def capture_of(release):
    return os.path.join(DATA, f"freebsd-{release}.capture.gz")

_spec = importlib.util.spec_from_file_location(
    "real_record", os.path.join(os.path.dirname(__file__), "real", "record.py"))
record = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(record)

ANY = "~"


def shape(x):
    """Numbers replaced by a mark of their type: the shape of an answer."""
    if isinstance(x, bool) or x is None or isinstance(x, str):
        return x
    if isinstance(x, (int, float)):
        return (ANY, type(x).__name__)
    if isinstance(x, list):
        return [shape(v) for v in x]
    if isinstance(x, dict):
        return {k: shape(v) for k, v in x.items()}
    return x


def fields(keep):
    """Keep the fields at the given positions, the rest by shape."""
    def view(x):
        if not isinstance(x, list):
            return x
        return [v if i in keep else shape(v) for i, v in enumerate(x)]
    return view


def each(view):
    def many(x):
        return [view(v) for v in x] if isinstance(x, list) else x
    return many


def per_key(view):
    def many(x):
        if isinstance(x, dict) and "dict" in x:
            return {"dict": [[k, view(v)] for k, v in x["dict"]]}
        return x
    return many


# What each function's answer is compared on; a function not named here is
# compared exactly.
VIEWS = {
    # ppid, uids, gids, tty, start time and name stay; the state (running or
    # sleeping), usage, sizes and the current CPU move.
    "proc_oneshot_info": fields({0, 2, 3, 4, 5, 6, 7, 8, 9, 24}),
    # thread ids stay, their CPU times move
    "proc_threads": each(fields({0})),
    # a mapping's range, protection and path stay; its page counts move
    "proc_memory_maps": each(fields({0, 1, 2})),
    "cpu_times": shape, "per_cpu_times": shape, "cpu_stats": shape,
    "disk_io_counters": per_key(shape), "net_io_counters": per_key(shape),
    # the total stays; the rest is the machine's current use
    "virtual_mem": fields({0}), "swap_mem": fields({0}),
}
# Counters that only grow: the recorded answer came after the capture.
GROWING = {"cpu_times", "per_cpu_times", "cpu_stats"}


def load(release):
    with gzip.open(os.path.join(DATA, f"freebsd-{release}.answers.json.gz"), "rt") as f:
        return json.load(f)


@pytest.fixture(scope="module", params=RELEASES)
def release(request):
    return request.param


@pytest.fixture(scope="module")
def real(release):
    return load(release)


@pytest.fixture(scope="module")
def replayed(real, release):
    with fakebsd.machine(capture=capture_of(release)):
        return record.answers(m, real["pids"], real["ifaces"], real["ncpu"],
                              keep_secrets=real.get("secrets") == "kept")


def name_of(key):
    return key.split("(", 1)[0]


def gone(real):
    """The capture command's own process: in the capture, but it had exited
    by the time the answers were recorded."""
    return {p for p in real["pids"]
            if real["answers"][record.key("proc_name", p)] == {"error": "ProcessLookupError",
                                                              "errno": 3}}


def test_one_process_gone(real):
    assert len(gone(real)) <= 1


def test_same_calls(real, replayed):
    assert set(replayed) == set(real["answers"])
    assert len(replayed) > 300


def test_every_answer_as_on_the_kernel(real, replayed):
    diff = {}
    skip = {f"({p}" for p in gone(real)}
    for key, want in real["answers"].items():
        name = name_of(key)
        if name == "pids" or any(key[len(name):].startswith(s + x) for s in skip for x in ",)"):
            continue
        view = VIEWS.get(name, lambda x: x)
        if view(replayed[key]) != view(want):
            diff[key] = (replayed[key], want)
    assert diff == {}


def test_process_list(real, replayed):
    # the recorder runs after the capture: its process is the one the capture
    # cannot hold, the capture's own the one it lacks
    got, want = replayed["pids()"], real["answers"]["pids()"]
    assert set(real["pids"]) == set(got)
    assert set(got) - gone(real) <= set(want)
    assert len(set(want) - set(got)) <= 1


def test_counters_moved_forward(real, replayed):
    for name in GROWING:
        got, want = replayed[name + "()"], real["answers"][name + "()"]
        flat = lambda x: [v for row in x for v in row] if x and isinstance(x[0], list) else x  # noqa: E731
        assert all(w >= g for g, w in zip(flat(got), flat(want))), name


# -- the freebsd15 profile against the FreeBSD 15.1 guest -----------------------------

def _field(rec, table, name):
    off, size = table[name]
    return int.from_bytes(rec[off:off + size], "little", signed=True)


def fifteen_facts(path):
    """What FreeBSD 15 changes that the module sees, as a capture holds it:
    the processes without P_INMEM, the descriptor records of the two types
    15 adds (KF_TYPE_INOTIFY 15, KF_TYPE_JAILDESC 16) by the fields that do
    not depend on the moment (type, open flags, status, path), and the
    mount flags above bit 31 (MNT_NAMEDATTR) by file system type."""
    kf = {n: (o, s) for n, o, s, *_ in _fakebsd.fields("kinfo_file")}
    kp = {n: (o, s) for n, o, s, *_ in _fakebsd.fields("kinfo_proc")}
    sf = {n: (o, s) for n, o, s, *_ in _fakebsd.fields("statfs")}
    header, records = replay.read(path)
    swapped, descriptors, high_flags = set(), set(), set()
    for r in records:
        a = r.get("answer")
        if a is None:
            continue
        if r["call"] == "kvm_getprocs":
            for i in range(0, len(a), 1088):
                if not _field(a[i:i + 1088], kp, "ki_flag") & C["P_INMEM"]:
                    swapped.add(_field(a[i:i + 1088], kp, "ki_pid"))
        elif r["call"] == "sysctl" and r["key"].startswith("1.14.33."):    # kern.proc.filedesc
            i = 0
            while i + 4 <= len(a):
                size = _field(a[i:], kf, "kf_structsize")
                rec = a[i:i + size].ljust(1392, b"\0")
                i += size or len(a)
                if _field(rec, kf, "kf_type") in (KF_TYPE_INOTIFY, KF_TYPE_JAILDESC):
                    off, n = kf["kf_path"]
                    descriptors.add((_field(rec, kf, "kf_type"), _field(rec, kf, "kf_flags"),
                                     _field(rec, kf, "kf_status"), rec[off:off + n].rstrip(b"\0")))
        elif r["call"] == "getfsstat":
            for i in range(0, len(a), 2344):
                off, n = sf["f_fstypename"]
                fstype = a[i + off:i + off + n].rstrip(b"\0").decode()
                high_flags.add((fstype, (_field(a[i:i + 2344], sf, "f_flags") & ~0xFFFFFFFF) & (2**64 - 1)))
    return swapped, descriptors, high_flags


def test_freebsd15_profile_as_the_guest(tmp_path):
    """The stand-in's freebsd15 profile, captured the way the guest was,
    shows what the FreeBSD 15.1 guest showed: every process resident, and
    an inotify and a jail descriptor with the guest's open flags (read;
    read and write), status and (empty) path."""
    guest = fifteen_facts(capture_of("15.1"))
    path = tmp_path / "freebsd15.capture.gz"
    with fakebsd.machine(profile="freebsd15"):
        capture.capture(path)
    profile = fifteen_facts(path)
    assert guest[0] == profile[0] == set()
    assert {d[0] for d in guest[1]} == {KF_TYPE_INOTIFY, KF_TYPE_JAILDESC}
    assert profile[1] == guest[1]
    # The guest's UFS root has no flag above bit 31; the profile's ZFS root
    # has MNT_NAMEDATTR, which the guest (no ZFS) cannot show either way.
    assert guest[2] <= {(t, 0) for t in ("ufs", "devfs", "tmpfs")}
    assert ("zfs", profiles.MNT_NAMEDATTR) in profile[2]
