"""Sockets for machine descriptions.

Records (bytes in FreeBSD's layout; extra keyword arguments name further
fields of the record, dotted paths reach nested ones):

    xfile(pid, fd, data)                          one kern.file entry
    xtcpcb(so, laddr, raddr=None, state=...)      one net.inet.tcp.pcblist record
    syncache(laddr, raddr)                        a connection the syncache holds (no socket)
    xinpcb(so, laddr, raddr=None)                 one net.inet.udp.pcblist record
    xunpcb(so, path=None, sun_len=None)           one net.local.*.pcblist record
    kinfo_socket(fd, domain, type, ...)           one descriptor of kinfo_getfile
    kinfo_vnode(fd, path=b"")
    pcblist(records, header=64, gen=1, ...)       a whole list answer, for raw answers

Addresses are (host, port) with a numeric IPv4 or IPv6 host; ports are given
in host order and stored in network order.

A whole world of sockets and their holders, consistent between the file
table, the protocol lists and the processes' descriptor tables:

    w = Sockets()
    so = w.tcp(("10.0.0.1", 22), holders=[(701, 3)])
    w.unix("stream", b"/var/run/x.sock", holders=[(42, 5)])
    w.syn(("10.0.0.1", 22), ("192.0.2.7", 40000))   # still in the syncache
    desc = w.desc()            # {"socks": {...}, "procs": [...]}

The processes of desc() get the descriptor tables the kernel would hand out
(working and root directory first, then the descriptors by number).
"""

import socket as _socket

from _fakebsd import constants as _constants
from _fakebsd import fields as _fields
from _fakebsd import pack

from .files import fd_table as _fd_table
from .procs import proc as _proc

_C = _constants()

DTYPE_VNODE = 1
DTYPE_SOCKET = 2


class _Layout:
    """Fast packing of one record: a zero template and the fields' places."""

    def __init__(self, record):
        self.record = record
        self.fields = {f[0]: (f[1], f[2], f[3]) for f in _fields(record)}
        self.size = len(pack(record))

    def make(self, values):
        buf = bytearray(self.size)
        for path, value in values.items():
            off, size, kind = self.fields[path]
            if kind in ("int", "uint"):
                buf[off:off + size] = (int(value) & ((1 << (8 * size)) - 1)).to_bytes(size, "little")
            else:
                value = bytes(value)
                if len(value) > size:
                    raise ValueError(f"{self.record}.{path} holds at most {size} bytes")
                buf[off:off + len(value)] = value
        return bytes(buf)


_L = {}


def _layout(record):
    if record not in _L:
        _L[record] = _Layout(record)
    return _L[record]


def be16(port):
    """A port as the little-endian integer whose bytes are network order."""
    return int.from_bytes(int(port).to_bytes(2, "big"), "little")


def family_of(host):
    return _C["AF_INET6"] if ":" in host else _C["AF_INET"]


def addr_bytes(host):
    """The network-order bytes of a numeric host."""
    if ":" in host:
        return _socket.inet_pton(_socket.AF_INET6, host)
    return _socket.inet_pton(_socket.AF_INET, host)


def sockaddr(addr):
    """struct sockaddr_in or sockaddr_in6 bytes of (host, port); b"" for None."""
    if addr is None:
        return b""
    host, port = addr
    a = addr_bytes(host)
    p = int(port).to_bytes(2, "big")
    if len(a) == 4:
        return bytes([16, _C["AF_INET"]]) + p + a + bytes(8)
    return bytes([28, _C["AF_INET6"]]) + p + bytes(4) + a + bytes(4)


def sockaddr_un(path, sun_len=None):
    """struct sockaddr_un bytes: sun_len defaults to the path's length + 2."""
    path = path.encode() if isinstance(path, str) else bytes(path)
    if sun_len is None:
        sun_len = 2 + len(path)
    return bytes([sun_len & 0xff, _C["AF_UNIX"]]) + path[:104].ljust(104, b"\0")


def xfile(pid, fd, data, type=DTYPE_SOCKET, uid=0, **fields):
    values = {"xf_size": 128, "xf_pid": pid, "xf_uid": uid, "xf_fd": fd, "xf_type": type,
              "xf_count": 1, "xf_data": data, "xf_file": (data ^ 0x5a5a0000) or 1,
              "xf_flag": 3}
    values.update(fields)
    return _layout("xfile").make(values)


