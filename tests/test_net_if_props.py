"""Interface properties from the interface ioctls: MTU, flags, running state,
duplex and speed (and the exported media-word decoding)."""

import ctypes
import errno
import os

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, fault
from fakebsd.ifs import iface

LIB = ctypes.CDLL(m.__file__)
nic_speed = LIB.morvex_get_nic_speed
nic_speed.restype = ctypes.c_int
nic_speed.argtypes = [ctypes.c_int]

ETHER, IEEE80211, FDX, HDX = C.IFM_ETHER, C.IFM_IEEE80211, C.IFM_FDX, C.IFM_HDX

ETHER_SPEEDS = {3: 10, 4: 10, 5: 10, 6: 100, 7: 100, 8: 100, 9: 100, 10: 100, 11: 1000, 12: 10,
                13: 10, 14: 1000, 15: 1000, 16: 1000, 17: 1, 18: 10000, 19: 10000, 20: 10000,
                21: 2500, 22: 10000, 23: 10000, 24: 0, 25: 0, 26: 10000}
WIFI_SPEEDS = {3: 1, 4: 2, 5: 1, 6: 2, 7: 5, 8: 11, 9: 22}

ALL_FLAGS = ["up", "broadcast", "debug", "loopback", "pointopoint", "running", "noarp", "promisc",
             "allmulti", "multicast", "oactive", "simplex", "link0", "link1", "link2"]

PROPS = [m.net_if_mtu, m.net_if_flags, m.net_if_is_running, m.net_if_duplex_speed]


def one(**kw):
    return {"ifs": [iface("ix0", **kw)]}


def ops(name):
    return [c for c, _ in fakebsd.calls() if c == name]


@pytest.mark.parametrize("subtype", range(32))
def test_speed_tables(subtype):
    assert nic_speed(ETHER | subtype) == ETHER_SPEEDS.get(subtype, 0)
    assert nic_speed(ETHER | subtype | FDX | C.IFM_ETH_MASTER) == ETHER_SPEEDS.get(subtype, 0)
    assert nic_speed(IEEE80211 | subtype | C.IFM_IEEE80211_11G) == WIFI_SPEEDS.get(subtype, 0)


@pytest.mark.parametrize("word", [
    ETHER | 16 | 0x0800,           # any extended-subtype bit
    ETHER | 6 | 0x4000,
    C.IFM_10G_KR, C.IFM_25G_SR, C.IFM_100G_LR4, C.IFM_2500_T,  # the named extended subtypes
    0x00 | 16, 0x40 | 16, 0x60 | 6, C.IFM_ATM | 5, 0xe0 | 16,  # other network types
    -1, 0,
])
def test_speed_zero(word):
    assert nic_speed(word) == 0


@pytest.mark.parametrize("media,expected", [
    (ETHER | C.IFM_1000_T | FDX, [2, 1000]),
    (ETHER | C.IFM_100_TX | HDX, [1, 100]),
    (ETHER | C.IFM_10G_T, [0, 10000]),
    (ETHER | C.IFM_10G_LRM | FDX, [2, 0]),
    (ETHER | C.IFM_UNKNOWN | FDX, [2, 0]),
    (C.IFM_10G_KR | FDX, [2, 0]),             # extended subtype: speed 0, duplex still read
    (ETHER | C.IFM_AUTO | FDX | HDX, [2, 0]),  # both duplex bits: full wins
    (IEEE80211 | C.IFM_IEEE80211_DS5, [0, 5]),
    (IEEE80211 | C.IFM_IEEE80211_OFDM6 | HDX, [1, 0]),
    (C.IFM_ATM | 5 | FDX, [2, 0]),
    (None, [0, 0]),                           # no media support
])
def test_duplex_speed(machine, no_leaks, media, expected):
    machine(one(media=media))
    assert m.net_if_duplex_speed("ix0") == expected
    assert ops("socket") == ["socket"] and ops("close") == ["close"]


@pytest.mark.parametrize("flags,names", [
    (0x8843, ["up", "broadcast", "running", "multicast", "simplex"]),
    (0x8049, ["up", "loopback", "running", "multicast"]),
    (0x20, []),
    (0, []),
    (0xffff, ALL_FLAGS),
    (0x18843, ["up", "broadcast", "running", "multicast", "simplex"]),  # high word not read
    (0xfff0000, []),
])
def test_flags(machine, no_leaks, flags, names):
    machine(one(flags=flags))
    assert m.net_if_flags("ix0") == names
    assert m.net_if_is_running("ix0") is bool(flags & C.IFF_RUNNING)


