"""RLIMIT_NOFILE exhausted (nofile.py, in a process of its own), with a user
logged in on a pty so that the user-accounting database has a record:
every function answers or raises the error its definition gives (OSError
EMFILE/ENFILE for the interface calls, RuntimeError naming the cause where
libkvm cannot open), none crashes or leaks, and all work again once the
limit is raised. users() must not answer as if nobody were logged in."""

import json
import os
import pty
import select
import subprocess
import sys
import time

import pytest

import allcalls as calls
import guestlib as g

EXHAUSTED = {"OSError(EMFILE)", "OSError(ENFILE)"}


def _read_until(fd, marker, seconds):
    buf, end = b"", time.monotonic() + seconds
    while marker not in buf and time.monotonic() < end:
        r, _, _ = select.select([fd], [], [], 1)
        if r:
            try:
                buf += os.read(fd, 4096)
            except OSError:
                break
    return buf


@pytest.fixture(scope="module")
def logged_in():
    """labuser logged in through login(1) on a pseudo-terminal, which writes
    its USER_PROCESS record into utx.active."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv("/usr/bin/login", ["login", "-f", "labuser"])
    out = _read_until(fd, b"$ ", 60)
    who = subprocess.run(["who"], capture_output=True, text=True).stdout
    print("login:", out[-200:], "who:", who)
    try:
        yield who
    finally:
        os.write(fd, b"exit\n")
        _read_until(fd, b"\x00", 3)
        os.close(fd)
        os.waitpid(pid, 0)


def test_descriptors_exhausted(logged_in):
    assert "labuser" in logged_in
    other = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                             stdin=subprocess.PIPE)
    try:
        r = subprocess.run([sys.executable, os.path.join(g.HERE, "nofile.py"), str(other.pid), "1"],
                           capture_output=True, text=True, timeout=600)
    finally:
        other.communicate(b"")
    assert r.returncode == 0, r.stderr[-3000:]
    got = json.loads(r.stdout)
    g.save("nofile.json", got)
    refused = {k: v for k, v in got["exhausted"].items() if v[0] != "ok"}
    print(f"{got['held']} descriptors opened to reach the limit; refused:",
          json.dumps(refused, indent=1))
    assert any(u[0] == "labuser" for u in got["users_before"])
    faults = {}
    for key, (word, text) in got["exhausted"].items():
        name = key.split("(", 1)[0]
        if word in calls.ALLOWED[name] or word in EXHAUSTED:
            continue
        if word == "RuntimeError" and "Too many open files" in (text or ""):
            continue
        faults[key] = (word, text)
    assert faults == {}
    # users(): the database could not be opened, so no answer at all
    assert got["exhausted"]["users()"][0] in EXHAUSTED, got["exhausted"]["users()"]
    # everything works again, as before, once the limit is raised
    assert {k: v[0] for k, v in got["again"].items()} == {k: v[0] for k, v in got["base"].items()}
    # nothing leaked
    assert got["fds"][0] == got["fds"][1]
    assert got["heap"][1] - got["heap"][0] < 1 << 20, got["heap"]
