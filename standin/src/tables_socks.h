// State of the simulated machine for one capability group (see tables.h):
// the system-wide open-file table and the protocol control block lists.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fakebsd {

struct Machine;

// One protocol control block list as the kernel keeps it: the records (raw,
// in FreeBSD's layout, back to back, in list order); the kernel hands them
// out between a header and a trailer.
struct SockList {
    std::string records;
    unsigned count = 0;             // blocks in the list (the header's count)
    // The first `mismatched` reads find the list changed while the kernel
    // copied it out: the trailer carries a fresh generation and count, one
    // above the header's.
    long mismatched = 0;
    std::shared_ptr<std::atomic<long>> reads = std::make_shared<std::atomic<long>>(0);
};

// The credential a socket was made with (so_cred): who may see it in a
// protocol list (cr_canseeinpcb, cr_canseesocket). Its effective uid is the
// record's so_uid.
struct SockCred {
    std::vector<unsigned> groups;
    int jid = 0;
};

struct SockTable {
    // Credentials by socket address; a socket without one was made on the
    // host by a process whose only group is its uid's number.
    std::map<uint64_t, SockCred> creds;
    // kern.file: struct xfile records back to back, in the kernel's order
    // (processes newest first, each one's descriptors in ascending order).
    std::string files;
    SockList tcp;                   // net.inet.tcp.pcblist: struct xtcpcb
    // Connections the syncache holds (SYN_RECEIVED, no socket yet): struct
    // xtcpcb records that the TCP list hands out before its blocks.
    std::string syncache;
    unsigned syncache_count = 0;
    SockList udp;                   // net.inet.udp.pcblist: struct xinpcb
    SockList unix_stream;           // net.local.stream.pcblist: struct xunpcb
    SockList unix_dgram;            // net.local.dgram.pcblist: struct xunpcb
    SockList unix_seqpacket;        // net.local.seqpacket.pcblist: struct xunpcb
    uint64_t gen = 1;               // generation count of every list
};

// Publish the tables as the machine's sysctl nodes "kern.file",
// "net.inet.tcp.pcblist", "net.inet.udp.pcblist", "net.local.stream.pcblist",
// "net.local.dgram.pcblist" and "net.local.seqpacket.pcblist" (their names,
// fresh counts of the lists' reads, the nodes served in place). The answers
// are composed from the tables and what the caller may see when the
// installed machine is first read, then handed out in place: a reader growing
// its buffer pays for what it is given, not for a composition per attempt.
void publish_socks(Machine &m);

}  // namespace fakebsd
