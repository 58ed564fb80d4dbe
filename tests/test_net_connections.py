"""The system-wide socket table: the file table joined with the TCP, UDP and
UNIX-domain lists, the two filters, re-reads and malformed kernel answers."""

import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, Sockets, fault
from fakebsd.socks import pcblist, xfile, xinpcb, xinpgen, xtcpcb, xunpcb, xunpgen

NONE = m.MORVEX_CONN_NONE
ALL = ([1, 2, 28], [1, 2])
LISTS = ["net.inet.tcp.pcblist", "net.inet.udp.pcblist", "net.local.stream.pcblist",
         "net.local.dgram.pcblist"]


def reads(name):
    return sum(1 for c, k in fakebsd.calls() if c == "sysctlbyname" and k == name)


def read_names():
    """The names read, in the order first read."""
    return list(dict.fromkeys(k for c, k in fakebsd.calls() if c == "sysctlbyname"))


def world():
    """One socket of every kind, in a known order, each with an owner, plus
    sockets nobody holds: a connection in TIME_WAIT and one still in the
    syncache (both without a socket), an unbound UNIX socket, and a
    seqpacket socket, whose list is never read."""
    w = Sockets()
    w.file(10, 0, b"/dev/null")
    w.tcp(("10.0.0.1", 22), holders=[(10, 3)])
    w.tcp(("::", 22), holders=[(10, 4)])
    w.tcp(("10.0.0.1", 22), ("10.0.0.9", 40000), C.TCPS_ESTABLISHED, holders=[(11, 3)])
    w.tcp(("10.0.0.1", 80), ("10.0.0.8", 41000), C.TCPS_TIME_WAIT, so=0)   # no holder
    w.syn(("10.0.0.1", 22), ("10.0.0.7", 40001))
    w.udp(("0.0.0.0", 53), holders=[(12, 5)])
    w.udp(("fe80::1", 53), ("fe80::2", 5353), holders=[(12, 6)])
    w.unix("stream", b"/var/run/s.sock", holders=[(13, 3)])
    w.unix("stream", None, holders=[(14, 7)])
    w.unix("stream", b"/tmp/nobody")                                         # no holder
    w.unix("dgram", b"/var/run/log", holders=[(13, 4)])
    w.unix("seqpacket", b"/var/run/devd.seqpacket.pipe", holders=[(13, 5)])
    return w


EXPECTED = [
    (3, 2, 1, ("10.0.0.1", 22), (), C.TCPS_LISTEN, 10),
    (4, 28, 1, ("::", 22), (), C.TCPS_LISTEN, 10),
    (3, 2, 1, ("10.0.0.1", 22), ("10.0.0.9", 40000), C.TCPS_ESTABLISHED, 11),
    (5, 2, 2, ("0.0.0.0", 53), (), NONE, 12),
    (6, 28, 2, ("fe80::1", 53), ("fe80::2", 5353), NONE, 12),
    (3, 1, 1, "/var/run/s.sock", "", NONE, 13),
    (7, 1, 1, "", "", NONE, 14),
    (4, 1, 2, "/var/run/log", "", NONE, 13),
]


def test_entries_and_order(machine, no_leaks):
    machine(world().desc())
    result = m.net_connections(*ALL)
    assert result == EXPECTED
    assert all(type(x) is int for e in result for x in (e[0], e[1], e[2], e[5], e[6]))
    assert read_names() == ["kern.file"] + LISTS


@pytest.mark.parametrize("families,types,entries,lists", [
    ([], [], [], []),
    ([1], [], [5, 6, 7], LISTS[2:]),
    ([2], [1], [0, 2], LISTS[:1]),
    ([28], [2], [4], LISTS[1:2]),
    ([2, 28], [2], [3, 4], LISTS[1:2]),
    # the inet lists are read for their type even when no inet family is wanted
    ([1], [1, 2], [5, 6, 7], LISTS),
    ((2, 28, 1), range(1, 3), list(range(8)), LISTS),
    ([2.0], [True], [0, 2], LISTS[:1]),           # objects equal to the ints
])
def test_filters(machine, families, types, entries, lists):
    machine(world().desc())
    assert m.net_connections(families, types) == [EXPECTED[i] for i in entries]
    assert read_names() == ["kern.file"] + lists


@pytest.mark.parametrize("families,listed", [([2], False), ([28], False), ([2, 28], True)])
def test_dual_stack_block(machine, families, listed):
    w = Sockets()
    w.tcp(("192.0.2.1", 8080), ("192.0.2.2", 1234), C.TCPS_ESTABLISHED,
          vflag=C.INP_IPV4 | C.INP_IPV6, holders=[(5, 9)])
    machine(w.desc())
    expected = [(9, 2, 1, ("192.0.2.1", 8080), ("192.0.2.2", 1234), C.TCPS_ESTABLISHED, 5)]
    assert m.net_connections(families, [1]) == (expected if listed else [])


