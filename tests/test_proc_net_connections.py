"""One process's sockets: its descriptor table, the filters, the TCP state
looked up by endpoints, and the TCP list read with growth and re-reads."""

import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, Sockets, fault, proc
from fakebsd.socks import kinfo_socket, kinfo_vnode, pcblist, xinpgen, xtcpcb

NONE = m.MORVEX_CONN_NONE
TCPLIST = "net.inet.tcp.pcblist"
PID = 40


def reads(name=TCPLIST):
    return sum(1 for c, k in fakebsd.calls() if c == "sysctlbyname" and k == name)


def world():
    """Process 40's descriptors: a file, TCP and UDP sockets of both families,
    UNIX sockets of both types, and sockets of other domains and types."""
    w = Sockets()
    w.file(PID, 0, b"/var/log/app.log")
    w.tcp(("10.0.0.1", 8080), holders=[(PID, 3)])
    w.tcp(("10.0.0.1", 8080), ("10.0.0.7", 50000), C.TCPS_ESTABLISHED, holders=[(PID, 4)])
    w.tcp(("2001:db8::1", 443), ("2001:db8::9", 60000), C.TCPS_CLOSE_WAIT, holders=[(PID, 5)])
    w.udp(("0.0.0.0", 53), holders=[(PID, 6)])
    w.udp(("::1", 53), ("::1", 5000), holders=[(PID, 7)])
    w.unix("stream", b"/var/run/app.sock", holders=[(PID, 8)])
    w.unix("dgram", None, holders=[(PID, 9)])
    w.proc_files[PID] += [
        kinfo_socket(10, C.AF_ROUTE, C.SOCK_RAW),
        kinfo_socket(11, C.AF_INET, C.SOCK_SEQPACKET, C.IPPROTO_SCTP, ("10.0.0.1", 9), None),
        kinfo_socket(12, C.AF_INET, C.SOCK_STREAM, C.IPPROTO_TCP, ("10.0.0.1", 7777), ("10.0.0.2", 1)),
    ]
    w.tcp(("10.0.0.1", 22), ("10.0.0.3", 3333), C.TCPS_ESTABLISHED, holders=[(41, 3)])
    w.syn(("10.0.0.1", 8080), ("10.0.0.8", 50001))     # first in the list, no socket
    return w


EXPECTED = {
    3: (3, 2, 1, ("10.0.0.1", 8080), (), C.TCPS_LISTEN),
    4: (4, 2, 1, ("10.0.0.1", 8080), ("10.0.0.7", 50000), C.TCPS_ESTABLISHED),
    5: (5, 28, 1, ("2001:db8::1", 443), ("2001:db8::9", 60000), C.TCPS_CLOSE_WAIT),
    6: (6, 2, 2, ("0.0.0.0", 53), (), NONE),
    7: (7, 28, 2, ("::1", 53), ("::1", 5000), NONE),
    8: (8, 1, 1, "/var/run/app.sock", "", NONE),
    9: (9, 1, 2, "", "", NONE),
    11: (11, 2, 5, ("10.0.0.1", 9), (), NONE),
    12: (12, 2, 1, ("10.0.0.1", 7777), ("10.0.0.2", 1), NONE),   # no TCP record
}


def expected(*fds):
    return [EXPECTED[fd] for fd in fds]


def test_entries_in_descriptor_order(machine, no_leaks):
    machine(world().desc())
    result = m.proc_net_connections(PID, [1, 2, 28, 17], [1, 2, 3, 5])
    assert result == expected(3, 4, 5, 6, 7, 8, 9, 11, 12)
    assert all(len(e) == 6 for e in result)
    assert reads() == 1


@pytest.mark.parametrize("families,types,fds", [
    ([1], [1], [8]),                       # UNIX sockets are filtered by type here
    ([1], [2], [9]),
    ([1], [], []),
    ([2], [1], [3, 4, 12]),
    ([28], [1, 2], [5, 7]),
    ([2, 28], [2], [6, 7]),
    ([2], [5], [11]),
    ([17, 2], [3], []),                    # other domains are never listed
    ((1, 2, 28), range(1, 3), [3, 4, 5, 6, 7, 8, 9, 12]),
    ([], [], []),
])
def test_filters(machine, families, types, fds):
    machine(world().desc())
    assert m.proc_net_connections(PID, families, types) == expected(*fds)
    assert reads() == 1                    # whatever the filters


