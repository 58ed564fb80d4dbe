// The kernel's exported protocol-control-block lists of the stand-in
// platform, as the net.inet.tcp.pcblist, net.inet.udp.pcblist and
// net.local.*.pcblist sysctls and kern.file hand them out: <sys/file.h>'s
// xfile, <sys/socketvar.h>'s xsocket, <netinet/in_pcb.h>'s xinpgen and
// xinpcb, <netinet/tcp_var.h>'s xtcpcb, <sys/unpcb.h>'s xunpgen and xunpcb,
// and the TCP states of <netinet/tcp_fsm.h> (FreeBSD 14 amd64).
#pragma once

#include "types.h"
#include "socket.h"

typedef uint64_t ksize_t;
typedef int64_t kssize_t;
typedef uint64_t inp_gen_t;
typedef uint64_t so_gen_t;
typedef uint64_t unp_gen_t;

// <sys/file.h>: one entry of kern.file.
struct xfile {
    ksize_t xf_size;      // size of struct xfile
    pid_t xf_pid;         // owning process
    uid_t xf_uid;         // effective uid of owning process
    int xf_fd;            // descriptor number
    int _xf_int_pad1;
    kvaddr_t xf_file;     // address of struct file
    short xf_type;        // descriptor type
    short _xf_short_pad1;
    int xf_count;         // reference count
    int xf_msgcount;      // references from message queue
    int _xf_int_pad2;
    off_t xf_offset;      // file offset
    kvaddr_t xf_data;     // file descriptor specific data
    kvaddr_t xf_vnode;    // vnode pointer
    u_int xf_flag;        // flags (see fcntl.h)
    int _xf_int_pad3;
    int64_t _xf_int64_pad[6];
};
static_assert(sizeof(struct xfile) == 128);

// <sys/socketvar.h>. As in FreeBSD's header, struct xsockbuf is declared
// inside struct xsocket, which in C++ makes it xsocket::xsockbuf.
struct xsocket {
    ksize_t xso_len;      // length of this structure
    kvaddr_t xso_so;      // kernel address of struct socket
    kvaddr_t so_pcb;      // kernel address of struct inpcb
    uint64_t so_oobmark;
    kvaddr_t so_splice_so; // kernel address of spliced socket
    int64_t so_spare64[7];
    int32_t xso_protocol;
    int32_t xso_family;
    uint32_t so_qlen;
    uint32_t so_incqlen;
    uint32_t so_qlimit;
    pid_t so_pgid;
    uid_t so_uid;
    int32_t so_spare32[8];
    int16_t so_type;
    int16_t so_options;
    int16_t so_linger;
    int16_t so_state;
    int16_t so_timeo;
    uint16_t so_error;
    struct xsockbuf {
        uint32_t sb_cc;
        uint32_t sb_hiwat;
        uint32_t sb_mbcnt;
        uint32_t sb_spare0;  // was sb_mcnt
        uint32_t sb_spare1;  // was sb_ccnt
        uint32_t sb_mbmax;
        int32_t sb_lowat;
        int32_t sb_timeo;
        int16_t sb_flags;
    } so_rcv, so_snd;
};
static_assert(sizeof(struct xsocket::xsockbuf) == 36);
static_assert(sizeof(struct xsocket) == 240);

// <netinet/in_pcb.h>
struct in_addr_4in6 {
    u_int32_t ia46_pad32[3];
    struct in_addr ia46_addr4;
};

union in_dependaddr {
    struct in_addr_4in6 id46_addr;
    struct in6_addr id6_addr;
};

struct in_endpoints {
    u_int16_t ie_fport;                  // foreign port
    u_int16_t ie_lport;                  // local port
    union in_dependaddr ie_dependfaddr;  // foreign host table entry
    union in_dependaddr ie_dependladdr;  // local host table entry
#define ie_faddr ie_dependfaddr.id46_addr.ia46_addr4
#define ie_laddr ie_dependladdr.id46_addr.ia46_addr4
#define ie6_faddr ie_dependfaddr.id6_addr
#define ie6_laddr ie_dependladdr.id6_addr
    u_int32_t ie6_zoneid;                // scope zone id
};
static_assert(sizeof(struct in_endpoints) == 40);

struct in_conninfo {
    u_int8_t inc_flags;
    u_int8_t inc_len;
    u_int16_t inc_fibnum;
    struct in_endpoints inc_ie;
};
static_assert(sizeof(struct in_conninfo) == 44);

// inc_flags.
#define INC_ISIPV6 0x01
#define INC_IPV6MINMTU 0x02

#define inc_fport inc_ie.ie_fport
#define inc_lport inc_ie.ie_lport
#define inc_faddr inc_ie.ie_faddr
#define inc_laddr inc_ie.ie_laddr
#define inc6_faddr inc_ie.ie6_faddr
#define inc6_laddr inc_ie.ie6_laddr
#define inc6_zoneid inc_ie.ie6_zoneid

