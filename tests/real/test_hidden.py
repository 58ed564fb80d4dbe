"""A hardened host: security.bsd.see_other_uids=0, see_other_gids=0 and
unprivileged_proc_debug=0, seen by an unprivileged user (labuser, 1001, also
in group 1010); another uid that shares group 1010 with it; processes that
disabled tracing (procctl PROC_TRACE_CTL). Run as root in the guest; the
probe drops to the user. Each answer is held against ps and sockstat run as
the same user."""

import os
import subprocess
import sys
import time

import pytest

import allcalls as calls
import guestlib as g

ME = os.getpid()
USER = (1001, 1001, [1001, 1010])           # labuser, in the shared group 1010
PEER = (1002, 1010, [1010])                 # another uid, sharing group 1010
NOBODY = (65534, 65534, [65534])
HARDENED = dict(security__bsd__see_other_uids=0, security__bsd__see_other_gids=0,
                security__bsd__unprivileged_proc_debug=0)
GROUPS_ONLY = dict(security__bsd__see_other_uids=1, security__bsd__see_other_gids=0,
                   security__bsd__unprivileged_proc_debug=1)

# A process holding a TCP listener on 127.0.0.1; with "notrace" it first
# disables tracing of itself (procctl(P_PID, self, PROC_TRACE_CTL,
# PROC_TRACE_CTL_DISABLE)).
HOLDER = r"""
import ctypes, os, socket, sys
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen()
if "notrace" in sys.argv:
    libc = ctypes.CDLL(None, use_errno=True)
    libc.procctl.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_int, ctypes.c_void_p]
    v = ctypes.c_int(2)
    if libc.procctl(0, os.getpid(), 7, ctypes.byref(v)) != 0:
        raise OSError(ctypes.get_errno(), "procctl")
print(s.getsockname()[1], flush=True)
sys.stdin.read()
"""

# per-process functions that need the right to debug the process
DEBUG_READS = {"proc_environ", "proc_cwd", "proc_num_fds", "proc_open_files",
               "proc_memory_maps", "proc_net_connections"}


def _holder(cred, *flags):
    kw = {}
    if cred:
        kw = dict(user=cred[0], group=cred[1], extra_groups=cred[2])
    p = subprocess.Popen([sys.executable, "-c", HOLDER, *flags], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True, cwd="/tmp", **kw)
    p.port = int(p.stdout.readline())
    return p


@pytest.fixture(scope="module")
def procs():
    made = {"root": _holder(None), "peer": _holder(PEER), "nobody": _holder(NOBODY),
            "own": _holder(USER), "notrace_own": _holder(USER, "notrace"),
            "notrace_root": _holder(None, "notrace")}
    time.sleep(0.5)
    try:
        yield made
    finally:
        for p in made.values():
            p.stdin.close()
            p.wait(30)


def targets(procs):
    return [p.pid for p in procs.values()] + [1]


def _table(probe, procs):
    names = {p.pid: n for n, p in procs.items()} | {1: "init", probe["me"]: "self"}
    return {names[pid]: g.outcomes_for(probe, pid) for pid in names}


def _refused(got, how, also=()):
    """Every per-process call refused with `how`, except those that answer
    anyway (check_pid_range looks at the number, proc_is_zombie answers
    False for a process it cannot find) and `also`."""
    return {n: ("ok" if n in ("check_pid_range", "proc_is_zombie", *also) else how) for n in got}


def _tools_agree(probe):
    pids = set(g.answer(probe, "pids"))
    assert g.ps_pids(probe) <= pids | set(probe["pids_after"])
    assert pids & set(probe["pids_after"]) <= g.ps_pids(probe)
    mod = g.module_sockets(g.answer(probe, "net_connections"))
    assert g.same_sockets(mod, g.sockstat(probe["tools"]["sockstat"]["text"]))
    return pids, mod


def test_hardened_host_as_a_user(procs):
    with g.sysctls(**HARDENED):
        p = g.run_probe(targets(procs), as_user=USER)
    g.save("hidden-probe.json", p)
    table = _table(p, procs)
    print("hardened, as labuser:", table)
    assert all(v["outcome"] in calls.ALLOWED[k.split("(", 1)[0]] for k, v in p["calls"].items())
    pids, socks = _tools_agree(p)
    # only the user's own processes (same real uid) are listed ...
    assert {procs["own"].pid, procs["notrace_own"].pid, p["me"]} <= pids
    assert not pids & {procs[n].pid for n in ("root", "peer", "nobody", "notrace_root")}
    assert 1 not in pids
    # ... and only their sockets
    assert {c[0] for c in socks} <= pids
    assert {c[3][1] for c in socks} >= {str(procs["own"].port), str(procs["notrace_own"].port)}
    # every other process is not there, except to the two reads that go
    # straight to p_candebug (the descriptor table of proc_net_connections,
    # a limit's write): with unprivileged_proc_debug=0 it refuses an
    # unprivileged caller with EPERM before it looks at who may see whom
    for name in ("root", "peer", "nobody", "notrace_root", "init"):
        want = _refused(table[name], "ProcessLookupError(ESRCH)")
        want["proc_net_connections"] = want["proc_setrlimit"] = "PermissionError(EPERM)"
        assert table[name] == want, name
    # the user's own other processes: visible, but without
    # unprivileged_proc_debug nothing that needs debugging them
    for name in ("own", "notrace_own"):
        want = {n: ("PermissionError(EPERM)" if n in DEBUG_READS | {"proc_setrlimit"} else "ok")
                for n in table[name]}
        want["proc_environ"] = "PermissionError(EACCES)"
        assert table[name] == want, name
    # and the caller itself: everything
    assert table["self"] == {n: "ok" for n in table["self"]}


