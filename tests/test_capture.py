"""Capturing a machine's answers and replaying them: every function answers on
the replay exactly as on the captured machine; damaged captures are refused
with their reason; an unrecorded call fails, never answers made-up data."""

import errno
import base64
import gzip
import json
import os
import random
import subprocess
import sys

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import capture, replay
from calls import CALLS

FIXTURE = os.path.join(os.path.dirname(__file__), "data", "default.capture.gz")
# Writers change the machine, and the allocator figures are the caller's own.
NOT_REPLAYED = {"proc_cpu_affinity_set", "proc_setrlimit", "proc_priority_set", "heap_trim",
                "heap_info", "set_debug"}


def answers(pids, ifaces, ncpu, skip=()):
    """Every reader's answer (or exception) for every process, interface and
    CPU id of the capture."""
    out = {}

    def one(name, *args):
        try:
            out[(name, *map(repr, args))] = getattr(m, name)(*args)
        except Exception as e:  # noqa: BLE001 - the exception is the answer
            out[(name, *map(repr, args))] = (type(e).__name__, getattr(e, "errno", None), str(e))

    for name, args in CALLS:
        if name in NOT_REPLAYED or name in skip:
            continue
        if name.startswith("proc_") or name == "check_pid_range":
            for pid in pids:
                one(name, pid, *args[1:])
        elif name.startswith("net_if_") and args:
            for i in [*ifaces, "nosuch0"]:
                one(name, i)
        elif name in ("cpu_freq", "sensors_cpu_temperature"):
            for cpu in range(ncpu + 1):
                one(name, cpu)
        else:
            one(name, *args)
    return out


large = pytest.mark.thread_unsafe(reason="a 10,000-process machine per thread is too much memory")


# The large host's capture takes 60 of its processes; make check-sweep takes
# all 10,000 (a 10 MB file, half a million faults, about 30 seconds).
ALL = os.environ.get("MORVEX_SWEEP_PROCS") == "all"
@pytest.mark.parametrize("name", ["default", "unprivileged", "jail", "hardened", "vm", "freebsd15",
                                  pytest.param("large", marks=large)])
def test_round_trip(name, tmp_path):
    path = tmp_path / "machine.capture.gz"
    with fakebsd.machine(profile=name):
        pids = (sorted(random.Random(16).sample(fakebsd.table_pids(), 60))
                if name == "large" and not ALL else None)
        header = capture.capture(path, pids=pids, keep_secrets=True)
        ifaces = sorted(m.net_io_counters())
        # (the large host's connections per process: every call reads the
        # whole 41 MB TCP list, so 60 processes of them)
        skip = {"proc_net_connections"} if name == "large" and ALL else ()
        want = answers(header["pids"], ifaces, header["ncpu"], skip)
        live = fakebsd.resources()
    assert header["secrets"] == "kept" and header["source"] == "stand-in"
    with fakebsd.machine(capture=path):
        got = answers(header["pids"], ifaces, header["ncpu"], skip)
        assert fakebsd.resources() == live
    assert len(want) > 100
    assert {k for k in want if want[k] != got[k]} == set()


def test_secrets_masked_by_default(tmp_path):
    path = tmp_path / "masked.capture.gz"
    with fakebsd.machine():
        header = capture.capture(path, pids=[1310])
        env, argv = m.proc_environ(1310), m.proc_cmdline(1310)
    assert header["secrets"] == "masked"
    with fakebsd.machine(capture=path):
        menv, margv = m.proc_environ(1310), m.proc_cmdline(1310)
        assert m.proc_name(1310) == "python3.13"
    assert menv.keys() == env.keys() and env
    assert all(menv[k] == "x" * len(env[k].encode()) for k in env)
    assert margv[0] == argv[0] and len(argv) > 1
    assert [len(a) for a in margv] == [len(a.encode()) for a in argv]
    assert all(set(a) == {"x"} for a in margv[1:] if a)


def test_command_stands_alone(tmp_path):
    # on FreeBSD the file is run by itself, without the package around it
    out = tmp_path / "alone.capture.gz"
    script = ("import runpy, sys; sys.modules['fakebsd'] = None; "
              f"sys.argv = ['capture.py', {str(out)!r}, '--pid', '1310']; "
              f"runpy.run_path({capture.__file__!r}, run_name='__main__')")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    assert "1 processes, secrets masked" in run.stdout
    header, records = replay.read(out)
    assert header["pids"] == [1310] and header["source"] == "stand-in"
    assert {"call": "kill", "key": "1310", "answer": b""} in records


def test_unrecorded_call_fails(tmp_path):
    path = tmp_path / "one.capture.gz"
    with fakebsd.machine():
        capture.capture(path, pids=[1310])
    with fakebsd.machine(capture=path):
        assert m.proc_name(1310) == "python3.13"
        for call in (lambda: m.proc_name(1), lambda: m.proc_open_files(1)):
            with pytest.raises(OSError) as e:
                call()
            assert e.value.errno == errno.ENOSYS