def _inp(prefix, so, laddr, raddr, protocol, so_type, vflag):
    raddr = raddr or ("::" if ":" in laddr[0] else "0.0.0.0", 0)
    v6 = ":" in laddr[0]
    if vflag is None:
        vflag = _C["INP_IPV6"] if v6 else _C["INP_IPV4"]
    p = prefix
    values = {
        p + "xi_len": 400,
        p + "xi_socket.xso_len": 240,
        p + "xi_socket.xso_so": so,
        p + "xi_socket.so_pcb": (so + 0x200) if so else 0,
        p + "xi_socket.xso_protocol": protocol,
        p + "xi_socket.xso_family": _C["AF_INET6"] if v6 else _C["AF_INET"],
        p + "xi_socket.so_type": so_type,
        p + "inp_inc.inc_lport": be16(laddr[1]),
        p + "inp_inc.inc_fport": be16(raddr[1]),
        p + "inp_vflag": vflag,
    }
    if v6:
        values[p + "inp_inc.inc_flags"] = 1
        values[p + "inp_inc.inc6_laddr"] = addr_bytes(laddr[0])
        values[p + "inp_inc.inc6_faddr"] = addr_bytes(raddr[0])
    else:
        values[p + "inp_inc.inc_laddr"] = addr_bytes(laddr[0])
        values[p + "inp_inc.inc_faddr"] = addr_bytes(raddr[0])
    return values


def xtcpcb(so, laddr, raddr=None, state=None, vflag=None, protocol=6, so_type=1, **fields):
    """A TCP list record. laddr/raddr are (host, port); raddr None is the
    wildcard (a listening socket). vflag defaults to INP_IPV4 or INP_IPV6 by
    the local host."""
    values = {"xt_len": 744, "t_state": _C["TCPS_LISTEN"] if state is None else state}
    values.update(_inp("xt_inp.", so, laddr, raddr, protocol, so_type, vflag))
    values.update(fields)
    return _layout("xtcpcb").make(values)


def syncache(laddr, raddr, **fields):
    """A connection the syncache holds, as the TCP list hands it out before
    its blocks (syncache_pcblist): SYN_RECEIVED, no socket, only the
    endpoints and the family's flag."""
    values = {"xt_len": 744, "t_state": _C["TCPS_SYN_RECEIVED"],
              "xt_inp.xi_socket.xso_len": 240, "xt_inp.xi_socket.xso_protocol": 6,
              "xt_inp.xi_socket.so_type": _C["SOCK_STREAM"],
              "xt_inp.xi_socket.so_state": 0x0004}  # SS_ISCONNECTING
    inp = _inp("xt_inp.", 0, laddr, raddr, 6, _C["SOCK_STREAM"], None)
    for key in ("xt_inp.inp_inc.inc_lport", "xt_inp.inp_inc.inc_fport", "xt_inp.inp_vflag",
                "xt_inp.inp_inc.inc_flags", "xt_inp.inp_inc.inc6_laddr", "xt_inp.inp_inc.inc6_faddr",
                "xt_inp.inp_inc.inc_laddr", "xt_inp.inp_inc.inc_faddr"):
        if key in inp:
            values[key] = inp[key]
    values.update(fields)
    return _layout("xtcpcb").make(values)


def xinpcb(so, laddr, raddr=None, vflag=None, protocol=17, so_type=2, **fields):
    """A UDP list record."""
    values = _inp("", so, laddr, raddr, protocol, so_type, vflag)
    values.update(fields)
    return _layout("xinpcb").make(values)


def xunpcb(so, path=None, sun_len=None, so_type=1, **fields):
    """A UNIX-domain list record; path None leaves the address all zero (an
    unbound socket)."""
    values = {"xu_len": 904, "xu_unpp": (so + 0x200) if so else 0,
              "xu_socket.xso_len": 240, "xu_socket.xso_so": so,
              "xu_socket.xso_family": _C["AF_UNIX"], "xu_socket.so_type": so_type}
    if path is not None:
        values["xu_addr"] = sockaddr_un(path, sun_len)
    values.update(fields)
    return _layout("xunpcb").make(values)


def kinfo_socket(fd, domain, type, protocol=0, laddr=None, raddr=None, path=None, sun_len=None,
                 **fields):
    """A socket descriptor record of kinfo_getfile. For AF_INET/AF_INET6
    laddr/raddr are (host, port) (raddr None: all zero, unconnected); for
    AF_UNIX path is the bound path (None: the kernel's unnamed address)."""
    values = {"kf_structsize": 1392, "kf_type": _C["KF_TYPE_SOCKET"], "kf_fd": fd,
              "kf_ref_count": 1, "kf_flags": 3, "kf_sock_domain": domain,
              "kf_sock_type": type, "kf_sock_protocol": protocol}
    if domain == _C["AF_UNIX"]:
        values["kf_sa_local"] = (sockaddr_un(path, sun_len) if path is not None
                                 else bytes([16, _C["AF_UNIX"]]))
    else:
        values["kf_sa_local"] = sockaddr(laddr)
        values["kf_sa_peer"] = sockaddr(raddr)
    values.update(fields)
    return _layout("kinfo_file").make(values)


def kinfo_vnode(fd, path=b"", **fields):
    """A regular file descriptor record of kinfo_getfile."""
    values = {"kf_structsize": 1392, "kf_type": _C["KF_TYPE_VNODE"], "kf_fd": fd,
              "kf_ref_count": 1, "kf_flags": 1, "kf_path": path}
    values.update(fields)
    return _layout("kinfo_file").make(values)


def xinpgen(count=0, gen=1, **fields):
    values = {"xig_len": 64, "xig_count": count, "xig_gen": gen, "xig_sogen": gen}
    values.update(fields)
    return _layout("xinpgen").make(values)


