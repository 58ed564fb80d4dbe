// Network interfaces of the stand-in platform: <net/if.h> (interface data,
// routing-socket interface messages, ifreq, ifmediareq), <net/if_dl.h>,
// <net/if_media.h>, the routing-socket and sysctl bits of <net/route.h> and
// <sys/socket.h>, the interface ioctls of <sys/sockio.h> and <sys/ioctl.h>,
// <ifaddrs.h> and the getnameinfo part of <netdb.h>, as FreeBSD 14 amd64
// defines them.
#pragma once

#include "types.h"
#include "socket.h"

// <net/if.h>
#define IF_NAMESIZE 16
#define IFNAMSIZ IF_NAMESIZE
#define IF_MAXUNIT 0x7fff

// Interface flags (ifr_flags | ifr_flagshigh << 16, ifa_flags, ifm_flags).
#define IFF_UP 0x1              // interface is up
#define IFF_BROADCAST 0x2       // broadcast address valid
#define IFF_DEBUG 0x4           // turn on debugging
#define IFF_LOOPBACK 0x8        // is a loopback net
#define IFF_POINTOPOINT 0x10    // is a point-to-point link
#define IFF_NEEDSEPOCH 0x20     // calls if_input w/o net epoch
#define IFF_DRV_RUNNING 0x40    // resources allocated
#define IFF_NOARP 0x80          // no address resolution protocol
#define IFF_PROMISC 0x100       // receive all packets
#define IFF_ALLMULTI 0x200      // receive all multicast packets
#define IFF_DRV_OACTIVE 0x400   // tx hardware queue is full
#define IFF_SIMPLEX 0x800       // can't hear own transmissions
#define IFF_LINK0 0x1000        // per link layer defined bit
#define IFF_LINK1 0x2000        // per link layer defined bit
#define IFF_LINK2 0x4000        // per link layer defined bit
#define IFF_ALTPHYS IFF_LINK2   // use alternate physical connection
#define IFF_MULTICAST 0x8000    // supports multicast
#define IFF_CANTCONFIG 0x10000  // unconfigurable using ioctl(2)
#define IFF_PPROMISC 0x20000    // user-requested promisc mode
#define IFF_MONITOR 0x40000     // user-requested monitor mode
#define IFF_STATICARP 0x80000   // static ARP
#define IFF_STICKYARP 0x100000  // sticky ARP
#define IFF_DYING 0x200000      // interface is winding down
#define IFF_RENAMING 0x400000   // interface is being renamed
#define IFF_PALLMULTI 0x800000  // user-requested allmulti mode
#define IFF_NETLINK_1 0x1000000 // used by netlink
#define IFF_RUNNING IFF_DRV_RUNNING
#define IFF_OACTIVE IFF_DRV_OACTIVE
#define IFF_CANTCHANGE                                                                    \
    (IFF_BROADCAST | IFF_POINTOPOINT | IFF_DRV_RUNNING | IFF_DRV_OACTIVE | IFF_SIMPLEX |  \
     IFF_MULTICAST | IFF_ALLMULTI | IFF_PROMISC | IFF_DYING | IFF_CANTCONFIG |            \
     IFF_NEEDSEPOCH)

// ifi_link_state.
#define LINK_STATE_UNKNOWN 0
#define LINK_STATE_DOWN 1
#define LINK_STATE_UP 2

// <net/if_types.h> (sdl_type, ifi_type): FreeBSD's enum, the common entries.
typedef enum {
    IFT_OTHER = 0x1,  // none of the following
    IFT_ETHER = 0x6,  // Ethernet CSMA/CD
    IFT_LOOP = 0x18,  // loopback
} ifType;