def test_block_of_neither_family_is_skipped(machine):
    w = Sockets()
    w.udp(("192.0.2.1", 9), vflag=0, holders=[(5, 3)])
    w.udp(("192.0.2.1", 10), holders=[(5, 4)])
    machine(w.desc())
    assert m.net_connections([2, 28], [2]) == [(4, 2, 2, ("192.0.2.1", 10), (), NONE, 5)]


def test_foreign_port_zero_gives_empty_raddr(machine):
    w = Sockets()
    w.tcp(("192.0.2.1", 7), ("192.0.2.99", 0), C.TCPS_SYN_SENT, holders=[(5, 3)])
    machine(w.desc())
    assert m.net_connections([2], [1]) == [(3, 2, 1, ("192.0.2.1", 7), (), C.TCPS_SYN_SENT, 5)]


def test_first_file_table_record_wins(machine):
    w = Sockets()
    so = w.tcp(("192.0.2.1", 80), holders=[(30, 6), (31, 6), (20, 4)])
    w.file(40, 3)
    w.unix("dgram", b"/s", holders=[(41, 8)])
    w.hold(42, 1, so, b"")          # one more descriptor of the listener, later
    machine(w.desc())
    assert m.net_connections(*ALL) == [(6, 2, 1, ("192.0.2.1", 80), (), C.TCPS_LISTEN, 30),
                                       (8, 1, 2, "/s", "", NONE, 41)]


def test_descriptor_without_an_object_owns_no_socket(machine):
    # A file still being opened has no object (xf_data 0); the blocks without
    # a socket (TIME_WAIT, the syncache's) carry 0 as their socket's address.
    w = world()
    w.files.insert(0, xfile(15, 9, 0, type=1))
    machine(w.desc())
    assert m.net_connections(*ALL) == EXPECTED


def test_matching_on_the_socket_address_only(machine):
    # The join is on the kernel address alone, whatever the descriptor type.
    w = Sockets()
    so = w.udp(("192.0.2.1", 69))
    w.files.append(xfile(77, 12, so, type=1))
    machine(w.desc())
    assert m.net_connections([2], [2]) == [(12, 2, 2, ("192.0.2.1", 69), (), NONE, 77)]


@pytest.mark.parametrize("path,sun_len,expected", [
    (None, None, ""),                                   # unbound: all zero
    (b"/var/run/x", None, "/var/run/x"),                # no NUL: sun_len ends it
    (b"/var/run/x", 2 + 4, "/var"),
    (b"/var/run/x", 2, ""),
    (b"/var/run/x", 1, ""),
    (b"/var/run/x", 106, "/var/run/x"),                 # NUL ends it early
    (b"/a\0b", None, "/a"),
    (b"/tmp/caf\xe9", None, "/tmp/caf\udce9"),          # undecodable: escaped
    (b"p" * 104, 255, "p" * 104),                       # never past sun_path
])
def test_unix_paths(machine, path, sun_len, expected):
    w = Sockets()
    w.unix("stream", path, sun_len=sun_len, holders=[(3, 3)])
    # what lies after sun_path in the record is never part of the path
    rec = bytearray(w.lists["unix_stream"][0])
    rec[258:262] = b"TAIL"
    w.lists["unix_stream"][0] = bytes(rec)
    machine(w.desc())
    assert m.net_connections([1], []) == [(3, 1, 1, expected, "", NONE, 3)]


def test_empty_file_table_lists_nothing(machine):
    machine({**world().desc(), "faults": [fault("sysctlbyname", "kern.file", answer=b"")]})
    assert m.net_connections(*ALL) == []
    assert read_names() == ["kern.file"] + LISTS


def test_default_machine(machine):
    machine()
    result = m.net_connections(*ALL)
    by_port = {e[3][1]: e for e in result if e[1] != 1 and e[2] == 1 and e[4] == ()}
    # Shared sockets go to the first holder in the file table, which lists
    # the newest process first: nginx's last worker, the user's sshd-session.
    assert by_port[80][6] == 803 and by_port[443][6] == 803
    assert (8, 2, 1, ("192.168.1.20", 22), ("192.168.1.50", 52814), C.TCPS_ESTABLISHED, 1206) in result
    # Blocks without a socket (TIME_WAIT, the syncache's) have no holder;
    # nor is the seqpacket list read.
    assert all(e[5] not in (C.TCPS_TIME_WAIT, C.TCPS_SYN_RECEIVED) for e in result)
    assert all(e[3] != "/var/run/devd.seqpacket.pipe" for e in result)
    assert (3, 2, 2, ("0.0.0.0", 123), (), NONE, 612) in result
    assert any(e[1:4] == (1, 2, "/var/run/log") and e[6] == 455 for e in result)
    assert [e[1] for e in result] == sorted((e[1] for e in result), key=lambda f: f == 1)


