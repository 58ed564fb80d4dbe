"""net_io_counters: per-interface traffic counters from the routing socket's
interface list, and the walk over malformed answers."""

import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, fault
from fakebsd.ifs import IFLIST, iface, ifinfo, inet, inet6, message, newaddr, sdl, sin

COUNTERS = dict(obytes=1, ibytes=2, opackets=3, ipackets=4, ierrors=5, oerrors=6, iqdrops=7)
TUPLE = (1, 2, 3, 4, 5, 6, 7, 0)


def answer(*messages):
    """A machine whose interface list is exactly these bytes."""
    return {"faults": [fault("sysctl", IFLIST, answer=b"".join(messages))]}


def test_default_machine(machine):
    machine()
    assert m.net_io_counters() == {
        "em0": (123456789, 987654321, 654321, 1234567, 3, 1, 7, 0),  # oqdrops is 5
        "lo0": (5242880, 5242880, 40960, 40960, 0, 0, 0, 0),
    }
    assert ("sysctl", "4.17.0.0.3.0") in fakebsd.calls()


def test_counter_positions(machine):
    big = 2**64 - 1
    machine({"ifs": [iface("em0", **COUNTERS, oqdrops=99, collisions=8),
                     iface("em1", obytes=big, ibytes=big - 1, iqdrops=big)]})
    assert m.net_io_counters() == {"em0": TUPLE, "em1": (big, big - 1, 0, 0, 0, 0, big, 0)}


def test_one_entry_per_interface(machine):
    addrs = [inet("10.0.0.1", "255.0.0.0", dst="10.255.255.255"), inet6("fd00::1", 64),
             inet("10.0.0.2")]
    machine({"ifs": [iface("em0", addrs=addrs, **COUNTERS)]})
    assert m.net_io_counters() == {"em0": TUPLE}


@pytest.mark.parametrize("name,listed", [
    ("usbus0", False), ("usbus12", False), ("usbusy", False),
    ("usb0", True), ("usbu", True), ("usbu0", True), ("xusbus0", True),
])
def test_usbus_is_skipped(machine, name, listed):
    machine({"ifs": [iface(name, **COUNTERS), iface("em0")]})
    assert (name in m.net_io_counters()) is listed


def test_later_duplicate_wins(machine):
    machine({"ifs": [iface("em0", obytes=1), iface("em1", obytes=2), iface("em0", obytes=3)]})
    assert m.net_io_counters() == {"em0": (3, 0, 0, 0, 0, 0, 0, 0),
                                   "em1": (2, 0, 0, 0, 0, 0, 0, 0)}


@pytest.mark.parametrize("messages", [
    (),
    (newaddr(sin("10.0.0.1")),),
    (message(C.RTM_IFANNOUNCE, bytes(20)), newaddr(sin("10.0.0.1"), sin("255.0.0.0"))),
], ids=["empty", "address-only", "other-types"])
def test_no_interface_messages(machine, messages):
    machine(answer(*messages))
    assert m.net_io_counters() == {}


def test_other_messages_are_stepped_over(machine):
    machine(answer(message(C.RTM_IFANNOUNCE, bytes(30)), ifinfo("em0", **COUNTERS),
                   newaddr(sin("10.0.0.1")), message(99, b"\x0e" * 200), ifinfo("lo0")))
    assert m.net_io_counters() == {"em0": TUPLE, "lo0": (0,) * 8}


@pytest.mark.parametrize("name,key", [
    ("x" * 40, "x" * 31),       # longer than the name buffer: cut
    ("a" * 31, "a" * 31),
    ("em\0zz", "em"),           # the name ends at a NUL byte
])
def test_name_forms(machine, name, key):
    machine(answer(ifinfo(name, obytes=9)))
    assert m.net_io_counters() == {key: (9, 0, 0, 0, 0, 0, 0, 0)}


def test_long_name_in_interface_table(machine):
    machine({"ifs": [iface("e" * 100, obytes=4)]})
    assert m.net_io_counters() == {"e" * 31: (4, 0, 0, 0, 0, 0, 0, 0)}


def test_name_not_utf8(machine):
    machine(answer(ifinfo("em0"), ifinfo(b"em\xff1")))
    assert sorted(m.net_io_counters()) == ["em0", "em\udcff1"]


GOOD = ifinfo("em0", **COUNTERS)


@pytest.mark.parametrize("messages", [
    (message(C.RTM_IFINFO, bytes(200), msglen=0),),              # length 0: no progress
    (GOOD, message(C.RTM_NEWADDR, bytes(40), msglen=0)),
    (GOOD, message(C.RTM_NEWADDR, bytes(40), msglen=3)),        # shorter than its header
    (GOOD, message(C.RTM_NEWADDR, bytes(40), msglen=1)),
    (GOOD, message(C.RTM_NEWADDR, bytes(40), msglen=45)),       # past the end of the answer
    (ifinfo("em0", msglen=len(GOOD) + 1),),
    (GOOD, b"\x04\x00"),                                        # a partial header at the end
    (GOOD, b"\x00"),
    (message(C.RTM_IFINFO, bytes(100)),),                       # shorter than struct if_msghdr
    (message(C.RTM_IFINFO, bytes(168 + 7 - 4)),),               # sockaddr_dl header cut
    (ifinfo("em0", link=sdl("em0", nlen=200)),),                # name past the message
    (ifinfo("em0", msglen=168 + 8 + 2)[:168 + 8 + 2],),         # message ends inside the name
], ids=["zero", "zero-later", "short-3", "short-1", "past-end", "past-end-first",
        "partial-header", "one-byte", "short-ifinfo", "cut-sockaddr", "name-past-message",
        "cut-name"])
def test_malformed_answer(machine, messages):
    machine(answer(*messages))
    with pytest.raises(RuntimeError, match=r"^sysctl\(NET_RT_IFLIST\) "):
        m.net_io_counters()


def test_query_fails(machine):
    machine({"faults": [fault("sysctl", IFLIST, errno=errno.EACCES)]})
    with pytest.raises(PermissionError) as e:
        m.net_io_counters()
    assert e.value.strerror == f"{fakebsd.strerror(errno.EACCES)} (originated from sysctl() malloc 1/3)"


def test_answer_grows_between_measure_and_fetch(machine):
    small, large = ifinfo("em0", **COUNTERS), ifinfo("em0") + ifinfo("em1", obytes=5)
    machine({"faults": [fault("sysctl", IFLIST, answers=[small, large, large, large])]})
    assert m.net_io_counters() == {"em0": (0,) * 8, "em1": (5, 0, 0, 0, 0, 0, 0, 0)}


def test_arguments_are_ignored(machine):
    machine({"ifs": [iface("em0", **COUNTERS)]})
    assert m.net_io_counters(1, 2, 3) == {"em0": TUPLE}
