"""Helpers of the deployed-configuration checks in the guest (run as root):
sysctl settings held for a block, the probe run in a jail or as another
user, and FreeBSD's tools' output read into the module's terms."""

import contextlib
import json
import os
import socket
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
PROBE = os.path.join(HERE, "probe.py")
OUT = os.environ.get("MORVEX_OUT", "/morvex/out")


def sysctl(name):
    return subprocess.run(["sysctl", "-n", name], capture_output=True, text=True,
                          check=True).stdout.strip()


@contextlib.contextmanager
def sysctls(**values):
    """Set security.bsd.* style knobs (dots given as __) for the block."""
    old = {}
    try:
        for k, v in values.items():
            name = k.replace("__", ".")
            old[name] = sysctl(name)
            subprocess.run(["sysctl", f"{name}={v}"], check=True, capture_output=True)
        yield
    finally:
        for name, v in old.items():
            subprocess.run(["sysctl", f"{name}={v}"], capture_output=True)


def run_probe(targets, prefix=(), as_user=None, timeout=600):
    req = {"targets": list(targets)}
    if as_user:
        req["as"] = list(as_user)
    argv = [*prefix, sys.executable, PROBE, json.dumps(req)]
    p = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    assert p.returncode == 0, (argv, p.stderr[-3000:])
    return json.loads(p.stdout)


def _entry(probe, name, args):
    from record import key
    if args:
        return probe["calls"][key(name, *args)]
    # a system-wide function: the one call made of it
    (hit,) = [v for k, v in probe["calls"].items() if k.split("(", 1)[0] == name]
    return hit


def outcome(probe, name, *args):
    return _entry(probe, name, args)["outcome"]


def answer(probe, name, *args):
    return _entry(probe, name, args)["answer"]


# FreeBSD 15.1 cannot read the environment of a few in a hundred processes,
# for their whole life (kern.proc.env answers ENOMEM: devd in every walk of
# a boot, a probe reading its own; deployed_rules.ENV_UNREADABLE), which the
# module raises as the forced EACCES naming ENOMEM. Taken as an answer where
# the environment is otherwise readable.
def env_unreadable(entry):
    return entry["outcome"] == "PermissionError(EACCES)" and "ENOMEM" in entry.get("text", "")


def environ_unreadable(m, pid):
    """Whether the kernel cannot read pid's environment, whoever asks (see
    env_unreadable): the module's forced EACCES naming ENOMEM."""
    try:
        m.proc_environ(pid)
    except PermissionError as e:
        return "ENOMEM" in str(e)
    return False


def outcomes_for(probe, pid):
    """{function: outcome} of every per-process call on pid (an environment
    the kernel could not read, see env_unreadable, counted as "ok")."""
    got = {}
    for k, v in probe["calls"].items():
        name, _, rest = k.partition("(")
        if rest.split(",")[0].rstrip(")") == str(pid) and name.startswith("proc_"):
            got[name] = "ok" if name == "proc_environ" and env_unreadable(v) else v["outcome"]
            if got[name] != v["outcome"]:
                print(f"environment of {pid} unreadable: {v['text']}")
        elif name == "check_pid_range" and rest.rstrip(")") == str(pid):
            got[name] = v["outcome"]
    return got


# -- the tools, in the module's terms --------------------------------------------

def ps_pids(probe):
    ps = probe["tools"]["ps"]
    pids = {int(line.split()[0]) for line in ps["text"].splitlines() if line.strip()}
    return pids - {ps["pid"]}


def mounts(text):
    """mount -p: {(device, mount point, type)}"""
    return {tuple(line.split()[:3]) for line in text.splitlines() if line.strip()}


def partitions(probe):
    return {tuple(p[:3]) for p in answer(probe, "disk_partitions")}


