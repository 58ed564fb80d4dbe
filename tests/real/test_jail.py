"""The module inside a jail with a root of its own (jail.sh), compared with
what FreeBSD's own tools say in the same jail, and the host's view of the
jail's processes and sockets. Run as root in the guest."""

import os
import shutil
import socket
import subprocess
import sys
import time

import pytest

import allcalls as calls
import guestlib as g

NAME = "morvex"
# the root made at image time (tests/real/image-hook.sh), else one made now
ROOT = "/morvex/jail" if os.path.isdir("/morvex/jail/morvex/python") else "/jails/" + NAME
HERE = os.path.dirname(os.path.abspath(__file__))
ME = os.getpid()
JAIL_V4, JAIL_V6, JAIL_VTNET = "127.0.1.1", "fd00:1::1", "10.0.2.16"
# The interpreter of the venv the package was installed into (jail.sh copies
# the venv into the jail at the same path); the process it runs is the
# binary the venv links to, which proc_exe names.
PY = sys.executable
EXE = os.path.realpath(PY)


def jexec(*argv, **kw):
    return subprocess.run(["jexec", NAME, *argv], capture_output=True, text=True, **kw)


@pytest.fixture(scope="module")
def jail():
    t0 = time.monotonic()
    jid = subprocess.run(["sh", os.path.join(HERE, "jail.sh"), "create", NAME, ROOT],
                         capture_output=True, text=True, check=True).stdout.strip()
    setup = time.monotonic() - t0
    assert os.path.isfile(ROOT + sys.prefix + "/pyvenv.cfg") and os.path.lexists(ROOT + PY), \
        f"the jail has no {sys.prefix}"
    ready = ROOT + "/tmp/morvex-scene.ready"
    if os.path.exists(ready):
        os.unlink(ready)
    # the scene of the capture (listeners and connected pairs, threads, a
    # zombie, another user's process), started inside the jail
    scene = subprocess.Popen(["jexec", NAME, PY, "/morvex/tests/real/scene.py",
                              "/tmp/morvex-scene.ready"], stdin=subprocess.PIPE)
    for _ in range(240):
        if os.path.exists(ready) and os.path.getsize(ready):
            break
        time.sleep(0.5)
    with open(ready) as f:
        spid, zombie, other = map(int, f.read().split())
    # a file just created has no name in the kernel's name cache until it is
    # looked up: look the scene's up once
    for n in os.listdir(ROOT + "/tmp"):
        os.stat(os.path.join(ROOT, "tmp", n))
    assert spid == scene.pid
    # the host's own listeners, which the jail must not see, on ports below
    # the ephemeral range (10000 and up), so that none of the jail's sockets
    # can have the same port number
    host = []
    for family, addr, port in ((socket.AF_INET, "127.0.0.1", 7101), (socket.AF_INET, "0.0.0.0", 7102),
                               (socket.AF_INET6, "::1", 7103)):
        s = socket.socket(family, socket.SOCK_STREAM)
        s.bind((addr, port))
        s.listen()
        host.append(s)
    print(f"jail {NAME} (jid {jid}) made in {setup:.1f} s; scene {spid}, zombie {zombie}, other {other}")
    try:
        yield {"jid": int(jid), "scene": spid, "zombie": zombie, "other": other, "host": host}
    finally:
        for s in host:
            s.close()
        scene.stdin.close()
        scene.wait(60)
        subprocess.run(["sh", os.path.join(HERE, "jail.sh"), "remove", NAME])


@pytest.fixture(scope="module")
def inside(jail):
    p = g.run_probe([jail["scene"], jail["zombie"], jail["other"], ME, 1], prefix=["jexec", NAME])
    g.save("jail-probe.json", p)
    return p