def test_process_without_sockets(machine):
    w = world()
    w.file(50, 0)
    machine(w.desc())
    assert m.proc_net_connections(50, [1, 2, 28], [1, 2]) == []
    assert reads() == 1


def test_process_without_sockets_still_needs_the_list(machine):
    w = world()
    w.file(50, 0)
    machine({**w.desc(), "faults": [fault("sysctlbyname", TCPLIST, errno=errno.EACCES)]})
    with pytest.raises(PermissionError):
        m.proc_net_connections(50, [2], [1])


def test_empty_descriptor_table(machine):
    machine({**world().desc(), "procs": [proc(50)]})
    assert m.proc_net_connections(50, [2], [1]) == []
    assert reads() == 1


# ---- the TCP state search ---------------------------------------------------

def one_socket(kinfo, records):
    return {"procs": [proc(PID, files=[kinfo])], "socks": {"tcp": records}}


V4 = kinfo_socket(3, C.AF_INET, C.SOCK_STREAM, C.IPPROTO_TCP, ("192.0.2.1", 80), ("192.0.2.2", 4000))
V6 = kinfo_socket(3, C.AF_INET6, C.SOCK_STREAM, C.IPPROTO_TCP, ("2001:db8::1", 80), ("2001:db8::2", 4000))
EST = C.TCPS_ESTABLISHED


@pytest.mark.parametrize("kinfo,records,state", [
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST)], EST),
    # the first matching record wins
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), C.TCPS_FIN_WAIT_1),
          xtcpcb(2, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST)], C.TCPS_FIN_WAIT_1),
    # each endpoint counts
    (V4, [xtcpcb(1, ("192.0.2.1", 81), ("192.0.2.2", 4000), EST)], NONE),
    (V4, [xtcpcb(1, ("192.0.2.9", 80), ("192.0.2.2", 4000), EST)], NONE),
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4001), EST)], NONE),
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.9", 4000), EST)], NONE),
    # and so do the socket's type, family and protocol
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST, so_type=2)], NONE),
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST, protocol=132)], NONE),
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST,
                 **{"xt_inp.xi_socket.xso_family": 28})], NONE),
    # an IPv4 match looks at the four address bytes only
    (V4, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST,
                 **{"xt_inp.inp_inc.inc_ie.ie_dependladdr.id46_addr.ia46_pad32": [7, 7, 7]})], EST),
    (V6, [xtcpcb(1, ("2001:db8::1", 80), ("2001:db8::2", 4000), EST)], EST),
    (V6, [xtcpcb(1, ("2001:db8::1", 80), ("2001:db8::3", 4000), EST)], NONE),
    (V6, [xtcpcb(1, ("192.0.2.1", 80), ("192.0.2.2", 4000), EST)], NONE),
    (V4, [], NONE),
])
def test_state_search(machine, kinfo, records, state):
    machine(one_socket(kinfo, records))
    [entry] = m.proc_net_connections(PID, [2, 28], [1])
    assert entry[5] == state


def test_listening_socket_matches_the_wildcard_record(machine):
    listener = kinfo_socket(3, C.AF_INET, C.SOCK_STREAM, C.IPPROTO_TCP, ("0.0.0.0", 22), None)
    machine(one_socket(listener, [xtcpcb(1, ("0.0.0.0", 22), ("0.0.0.0", 1), EST),
                                  xtcpcb(2, ("0.0.0.0", 22), None, C.TCPS_LISTEN)]))
    assert m.proc_net_connections(PID, [2], [1]) == [(3, 2, 1, ("0.0.0.0", 22), (), C.TCPS_LISTEN)]