// Interface statistics, as the routing socket and sysctl report them.
struct if_data {
    // generic interface information
    uint8_t ifi_type;        // ethernet, tokenring, etc
    uint8_t ifi_physical;    // e.g., AUI, Thinnet, 10base-T, etc
    uint8_t ifi_addrlen;     // media address length
    uint8_t ifi_hdrlen;      // media header length
    uint8_t ifi_link_state;  // current link state
    uint8_t ifi_vhid;        // carp vhid
    uint16_t ifi_datalen;    // length of this data struct
    uint32_t ifi_mtu;        // maximum transmission unit
    uint32_t ifi_metric;     // routing metric (external only)
    uint64_t ifi_baudrate;   // linespeed
    // volatile statistics
    uint64_t ifi_ipackets;   // packets received on interface
    uint64_t ifi_ierrors;    // input errors on interface
    uint64_t ifi_opackets;   // packets sent on interface
    uint64_t ifi_oerrors;    // output errors on interface
    uint64_t ifi_collisions; // collisions on csma interfaces
    uint64_t ifi_ibytes;     // total number of octets received
    uint64_t ifi_obytes;     // total number of octets sent
    uint64_t ifi_imcasts;    // packets received via multicast
    uint64_t ifi_omcasts;    // packets sent via multicast
    uint64_t ifi_iqdrops;    // dropped on input
    uint64_t ifi_oqdrops;    // dropped on output
    uint64_t ifi_noproto;    // destined for unsupported protocol
    uint64_t ifi_hwassist;   // HW offload capabilities, see IFCAP
    // The unions keep the sizes machine independent.
    union {                  // uptime at attach or stat reset
        time_t tt;
        uint64_t ph;
    } __ifi_epoch;
#define ifi_epoch __ifi_epoch.tt
    union {                  // time of last administrative change
        struct timeval tv;
        struct {
            uint64_t ph1;
            uint64_t ph2;
        } ph;
    } __ifi_lastchange;
#define ifi_lastchange __ifi_lastchange.tv
};
static_assert(sizeof(struct if_data) == 152);

// Routing-socket message for an interface (RTM_IFINFO).
struct if_msghdr {
    u_short ifm_msglen;     // to skip over non-understood messages
    u_char ifm_version;     // future binary compatibility
    u_char ifm_type;        // message type
    int ifm_addrs;          // like rtm_addrs
    int ifm_flags;          // value of if_flags
    u_short ifm_index;      // index for associated ifp
    u_short _ifm_spare1;
    struct if_data ifm_data; // statistics and other data about if
};
static_assert(sizeof(struct if_msghdr) == 168);

// Routing-socket message for an interface address (RTM_NEWADDR, RTM_DELADDR).
struct ifa_msghdr {
    u_short ifam_msglen;    // to skip over non-understood messages
    u_char ifam_version;    // future binary compatibility
    u_char ifam_type;       // message type
    int ifam_addrs;         // like rtm_addrs
    int ifam_flags;         // value of ifa_flags
    u_short ifam_index;     // index for associated ifp
    u_short _ifam_spare1;
    int ifam_metric;        // value of ifa_ifp->if_metric
};
static_assert(sizeof(struct ifa_msghdr) == 20);

struct ifreq_buffer {
    size_t length;
    void *buffer;
};

struct ifreq_nv_req {
    u_int buf_length;  // total size of buffer
    u_int length;      // length of the filled part
    void *buffer;      // buffer itself, containing packed nv
};

