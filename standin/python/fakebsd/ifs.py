"""Network interfaces for machine descriptions.

    iface("em0", flags=0x8843, mtu=1500, media=0x100030, lladdr=b"\\x00\\x1a+<M^",
          addrs=[inet("192.168.1.20", "255.255.255.0", dst="192.168.1.255"),
                 inet6("fe80::1", 64, scope=1)],
          ibytes=1000, obytes=2000)

goes into a description as {"ifs": [iface(...), ...]} (the list replaces the
default machine's interfaces: em0, lo0 and usbus0). Counters are struct
if_data fields, with or without "ifi_".

Socket addresses in FreeBSD's layout: sin(text), sin6(text, scope), mask(bits,
family), sdl(name, lladdr). Raw routing messages for a NET_RT_IFLIST answer
(fault("sysctl", IFLIST, answer=...)): ifinfo(name, ...), newaddr(...),
message(type, body).
"""

import socket as _socket
import struct as _struct

from _fakebsd import constants as _constants
from _fakebsd import pack

_C = _constants()
AF_INET, AF_INET6, AF_LINK = _C["AF_INET"], _C["AF_INET6"], _C["AF_LINK"]
IFT_ETHER = _C["IFT_ETHER"]

#: MIB of the routing socket's interface list.
IFLIST = (_C["CTL_NET"], _C["PF_ROUTE"], 0, 0, _C["NET_RT_IFLIST"], 0)


def sin(text, port=0, *, family=AF_INET, length=16):
    """struct sockaddr_in for a dotted IPv4 address."""
    return pack("sockaddr_in", {"sin_len": length, "sin_family": family,
                                "sin_port": _socket.htons(port),
                                "sin_addr": _socket.inet_pton(_socket.AF_INET, text)})


def sin6(text, scope=0, *, family=AF_INET6, length=28):
    """struct sockaddr_in6 for an IPv6 address with its scope id."""
    return pack("sockaddr_in6", {"sin6_len": length, "sin6_family": family,
                                 "sin6_addr.s6_addr": _socket.inet_pton(_socket.AF_INET6, text),
                                 "sin6_scope_id": scope})


def mask(bits, family=AF_INET):
    """A netmask of `bits` leading ones as a socket address of the family."""
    if family == AF_INET6:
        value = ((1 << 128) - 1) ^ ((1 << (128 - bits)) - 1)
        return sin6(_socket.inet_ntop(_socket.AF_INET6, value.to_bytes(16, "big")))
    value = ((1 << 32) - 1) ^ ((1 << (32 - bits)) - 1)
    return sin(_socket.inet_ntop(_socket.AF_INET, value.to_bytes(4, "big")), family=family)


def sdl(name=b"", lladdr=b"", *, index=0, type=IFT_ETHER, nlen=None, alen=None, length=None):
    """struct sockaddr_dl: name then address in sdl_data. nlen, alen and
    length (sdl_len) may be given to state other lengths than the bytes'."""
    name = name.encode() if isinstance(name, str) else name
    data = name + lladdr
    size = max(54, 8 + len(data))
    size = (size + 7) // 8 * 8 if size > 54 else size
    header = _struct.pack("<BBHBBBB", size if length is None else length, AF_LINK, index, type,
                          len(name) if nlen is None else nlen,
                          len(lladdr) if alen is None else alen, 0)
    return (header + data).ljust(size, b"\0")


def if_data(**counters):
    """struct if_data from its fields (ibytes= or ifi_ibytes=)."""
    return pack("if_data", {k if k.startswith("ifi_") else "ifi_" + k: v
                            for k, v in counters.items()})


def address(addr=None, netmask=None, dst=None, flags=None):
    """One interface address from raw socket addresses (None: a null pointer)."""
    a = {"addr": addr, "netmask": netmask, "dst": dst}
    if flags is not None:
        a["flags"] = flags
    return a


def inet(addr, netmask=None, dst=None, flags=None):
    """An IPv4 address with its netmask and broadcast or destination address."""
    return address(sin(addr), netmask and sin(netmask), dst and sin(dst), flags)


def inet6(addr, prefixlen=None, scope=0, dst=None, flags=None):
    """An IPv6 address with its prefix length (as a netmask) and scope id."""
    return address(sin6(addr, scope), None if prefixlen is None else mask(prefixlen, AF_INET6),
                   dst and sin6(dst), flags)


def iface(name, *, index=None, flags=0, mtu=1500, media=None, media_status=None,
          type=IFT_ETHER, lladdr=b"", link=None, addrs=(), data=None, **counters):
    """One interface of the machine's table."""
    d = {"name": name, "flags": flags, "mtu": mtu, "media": media, "type": type,
         "lladdr": lladdr, "addrs": list(addrs)}
    if index is not None:
        d["index"] = index
    if media_status is not None:
        d["media_status"] = media_status
    if link is not None:
        d["link"] = link
    if data is not None or counters:
        d["data"] = data if data is not None else if_data(**counters)
    return d


def message(type, body=b"", msglen=None, version=_C["RTM_VERSION"]):
    """A routing message: length, version and type, then the body."""
    size = 4 + len(body)
    return _struct.pack("<HBB", size if msglen is None else msglen, version, type) + body


def ifinfo(name, *, msglen=None, type=_C["RTM_IFINFO"], flags=0, index=1, link=None,
           **counters):
    """An interface-information message: struct if_msghdr then the
    interface's sockaddr_dl (link= replaces it)."""
    link = sdl(name, index=index) if link is None else link
    hdr = pack("if_msghdr", {"ifm_version": _C["RTM_VERSION"], "ifm_type": type,
                             "ifm_addrs": _C["RTA_IFP"], "ifm_flags": flags, "ifm_index": index,
                             "ifm_data": if_data(**counters)})
    raw = hdr + link
    size = len(raw) if msglen is None else msglen
    return _struct.pack("<H", size) + raw[2:]


def newaddr(addr, netmask=None, dst=None, *, index=1, msglen=None):
    """An address message: struct ifa_msghdr then netmask, address, destination."""
    addrs, tail = 0, b""
    for bit, sa in ((_C["RTA_NETMASK"], netmask), (_C["RTA_IFA"], addr), (_C["RTA_BRD"], dst)):
        if sa is not None:
            addrs |= bit
            tail += sa.ljust((len(sa) + 7) // 8 * 8, b"\0")
    hdr = pack("ifa_msghdr", {"ifam_version": _C["RTM_VERSION"], "ifam_type": _C["RTM_NEWADDR"],
                              "ifam_addrs": addrs, "ifam_index": index})
    raw = hdr + tail
    size = len(raw) if msglen is None else msglen
    return _struct.pack("<H", size) + raw[2:]
