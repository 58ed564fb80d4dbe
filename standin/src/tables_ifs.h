// State of the simulated machine for one capability group (see tables.h):
// the network interfaces behind getifaddrs, the interface ioctls and the
// routing socket's interface list.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fakebsd {

// One address of an interface. Socket addresses are raw bytes in FreeBSD's
// layout (sa_len first), so tests can also place malformed ones; nullopt is a
// null pointer in the ifaddrs entry.
struct IfAddress {
    std::optional<std::string> addr;
    std::optional<std::string> netmask;
    std::optional<std::string> dst;       // broadcast or point-to-point destination
    std::optional<unsigned> flags;        // ifa_flags of this entry; default: the interface's
};

struct Iface {
    std::string name;
    int index = 0;                        // interface index (sdl_index, scope ids)
    unsigned flags = 0;                   // IFF_* (both words)
    int mtu = 1500;
    std::optional<int> media;             // active media word; nullopt: no media support (EINVAL)
    int media_status = 0;                 // IFM_AVALID | IFM_ACTIVE ...
    int type = 6;                         // IFT_* (IFT_ETHER)
    std::string lladdr;                   // link-level address bytes
    std::optional<std::string> link;      // raw struct sockaddr_dl instead of the one made up
    std::string data;                     // struct if_data (counters); empty: all zero
    std::vector<IfAddress> addrs;
};

struct IfTable {
    std::vector<Iface> list;  // kernel order

    const Iface *find(std::string_view name) const {
        for (const Iface &i : list)
            if (i.name == name)
                return &i;
        return nullptr;
    }
    const Iface *by_index(int index) const {
        for (const Iface &i : list)
            if (i.index == index)
                return &i;
        return nullptr;
    }
};

// The interface's link-level socket address (struct sockaddr_dl with the name
// and the address in sdl_data, sdl_len as the kernel sizes it), or its raw
// override.
std::string if_link_sockaddr(const Iface &i);
// The interface's struct if_data: the given record (counters), with the
// fields the kernel fills in itself (type, address length, data length, MTU)
// set where the record leaves them 0.
std::string if_data_of(const Iface &i);

}  // namespace fakebsd
