// State of the simulated machine for one capability group (see tables.h):
// the system-wide open-file table and the protocol control block lists.
#pragma once

#include <cstdint>
#include <string>

namespace fakebsd {

struct Machine;

// One protocol control block list as the kernel exports it: the records
// (raw, in FreeBSD's layout, back to back, in list order) between a header
// and a trailer composed with the table's generation count.
struct SockList {
    std::string records;
    unsigned count = 0;             // records in the list (the header's count)
    // The first `mismatched` answers carry a trailer generation one above the
    // header's, as when the list changes while the kernel copies it out.
    long mismatched = 0;
};

struct SockTable {
    std::string files;              // kern.file: struct xfile records back to back
    SockList tcp;                   // net.inet.tcp.pcblist: struct xtcpcb
    SockList udp;                   // net.inet.udp.pcblist: struct xinpcb
    SockList unix_stream;           // net.local.stream.pcblist: struct xunpcb
    SockList unix_dgram;            // net.local.dgram.pcblist: struct xunpcb
    uint64_t gen = 1;               // generation count of every list
};

// Publish the tables as the machine's sysctl nodes "kern.file",
// "net.inet.tcp.pcblist", "net.inet.udp.pcblist", "net.local.stream.pcblist"
// and "net.local.dgram.pcblist". The answers are composed once, here, and
// then served in place: a reader growing its buffer pays for what it is
// given, not for a new composition on every attempt. The first `mismatched`
// answers of a list come from a fault with raw answers placed in front of
// the machine's other faults.
void publish_socks(Machine &m);

}  // namespace fakebsd
