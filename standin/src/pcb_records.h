// Records of the protocol lists, shared by the default machine's sockets
// (group_socks.cpp) and the generated large host (control/load_busy.cpp).
#pragma once

#include <cstdint>
#include <cstring>

#include <fakebsd/freebsd.h>

namespace fakebsd {

// The endpoints of an inet socket: family, addresses in network order (4 or
// 16 bytes) and ports.
struct InetEnds {
    int family;
    const unsigned char *laddr;
    int lport;
    const unsigned char *faddr;
    int fport;
};

// The protocol block of an inet socket as both lists embed it; `so` is the
// socket's kernel address, 0 for a block without a socket.
struct xinpcb inet_block(bool tcp, const InetEnds &e, uint64_t so);

}  // namespace fakebsd