# ---- arguments ------------------------------------------------------------

class Raising:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise LookupError("no membership today")


@pytest.mark.parametrize("args", [(2, [1]), ([2], 1), ({2: 1}, [1]), ([2], None)])
def test_non_sequence_arguments(machine, args):
    machine()
    with pytest.raises(TypeError, match=r"^arg 2 or 3 is not a sequence$"):
        m.net_connections(*args)
    assert read_names() == []


@pytest.mark.parametrize("args", [(Raising(), [1]), ([2], Raising())])
def test_membership_test_raising(machine, args):
    machine()
    with pytest.raises(LookupError, match="no membership today"):
        m.net_connections(*args)
    assert read_names() == []


def test_argument_count():
    with pytest.raises(TypeError):
        m.net_connections([2])


# ---- reading: growth, re-reads, errors ------------------------------------------

def test_lists_and_file_table_grow(machine):
    w = Sockets()
    for i in range(30):                     # 64 + 30 * 744 + 64 bytes: 8192 -> 16384 -> 32768
        w.tcp(("192.0.2.1", 1000 + i), holders=[(7, 10 + i)])
    machine(w.desc())
    result = m.net_connections([2], [1])
    assert [e[0] for e in result] == list(range(10, 40))
    assert reads("net.inet.tcp.pcblist") == 3
    assert reads("kern.file") == 6          # 128 .. 4096 bytes for 30 records of 128


def test_file_table_grows_when_the_failed_read_leaves_no_length(machine):
    # A failed read that reports a length of 0 must not stop the growth.
    machine({**world().desc(),
             "faults": [fault("sysctlbyname", "kern.file", report=0, times=2)]})
    assert m.net_connections(*ALL) == EXPECTED
    assert reads("kern.file") == 5           # 128, 256, 512, 1024 fail; 2048 holds 9 records


@pytest.mark.parametrize("name", ["kern.file"] + LISTS)
def test_growth_is_bounded(machine, no_leaks, name):
    machine({**world().desc(), "faults": [fault("sysctlbyname", name, errno=errno.ENOMEM)]})
    with pytest.raises(RuntimeError, match=rf"^sysctlbyname\('{name}'\) buffer allocation retry limit exceeded$"):
        m.net_connections(*ALL)
    start = 128 if name == "kern.file" else 8192
    assert reads(name) == (1 << 32).bit_length() - start.bit_length() + 1


@pytest.mark.parametrize("name", ["kern.file"] + LISTS)
@pytest.mark.parametrize("err,cls", [(errno.EACCES, PermissionError), (errno.EIO, OSError)])
def test_read_errors(machine, no_leaks, name, err, cls):
    machine({**world().desc(), "faults": [fault("sysctlbyname", name, errno=err, nth=1)]})
    with pytest.raises(cls) as e:
        m.net_connections(*ALL)
    assert e.value.errno == err
    assert read_names()[-1] == name


def test_error_after_a_growing_read(machine):
    machine({**world().desc(), "faults": [
        fault("sysctlbyname", "kern.file", errno=errno.ENOMEM, times=2),
        fault("sysctlbyname", "kern.file", errno=errno.EPERM)]})
    with pytest.raises(PermissionError):
        m.net_connections(*ALL)
    assert reads("kern.file") == 3


@pytest.mark.parametrize("key,name", [("tcp", LISTS[0]), ("udp", LISTS[1]),
                                      ("unix_stream", LISTS[2]), ("unix_dgram", LISTS[3])])
@pytest.mark.parametrize("mismatched,count", [(0, 1), (1, 2), (3, 4), (5, 6), (6, 6), (50, 6)])
def test_generation_rereads(machine, key, name, mismatched, count):
    machine(world().desc(gen_mismatch={key: mismatched}))
    assert m.net_connections(*ALL) == EXPECTED      # the last answer is used after five re-reads
    assert reads(name) == count
    assert all(reads(n) == 1 for n in LISTS if n != name)


def test_generation_reread_keeps_the_buffer_size(machine):
    w = world()
    for i in range(17):
        w.tcp(("192.0.2.1", 2000 + i))          # 64 + 21 * 744 + 64 bytes: a 16384-byte buffer
    # The answer that did not fit counts as one of the three.
    machine(w.desc(gen_mismatch={"tcp": 3}))
    assert m.net_connections([2, 28], [1]) == EXPECTED[:3]
    assert reads(LISTS[0]) == 4                 # 8192, then 16384 three times


