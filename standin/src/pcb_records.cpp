// Records of the protocol lists (see pcb_records.h).
#include <cstring>

#include "pcb_records.h"

namespace fakebsd {

struct xinpcb inet_block(bool tcp, const InetEnds &e, uint64_t so) {
    struct xinpcb xi;
    std::memset(&xi, 0, sizeof xi);
    xi.xi_len = sizeof xi;
    xi.xi_socket.xso_len = sizeof xi.xi_socket;
    xi.xi_socket.xso_so = so;
    xi.xi_socket.so_pcb = so ? so + 0x200 : 0;
    xi.xi_socket.xso_protocol = tcp ? IPPROTO_TCP : IPPROTO_UDP;
    xi.xi_socket.xso_family = e.family;
    xi.xi_socket.so_type = tcp ? SOCK_STREAM : SOCK_DGRAM;
    xi.inp_inc.inc_lport = htons(static_cast<uint16_t>(e.lport));
    xi.inp_inc.inc_fport = htons(static_cast<uint16_t>(e.fport));
    if (e.family == AF_INET) {
        std::memcpy(&xi.inp_inc.inc_laddr, e.laddr, 4);
        std::memcpy(&xi.inp_inc.inc_faddr, e.faddr, 4);
        xi.inp_vflag = INP_IPV4;
    } else {
        std::memcpy(&xi.inp_inc.inc6_laddr, e.laddr, 16);
        std::memcpy(&xi.inp_inc.inc6_faddr, e.faddr, 16);
        xi.inp_inc.inc_flags = INC_ISIPV6;
        xi.inp_vflag = INP_IPV6;
    }
    xi.inp_gencnt = so & 0xffff;
    xi.inp_ip_p = static_cast<uint8_t>(xi.xi_socket.xso_protocol);
    return xi;
}

}  // namespace fakebsd