def test_every_function_answers_or_raises_as_freebsd_answers(jail, inside):
    table = {}
    for key, v in inside["calls"].items():
        name = key.split("(", 1)[0]
        table.setdefault(name, {}).setdefault(v["outcome"], 0)
        table[name][v["outcome"]] += 1
    print("outcomes in the jail:", table)
    assert set(table) == set(calls.ALL_NAMES)
    bad = {k: v["outcome"] for k, v in inside["calls"].items()
           if v["outcome"] not in calls.ALLOWED[k.split("(", 1)[0]]}
    assert bad == {}
    # the jail's own processes (the probe, the scene, root's and another
    # user's): every reader answers, the zombie as it does outside
    for pid in (inside["me"], jail["scene"], jail["other"]):
        got = g.outcomes_for(inside, pid)
        assert got == {n: "ok" for n in got} and len(got) == 20, (pid, got)
    # a host process and init: not there for the jail
    for pid in (ME, 1):
        got = g.outcomes_for(inside, pid)
        want = {n: "ProcessLookupError(ESRCH)" for n in got}
        want["check_pid_range"] = "ok"
        want["proc_is_zombie"] = "ok"
        assert got == want, (pid, got)
        assert g.answer(inside, "proc_is_zombie", pid) is False


def test_process_table_is_ps(jail, inside):
    pids = set(g.answer(inside, "pids"))
    assert g.ps_pids(inside) <= pids | set(inside["pids_after"])
    assert pids & set(inside["pids_after"]) <= g.ps_pids(inside)
    assert {jail["scene"], jail["zombie"], jail["other"], inside["me"]} <= pids
    assert ME not in pids and 1 not in pids


def test_mounts_are_mount_p(inside):
    # enforce_statfs=2: only the file system holding the jail's root, as "/"
    assert g.partitions(inside) == g.mounts(inside["tools"]["mount"]["text"])
    assert {p[1] for p in g.partitions(inside)} == {"/"}


@pytest.mark.parametrize("value", [1, 0])
def test_mounts_under_other_enforce_statfs(jail, value):
    subprocess.run(["jail", "-m", f"name={NAME}", f"enforce_statfs={value}"], check=True)
    try:
        p = g.run_probe([], prefix=["jexec", NAME])
    finally:
        subprocess.run(["jail", "-m", f"name={NAME}", "enforce_statfs=2"], check=True)
    g.save(f"jail-enforce_statfs-{value}.json", {"module": sorted(g.partitions(p)),
                                                 "mount": p["tools"]["mount"]["text"]})
    print(f"enforce_statfs={value}:", sorted(g.partitions(p)))
    assert g.partitions(p) == g.mounts(p["tools"]["mount"]["text"])
    mps = {m[1] for m in g.partitions(p)}
    if value == 1:
        # the jail's root and what is mounted below it, relative to the root
        assert mps == {"/", "/dev"}
    else:
        # everything, with the host's paths
        assert {"/", ROOT + "/dev"} <= mps


def test_interfaces_are_ifconfig(inside):
    names, addrs = g.ifconfig(inside["tools"]["ifconfig"]["text"])
    got_names, got_addrs = g.if_addrs(inside)
    assert got_names == names
    assert got_addrs == addrs
    ips = {a for _, a in got_addrs}
    assert {JAIL_V4, JAIL_V6, JAIL_VTNET} <= ips
    # none of the host's addresses
    assert not ips & {"127.0.0.1", "::1", "10.0.2.15", "fec0::15"}
    assert {k for k, _ in g.answer(inside, "net_io_counters")["dict"]} >= {"lo0", "vtnet0"}


def test_sockets_are_sockstat(jail, inside):
    mod = g.module_sockets(g.answer(inside, "net_connections"))
    tool = g.sockstat(inside["tools"]["sockstat"]["text"])
    assert g.same_sockets(mod, tool), (sorted(mod), sorted(tool))
    # the scene's listeners and connected pairs, on the jail's addresses
    # (127.0.0.1 and ::1 inside a jail are its own first addresses); its
    # children hold them too (inherited descriptors)
    scene = {c for c in mod if c[0] in (jail["scene"], jail["other"])}
    locals_ = {c[3][0] for c in scene}
    assert locals_ == {JAIL_V4, JAIL_V6}, scene
    assert {c[2] for c in scene} == {"tcp4", "tcp6", "udp4", "udp6"}
    assert sum(1 for c in scene if c[4] != ("*", "*")) == 4        # two connected pairs
    # the host's listeners are not there
    host_ports = {str(s.getsockname()[1]) for s in jail["host"]}
    assert not {c for c in mod if c[3][1] in host_ports}
    assert all(c[0] != ME for c in mod)