def test_peer_port_zero_gives_empty_raddr(machine):
    k = kinfo_socket(3, C.AF_INET6, C.SOCK_DGRAM, C.IPPROTO_UDP, ("::1", 9), ("::2", 0))
    machine(one_socket(k, []))
    assert m.proc_net_connections(PID, [28], [2]) == [(3, 28, 2, ("::1", 9), (), NONE)]


@pytest.mark.parametrize("path,sun_len,text", [
    (b"/run/a.sock", None, "/run/a.sock"),
    (b"/run/a.sock", 2 + 4, "/run"),
    (b"/run/a.sock", 2, ""),
    (b"/run/a.sock", 0, ""),
    (b"/x\0y", None, "/x"),
    (b"\xff/odd", None, "\udcff/odd"),
    (b"q" * 104, 255, "q" * 104),         # never past sun_path
])
def test_unix_paths(machine, path, sun_len, text):
    k = bytearray(kinfo_socket(3, C.AF_UNIX, C.SOCK_STREAM, path=path, sun_len=sun_len))
    k[48 + 106:48 + 110] = b"TAIL"        # after sun_path, inside kf_sa_local
    machine(one_socket(bytes(k), []))
    assert m.proc_net_connections(PID, [1], [1]) == [(3, 1, 1, text, "", NONE)]


def test_default_machine(machine):
    machine()
    # Socket descriptors follow the processes' files in their tables.
    assert m.proc_net_connections(802, [2, 28], [1]) == [
        (8, 2, 1, ("0.0.0.0", 80), (), C.TCPS_LISTEN),
        (9, 2, 1, ("0.0.0.0", 443), (), C.TCPS_LISTEN),
        (10, 2, 1, ("192.168.1.20", 443), ("203.0.113.45", 51234), C.TCPS_ESTABLISHED)]
    assert m.proc_net_connections(455, [1], [2]) == [
        (8, 1, 2, "/var/run/log", "", NONE), (9, 1, 2, "/var/run/logpriv", "", NONE)]
    assert m.proc_net_connections(1, [1, 2, 28], [1, 2]) == []


# ---- arguments and the descriptor table -------------------------------------

class Raising:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise LookupError("no membership today")


@pytest.mark.parametrize("args", [(2, [1]), ([2], 1), ({}, [1]), ([2], None)])
def test_non_sequence_arguments(machine, args):
    machine(world().desc())
    with pytest.raises(TypeError, match=r"^arg 2 or 3 is not a sequence$"):
        m.proc_net_connections(PID, *args)
    assert fakebsd.calls() == []          # before the process is looked at


@pytest.mark.parametrize("args", [(Raising(), [1]), ([2], Raising())])
def test_membership_test_raising(machine, no_leaks, args):
    machine(world().desc())
    with pytest.raises(LookupError, match="no membership today"):
        m.proc_net_connections(PID, *args)


def test_membership_only_for_sockets(machine):
    machine({"procs": [proc(PID, files=[kinfo_vnode(0), kinfo_vnode(1)])]})
    assert m.proc_net_connections(PID, Raising(), Raising()) == []


def test_pid_argument(machine):
    machine()
    with pytest.raises(TypeError):
        m.proc_net_connections("1", [2], [1])
    with pytest.raises(OverflowError):
        m.proc_net_connections(1 << 40, [2], [1])


def test_descriptor_table_errors(machine, no_leaks):
    machine({**world().desc(),
             "faults": [fault("kinfo_getfile", PID, errno=errno.EPERM)]})
    with pytest.raises(PermissionError) as e:
        m.proc_net_connections(PID, [2], [1])
    assert e.value.strerror == f"{fakebsd.strerror(errno.EPERM)} (originated from kinfo_getfile())"
    assert reads() == 0

    machine(world().desc())
    with pytest.raises(ProcessLookupError):
        m.proc_net_connections(99999, [2], [1])

    # failed without errno, and the process is gone
    machine({**world().desc(), "procs": [proc(PID, kill="gone")],
             "faults": [fault("kinfo_getfile", PID, errno=0)]})
    with pytest.raises(ProcessLookupError) as e:
        m.proc_net_connections(PID, [2], [1])
    assert e.value.strerror == "force no such process (originated from kinfo_getfile())"


