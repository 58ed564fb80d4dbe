"""A FreeBSD 14.2 machine replayed on the stand-in: the capture taken in the
lab guest (make check-real-freebsd) and the answers the module gave there, a
moment later, for the same calls. Every reader must answer on the replay as it
did on the real kernel.

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

import _morvex_bsd as m
import fakebsd

DATA = os.path.join(os.path.dirname(__file__), "data")
CAPTURE = os.path.join(DATA, "freebsd-14.2.capture.gz")
ANSWERS = os.path.join(DATA, "freebsd-14.2.answers.json.gz")

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


def load():
    with gzip.open(ANSWERS, "rt") as f:
        return json.load(f)


@pytest.fixture(scope="module")
def real():
    return load()


@pytest.fixture(scope="module")
def replayed(real):
    with fakebsd.machine(capture=CAPTURE):
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
