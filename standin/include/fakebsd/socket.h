// Socket addresses of the stand-in platform: <sys/socket.h>, <sys/un.h>,
// <netinet/in.h>, <netinet6/in6.h> and <arpa/inet.h> as FreeBSD amd64 lays
// them out. BSD socket addresses carry a length byte (sa_len) in front of the
// family, which Linux's do not, so none of the host's definitions would do;
// the host's socket headers are not visible here and everything is FreeBSD's.
#pragma once

#include "types.h"

// <sys/socket.h>: address and protocol families.
#define AF_UNSPEC 0
#define AF_LOCAL AF_UNIX
#define AF_UNIX 1
#define AF_INET 2
#define AF_ROUTE 17
#define AF_LINK 18
#define AF_INET6 28
#define AF_MAX 44

#define PF_UNSPEC AF_UNSPEC
#define PF_LOCAL AF_LOCAL
#define PF_UNIX PF_LOCAL
#define PF_INET AF_INET
#define PF_ROUTE AF_ROUTE
#define PF_LINK AF_LINK
#define PF_INET6 AF_INET6

// Socket types.
#define SOCK_STREAM 1
#define SOCK_DGRAM 2
#define SOCK_RAW 3
#define SOCK_RDM 4
#define SOCK_SEQPACKET 5
#define SOCK_CLOEXEC 0x10000000
#define SOCK_NONBLOCK 0x20000000

#define SOCK_MAXADDRLEN 255

// Generic socket address: only the header is fixed, the data runs on.
struct sockaddr {
    unsigned char sa_len;  // total length
    sa_family_t sa_family;
    char sa_data[14];
};
static_assert(sizeof(struct sockaddr) == 16);

// <sys/_sockaddr_storage.h>: room for any address, 8-byte aligned.
#define _SS_MAXSIZE 128U
#define _SS_ALIGNSIZE (sizeof(int64_t))
#define _SS_PAD1SIZE (_SS_ALIGNSIZE - sizeof(unsigned char) - sizeof(sa_family_t))
#define _SS_PAD2SIZE \
    (_SS_MAXSIZE - sizeof(unsigned char) - sizeof(sa_family_t) - _SS_PAD1SIZE - _SS_ALIGNSIZE)

struct sockaddr_storage {
    unsigned char ss_len;
    sa_family_t ss_family;
    char __ss_pad1[_SS_PAD1SIZE];
    int64_t __ss_align;
    char __ss_pad2[_SS_PAD2SIZE];
};
static_assert(sizeof(struct sockaddr_storage) == 128 && alignof(struct sockaddr_storage) == 8);

// <sys/un.h>
#define SUNPATHLEN 104
struct sockaddr_un {
    unsigned char sun_len;  // length including the terminating NUL
    sa_family_t sun_family; // AF_UNIX
    char sun_path[SUNPATHLEN];
};
static_assert(sizeof(struct sockaddr_un) == 106);

// <netinet/in.h>
#define IPPROTO_IP 0
#define IPPROTO_ICMP 1
#define IPPROTO_TCP 6
#define IPPROTO_UDP 17
#define IPPROTO_IPV6 41
#define IPPROTO_ICMPV6 58
#define IPPROTO_SCTP 132
#define IPPROTO_RAW 255

#define INADDR_ANY ((in_addr_t)0x00000000)
#define INADDR_LOOPBACK ((in_addr_t)0x7f000001)

#define INET_ADDRSTRLEN 16

struct in_addr {
    in_addr_t s_addr;  // network byte order
};
static_assert(sizeof(struct in_addr) == 4);

struct sockaddr_in {
    uint8_t sin_len;
    sa_family_t sin_family;
    in_port_t sin_port;  // network byte order
    struct in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(struct sockaddr_in) == 16);

// <netinet6/in6.h>
struct in6_addr {
    union {
        uint8_t __u6_addr8[16];
        uint16_t __u6_addr16[8];
        uint32_t __u6_addr32[4];
    } __u6_addr;
};
#define s6_addr __u6_addr.__u6_addr8
#define s6_addr8 __u6_addr.__u6_addr8
#define s6_addr16 __u6_addr.__u6_addr16
#define s6_addr32 __u6_addr.__u6_addr32
static_assert(sizeof(struct in6_addr) == 16);

#define INET6_ADDRSTRLEN 46

struct sockaddr_in6 {
    uint8_t sin6_len;
    sa_family_t sin6_family;  // AF_INET6
    in_port_t sin6_port;
    uint32_t sin6_flowinfo;
    struct in6_addr sin6_addr;
    uint32_t sin6_scope_id;
};
static_assert(sizeof(struct sockaddr_in6) == 28);

// Byte order. amd64 is little-endian, so network order is a byte swap. The
// host's <endian.h>/<netinet/in.h> may have these names as macros already.
#undef htonl
#undef htons
#undef ntohl
#undef ntohs
static inline uint32_t fbsd_htonl(uint32_t x) { return __builtin_bswap32(x); }
static inline uint16_t fbsd_htons(uint16_t x) { return __builtin_bswap16(x); }
static inline uint32_t fbsd_ntohl(uint32_t x) { return __builtin_bswap32(x); }
static inline uint16_t fbsd_ntohs(uint16_t x) { return __builtin_bswap16(x); }
#define htonl fbsd_htonl
#define htons fbsd_htons
#define ntohl fbsd_ntohl
#define ntohs fbsd_ntohs

extern "C" {
int fbsd_socket(int domain, int type, int protocol);
// <unistd.h>: the host declares close() itself, so only the served name.
int fbsd_close(int fd);
// <arpa/inet.h>
const char *fbsd_inet_ntop(int af, const void *__restrict src, char *__restrict dst,
                           socklen_t size);
}
#define socket fbsd_socket
#define close fbsd_close
#define inet_ntop fbsd_inet_ntop