# ---- reading the TCP list -------------------------------------------------------

def test_list_grows_and_retries(machine):
    w = world()
    for i in range(30):
        w.tcp(("192.0.2.1", 1000 + i))
    machine(w.desc())
    assert m.proc_net_connections(PID, [2, 28], [1]) == expected(3, 4, 5, 12)
    assert reads() == 3                   # 8192, 16384, 32768


def test_list_grown_between_measurement_and_read(machine):
    # A connection opened while the list is read makes a read come up short:
    # the buffer grows and the list is read again.
    machine({**world().desc(),
             "faults": [fault("sysctlbyname", TCPLIST, errno=errno.ENOMEM, times=3)]})
    assert m.proc_net_connections(PID, [2, 28], [1]) == expected(3, 4, 5, 12)
    assert reads() == 4


def test_list_growth_is_bounded(machine, no_leaks):
    machine({**world().desc(), "faults": [fault("sysctlbyname", TCPLIST, errno=errno.ENOMEM)]})
    with pytest.raises(RuntimeError,
                       match=r"^sysctlbyname\('net.inet.tcp.pcblist'\) buffer allocation retry limit exceeded$"):
        m.proc_net_connections(PID, [2], [1])
    assert reads() == 20


@pytest.mark.parametrize("err,cls", [(errno.EACCES, PermissionError), (errno.ENOENT, FileNotFoundError)])
def test_list_read_errors(machine, no_leaks, err, cls):
    machine({**world().desc(), "faults": [fault("sysctlbyname", TCPLIST, errno=err)]})
    with pytest.raises(cls) as e:
        m.proc_net_connections(PID, [1], [1])
    assert e.value.errno == err


@pytest.mark.parametrize("mismatched,count", [(0, 1), (2, 3), (5, 6), (9, 6)])
def test_generation_rereads(machine, mismatched, count):
    machine(world().desc(gen_mismatch={"tcp": mismatched}))
    assert m.proc_net_connections(PID, [2, 28], [1]) == expected(3, 4, 5, 12)
    assert reads() == count


REC = xtcpcb(1, ("10.0.0.1", 8080), None, C.TCPS_LISTEN)


def with_len(record, n):
    return n.to_bytes(8, "little") + record[8:]


@pytest.mark.parametrize("answer,text", [
    (b"", "struct xinpgen size mismatch"),
    (xinpgen(), "struct xinpgen size mismatch"),
    (with_len(xinpgen(), 0) + xinpgen(), "struct xinpgen size mismatch"),
    (pcblist([REC], trailer=with_len(xinpgen(), 744)), "struct xinpgen size mismatch"),
    (pcblist([with_len(REC, 0)]), "struct xtcpcb size mismatch"),
    (pcblist([with_len(REC, 64)]), "struct xtcpcb size mismatch"),
    (pcblist([REC, REC[:500]]), "struct xtcpcb size mismatch"),
    (pcblist([with_len(REC, 1 << 40)]), "struct xtcpcb size mismatch"),
])
def test_malformed_list(machine, no_leaks, answer, text):
    machine({**world().desc(), "faults": [fault("sysctlbyname", TCPLIST, answer=answer)]})
    with pytest.raises(RuntimeError) as e:
        m.proc_net_connections(PID, [2], [1])
    assert str(e.value) == text


def test_malformed_records_matter_only_to_a_state_search(machine):
    answer = pcblist([with_len(REC, 0)])
    machine({**world().desc(), "faults": [fault("sysctlbyname", TCPLIST, answer=answer)]})
    assert m.proc_net_connections(PID, [1, 2, 28], [2]) == expected(6, 7, 9)


def test_answer_longer_than_the_buffer(machine):
    machine({**world().desc(), "faults": [fault("sysctlbyname", TCPLIST, report=1 << 20)]})
    with pytest.raises(RuntimeError, match="^struct xinpgen size mismatch$"):
        m.proc_net_connections(PID, [2], [1])