// Interface request for the socket ioctls.
struct ifreq {
    char ifr_name[IFNAMSIZ];  // if name, e.g. "en0"
    union {
        struct sockaddr ifru_addr;
        struct sockaddr ifru_dstaddr;
        struct sockaddr ifru_broadaddr;
        struct ifreq_buffer ifru_buffer;
        short ifru_flags[2];
        short ifru_index;
        int ifru_jid;
        int ifru_metric;
        int ifru_mtu;
        int ifru_phys;
        int ifru_media;
        caddr_t ifru_data;
        int ifru_cap[2];
        u_int ifru_fib;
        u_char ifru_vlan_pcp;
        struct ifreq_nv_req ifru_nv;
    } ifr_ifru;
#define ifr_addr ifr_ifru.ifru_addr           // address
#define ifr_dstaddr ifr_ifru.ifru_dstaddr     // other end of p-to-p link
#define ifr_broadaddr ifr_ifru.ifru_broadaddr // broadcast address
#define ifr_buffer ifr_ifru.ifru_buffer       // user supplied buffer with its length
#define ifr_flags ifr_ifru.ifru_flags[0]      // flags (low 16 bits)
#define ifr_flagshigh ifr_ifru.ifru_flags[1]  // flags (high 16 bits)
#define ifr_jid ifr_ifru.ifru_jid             // jail/vnet
#define ifr_metric ifr_ifru.ifru_metric       // metric
#define ifr_mtu ifr_ifru.ifru_mtu             // mtu
#define ifr_phys ifr_ifru.ifru_phys           // physical wire
#define ifr_media ifr_ifru.ifru_media         // physical media
#define ifr_data ifr_ifru.ifru_data           // for use by interface
#define ifr_reqcap ifr_ifru.ifru_cap[0]       // requested capabilities
#define ifr_curcap ifr_ifru.ifru_cap[1]       // current capabilities
#define ifr_index ifr_ifru.ifru_index         // interface index
#define ifr_fib ifr_ifru.ifru_fib             // interface fib
#define ifr_vlan_pcp ifr_ifru.ifru_vlan_pcp   // VLAN priority
#define ifr_lan_pcp ifr_ifru.ifru_vlan_pcp    // VLAN priority
#define ifr_cap_nv ifr_ifru.ifru_nv           // nv-based cap interface
};
static_assert(sizeof(struct ifreq) == 32);

// Media request (SIOCGIFMEDIA).
struct ifmediareq {
    char ifm_name[IFNAMSIZ];  // if name, e.g. "en0"
    int ifm_current;          // current media options
    int ifm_mask;             // don't care mask
    int ifm_status;           // media status
    int ifm_active;           // active options
    int ifm_count;            // # entries in ifm_ulist array
    int *ifm_ulist;           // media words
};
static_assert(sizeof(struct ifmediareq) == 48);

// <net/if_dl.h>: link-level socket address.
struct sockaddr_dl {
    u_char sdl_len;     // total length of sockaddr
    u_char sdl_family;  // AF_LINK
    u_short sdl_index;  // if != 0, system given index for interface
    u_char sdl_type;    // interface type
    u_char sdl_nlen;    // interface name length, no trailing 0 reqd.
    u_char sdl_alen;    // link level address length
    u_char sdl_slen;    // link layer selector length
    char sdl_data[46];  // minimum work area, can be larger; contains both
                        // if name and ll address
};
static_assert(sizeof(struct sockaddr_dl) == 54);
#define LLADDR(s) ((caddr_t)((s)->sdl_data + (s)->sdl_nlen))
#define CLLADDR(s) ((const char *)((s)->sdl_data + (s)->sdl_nlen))

// <net/if_media.h>
#define IFM_ETHER 0x00000020
#define IFM_ETHER_SUBTYPE(x) (((x) & IFM_TMASK) | \
 (((x) & (IFM_ETH_XTYPE >> IFM_ETH_XSHIFT)) << IFM_ETH_XSHIFT))
