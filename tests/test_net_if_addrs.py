"""net_if_addrs: every address of every interface, and the exported
conversion of one socket address to text."""

import ctypes
import errno
import os

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, fault
from fakebsd.ifs import address, iface, inet, inet6, mask, sdl, sin, sin6

PYLIB = ctypes.PyDLL(m.__file__)
convert = PYLIB.morvex_convert_ipaddr
convert.restype = ctypes.py_object
convert.argtypes = [ctypes.c_char_p, ctypes.c_int]

MAC = bytes.fromhex("001a2b3c4d5e")
BRD_PTP = C.IFF_BROADCAST | C.IFF_POINTOPOINT


def one(entry_or_addr, *, flags=0):
    """A machine with one interface "ix0" (no link-level address) holding the
    given address entries; returns net_if_addrs() of it."""
    addrs = entry_or_addr if isinstance(entry_or_addr, list) else [entry_or_addr]
    return {"ifs": [iface("ix0", flags=flags, addrs=addrs)]}


def test_default_machine(machine, no_leaks):
    machine()
    assert m.net_if_addrs() == [
        ("em0", 18, "58:9c:fc:0a:1b:2c", None, None, None),
        ("em0", 2, "192.168.1.20", "255.255.255.0", "192.168.1.255", None),
        ("em0", 28, "fe80::5a9c:fcff:fe0a:1b2c%em0", "ffff:ffff:ffff:ffff::", None, None),
        ("em0", 28, "2001:db8:1::20", "ffff:ffff:ffff:ffff::", None, None),
        # lo0 and usbus0 have empty link-level addresses: no AF_LINK entry
        ("lo0", 2, "127.0.0.1", "255.0.0.0", None, None),
        ("lo0", 28, "::1", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", None, None),
        ("lo0", 28, "fe80::1%lo0", "ffff:ffff:ffff:ffff::", None, None),
    ]
    assert [c for c, _ in fakebsd.calls()].count("getifaddrs") == 1


@pytest.mark.parametrize("lladdr,text", [
    (MAC, "00:1a:2b:3c:4d:5e"),
    (b"\xff", "ff"),
    (bytes(range(20)), ":".join(f"{i:02x}" for i in range(20))),  # InfiniBand-sized
    (bytes(range(200, 255)), ":".join(f"{i:02x}" for i in range(200, 255))),  # past sdl_data[46]
])
def test_link_level_text(machine, lladdr, text):
    machine({"ifs": [iface("ib0", lladdr=lladdr)]})
    assert m.net_if_addrs() == [("ib0", C.AF_LINK, text, None, None, None)]


@pytest.mark.parametrize("link", [
    sdl("em0", MAC, alen=0),             # empty address
    sdl("em0", MAC, length=16),          # name and address run past sdl_len
    sdl("em0", MAC, alen=60),            # address length past the end
    sdl("em0", MAC, nlen=250),           # name length past the end
], ids=["empty", "short-sdl_len", "long-alen", "long-nlen"])
def test_link_level_unrenderable_is_left_out(machine, no_leaks, link):
    machine({"ifs": [iface("em0", link=link, addrs=[inet("10.0.0.1")])]})
    assert m.net_if_addrs() == [("em0", 2, "10.0.0.1", None, None, None)]


@pytest.mark.parametrize("flags,broadcast,ptp", [
    (C.IFF_BROADCAST, "10.0.0.255", None),
    (C.IFF_POINTOPOINT, None, "10.0.0.255"),
    (BRD_PTP, "10.0.0.255", None),        # broadcast wins
    (C.IFF_UP | C.IFF_RUNNING, None, None),
])
def test_broadcast_or_point_to_point(machine, flags, broadcast, ptp):
    machine(one(inet("10.0.0.1", "255.255.255.0", dst="10.0.0.255"), flags=flags))
    assert m.net_if_addrs() == [("ix0", 2, "10.0.0.1", "255.255.255.0", broadcast, ptp)]


def test_destination_absent_or_unrenderable(machine):
    machine(one([
        inet("10.0.0.1", flags=C.IFF_BROADCAST),                  # no broadcast address
        inet("10.0.0.2", flags=C.IFF_POINTOPOINT),                # no destination
        address(sin("10.0.0.3"), dst=sin6("::1"), flags=BRD_PTP),  # family not the entry's
        inet6("fd00::1", 64, dst="fd00::2", flags=C.IFF_POINTOPOINT),
    ]))
    assert m.net_if_addrs() == [
        ("ix0", 2, "10.0.0.1", None, None, None),
        ("ix0", 2, "10.0.0.2", None, None, None),
        ("ix0", 2, "10.0.0.3", None, None, None),
        ("ix0", 28, "fd00::1", "ffff:ffff:ffff:ffff::", None, "fd00::2"),
    ]


@pytest.mark.parametrize("dst,broadcast", [
    (None, None),
    (sdl("em0", b"\xff" * 6), "ff:ff:ff:ff:ff:ff"),
    (sin("10.0.0.255"), None),            # converted as a link-level address: not one
], ids=["none", "link", "inet"])
def test_link_entry_broadcast_uses_link_family(machine, dst, broadcast):
    machine(one(address(sdl("em0", MAC), dst=dst, flags=C.IFF_BROADCAST)))
    assert m.net_if_addrs() == [("ix0", C.AF_LINK, "00:1a:2b:3c:4d:5e", None, broadcast, None)]


def test_entries_left_out(machine, no_leaks):
    machine(one([
        address(None, netmask=sin("255.0.0.0")),                  # no address
        address(b"\x10\x01" + b"/tmp/sock".ljust(14, b"\0")),     # AF_UNIX
        address(sin("10.0.0.1", family=0)),                      # AF_UNSPEC
        inet("10.9.9.9", "255.0.0.0"),                            # getnameinfo fails below
        inet("10.0.0.2", "255.0.0.0"),
    ]) | {"faults": [fault("getnameinfo", "10.9.9.9", errno=0)]})
    assert m.net_if_addrs() == [("ix0", 2, "10.0.0.2", "255.0.0.0", None, None)]


def test_unrenderable_netmask_is_none(machine):
    machine(one([
        address(sin("10.0.0.1"), netmask=sin("255.255.0.0", family=0)),
        inet("10.0.0.2", "255.255.255.0"),
    ]) | {"faults": [fault("getnameinfo", "255.255.255.0", errno=errno.EIO)]})
    assert m.net_if_addrs() == [
        ("ix0", 2, "10.0.0.1", None, None, None),
        ("ix0", 2, "10.0.0.2", None, None, None),
    ]


def test_ipv4_netmask_under_an_ipv6_entry_is_rendered(machine, no_leaks):
    # The netmask is converted at the length of the entry's family (an IPv6
    # address); FreeBSD's getnameinfo takes a longer length than an IPv4
    # address's and renders it.
    machine(one([address(sin6("2001:db8::1"), netmask=sin("255.255.255.0")),
                 address(sin("10.0.0.1"), netmask=mask(64, C.AF_INET6))]))
    assert m.net_if_addrs() == [("ix0", 28, "2001:db8::1", "255.255.255.0", None, None),
                                ("ix0", 2, "10.0.0.1", None, None, None)]


def test_no_interfaces(machine, no_leaks):
    machine({"ifs": []})
    assert m.net_if_addrs() == []


def test_getifaddrs_fails(machine, no_leaks):
    machine({"faults": [fault("getifaddrs", errno=errno.ENOMEM)]})
    with pytest.raises(OSError) as e:
        m.net_if_addrs()
    assert (e.value.errno, e.value.strerror) == (errno.ENOMEM, fakebsd.strerror(errno.ENOMEM))


@pytest.mark.parametrize("desc,field,text", [
    # an address text that is not UTF-8
    (one([inet("10.0.0.1"), inet("10.0.0.2")])
     | {"faults": [fault("getnameinfo", "10.0.0.2", answer=b"10.0.0.\xff")]}, 2, "10.0.0.\udcff"),
    # a netmask text that is not UTF-8
    (one([inet("10.0.0.1", "255.0.0.0")])
     | {"faults": [fault("getnameinfo", "255.0.0.0", answer=b"\xfe")]}, 3, "\udcfe"),
    # an interface name that is not UTF-8
    ({"ifs": [iface("em0", lladdr=MAC), iface(b"bad\xff0", addrs=[inet("10.0.0.3")])]}, 0, "bad\udcff0"),
], ids=["address", "netmask", "name"])
def test_text_not_utf8_is_escaped(machine, no_leaks, desc, field, text):
    machine(desc)
    assert m.net_if_addrs()[-1][field] == text


def test_arguments_are_ignored(machine):
    machine({"ifs": [iface("em0", lladdr=MAC)]})
    assert m.net_if_addrs(1, "x") == [("em0", 18, "00:1a:2b:3c:4d:5e", None, None, None)]


@pytest.mark.parametrize("sa,family,text", [
    (None, C.AF_INET, None),
    (None, C.AF_LINK, None),
    (sin("192.0.2.7"), C.AF_INET, "192.0.2.7"),
    (sin6("2001:db8::7"), C.AF_INET6, "2001:db8::7"),
    (mask(64, C.AF_INET6), C.AF_INET6, "ffff:ffff:ffff:ffff::"),
    (sin6("fe80::7", 1), C.AF_INET6, "fe80::7%em0"),
    (sdl("em0", MAC), C.AF_LINK, "00:1a:2b:3c:4d:5e"),
    (sdl("em0", MAC), 7, "00:1a:2b:3c:4d:5e"),      # other families: the address's own decides
    (sin("192.0.2.7"), C.AF_LINK, None),
    (sin("192.0.2.7"), 0, None),
    (sdl("em0", b""), C.AF_LINK, None),
    (sdl("em0", MAC, length=16), C.AF_LINK, None),  # would run past sdl_len
    (sdl("", MAC, length=14), C.AF_LINK, "00:1a:2b:3c:4d:5e"),  # exactly fits
    # Converted at the entry's family's length: FreeBSD's getnameinfo renders
    # an IPv4 address given more room than its structure, and refuses an IPv6
    # one given less.
    (sin("255.255.255.0"), C.AF_INET6, "255.255.255.0"),
    (sin6("2001:db8::7"), C.AF_INET, None),
], ids=["null-inet", "null-link", "inet", "inet6", "v6-netmask", "v6-scope", "link", "link-as-7",
        "inet-as-link", "inet-as-0", "link-empty", "link-past-sdl_len", "link-exact",
        "inet-as-inet6", "inet6-as-inet"])
def test_convert_ipaddr(machine, sa, family, text):
    machine()
    if sa is not None and sa[1] == C.AF_LINK:
        sa = sa[:max(sa[0], 8)]  # only as many bytes as sdl_len says
    assert convert(sa, family) == text
