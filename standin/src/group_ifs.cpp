// Stand-in platform: network interfaces. The routing socket's interface list
// (sysctl {CTL_NET, PF_ROUTE, 0, af, NET_RT_IFLIST, index}) composed from the
// interface table, the records shared with getifaddrs, and the default
// machine's interfaces. The interface ioctls are in sockets.cpp, getifaddrs
// and getnameinfo in ifaddrs.cpp.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "creds.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// The room a socket address takes in a routing message: its length rounded
// up to a multiple of sizeof(long), and sizeof(long) for an empty one
// (FreeBSD's SA_SIZE). The bytes given count where they are more than sa_len.
size_t sa_room(const std::string &sa) {
    size_t len = sa.empty() ? 0 : static_cast<unsigned char>(sa[0]);
    len = std::max(len, sa.size());
    if (len == 0)
        return sizeof(long);
    return 1 + ((len - 1) | (sizeof(long) - 1));
}

void append_sa(Bytes &out, const std::string &sa) {
    size_t at = out.size();
    out.append(sa_room(sa), '\0');
    std::memcpy(out.data() + at, sa.data(), sa.size());
}

template <class T>
void put(Bytes &out, size_t at, const T &record) {
    std::memcpy(out.data() + at, &record, sizeof record);
}

// RTM_IFINFO: struct if_msghdr, then the interface's struct sockaddr_dl.
void ifinfo_message(const Iface &i, Bytes &out) {
    std::string sdl = if_link_sockaddr(i);
    size_t at = out.size();
    out.append(sizeof(struct if_msghdr), '\0');
    append_sa(out, sdl);
    struct if_msghdr ifm;
    std::memset(&ifm, 0, sizeof ifm);
    ifm.ifm_msglen = static_cast<u_short>(out.size() - at);
    ifm.ifm_version = RTM_VERSION;
    ifm.ifm_type = RTM_IFINFO;
    ifm.ifm_addrs = RTA_IFP;
    ifm.ifm_flags = static_cast<int>(i.flags);
    ifm.ifm_index = static_cast<u_short>(i.index);
    std::string data = if_data_of(i);
    std::memcpy(&ifm.ifm_data, data.data(), sizeof ifm.ifm_data);
    put(out, at, ifm);
}

// RTM_NEWADDR: struct ifa_msghdr, then netmask, address and broadcast (or
// point-to-point destination), in the order of their RTAX_* slots.
void newaddr_message(const Iface &i, const IfAddress &a, Bytes &out) {
    size_t at = out.size();
    out.append(sizeof(struct ifa_msghdr), '\0');
    int addrs = 0;
    if (a.netmask) {
        addrs |= RTA_NETMASK;
        append_sa(out, *a.netmask);
    }
    addrs |= RTA_IFA;
    append_sa(out, *a.addr);
    if (a.dst) {
        addrs |= RTA_BRD;
        append_sa(out, *a.dst);
    }
    struct ifa_msghdr ifam;
    std::memset(&ifam, 0, sizeof ifam);
    ifam.ifam_msglen = static_cast<u_short>(out.size() - at);
    ifam.ifam_version = RTM_VERSION;
    ifam.ifam_type = RTM_NEWADDR;
    ifam.ifam_addrs = addrs;
    ifam.ifam_index = static_cast<u_short>(i.index);
    put(out, at, ifam);
}

int family_of(const std::string &sa) {
    return sa.size() >= 2 ? static_cast<unsigned char>(sa[1]) : AF_UNSPEC;
}

// {CTL_NET, PF_ROUTE, protocol, af (0: all), NET_RT_IFLIST, index (0: all)}:
// per interface one RTM_IFINFO message, then one RTM_NEWADDR per address of
// the wanted family that the caller's jail lets it see (prison_if). As
// sysctl_rtsock checks the name: the protocol is not
// looked at, exactly three elements must follow it (fewer: EISDIR, more:
// ENOTDIR), the family is taken as a u_char and must not pass AF_MAX, and an
// operation other than NET_RT_IFLIST (the only one simulated) is EINVAL.
int answer_route(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 6)
        return len < 6 ? EISDIR : ENOTDIR;
    int af = static_cast<unsigned char>(mib[3]);
    if (af > AF_MAX || mib[4] != NET_RT_IFLIST)
        return EINVAL;
    int index = mib[5];
    out.clear();
    for (const Iface &i : m.ifs.list) {
        if (index != 0 && i.index != index)
            continue;
        ifinfo_message(i, out);
        for (const IfAddress &a : i.addrs)
            if (a.addr && (af == 0 || family_of(*a.addr) == af) && sees_address(m, *a.addr))
                newaddr_message(i, a, out);
    }
    return 0;
}

// Socket addresses for the default machine.
std::string inet4(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    struct sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_len = sizeof sa;
    sa.sin_family = AF_INET;
    const uint8_t bytes[4] = {a, b, c, d};
    std::memcpy(&sa.sin_addr, bytes, 4);
    return std::string(reinterpret_cast<const char *>(&sa), sizeof sa);
}

std::string inet6(std::initializer_list<uint8_t> addr, uint32_t scope = 0) {
    struct sockaddr_in6 sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin6_len = sizeof sa;
    sa.sin6_family = AF_INET6;
    std::copy(addr.begin(), addr.end(), sa.sin6_addr.s6_addr);
    sa.sin6_scope_id = scope;
    return std::string(reinterpret_cast<const char *>(&sa), sizeof sa);
}