def ifconfig(text):
    """ifconfig -a: ({interface}, {(interface, address)}) with IPv4 and IPv6
    addresses (scope suffixes dropped) and link addresses."""
    names, addrs, cur = set(), set(), None
    for line in text.splitlines():
        if line and not line[0].isspace():
            cur = line.split(":")[0]
            names.add(cur)
            continue
        f = line.split()
        if len(f) >= 2 and f[0] in ("inet", "inet6", "ether"):
            addrs.add((cur, f[1].split("%")[0]))
    return names, addrs


def if_addrs(probe):
    names, addrs = set(), set()
    for name, family, addr, *_ in answer(probe, "net_if_addrs"):
        names.add(name)
        if family in (socket.AF_INET, socket.AF_INET6) or (family == 18 and addr):
            addrs.add((name, addr.split("%")[0]))
    return names, addrs


def _sock_addr(text):
    host, _, port = text.rpartition(":")
    host = host.strip("[]")
    return (host if host not in ("0.0.0.0", "::") else "*", port)


def sockstat(text):
    """sockstat -46 -n: {(pid, fd, proto, local, foreign)} of sockets a
    process holds; proto is tcp4, tcp6, udp4 or udp6."""
    out = set()
    for line in text.splitlines():
        f = line.split()
        if len(f) < 7 or not f[2].isdigit():
            continue
        proto = f[4][:3] + ("6" if "6" in f[4] else "4")
        out.add((int(f[2]), int(f[3]), proto, _sock_addr(f[5]), _sock_addr(f[6])))
    return out


def _conn_addr(a):
    if not a:
        return ("*", "*")
    host, port = a
    return (host if host not in ("0.0.0.0", "::") else "*", str(port) if port else "*")


def module_sockets(conns):
    """net_connections' answer in sockstat's terms (inet sockets only)."""
    out = set()
    for fd, family, kind, laddr, raddr, _status, pid in conns:
        if family not in (socket.AF_INET, socket.AF_INET6):
            continue
        proto = ("tcp" if kind == socket.SOCK_STREAM else "udp") + ("4" if family == socket.AF_INET else "6")
        out.add((pid, fd, proto, _conn_addr(laddr), _conn_addr(raddr)))
    return out


def same_sockets(module, tool):
    """net_connections lists a socket several descriptors share once, with
    the first holder in the file table; sockstat lists every holder. The two
    agree when they have the same sockets (protocol and addresses) and each
    of the module's holders is one of sockstat's."""
    strip = lambda s: {c[2:] for c in s}  # noqa: E731
    return strip(module) == strip(tool) and {c[:2] for c in module} <= {c[:2] for c in tool}


def who(text):
    """who: {(user, terminal)}"""
    return {tuple(line.split()[:2]) for line in text.splitlines() if line.strip()}


def save(name, data):
    os.makedirs(OUT, exist_ok=True)
    with open(os.path.join(OUT, name), "w") as f:
        json.dump(data, f, indent=1, sort_keys=True, default=str)


def run_rules(config, roles, prefix=(), as_user=None, foreign=(), jail_root=None):
    """The rows of deployed_rules.py for one configuration, checked where its
    caller is (rules_probe.py); returns the probe's report, saved as
    rules-CONFIG.json. Skips when the table is not there."""
    import pytest
    if not os.path.exists(os.path.join(HERE, "deployed_rules.py")):
        pytest.skip("no deployed_rules.py")
    req = {"roles": roles, "as": list(as_user) if as_user else None,
            "foreign": [list(c) for c in foreign], "jail_root": jail_root}
    argv = [*prefix, sys.executable, os.path.join(HERE, "rules_probe.py"), config, json.dumps(req)]
    p = subprocess.run(argv, capture_output=True, text=True, timeout=600)
    assert p.returncode == 0, (argv, p.stderr[-3000:])
    got = json.loads(p.stdout)
    save(f"rules-{config}.json", got)
    print(f"rules of {config}: {len(got['checked'])} checked, {len(got['failed'])} failed, "
          f"skipped {got['skipped']}")
    return got