def test_default_machine(machine, no_leaks):
    machine()
    assert [m.net_if_mtu(n) for n in ("em0", "lo0")] == [1500, 16384]
    assert m.net_if_flags("lo0") == ["up", "loopback", "running", "multicast"]
    assert [m.net_if_duplex_speed(n) for n in ("em0", "lo0")] == [[2, 1000], [0, 0]]


@pytest.mark.parametrize("mtu", [0, 1500, 9000, 65535, -1])
def test_mtu(machine, no_leaks, mtu):
    machine(one(mtu=mtu))
    assert m.net_if_mtu("ix0") == mtu


def test_long_name_is_cut(machine, no_leaks):
    name = "abcdefghijklmno"  # 15 bytes: the longest a request holds
    machine({"ifs": [iface(name, mtu=1280, flags=0x41, media=ETHER | 6 | FDX)]})
    for asked in (name, name + "p", name + "pqrstuvwxyz"):
        assert m.net_if_mtu(asked) == 1280
        assert m.net_if_flags(asked) == ["up", "running"]
        assert m.net_if_is_running(asked) is True
        assert m.net_if_duplex_speed(asked) == [2, 100]
    assert {k.split(" ")[0] for c, k in fakebsd.calls() if c == "ioctl"} == {name}


def raises_oserror(fn, name, code, message):
    with pytest.raises(OSError) as e:
        fn(name)
    assert (e.value.errno, e.value.strerror) == (code, message)


def test_unknown_name(machine, no_leaks):
    machine()
    assert m.net_if_duplex_speed("nosuch0") == [0, 0]
    # Plain errors carry the interpreter's text; the ones naming their call
    # the platform's ("Device not configured" on FreeBSD).
    text = fakebsd.strerror(errno.ENXIO)
    raises_oserror(m.net_if_mtu, "nosuch0", errno.ENXIO, text)
    raises_oserror(m.net_if_is_running, "nosuch0", errno.ENXIO, text)
    raises_oserror(m.net_if_flags, "nosuch0", errno.ENXIO,
                   f"{fakebsd.strerror(errno.ENXIO)} (originated from ioctl(SIOCGIFFLAGS))")
    assert len(ops("socket")) == len(ops("close")) == 4


def test_socket_fails(machine, no_leaks):
    machine({"faults": [fault("socket", errno=errno.EMFILE)]})
    text = fakebsd.strerror(errno.EMFILE)
    raises_oserror(m.net_if_mtu, "em0", errno.EMFILE, text)
    raises_oserror(m.net_if_is_running, "em0", errno.EMFILE, text)
    raises_oserror(m.net_if_duplex_speed, "em0", errno.EMFILE, text)
    raises_oserror(m.net_if_flags, "em0", errno.EMFILE,
                   f"{fakebsd.strerror(errno.EMFILE)} (originated from socket(SOCK_DGRAM))")
    assert ops("ioctl") == [] and ops("close") == []


def test_ioctl_fails(machine, no_leaks):
    machine({"faults": [fault("ioctl", "em0", errno=errno.EPERM)]})
    text = fakebsd.strerror(errno.EPERM)
    with pytest.raises(PermissionError):
        m.net_if_mtu("em0")
    raises_oserror(m.net_if_is_running, "em0", errno.EPERM, text)
    raises_oserror(m.net_if_flags, "em0", errno.EPERM,
                   f"{fakebsd.strerror(errno.EPERM)} (originated from ioctl(SIOCGIFFLAGS))")
    assert m.net_if_duplex_speed("em0") == [0, 0]
    assert m.net_if_mtu("lo0") == 16384  # only the faulted name fails
    assert len(ops("socket")) == len(ops("close")) == 5


def test_failing_close_keeps_results_and_errors(machine, no_leaks):
    machine({"faults": [fault("close", errno=errno.EIO)]})
    assert m.net_if_mtu("em0") == 1500
    assert m.net_if_flags("em0")[0] == "up"
    assert m.net_if_duplex_speed("em0") == [2, 1000]
    raises_oserror(m.net_if_mtu, "nosuch0", errno.ENXIO, fakebsd.strerror(errno.ENXIO))
    with pytest.raises(OSError) as e:
        m.net_if_flags("nosuch0")
    assert e.value.errno == errno.ENXIO


@pytest.mark.parametrize("fn", PROPS)
@pytest.mark.parametrize("args,exc", [((), TypeError), ((1,), TypeError), (("a\0b",), ValueError),
                                      (("em0", "x"), TypeError)])
def test_bad_arguments(machine, no_leaks, fn, args, exc):
    machine()
    with pytest.raises(exc):
        fn(*args)
    assert ops("socket") == []


def test_results_are_fresh_objects(machine):
    machine()
    a, b = m.net_if_duplex_speed("em0"), m.net_if_duplex_speed("em0")
    assert type(a) is list and a == b and a is not b
    assert m.net_if_is_running("lo0") is True