std::string prefix6(int bits) {
    std::string sa = inet6({});
    auto *s6 = reinterpret_cast<struct sockaddr_in6 *>(sa.data());
    for (int i = 0; i < bits; i++)
        s6->sin6_addr.s6_addr[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return sa;
}

struct Counters {
    uint64_t ibytes, obytes, ipackets, opackets, ierrors, oerrors, iqdrops, oqdrops, imcasts,
        omcasts;
};

std::string counters(const Counters &c) {
    struct if_data d;
    std::memset(&d, 0, sizeof d);
    d.ifi_link_state = LINK_STATE_UP;
    d.ifi_ibytes = c.ibytes;
    d.ifi_obytes = c.obytes;
    d.ifi_ipackets = c.ipackets;
    d.ifi_opackets = c.opackets;
    d.ifi_ierrors = c.ierrors;
    d.ifi_oerrors = c.oerrors;
    d.ifi_iqdrops = c.iqdrops;
    d.ifi_oqdrops = c.oqdrops;
    d.ifi_imcasts = c.imcasts;
    d.ifi_omcasts = c.omcasts;
    d.ifi_epoch = 1765180800;
    d.ifi_lastchange.tv_sec = 1765180812;
    return std::string(reinterpret_cast<const char *>(&d), sizeof d);
}

}  // namespace

std::string if_link_sockaddr(const Iface &i) {
    if (i.link)
        return *i.link;
    size_t used = offsetof(struct sockaddr_dl, sdl_data) + i.name.size() + i.lladdr.size();
    size_t len = std::max(1 + ((used - 1) | (sizeof(long) - 1)), sizeof(struct sockaddr_dl));
    std::string out(len, '\0');
    struct sockaddr_dl sdl;
    std::memset(&sdl, 0, sizeof sdl);
    sdl.sdl_len = static_cast<u_char>(std::min<size_t>(len, 255));
    sdl.sdl_family = AF_LINK;
    sdl.sdl_index = static_cast<u_short>(i.index);
    sdl.sdl_type = static_cast<u_char>(i.type);
    sdl.sdl_nlen = static_cast<u_char>(i.name.size());
    sdl.sdl_alen = static_cast<u_char>(i.lladdr.size());
    std::memcpy(out.data(), &sdl, offsetof(struct sockaddr_dl, sdl_data));
    std::memcpy(out.data() + offsetof(struct sockaddr_dl, sdl_data), i.name.data(), i.name.size());
    std::memcpy(out.data() + offsetof(struct sockaddr_dl, sdl_data) + i.name.size(),
                i.lladdr.data(), i.lladdr.size());
    return out;
}

std::string if_data_of(const Iface &i) {
    struct if_data d;
    std::memset(&d, 0, sizeof d);
    std::memcpy(&d, i.data.data(), std::min(i.data.size(), sizeof d));
    if (!d.ifi_type)
        d.ifi_type = static_cast<uint8_t>(i.type);
    if (!d.ifi_addrlen)
        d.ifi_addrlen = static_cast<uint8_t>(i.lladdr.size());
    if (!d.ifi_datalen)
        d.ifi_datalen = sizeof d;
    if (!d.ifi_mtu)
        d.ifi_mtu = static_cast<uint32_t>(i.mtu);
    return std::string(reinterpret_cast<const char *>(&d), sizeof d);
}

const std::vector<Provider> &providers_ifs() {
    static const std::vector<Provider> list = {
        {nullptr, {CTL_NET, PF_ROUTE}, true, answer_route},
    };
    return list;
}

// The default machine's interfaces: a gigabit Ethernet port with IPv4 and
// IPv6 addresses, the loopback, and the USB bus pseudo-interface that FreeBSD
// lists beside them.
void default_ifs(Machine &m) {
    const int IFT_USB = 0xa0;

    Iface em0;
    em0.name = "em0";
    em0.index = 1;
    em0.flags = IFF_UP | IFF_BROADCAST | IFF_RUNNING | IFF_SIMPLEX | IFF_MULTICAST;
    em0.mtu = 1500;
    em0.media = IFM_ETHER | IFM_1000_T | IFM_FDX;
    em0.media_status = IFM_AVALID | IFM_ACTIVE;
    em0.type = IFT_ETHER;
    em0.lladdr = std::string("\x58\x9c\xfc\x0a\x1b\x2c", 6);
    em0.data = counters({987654321, 123456789, 1234567, 654321, 3, 1, 7, 5, 1200, 30});
    em0.addrs = {
        {inet4(192, 168, 1, 20), inet4(255, 255, 255, 0), inet4(192, 168, 1, 255), std::nullopt},
        {inet6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x5a, 0x9c, 0xfc, 0xff, 0xfe, 0x0a, 0x1b, 0x2c}, 1),
         prefix6(64), std::nullopt, std::nullopt},
        {inet6({0x20, 0x01, 0x0d, 0xb8, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20}), prefix6(64),
         std::nullopt, std::nullopt},
    };
    m.ifs.list.push_back(em0);

    Iface lo0;
    lo0.name = "lo0";
    lo0.index = 2;
    lo0.flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_MULTICAST;
    lo0.mtu = 16384;
    lo0.type = IFT_LOOP;
    lo0.data = counters({5242880, 5242880, 40960, 40960, 0, 0, 0, 0, 0, 0});
    lo0.addrs = {
        {inet4(127, 0, 0, 1), inet4(255, 0, 0, 0), std::nullopt, std::nullopt},
        {inet6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), prefix6(128), std::nullopt,
         std::nullopt},
        {inet6({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 2), prefix6(64),
         std::nullopt, std::nullopt},
    };
    m.ifs.list.push_back(lo0);

    Iface usbus0;
    usbus0.name = "usbus0";
    usbus0.index = 3;
    usbus0.flags = 0;
    usbus0.mtu = 0;
    usbus0.type = IFT_USB;
    usbus0.data = counters({0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    m.ifs.list.push_back(usbus0);
}

}  // namespace fakebsd