#define IFM_X(x) IFM_ETHER_SUBTYPE(x) // internal shorthand
#define IFM_ETHER_SUBTYPE_SET(x) (IFM_ETHER_SUBTYPE(x) | IFM_ETHER)
#define IFM_ETHER_SUBTYPE_GET(x) ((x) & (IFM_TMASK|IFM_ETH_XTYPE))
#define IFM_ETHER_IS_EXTENDED(x) ((x) & IFM_ETH_XTYPE)
#define IFM_10_T 3 // 10BaseT - RJ45
#define IFM_10_2 4 // 10Base2 - Thinnet
#define IFM_10_5 5 // 10Base5 - AUI
#define IFM_100_TX 6 // 100BaseTX - RJ45
#define IFM_100_FX 7 // 100BaseFX - Fiber
#define IFM_100_T4 8 // 100BaseT4 - 4 pair cat 3
#define IFM_100_VG 9 // 100VG-AnyLAN
#define IFM_100_T2 10 // 100BaseT2
#define IFM_1000_SX 11 // 1000BaseSX - multi-mode fiber
#define IFM_10_STP 12 // 10BaseT over shielded TP
#define IFM_10_FL 13 // 10BaseFL - Fiber
#define IFM_1000_LX 14 // 1000baseLX - single-mode fiber
#define IFM_1000_CX 15 // 1000baseCX - 150ohm STP
#define IFM_1000_T 16 // 1000baseT - 4 pair cat 5
#define IFM_HPNA_1 17 // HomePNA 1.0 (1Mb/s)
#define IFM_10G_LR 18 // 10GBase-LR 1310nm Single-mode
#define IFM_10G_SR 19 // 10GBase-SR 850nm Multi-mode
#define IFM_10G_CX4 20 // 10GBase CX4 copper
#define IFM_2500_SX 21 // 2500BaseSX - multi-mode fiber
#define IFM_10G_TWINAX 22 // 10GBase Twinax copper
#define IFM_10G_TWINAX_LONG 23 // 10GBase Twinax Long copper
#define IFM_10G_LRM 24 // 10GBase-LRM 850nm Multi-mode
#define IFM_UNKNOWN 25 // media types not defined yet
#define IFM_10G_T 26 // 10GBase-T - RJ45
#define IFM_40G_CR4 27 // 40GBase-CR4
#define IFM_40G_SR4 28 // 40GBase-SR4
#define IFM_40G_LR4 29 // 40GBase-LR4
#define IFM_1000_KX 30 // 1000Base-KX backplane
#define IFM_OTHER 31 // Other: one of the following
#define IFM_10G_KX4 IFM_X(32) // 10GBase-KX4 backplane
#define IFM_10G_KR IFM_X(33) // 10GBase-KR backplane
#define IFM_10G_CR1 IFM_X(34) // 10GBase-CR1 Twinax splitter
#define IFM_20G_KR2 IFM_X(35) // 20GBase-KR2 backplane
#define IFM_2500_KX IFM_X(36) // 2500Base-KX backplane
#define IFM_2500_T IFM_X(37) // 2500Base-T - RJ45 (NBaseT)
#define IFM_5000_T IFM_X(38) // 5000Base-T - RJ45 (NBaseT)
#define IFM_50G_PCIE IFM_X(39) // 50G Ethernet over PCIE
#define IFM_25G_PCIE IFM_X(40) // 25G Ethernet over PCIE
#define IFM_1000_SGMII IFM_X(41) // 1G media interface
#define IFM_10G_SFI IFM_X(42) // 10G media interface
#define IFM_40G_XLPPI IFM_X(43) // 40G media interface
#define IFM_1000_CX_SGMII IFM_X(44) // 1000Base-CX-SGMII
#define IFM_40G_KR4 IFM_X(45) // 40GBase-KR4
#define IFM_10G_ER IFM_X(46) // 10GBase-ER
#define IFM_100G_CR4 IFM_X(47) // 100GBase-CR4
#define IFM_100G_SR4 IFM_X(48) // 100GBase-SR4
#define IFM_100G_KR4 IFM_X(49) // 100GBase-KR4
#define IFM_100G_LR4 IFM_X(50) // 100GBase-LR4
#define IFM_56G_R4 IFM_X(51) // 56GBase-R4
#define IFM_100_T IFM_X(52) // 100BaseT - RJ45
#define IFM_25G_CR IFM_X(53) // 25GBase-CR
#define IFM_25G_KR IFM_X(54) // 25GBase-KR
#define IFM_25G_SR IFM_X(55) // 25GBase-SR
#define IFM_50G_CR2 IFM_X(56) // 50GBase-CR2
#define IFM_50G_KR2 IFM_X(57) // 50GBase-KR2
#define IFM_25G_LR IFM_X(58) // 25GBase-LR
#define IFM_10G_AOC IFM_X(59) // 10G active optical cable
#define IFM_25G_ACC IFM_X(60) // 25G active copper cable
#define IFM_25G_AOC IFM_X(61) // 25G active optical cable
#define IFM_100_SGMII IFM_X(62) // 100M media interface
#define IFM_2500_X IFM_X(63) // 2500BaseX
#define IFM_5000_KR IFM_X(64) // 5GBase-KR backplane
#define IFM_25G_T IFM_X(65) // 25GBase-T - RJ45
#define IFM_25G_CR_S IFM_X(66) // 25GBase-CR (short)
#define IFM_25G_CR1 IFM_X(67) // 25GBase-CR1 DA cable
#define IFM_25G_KR_S IFM_X(68) // 25GBase-KR (short)
#define IFM_5000_KR_S IFM_X(69) // 5GBase-KR backplane (short)
#define IFM_5000_KR1 IFM_X(70) // 5GBase-KR backplane
#define IFM_25G_AUI IFM_X(71) // 25G-AUI-C2C (chip to chip)
#define IFM_40G_XLAUI IFM_X(72) // 40G-XLAUI
#define IFM_40G_XLAUI_AC IFM_X(73) // 40G active copper/optical
#define IFM_40G_ER4 IFM_X(74) // 40GBase-ER4
#define IFM_50G_SR2 IFM_X(75) // 50GBase-SR2
#define IFM_50G_LR2 IFM_X(76) // 50GBase-LR2
#define IFM_50G_LAUI2_AC IFM_X(77) // 50G active copper/optical
#define IFM_50G_LAUI2 IFM_X(78) // 50G-LAUI2
#define IFM_50G_AUI2_AC IFM_X(79) // 50G active copper/optical
#define IFM_50G_AUI2 IFM_X(80) // 50G-AUI2
#define IFM_50G_CP IFM_X(81) // 50GBase-CP
#define IFM_50G_SR IFM_X(82) // 50GBase-SR
#define IFM_50G_LR IFM_X(83) // 50GBase-LR
#define IFM_50G_FR IFM_X(84) // 50GBase-FR
#define IFM_50G_KR_PAM4 IFM_X(85) // 50GBase-KR PAM4
#define IFM_25G_KR1 IFM_X(86) // 25GBase-KR1
#define IFM_50G_AUI1_AC IFM_X(87) // 50G active copper/optical
#define IFM_50G_AUI1 IFM_X(88) // 50G-AUI1
#define IFM_100G_CAUI4_AC IFM_X(89) // 100G-CAUI4 active copper/optical
#define IFM_100G_CAUI4 IFM_X(90) // 100G-CAUI4
#define IFM_100G_AUI4_AC IFM_X(91) // 100G-AUI4 active copper/optical
#define IFM_100G_AUI4 IFM_X(92) // 100G-AUI4
#define IFM_100G_CR_PAM4 IFM_X(93) // 100GBase-CR PAM4
#define IFM_100G_KR_PAM4 IFM_X(94) // 100GBase-CR PAM4
#define IFM_100G_CP2 IFM_X(95) // 100GBase-CP2
#define IFM_100G_SR2 IFM_X(96) // 100GBase-SR2
#define IFM_100G_DR IFM_X(97) // 100GBase-DR
#define IFM_100G_KR2_PAM4 IFM_X(98) // 100GBase-KR2 PAM4
#define IFM_100G_CAUI2_AC IFM_X(99) // 100G-CAUI2 active copper/optical
#define IFM_100G_CAUI2 IFM_X(100) // 100G-CAUI2
#define IFM_100G_AUI2_AC IFM_X(101) // 100G-AUI2 active copper/optical
#define IFM_100G_AUI2 IFM_X(102) // 100G-AUI2
#define IFM_200G_CR4_PAM4 IFM_X(103) // 200GBase-CR4 PAM4
#define IFM_200G_SR4 IFM_X(104) // 200GBase-SR4
#define IFM_200G_FR4 IFM_X(105) // 200GBase-FR4
#define IFM_200G_LR4 IFM_X(106) // 200GBase-LR4
#define IFM_200G_DR4 IFM_X(107) // 200GBase-DR4
#define IFM_200G_KR4_PAM4 IFM_X(108) // 200GBase-KR4 PAM4
#define IFM_200G_AUI4_AC IFM_X(109) // 200G-AUI4 active copper/optical
#define IFM_200G_AUI4 IFM_X(110) // 200G-AUI4
#define IFM_200G_AUI8_AC IFM_X(111) // 200G-AUI8 active copper/optical
#define IFM_200G_AUI8 IFM_X(112) // 200G-AUI8
#define IFM_400G_FR8 IFM_X(113) // 400GBase-FR8
#define IFM_400G_LR8 IFM_X(114) // 400GBase-LR8
#define IFM_400G_DR4 IFM_X(115) // 400GBase-DR4
#define IFM_400G_AUI8_AC IFM_X(116) // 400G-AUI8 active copper/optical
#define IFM_400G_AUI8 IFM_X(117) // 400G-AUI8
#define IFM_50G_KR4 IFM_X(118) // 50GBase-KR4
#define IFM_40G_LM4 IFM_X(119) // 40GBase-LM4
#define IFM_ETH_MASTER 0x00000100 // master mode (1000baseT)
#define IFM_ETH_RXPAUSE 0x00000200 // receive PAUSE frames
#define IFM_ETH_TXPAUSE 0x00000400 // transmit PAUSE frames
#define IFM_ETH_XTYPE 0x00007800 // extended media variants
#define IFM_ETH_XSHIFT 6 // shift XTYPE next to TMASK
#define IFM_IEEE80211 0x00000080
#define IFM_IEEE80211_FH1 3 // Frequency Hopping 1Mbps
#define IFM_IEEE80211_FH2 4 // Frequency Hopping 2Mbps
#define IFM_IEEE80211_DS1 5 // Direct Sequence 1Mbps
#define IFM_IEEE80211_DS2 6 // Direct Sequence 2Mbps
#define IFM_IEEE80211_DS5 7 // Direct Sequence 5.5Mbps
#define IFM_IEEE80211_DS11 8 // Direct Sequence 11Mbps
#define IFM_IEEE80211_DS22 9 // Direct Sequence 22Mbps
#define IFM_IEEE80211_OFDM6 10 // OFDM 6Mbps
#define IFM_IEEE80211_OFDM9 11 // OFDM 9Mbps
#define IFM_IEEE80211_OFDM12 12 // OFDM 12Mbps
#define IFM_IEEE80211_OFDM18 13 // OFDM 18Mbps
#define IFM_IEEE80211_OFDM24 14 // OFDM 24Mbps
#define IFM_IEEE80211_OFDM36 15 // OFDM 36Mbps
#define IFM_IEEE80211_OFDM48 16 // OFDM 48Mbps
#define IFM_IEEE80211_OFDM54 17 // OFDM 54Mbps
#define IFM_IEEE80211_OFDM72 18 // OFDM 72Mbps
#define IFM_IEEE80211_DS354k 19 // Direct Sequence 354Kbps
#define IFM_IEEE80211_DS512k 20 // Direct Sequence 512Kbps
#define IFM_IEEE80211_OFDM3 21 // OFDM 3Mbps
#define IFM_IEEE80211_OFDM4 22 // OFDM 4.5Mbps
#define IFM_IEEE80211_OFDM27 23 // OFDM 27Mbps
#define IFM_IEEE80211_MCS 24 // HT MCS rate
#define IFM_IEEE80211_VHT 25 // VHT MCS rate
#define IFM_IEEE80211_ADHOC 0x00000100 // Operate in Adhoc mode
#define IFM_IEEE80211_HOSTAP 0x00000200 // Operate in Host AP mode
#define IFM_IEEE80211_IBSS 0x00000400 // Operate in IBSS mode
#define IFM_IEEE80211_WDS 0x00000800 // Operate in WDS mode
#define IFM_IEEE80211_TURBO 0x00001000 // Operate in turbo mode
#define IFM_IEEE80211_MONITOR 0x00002000 // Operate in monitor mode
#define IFM_IEEE80211_MBSS 0x00004000 // Operate in MBSS mode
#define IFM_IEEE80211_11A 0x00010000 // 5Ghz, OFDM mode
#define IFM_IEEE80211_11B 0x00020000 // Direct Sequence mode
#define IFM_IEEE80211_11G 0x00030000 // 2Ghz, CCK mode
#define IFM_IEEE80211_FH 0x00040000 // 2Ghz, GFSK mode
#define IFM_IEEE80211_11NA 0x00050000 // 5Ghz, HT mode
#define IFM_IEEE80211_11NG 0x00060000 // 2Ghz, HT mode
#define IFM_IEEE80211_VHT5G 0x00070000 // 5Ghz, VHT mode
#define IFM_IEEE80211_VHT2G 0x00080000 // 2Ghz, VHT mode
#define IFM_ATM 0x000000a0
#define IFM_ATM_UNKNOWN 3
#define IFM_ATM_UTP_25 4
#define IFM_ATM_TAXI_100 5
#define IFM_ATM_TAXI_140 6
#define IFM_ATM_MM_155 7
#define IFM_ATM_SM_155 8
#define IFM_ATM_UTP_155 9
#define IFM_ATM_MM_622 10
#define IFM_ATM_SM_622 11
#define IFM_ATM_VIRTUAL 12
#define IFM_ATM_SDH 0x00000100 // SDH instead of SONET
#define IFM_ATM_NOSCRAMB 0x00000200 // no scrambling
#define IFM_ATM_UNASSIGNED 0x00000400 // unassigned cells
#define IFM_AUTO 0 // Autoselect best media
#define IFM_MANUAL 1 // Jumper/dipswitch selects media
#define IFM_NONE 2 // Deselect all media
#define IFM_FDX 0x00100000 // Force full duplex
#define IFM_HDX 0x00200000 // Force half duplex
#define IFM_FLOW 0x00400000 // enable hardware flow control
#define IFM_FLAG0 0x01000000 // Driver defined flag
#define IFM_FLAG1 0x02000000 // Driver defined flag
#define IFM_FLAG2 0x04000000 // Driver defined flag
#define IFM_LOOP 0x08000000 // Put hardware in loopback
#define IFM_NMASK 0x000000e0 // Network type
#define IFM_TMASK 0x0000001f // Media sub-type
#define IFM_IMASK 0xf0000000 // Instance
#define IFM_ISHIFT 28 // Instance shift
#define IFM_OMASK 0x0000ff00 // Type specific options
#define IFM_MMASK 0x00070000 // Mode
#define IFM_MSHIFT 16 // Mode shift
#define IFM_GMASK 0x0ff00000 // Global options
#define IFM_ETH_FMASK (IFM_FLOW | IFM_ETH_RXPAUSE | IFM_ETH_TXPAUSE)
#define IFM_AVALID 0x00000001 // Active bit valid
#define IFM_ACTIVE 0x00000002 // Interface attached to working net
#define IFM_STATUS_VALID IFM_AVALID
#define IFM_TYPE(x) ((x) & IFM_NMASK)
#define IFM_SUBTYPE(x) \
 (IFM_TYPE(x) == IFM_ETHER ? IFM_ETHER_SUBTYPE_GET(x) : ((x) & IFM_TMASK))
