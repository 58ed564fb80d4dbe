"""FreeBSD as deployed, replayed on the stand-in: captures taken in the lab
guest from inside a jail with a root of its own, and as an unprivileged user
on a hardened host (see_other_uids=0, see_other_gids=0,
unprivileged_proc_debug=0), each with the module's answers recorded right
after it in the same place. Every reader must answer on the replay as it did
on the real kernel, compared as tests/test_real_replay.py compares the
plain root capture."""

import gzip
import json
import os

import pytest

import _morvex_bsd as m
import fakebsd
import test_real_replay as base

DATA = os.path.join(os.path.dirname(__file__), "data")
FIXTURES = [f"freebsd-{release}-{where}" for release in ("14.2", "15.1") for where in ("jail", "hidden")]


@pytest.fixture(scope="module", params=FIXTURES)
def pair(request):
    with gzip.open(os.path.join(DATA, request.param + ".answers.json.gz"), "rt") as f:
        real = json.load(f)
    with fakebsd.machine(capture=os.path.join(DATA, request.param + ".capture.gz")):
        replayed = base.record.answers(m, real["pids"], real["ifaces"], real["ncpu"],
                                       keep_secrets=real.get("secrets") == "kept")
    return real, replayed


def test_every_answer_as_on_the_kernel(pair):
    real, replayed = pair
    assert set(replayed) == set(real["answers"])
    assert len(base.gone(real)) <= 1
    skip = {f"({p}" for p in base.gone(real)}
    diff = {}
    for key, want in real["answers"].items():
        name = base.name_of(key)
        if name == "pids" or any(key[len(name):].startswith(s + x) for s in skip for x in ",)"):
            continue
        view = base.VIEWS.get(name, lambda x: x)
        if view(replayed[key]) != view(want):
            diff[key] = (replayed[key], want)
    assert diff == {}


def test_process_list(pair):
    real, replayed = pair
    got, want = replayed["pids()"], real["answers"]["pids()"]
    assert set(real["pids"]) == set(got)
    assert set(got) - base.gone(real) <= set(want)
    assert len(set(want) - set(got)) <= 1
