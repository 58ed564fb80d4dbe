// Reflection tables of the stand-in platform: socket addresses (<sys/socket.h>,
// <sys/un.h>, <netinet/in.h>, <netinet6/in6.h>). Each record lists every named member,
// nested records down to their scalars and arrays (element 0 of an array of records),
// under FreeBSD's own member names and, where FreeBSD has them, its macro aliases
// (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_socket() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("sockaddr", "struct sockaddr", struct sockaddr,
                    FBSD_FIELD(struct sockaddr, sa_len),
                    FBSD_FIELD(struct sockaddr, sa_family),
                    FBSD_FIELD(struct sockaddr, sa_data)),
        FBSD_RECORD("sockaddr_storage", "struct sockaddr_storage", struct sockaddr_storage,
                    FBSD_FIELD(struct sockaddr_storage, ss_len),
                    FBSD_FIELD(struct sockaddr_storage, ss_family),
                    FBSD_FIELD(struct sockaddr_storage, __ss_pad1),
                    FBSD_FIELD(struct sockaddr_storage, __ss_align),
                    FBSD_FIELD(struct sockaddr_storage, __ss_pad2)),
        FBSD_RECORD("sockaddr_un", "struct sockaddr_un", struct sockaddr_un,
                    FBSD_FIELD(struct sockaddr_un, sun_len),
                    FBSD_FIELD(struct sockaddr_un, sun_family),
                    FBSD_FIELD(struct sockaddr_un, sun_path)),
        FBSD_RECORD("in_addr", "struct in_addr", struct in_addr,
                    FBSD_FIELD(struct in_addr, s_addr)),
        FBSD_RECORD("sockaddr_in", "struct sockaddr_in", struct sockaddr_in,
                    FBSD_FIELD(struct sockaddr_in, sin_len),
                    FBSD_FIELD(struct sockaddr_in, sin_family),
                    FBSD_FIELD(struct sockaddr_in, sin_port),
                    FBSD_FIELD(struct sockaddr_in, sin_addr),
                    FBSD_FIELD(struct sockaddr_in, sin_addr.s_addr),
                    FBSD_FIELD(struct sockaddr_in, sin_zero)),
        FBSD_RECORD("in6_addr", "struct in6_addr", struct in6_addr,
                    FBSD_FIELD(struct in6_addr, s6_addr),
                    FBSD_FIELD(struct in6_addr, s6_addr16),
                    FBSD_FIELD(struct in6_addr, s6_addr32)),
        FBSD_RECORD("sockaddr_in6", "struct sockaddr_in6", struct sockaddr_in6,
                    FBSD_FIELD(struct sockaddr_in6, sin6_len),
                    FBSD_FIELD(struct sockaddr_in6, sin6_family),
                    FBSD_FIELD(struct sockaddr_in6, sin6_port),
                    FBSD_FIELD(struct sockaddr_in6, sin6_flowinfo),
                    FBSD_FIELD(struct sockaddr_in6, sin6_addr),
                    FBSD_FIELD(struct sockaddr_in6, sin6_addr.s6_addr),
                    FBSD_FIELD(struct sockaddr_in6, sin6_addr.s6_addr16),
                    FBSD_FIELD(struct sockaddr_in6, sin6_addr.s6_addr32),
                    FBSD_FIELD(struct sockaddr_in6, sin6_scope_id)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_socket() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(AF_UNSPEC),
        FBSD_CONST(AF_LOCAL),
        FBSD_CONST(AF_UNIX),
        FBSD_CONST(AF_INET),
        FBSD_CONST(AF_ROUTE),
        FBSD_CONST(AF_LINK),
        FBSD_CONST(AF_INET6),
        FBSD_CONST(AF_MAX),
        FBSD_CONST(PF_UNSPEC),
        FBSD_CONST(PF_LOCAL),
        FBSD_CONST(PF_UNIX),
        FBSD_CONST(PF_INET),
        FBSD_CONST(PF_ROUTE),
        FBSD_CONST(PF_LINK),
        FBSD_CONST(PF_INET6),
        FBSD_CONST(SOCK_STREAM),
        FBSD_CONST(SOCK_DGRAM),
        FBSD_CONST(SOCK_RAW),
        FBSD_CONST(SOCK_RDM),
        FBSD_CONST(SOCK_SEQPACKET),
        FBSD_CONST(SOCK_CLOEXEC),
        FBSD_CONST(SOCK_NONBLOCK),
        FBSD_CONST(SOCK_MAXADDRLEN),
        FBSD_CONST(_SS_MAXSIZE),
        FBSD_CONST(_SS_ALIGNSIZE),
        FBSD_CONST(_SS_PAD1SIZE),
        FBSD_CONST(_SS_PAD2SIZE),
        FBSD_CONST(SUNPATHLEN),
        FBSD_CONST(IPPROTO_IP),
        FBSD_CONST(IPPROTO_ICMP),
        FBSD_CONST(IPPROTO_TCP),
        FBSD_CONST(IPPROTO_UDP),
        FBSD_CONST(IPPROTO_IPV6),
        FBSD_CONST(IPPROTO_ICMPV6),
        FBSD_CONST(IPPROTO_SCTP),
        FBSD_CONST(IPPROTO_RAW),
        FBSD_CONST(INADDR_ANY),
        FBSD_CONST(INADDR_LOOPBACK),
        FBSD_CONST(INET_ADDRSTRLEN),
        FBSD_CONST(INET6_ADDRSTRLEN),
    };
    return constants;
}

}  // namespace fakebsd