#define IFM_TYPE_MATCH(x,y) \
 (IFM_TYPE(x) == IFM_TYPE(y) && IFM_SUBTYPE(x) == IFM_SUBTYPE(y))
#define IFM_TYPE_OPTIONS(x) ((x) & IFM_OMASK)
#define IFM_INST(x) (((x) & IFM_IMASK) >> IFM_ISHIFT)
#define IFM_OPTIONS(x) ((x) & (IFM_OMASK | IFM_GMASK))
#define IFM_MODE(x) ((x) & IFM_MMASK)
#define IFM_INST_MAX IFM_INST(IFM_IMASK)
#define IFM_MAKEWORD(type, subtype, options, instance) \
 ((type) | (subtype) | (options) | ((instance) << IFM_ISHIFT))
#define IFM_MAKEMODE(mode) \
 (((mode) << IFM_MSHIFT) & IFM_MMASK)

// <net/route.h>: routing-socket messages and their address bits.
#define RTM_VERSION 5
#define RTM_NEWADDR 0xc    // address being added to iface
#define RTM_DELADDR 0xd    // address being removed from iface
#define RTM_IFINFO 0xe     // iface going up/down etc.
#define RTM_NEWMADDR 0xf   // mcast group membership being added to if
#define RTM_DELMADDR 0x10  // mcast group membership being deleted
#define RTM_IFANNOUNCE 0x11 // iface arrival/departure