def test_socket_of_a_group_peer(procs):
    with g.sysctls(**GROUPS_ONLY):
        p = g.run_probe(targets(procs), as_user=USER)
    g.save("hidden-groups-probe.json", p)
    table = _table(p, procs)
    print("see_other_gids=0 only, as labuser:", table)
    pids, socks = _tools_agree(p)
    # another uid that shares a group: its process and its socket are seen
    assert procs["peer"].pid in pids
    assert (procs["peer"].pid, str(procs["peer"].port)) in {(c[0], c[3][1]) for c in socks}
    # no group in common: hidden
    for name in ("root", "nobody", "notrace_root", "init"):
        assert procs.get(name, None) is None or procs[name].pid not in pids
        assert table[name] == _refused(table[name], "ProcessLookupError(ESRCH)"), name
    assert not {c for c in socks if c[3][1] in {str(procs["nobody"].port), str(procs["root"].port)}}
    # the peer's process: readable as any other user's, not debuggable
    want = {n: ("PermissionError(EPERM)" if n in DEBUG_READS | set(calls.SETTERS)
                or n == "proc_cpu_affinity_get" else "ok") for n in table["peer"]}
    want["proc_environ"] = "PermissionError(EACCES)"
    assert table["peer"] == want


def test_process_that_disabled_tracing(procs):
    """P2_NOTRACE: the owner may not debug it; root may (PRIV_DEBUG_DENIED)."""
    import _morvex_bsd as m
    owner = g.run_probe([procs["notrace_own"].pid, procs["own"].pid], as_user=USER)
    by_owner = g.outcomes_for(owner, procs["notrace_own"].pid)
    plain = g.outcomes_for(owner, procs["own"].pid)
    by_root = {}
    for target in ("notrace_own", "notrace_root"):
        pid = procs[target].pid
        by_root[target] = {name: calls.outcome(name, getattr(m, name), args)[0]
                           for name, args in calls.reader_calls(m, pid)}
    print("no-trace process, read by its owner:", by_owner)
    print("no-trace processes, read by root:", by_root)
    g.save("notrace.json", {"owner": by_owner, "root": by_root})
    assert plain == {n: "ok" for n in plain}
    want = {n: ("PermissionError(EPERM)" if n in DEBUG_READS | {"proc_setrlimit"} else "ok")
            for n in by_owner}
    want["proc_environ"] = "PermissionError(EACCES)"
    assert by_owner == want
    for target, got in by_root.items():
        if got["proc_environ"] != "ok" and g.environ_unreadable(m, procs[target].pid):
            got = dict(got, proc_environ="ok")       # 15.1: see guestlib.env_unreadable
        assert got == {n: "ok" for n in got}, target


def test_capture_as_the_hidden_user(procs):
    """The capture and the module's answers as labuser on the hardened host,
    for the stand-in's replay (tests/data/freebsd-14.2-hidden.*)."""
    os.makedirs(g.OUT, exist_ok=True)
    cap, ans = "/tmp/hidden.capture.gz", "/tmp/hidden.answers.json.gz"
    for f in (cap, ans):
        if os.path.exists(f):
            os.unlink(f)
    kw = dict(user=USER[0], group=USER[1], extra_groups=USER[2], cwd="/tmp",
              capture_output=True, text=True, timeout=600)
    # one shell of the user runs both, so that the capture's parent is a
    # process the user can see (and stays the shell: see test_jail.py)
    with g.sysctls(**HARDENED):
        r = subprocess.run(["sh", "-c", f"{sys.executable} /morvex/capture.py {cap} && "
                            f"{sys.executable} {g.HERE}/record.py {cap} {ans}; exit $?"], **kw)
        assert r.returncode == 0, r.stderr
    print(r.stdout)
    import shutil
    shutil.copy(cap, os.path.join(g.OUT, "hidden.capture.gz"))
    shutil.copy(ans, os.path.join(g.OUT, "hidden.answers.json.gz"))


def test_deployed_rules(procs):
    """The rows of deployed_rules.py for the hidden user, the no-trace
    process (its owner and root) and, in test_securelevel.py, init."""
    with g.sysctls(**HARDENED):
        hidden = g.run_rules("hidden", {"peer": procs["own"].pid, "outsider": procs["root"].pid,
                                        "outsider_listener": procs["root"].port},
                             as_user=USER, foreign=[PEER, (USER[0], 2000, [2000])])
    owner = g.run_rules("notrace_owner", {"notrace": procs["notrace_own"].pid}, as_user=USER)
    root = g.run_rules("notrace_root", {"notrace": procs["notrace_root"].pid})
    for got in (hidden, owner, root):
        assert got["checked"] and got["failed"] == []