def xunpgen(count=0, gen=1, **fields):
    values = {"xug_len": 32, "xug_count": count, "xug_gen": gen, "xug_sogen": gen}
    values.update(fields)
    return _layout("xunpgen").make(values)


def pcblist(records=(), unix=False, gen=1, trailer_gen=None, header=None, trailer=None):
    """A whole list answer (header, records, trailer) for raw answers; header
    and trailer may be given as bytes to replace the composed ones."""
    make = xunpgen if unix else xinpgen
    records = list(records)
    head = make(len(records), gen) if header is None else header
    tail = make(len(records), gen if trailer_gen is None else trailer_gen) if trailer is None else trailer
    return head + b"".join(records) + tail


class Sockets:
    """Sockets and the descriptors holding them, kept consistent between the
    file table, the protocol lists and the processes' descriptor tables.

    Each socket method returns the socket's kernel address. holders is a list
    of (pid, fd): each gets a kern.file entry (in the order given, after the
    entries added so far) and a descriptor record in that process's table.
    uid is the effective uid of the credential the socket was made with
    (so_uid), cred its groups and jail ({"groups": [...], "jid": n}; the
    builder's cred when none is given, else the host's and the uid's number
    as its group).
    """

    def __init__(self, base=0xfffff80020000000, cred=None):
        self._next = base
        self.cred = cred        # every socket's credential, unless one is given
        self.creds = {}         # socket address -> {"groups": [...], "jid": n}
        self.files = []
        self.lists = {"tcp": [], "udp": [], "unix_stream": [], "unix_dgram": [],
                      "unix_seqpacket": []}
        self.syncache = []
        self.proc_files = {}  # pid -> [kinfo_file records]

    def address(self, cred=None):
        self._next += 0x400
        if cred or self.cred:
            self.creds[self._next] = dict(cred or self.cred)
        return self._next

    def hold(self, pid, fd, data, kinfo, type=DTYPE_SOCKET):
        self.files.append(xfile(pid, fd, data, type))
        self.proc_files.setdefault(pid, []).append(kinfo)

    def tcp(self, laddr, raddr=None, state=None, holders=(), vflag=None, so=None, kinfo=None,
            uid=0, cred=None):
        so = self.address(cred) if so is None else so
        self.lists["tcp"].append(xtcpcb(so, laddr, raddr, state, vflag,
                                        **{"xt_inp.xi_socket.so_uid": uid}))
        for pid, fd in holders:
            self.hold(pid, fd, so, kinfo or kinfo_socket(
                fd, family_of(laddr[0]), _C["SOCK_STREAM"], _C["IPPROTO_TCP"], laddr, raddr))
        return so

    def udp(self, laddr, raddr=None, holders=(), vflag=None, so=None, kinfo=None, uid=0,
            cred=None):
        so = self.address(cred) if so is None else so
        self.lists["udp"].append(xinpcb(so, laddr, raddr, vflag, **{"xi_socket.so_uid": uid}))
        for pid, fd in holders:
            self.hold(pid, fd, so, kinfo or kinfo_socket(
                fd, family_of(laddr[0]), _C["SOCK_DGRAM"], _C["IPPROTO_UDP"], laddr, raddr))
        return so

    def syn(self, laddr, raddr):
        """A connection still in the syncache: listed, held by no one."""
        self.syncache.append(syncache(laddr, raddr))

    def unix(self, kind, path=None, holders=(), sun_len=None, so=None, uid=0, cred=None):
        """kind: "stream", "dgram" or "seqpacket"."""
        so = self.address(cred) if so is None else so
        so_type = {"stream": _C["SOCK_STREAM"], "dgram": _C["SOCK_DGRAM"],
                   "seqpacket": _C["SOCK_SEQPACKET"]}[kind]
        self.lists["unix_" + kind].append(xunpcb(so, path, sun_len, so_type,
                                                 **{"xu_socket.so_uid": uid}))
        for pid, fd in holders:
            self.hold(pid, fd, so, kinfo_socket(fd, _C["AF_UNIX"], so_type, 0, path=path,
                                                sun_len=sun_len))
        return so

    def file(self, pid, fd, path=b"/dev/null"):
        """A descriptor that is no socket."""
        self._next += 0x400
        data = self._next
        self.hold(pid, fd, data, kinfo_vnode(fd, path), DTYPE_VNODE)
        return data

    def socks(self, **extra):
        d = {"files": list(self.files), **{k: list(v) for k, v in self.lists.items()},
             "syncache": list(self.syncache), "creds": dict(self.creds)}
        d.update(extra)
        return d

    def procs(self, pids=()):
        """Process-table entries of every holder (and of pids), with their
        descriptor tables."""
        return [_proc(pid, files=_fd_table(*self.proc_files.get(pid, [])))
                for pid in sorted(set(self.proc_files) | set(pids))]

    def desc(self, **extra):
        """A machine description: the socket tables and the holders' processes."""
        return {"socks": self.socks(**extra), "procs": self.procs()}