struct alignas(8) xinpcb {
    ksize_t xi_len;               // length of this structure
    struct xsocket xi_socket;
    struct in_conninfo inp_inc;
    uint64_t inp_gencnt;
    kvaddr_t inp_ppcb;
    int64_t inp_spare64[4];
    uint32_t inp_flow;
    uint32_t inp_flowid;
    uint32_t inp_flowtype;
    int32_t inp_flags;
    int32_t inp_flags2;
    uint32_t inp_unused;
    int32_t in6p_cksum;
    int32_t inp_spare32[4];
    uint16_t in6p_hops;
    uint8_t inp_ip_tos;
    int8_t pad8;
    uint8_t inp_vflag;            // INP_IPV4 / INP_IPV6
    uint8_t inp_ip_ttl;
    uint8_t inp_ip_p;
    uint8_t inp_ip_minttl;
    int8_t inp_spare8[4];
};
static_assert(sizeof(struct xinpcb) == 400);

struct alignas(8) xinpgen {
    ksize_t xig_len;      // length of this structure
    u_int xig_count;      // number of PCBs at this time
    uint32_t _xig_spare32;
    inp_gen_t xig_gen;    // generation count at this time
    so_gen_t xig_sogen;   // socket generation count this time
    uint64_t _xig_spare64[4];
};
static_assert(sizeof(struct xinpgen) == 64);

// inp_vflag.
#define INP_IPV4 0x1
#define INP_IPV6 0x2
#define INP_IPV6PROTO 0x4

// <netinet/tcp.h>
#define TCP_CA_NAME_MAX 16
#define TCP_LOG_ID_LEN 64
#define TCP_FUNCTION_NAME_LEN_MAX 32

// <netinet/tcp_var.h>
struct alignas(8) xtcpcb {
    ksize_t xt_len;       // length of this structure
    struct xinpcb xt_inp;
    char xt_stack[TCP_FUNCTION_NAME_LEN_MAX];
    char xt_logid[TCP_LOG_ID_LEN];
    char xt_cc[TCP_CA_NAME_MAX];
    int64_t spare64[6];
    int32_t t_state;
    uint32_t t_flags;
    int32_t t_sndzerowin;
    int32_t t_sndrexmitpack;
    int32_t t_rcvoopack;
    int32_t t_rcvtime;
    int32_t tt_rexmt;
    int32_t tt_persist;
    int32_t tt_keep;
    int32_t tt_2msl;
    int32_t tt_delack;
    int32_t t_logstate;
    uint32_t t_snd_cwnd;
    uint32_t t_snd_ssthresh;
    uint32_t t_maxseg;
    uint32_t t_rcv_wnd;
    uint32_t t_snd_wnd;
    uint32_t xt_ecn;
    uint32_t t_dsack_bytes;
    uint32_t t_dsack_tlp_bytes;
    uint32_t t_dsack_pack;
    uint16_t xt_encaps_port;
    int16_t spare16;
    int32_t spare32[22];
};
static_assert(sizeof(struct xtcpcb) == 744);

// <netinet/tcp_fsm.h>
#define TCP_NSTATES 11

#define TCPS_CLOSED 0       // closed
#define TCPS_LISTEN 1       // listening for connection
#define TCPS_SYN_SENT 2     // active, have sent syn
#define TCPS_SYN_RECEIVED 3 // have sent and received syn
#define TCPS_ESTABLISHED 4  // established
#define TCPS_CLOSE_WAIT 5   // rcvd fin, waiting for close
#define TCPS_FIN_WAIT_1 6   // have closed, sent fin
#define TCPS_CLOSING 7      // closed xchd FIN; await FIN ACK
#define TCPS_LAST_ACK 8     // had fin and close; await FIN ACK
#define TCPS_FIN_WAIT_2 9   // have closed, fin is acked
#define TCPS_TIME_WAIT 10   // in 2*msl quiet wait after close

// <sys/unpcb.h>
struct alignas(8) xunpcb {
    ksize_t xu_len;        // length of this structure
    kvaddr_t xu_unpp;      // to help netstat, fstat
    kvaddr_t unp_vnode;
    kvaddr_t unp_conn;
    kvaddr_t xu_firstref;
    kvaddr_t xu_nextref;
    unp_gen_t unp_gencnt;
    int64_t xu_spare64[8];
    int32_t xu_spare32[8];
    union {
        struct sockaddr_un xu_addr;  // our bound address
        char xu_dummy1[256];
    };
    union {
        struct sockaddr_un xu_caddr; // their bound address
        char xu_dummy2[256];
    };
    struct xsocket xu_socket;
};
static_assert(sizeof(struct xunpcb) == 904);

struct alignas(8) xunpgen {
    ksize_t xug_len;
    u_int xug_count;
    unp_gen_t xug_gen;
    so_gen_t xug_sogen;
};
static_assert(sizeof(struct xunpgen) == 32);