# ---- malformed answers -------------------------------------------------------

TCP = xtcpcb(0x1000, ("192.0.2.1", 22))
UDP = xinpcb(0x2000, ("192.0.2.1", 53))
UNX = xunpcb(0x3000, b"/s")
HEAD, TAIL = xinpgen(1), xinpgen(1)
UHEAD = xunpgen(1)


def cut(record, n):
    return record[:n]


def with_len(record, n):
    return n.to_bytes(8, "little") + record[8:]


MALFORMED = [
    ("kern.file", xfile(1, 1, 0x1000, xf_size=64), "struct xfile size mismatch"),
    ("kern.file", xfile(1, 1, 0x1000, xf_size=0), "struct xfile size mismatch"),
    ("kern.file", b"\x80\0\0", "struct xfile size mismatch"),
    # lists too short for a header and a trailer
    (LISTS[0], b"", "struct xinpgen size mismatch"),
    (LISTS[0], HEAD, "struct xinpgen size mismatch"),
    (LISTS[0], HEAD + TAIL[:63], "struct xinpgen size mismatch"),
    (LISTS[2], UHEAD, "struct xinpgen size mismatch"),
    (LISTS[3], UHEAD + UHEAD[:31], "struct xinpgen size mismatch"),
    # header or trailer of the wrong size
    (LISTS[0], with_len(HEAD, 32) + TCP + TAIL, "struct xinpgen size mismatch"),
    (LISTS[1], HEAD + UDP + with_len(TAIL, 0), "struct xinpgen size mismatch"),
    (LISTS[2], pcblist([UNX], unix=True, header=HEAD), "struct xinpgen size mismatch"),
    (LISTS[3], pcblist([UNX], unix=True, trailer=with_len(UHEAD, 64)), "struct xinpgen size mismatch"),
    # records of the wrong size, of size 0, or running past the trailer
    (LISTS[0], pcblist([with_len(TCP, 0)]), "struct xtcpcb size mismatch"),
    (LISTS[0], pcblist([with_len(TCP, 743) + b"\0"]), "struct xtcpcb size mismatch"),
    (LISTS[0], pcblist([TCP, with_len(TCP, 400)[:400]]), "struct xtcpcb size mismatch"),
    (LISTS[0], pcblist([TCP, TCP[:700]]), "struct xtcpcb size mismatch"),
    (LISTS[0], pcblist([TCP, TCP[:4]]), "struct xtcpcb size mismatch"),
    (LISTS[0], pcblist([UDP]), "struct xtcpcb size mismatch"),
    (LISTS[1], pcblist([with_len(UDP, 0)]), "struct xinpcb size mismatch"),
    (LISTS[1], pcblist([UDP, UDP[:399]]), "struct xinpcb size mismatch"),
    (LISTS[1], pcblist([TCP]), "struct xinpcb size mismatch"),
    (LISTS[2], pcblist([with_len(UNX, 0)], unix=True), "struct xunpcb size mismatch"),
    (LISTS[3], pcblist([UNX[:900]], unix=True), "struct xunpcb size mismatch"),
    (LISTS[2], pcblist([with_len(UNX, 1 << 63)], unix=True), "struct xunpcb size mismatch"),
]


@pytest.mark.parametrize("name,answer,text", MALFORMED)
def test_malformed_answers(machine, no_leaks, name, answer, text):
    machine({**world().desc(), "faults": [fault("sysctlbyname", name, answer=answer)]})
    with pytest.raises(RuntimeError) as e:
        m.net_connections(*ALL)
    assert str(e.value) == text


@pytest.mark.parametrize("name,text", [
    ("kern.file", "struct xfile size mismatch"),
    (LISTS[0], "struct xinpgen size mismatch"),
    (LISTS[3], "struct xinpgen size mismatch"),
])
def test_answer_longer_than_the_buffer(machine, name, text):
    # The kernel claims more bytes than the buffer holds: nothing past it is read.
    machine({**world().desc(), "faults": [fault("sysctlbyname", name, report=1 << 40)]})
    with pytest.raises(RuntimeError) as e:
        m.net_connections(*ALL)
    assert str(e.value) == text


def test_record_counts_need_not_match_the_header(machine):
    # The header's count is not used; the walk follows the records' own lengths.
    answer = pcblist([xtcpcb(0x1000, ("192.0.2.1", 22))], header=xinpgen(9))
    machine({"socks": {"files": [xfile(4, 3, 0x1000)]},
             "faults": [fault("sysctlbyname", LISTS[0], answer=answer)]})
    assert m.net_connections([2], [1]) == [(3, 2, 1, ("192.0.2.1", 22), (), C.TCPS_LISTEN, 4)]