#define RTA_DST 0x1      // destination sockaddr present
#define RTA_GATEWAY 0x2  // gateway sockaddr present
#define RTA_NETMASK 0x4  // netmask sockaddr present
#define RTA_GENMASK 0x8  // cloning mask sockaddr present
#define RTA_IFP 0x10     // interface name sockaddr present
#define RTA_IFA 0x20     // interface addr sockaddr present
#define RTA_AUTHOR 0x40  // sockaddr for author of redirect
#define RTA_BRD 0x80     // for NEWADDR, broadcast or p-p dest addr

#define RTAX_DST 0
#define RTAX_GATEWAY 1
#define RTAX_NETMASK 2
#define RTAX_GENMASK 3
#define RTAX_IFP 4
#define RTAX_IFA 5
#define RTAX_AUTHOR 6
#define RTAX_BRD 7
#define RTAX_MAX 8

// <sys/socket.h>: the net.route sysctl (CTL_NET, PF_ROUTE, 0, af, NET_RT_*).
#define NET_RT_DUMP 1
#define NET_RT_FLAGS 2
#define NET_RT_IFLIST 3
#define NET_RT_IFMALIST 4
#define NET_RT_IFLISTL 5

// <sys/sockio.h>: _IOWR('i', n, struct ...) spelled out; the length field
// is the record size, so the values follow from the layouts above.
#define SIOCGIFFLAGS 0xc0206911UL  // _IOWR('i', 17, struct ifreq)
#define SIOCGIFCAP 0xc020691fUL    // _IOWR('i', 31, struct ifreq)
#define SIOCGIFINDEX 0xc0206920UL  // _IOWR('i', 32, struct ifreq)
#define SIOCGIFADDR 0xc0206921UL   // _IOWR('i', 33, struct ifreq)
#define SIOCGIFMTU 0xc0206933UL    // _IOWR('i', 51, struct ifreq)
#define SIOCGIFMEDIA 0xc0306938UL  // _IOWR('i', 56, struct ifmediareq)
#define SIOCGIFXMEDIA 0xc030698bUL // _IOWR('i', 139, struct ifmediareq)
static_assert(SIOCGIFMTU == (0xc0000000UL | (sizeof(struct ifreq) << 16) | ('i' << 8) | 51));
static_assert(SIOCGIFMEDIA ==
              (0xc0000000UL | (sizeof(struct ifmediareq) << 16) | ('i' << 8) | 56));

