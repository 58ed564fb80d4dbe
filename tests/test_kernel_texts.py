"""Texts from the kernel that are not UTF-8: any process, user or
administrator can name an environment variable, a mount point, a file-system
type, an interface or a device so. Each is decoded as file names are, so the
call answers and the value gives back the kernel's bytes with os.fsencode."""

import os

import pytest

import _morvex_bsd as m
from fakebsd import C, devstat, proc, statfs
from fakebsd.ifs import iface, inet, inet6

ROOT = statfs(b"/dev/ada0p2", b"/", b"ufs", C.MNT_LOCAL)


def environ_names():
    return list(m.proc_environ(42))


def partitions(field):
    return lambda: [p[field] for p in m.disk_partitions()]


def if_addrs(field):
    return lambda: sorted({a[field] for a in m.net_if_addrs()})


# (machine, the call, the texts it answers in kernel bytes)
CASES = {
    "environ-name": (
        {"procs": [proc(42, flag=C.P_INMEM, env=[b"A=1", b"N\xff=1", b"B=\xfe"])]},
        environ_names, [b"A", b"N\xff", b"B"]),
    "mount-point": (
        {"mounts": [ROOT, statfs(b"/dev/da0s1", b"/mnt/\xe9t\xe9", b"msdosfs")]},
        partitions(1), [b"/", b"/mnt/\xe9t\xe9"]),
    "mount-device": (
        {"mounts": [ROOT, statfs(b"/dev/\xff", b"/x", b"ufs")]},
        partitions(0), [b"/dev/ada0p2", b"/dev/\xff"]),
    "fs-type": (
        {"mounts": [ROOT, statfs(b"x", b"/x", b"fs\xff")]},
        partitions(2), [b"ufs", b"fs\xff"]),
    "net-io-key": (
        {"ifs": [iface("em0"), iface(b"lo\xff1")]},
        lambda: sorted(m.net_io_counters()), [b"em0", b"lo\xff1"]),
    "if-addrs-name": (
        {"ifs": [iface("em0", addrs=[inet("10.0.0.1")]), iface(b"lo\xff1", addrs=[inet("10.0.0.2")])]},
        if_addrs(0), [b"em0", b"lo\xff1"]),
    "if-addrs-scope": (
        {"ifs": [iface(b"lo\xff1", index=5, addrs=[inet6("fe80::1", 64, scope=5)])]},
        if_addrs(2), [b"fe80::1%lo\xff1"]),
    "disk-key": (
        {"devices": [devstat(b"da", 0), devstat(b"d\xff", 3)]},
        lambda: sorted(m.disk_io_counters()), [b"da0", b"d\xff3"]),
}


@pytest.mark.parametrize("desc,call,texts", CASES.values(), ids=CASES.keys())
def test_text_not_utf8_round_trips(machine, no_leaks, desc, call, texts):
    machine(desc)
    got = call()
    assert [os.fsencode(t) for t in got] == texts


def test_interface_name_given_back(machine, no_leaks):
    # A name as net_if_addrs decoded it names the same interface again.
    machine({"ifs": [iface(b"lo\xff1", mtu=1280, flags=C.IFF_UP | C.IFF_RUNNING,
                           addrs=[inet("10.0.0.2")])]})
    name = m.net_if_addrs()[0][0]
    assert (m.net_if_mtu(name), m.net_if_flags(name), m.net_if_is_running(name)) == (
        1280, ["up", "running"], True)
    assert m.net_if_duplex_speed(name) == [0, 0]