def test_fixture_replays_the_default_machine():
    header, _ = replay.read(FIXTURE)
    assert header["secrets"] == "masked" and header["version"] == capture.VERSION
    pids = [p for p in header["pids"] if p in fakebsd.table_pids()]
    with fakebsd.machine():
        ifaces = sorted(m.net_io_counters())
        want = answers(pids, ifaces, header["ncpu"], skip={"proc_environ", "proc_cmdline"})
    with fakebsd.machine(capture=FIXTURE):
        got = answers(pids, ifaces, header["ncpu"], skip={"proc_environ", "proc_cmdline"})
    assert {k for k in want if want[k] != got[k]} == set()


def test_swap_node_renumbered(tmp_path):
    # vm.swap_info is numbered at boot: a machine's number is not the stand-in's
    lines = _lines()
    with fakebsd.machine():
        want = m.swap_mem()
    recorded = next(json.loads(x) for x in lines if '"sysctlnametomib"' in x)
    ours = ".".join(str(int.from_bytes(base64.b64decode(recorded["answer"])[i:i + 4], "little"))
                    for i in range(0, 8, 4)) + "."
    other = capture.struct.pack("<2i", 2, 4321)
    out = []
    for x in lines:
        rec = json.loads(x)
        if rec.get("call") == "sysctlnametomib":
            rec["answer"] = base64.b64encode(other).decode()
        elif rec.get("call") == "sysctl" and rec["key"].startswith(ours):
            rec["key"] = "2.4321." + rec["key"][len(ours):]
        out.append(json.dumps(rec))
    path = tmp_path / "renumbered.capture.gz"
    path.write_bytes(gzip.compress("\n".join(out).encode()))
    with fakebsd.machine(capture=path):
        assert m.swap_mem() == want


def _lines():
    with gzip.open(FIXTURE, "rt") as f:
        return f.read().splitlines()


def _header(**change):
    h = json.loads(_lines()[0])
    h.update(change)
    return json.dumps(h)


def _iflist(data):
    rec = next(json.loads(x) for x in _lines()[1:] if '"getifaddrs"' in x)
    rec["answer"] = base64.b64encode(data(base64.b64decode(rec["answer"]))).decode()
    return json.dumps(rec)


DAMAGED = [
    ("not gzip", lambda raw: b"hello", "not a readable capture"),
    ("truncated gzip", lambda raw: raw[:len(raw) // 2], "not a readable capture"),
    ("empty", lambda raw: gzip.compress(b""), "no header"),
    ("header not JSON", lambda raw: gzip.compress(b"{\n"), "line 1: the header is not JSON"),
    ("other format", lambda raw: gzip.compress(b'{"format": "x"}\n'), "not a morvex-capture"),
    ("newer version", lambda raw: gzip.compress((_header(version=2) + "\n").encode()),
     "format version 2"),
    ("other arch", lambda raw: gzip.compress((_header(arch="arm64") + "\n").encode()),
     "captured on 'arm64'"),
    ("unknown layout", lambda raw: gzip.compress(
        (_header(layout={**capture.LAYOUT, "kinfo_proc": 1096}) + "\n").encode()),
     "differs in: kinfo_proc"),
    ("header field", lambda raw: gzip.compress((_header(pagesize="4k") + "\n").encode()),
     "'pagesize'"),
    ("bad base64", lambda raw: gzip.compress(
        "\n".join(_lines()[:1] + ['{"call": "sysctl", "key": "1.21", "answer": "!!"}']).encode()),
     "line 2"),
    ("no answer", lambda raw: gzip.compress(
        "\n".join(_lines()[:2] + ['{"call": "sysctl", "key": "1.21"}']).encode()),
     "line 3: a record needs an answer or an errno"),
    ("cut line", lambda raw: gzip.compress("\n".join(_lines()[:3] + [_lines()[3][:20]]).encode()),
     "line 4"),
    ("getifaddrs cut", lambda raw: gzip.compress(
        "\n".join(_lines()[:1] + [_iflist(lambda d: d[:30])]).encode()),
     "getifaddrs answer truncated"),
]


@pytest.mark.parametrize("damage,expect", [(d, e) for _, d, e in DAMAGED],
                         ids=[n for n, _, _ in DAMAGED])
def test_damaged_capture_refused(tmp_path, damage, expect):
    path = tmp_path / "bad.capture.gz"
    path.write_bytes(damage(open(FIXTURE, "rb").read()))
    with pytest.raises(replay.CaptureError, match=expect.replace("(", r"\(")):
        with fakebsd.machine(capture=path):
            pass
    assert m.proc_name(1310) == "python3.13"  # nothing was installed