// <ifaddrs.h>
struct ifaddrs {
    struct ifaddrs *ifa_next;
    char *ifa_name;
    unsigned int ifa_flags;
    struct sockaddr *ifa_addr;
    struct sockaddr *ifa_netmask;
    struct sockaddr *ifa_dstaddr;
    void *ifa_data;  // struct if_data for AF_LINK entries
};
#define ifa_broadaddr ifa_dstaddr  // broadcast address interface
static_assert(sizeof(struct ifaddrs) == 56);

// <netdb.h>: getnameinfo(3).
#define NI_MAXHOST 1025
#define NI_MAXSERV 32
#define NI_NOFQDN 0x00000001
#define NI_NUMERICHOST 0x00000002
#define NI_NAMEREQD 0x00000004
#define NI_NUMERICSERV 0x00000008
#define NI_DGRAM 0x00000010
#define NI_NUMERICSCOPE 0x00000020

extern "C" {
int fbsd_getifaddrs(struct ifaddrs **ifap);
void fbsd_freeifaddrs(struct ifaddrs *ifp);
int fbsd_getnameinfo(const struct sockaddr *sa, socklen_t salen, char *host, size_t hostlen,
                     char *serv, size_t servlen, int flags);
// <sys/ioctl.h>
int fbsd_ioctl(int fd, unsigned long request, ...);
}
#define getifaddrs fbsd_getifaddrs
#define freeifaddrs fbsd_freeifaddrs
#define getnameinfo fbsd_getnameinfo
#define ioctl fbsd_ioctl