def test_users_are_who(inside):
    assert {tuple(u[:2]) for u in g.answer(inside, "users")} == g.who(inside["tools"]["who"]["text"])


def test_paths_as_seen_inside(jail, inside):
    scene = jail["scene"]
    assert g.answer(inside, "proc_exe", scene) == EXE
    assert g.answer(inside, "proc_cwd", scene) == "/"
    files = [p for p, _fd in g.answer(inside, "proc_open_files", scene)]
    assert EXE in files                                   # the text vnode
    assert any(p.startswith("/tmp/morvex-scene-") for p in files), files
    maps = {e[2] for e in g.answer(inside, "proc_memory_maps", scene)}
    assert EXE in maps and "/lib/libc.so.7" in maps
    assert not any(p.startswith(ROOT) for p in files + list(maps))
    conns = g.answer(inside, "proc_net_connections", scene, calls.FAMILIES, calls.TYPES)
    assert "/tmp/morvex-scene.sock" in {c[3] for c in conns if c[1] == socket.AF_UNIX}


def test_host_sees_the_jail(jail):
    import _morvex_bsd as m
    scene = jail["scene"]
    assert {scene, jail["zombie"], jail["other"]} <= set(m.pids())
    # the host's paths of the jail's files
    assert m.proc_exe(scene) == ROOT + EXE
    assert m.proc_cwd(scene) == ROOT
    assert any(p.startswith(ROOT + "/tmp/morvex-scene-") for p, _ in m.proc_open_files(scene))
    conns = g.module_sockets(m.net_connections(calls.FAMILIES, calls.TYPES))
    tool = g.sockstat(subprocess.run(["sockstat", "-46", "-n"], capture_output=True,
                                     text=True).stdout)
    holders = (scene, jail["other"])
    assert g.same_sockets({c for c in conns if c[0] in holders}, {c for c in tool if c[0] in holders})
    assert {c[3][0] for c in conns if c[0] in holders} == {JAIL_V4, JAIL_V6}
    mine = {c[3][1] for c in conns if c[0] == ME}
    assert {str(s.getsockname()[1]) for s in jail["host"]} <= mine


def test_capture_inside_the_jail(jail):
    """The capture and the module's answers taken from inside the jail, for
    the stand-in's replay (tests/data/freebsd-14.2-jail.*)."""
    for f in ("jail.capture.gz", "jail.answers.json.gz"):
        if os.path.exists(f"{ROOT}/tmp/{f}"):
            os.unlink(f"{ROOT}/tmp/{f}")
    # one shell runs both, so that the capture's parent is a process of the
    # jail (and stays the shell: the last command is not record.py, which sh
    # would run in its own process with exec)
    r = jexec("sh", "-c", f"{PY} /morvex/capture.py /tmp/jail.capture.gz && "
              f"{PY} /morvex/tests/real/record.py /tmp/jail.capture.gz /tmp/jail.answers.json.gz; "
              "exit $?",
              timeout=900)
    assert r.returncode == 0, r.stderr
    print(r.stdout)
    os.makedirs(g.OUT, exist_ok=True)
    for f in ("jail.capture.gz", "jail.answers.json.gz"):
        shutil.copy(f"{ROOT}/tmp/{f}", os.path.join(g.OUT, f))


def test_deployed_rules_in_the_jail(jail):
    host_port = jail["host"][0].getsockname()[1]
    got = g.run_rules("jail", {"peer": jail["scene"], "outsider": ME,
                               "peer_listener": _scene_listener(jail["scene"]),
                               "outsider_listener": host_port,
                               "jail_root": "/", "host_mount": "/dev",
                               "own_address": JAIL_V4, "host_address": "127.0.0.1"},
                      prefix=["jexec", NAME], jail_root=ROOT)
    assert got["checked"] and got["failed"] == []


def test_deployed_rules_from_the_host(jail):
    got = g.run_rules("jail_host", {"jailed": jail["scene"],
                                    "jailed_listener": _scene_listener(jail["scene"])})
    assert got["checked"] and got["failed"] == []


def _scene_listener(pid):
    import _morvex_bsd as m
    return next(c[3][1] for c in m.proc_net_connections(pid, [2], [1]) if c[5] == 1)
