// getifaddrs(3), freeifaddrs(3) and getnameinfo(3) of the stand-in platform.
//
// getifaddrs lists, per interface, its link-level entry (a struct
// sockaddr_dl with the name and the address in sdl_data, the interface's
// struct if_data in ifa_data) and then one entry per address, all with the
// interface's flags unless an address brings its own. Each socket address is
// a block of its own, as long as its sa_len says (at least the bytes given;
// addresses other than link-level ones at least a struct sockaddr_in6, which
// getnameinfo may be asked to read). Fault "getifaddrs" (key "").
//
// getnameinfo answers as FreeBSD's (lib/libc/net/getnameinfo.c) does for
// IPv4 and IPv6 addresses: a salen beyond a struct sockaddr_storage, or short
// of the family's structure, gives EAI_FAMILY; a longer one is taken, and
// only the structure read. Other families give EAI_FAMILY. The text is inet_ntop's; an
// IPv6 address with a non-zero sin6_scope_id gets '%' and its zone: the
// interface's name for link-local unicast and link- or interface-local
// multicast addresses, the number otherwise, under NI_NUMERICSCOPE, or when
// no interface has that index. A host buffer too small for the text gives
// EAI_MEMORY for IPv4 and EAI_OVERFLOW for IPv6 (whose address is already in
// the buffer when only the zone does not fit); a service buffer too small,
// EAI_MEMORY. The simulated machine has no name service: without
// NI_NUMERICHOST the answer is numeric as well, or EAI_NONAME under
// NI_NAMEREQD (which NI_NUMERICHOST also refuses). Link-level addresses are
// not served (EAI_FAMILY). Fault "getnameinfo" (key: the text it would give,
// "" when none; errno=E fails with EAI_SYSTEM and errno E, errno=0 with
// EAI_FAIL; a raw answer is the host text).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "creds.h"
#include "machine.h"

#include <fakebsd/freebsd.h>

// <netdb.h> error codes of getaddrinfo/getnameinfo, FreeBSD's values.
#define FBSD_EAI_FAIL 4
#define FBSD_EAI_FAMILY 5
#define FBSD_EAI_MEMORY 6
#define FBSD_EAI_NONAME 8
#define FBSD_EAI_SYSTEM 11
#define FBSD_EAI_OVERFLOW 14

namespace fakebsd {

namespace {

// sizeof(struct sockaddr_storage) on FreeBSD.
constexpr socklen_t kSockaddrStorageSize = 128;

// One list handed out by getifaddrs: its entries and the blocks they point to.
struct Chain {
    std::vector<struct ifaddrs> entries;
    std::vector<std::unique_ptr<char[]>> blocks;
    std::shared_ptr<Resources> owner;

    char *block(const std::string &bytes, size_t size) {
        size = std::max(size, bytes.size());
        blocks.push_back(std::make_unique<char[]>(std::max<size_t>(size, 1)));
        std::memcpy(blocks.back().get(), bytes.data(), bytes.size());
        return blocks.back().get();
    }
    struct sockaddr *sockaddr(const std::optional<std::string> &sa) {
        return sa ? sockaddr(*sa) : nullptr;
    }
    // Taken as a string, not through a temporary optional: g++ 12 at -O3
    // loses track of the short string kept inside one and warns of a read of
    // uninitialised bytes (which stops a build with warnings as errors).
    struct sockaddr *sockaddr(const std::string &bytes) {
        const auto *u = reinterpret_cast<const unsigned char *>(bytes.data());
        size_t size = bytes.empty() ? 0 : u[0];
        bool link = bytes.size() >= 2 && u[1] == AF_LINK;
        size = std::max(size, link ? offsetof(struct sockaddr_dl, sdl_data)
                                   : sizeof(struct sockaddr_in6));
        return reinterpret_cast<struct sockaddr *>(block(bytes, size));
    }
};

std::mutex chains_mutex;
std::map<const struct ifaddrs *, std::unique_ptr<Chain>> chains;

struct ifaddrs entry(Chain &c, const Iface &i, unsigned flags) {
    struct ifaddrs e;
    std::memset(&e, 0, sizeof e);
    e.ifa_name = c.block(i.name, i.name.size() + 1);
    e.ifa_flags = flags;
    return e;
}

// The zone of a scoped IPv6 address (ip6_sa2str): the interface's name for
// link-local unicast and link- or interface-local multicast addresses unless
// NI_NUMERICSCOPE, else (or when no interface has the index) the number.
std::string zone(const Machine &m, const struct sockaddr_in6 *sin6, int flags) {
    const uint8_t *a = sin6->sin6_addr.s6_addr;
    bool link_scope = (a[0] == 0xfe && (a[1] & 0xc0) == 0x80) ||             // fe80::/10
                      (a[0] == 0xff && ((a[1] & 0x0f) == 0x02 || (a[1] & 0x0f) == 0x01));
    if (link_scope && !(flags & NI_NUMERICSCOPE))
        if (const Iface *i = m.ifs.by_index(static_cast<int>(sin6->sin6_scope_id)))
            return i->name;
    return std::to_string(sin6->sin6_scope_id);
}

// The numeric text of an IPv4 or IPv6 socket address, split into the address
// and (IPv6 with a scope) the zone; 0 or an EAI_* code.
int numeric_host(const Machine &m, const struct sockaddr *sa, socklen_t salen, int flags,
                 std::string &addr, std::string &zone_text) {
    // No address is longer than a struct sockaddr_storage (RFC 4038 6.2.3).
    if (salen > kSockaddrStorageSize)
        return FBSD_EAI_FAMILY;
    if (sa->sa_family != AF_INET && sa->sa_family != AF_INET6)
        return FBSD_EAI_FAMILY;
    bool v6 = sa->sa_family == AF_INET6;
    // A length short of the family's structure is refused; a longer one is
    // taken, and only the structure is read.
    if (salen < (v6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in)))
        return FBSD_EAI_FAMILY;
    char buf[INET6_ADDRSTRLEN];
    auto *sin6 = reinterpret_cast<const struct sockaddr_in6 *>(sa);
    const void *bytes = v6 ? static_cast<const void *>(&sin6->sin6_addr)
                           : &reinterpret_cast<const struct sockaddr_in *>(sa)->sin_addr;
    if (!inet_ntop(sa->sa_family, bytes, buf, sizeof buf))
        return FBSD_EAI_SYSTEM;
    addr = buf;
    if (v6 && sin6->sin6_scope_id != 0)
        zone_text = zone(m, sin6, flags);
    return 0;
}

}  // namespace

}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_getifaddrs(struct ifaddrs **ifap) {
    const Machine &m = current();
    Action a = check(m, "getifaddrs", "");
    if (a.fail)
        return fault_failure(a);
    if (!ifap) {
        errno = EFAULT;
        return -1;
    }
    auto c = std::make_unique<Chain>();
    for (const Iface &i : m.ifs.list) {
        struct ifaddrs link = entry(*c, i, i.flags);
        link.ifa_addr = c->sockaddr(if_link_sockaddr(i));
        link.ifa_data = c->block(if_data_of(i), 0);
        c->entries.push_back(link);
        for (const IfAddress &addr : i.addrs) {
            if (addr.addr && !sees_address(m, *addr.addr))
                continue;  // another jail's, or the host's (prison_if)
            struct ifaddrs e = entry(*c, i, addr.flags.value_or(i.flags));
            e.ifa_addr = c->sockaddr(addr.addr);
            e.ifa_netmask = c->sockaddr(addr.netmask);
            e.ifa_dstaddr = c->sockaddr(addr.dst);
            c->entries.push_back(e);
        }
    }
    if (c->entries.empty()) {
        *ifap = nullptr;
        return 0;
    }
    for (size_t k = 0; k + 1 < c->entries.size(); k++)
        c->entries[k].ifa_next = &c->entries[k + 1];
    c->owner = m.resources;
    struct ifaddrs *first = c->entries.data();
    {
        std::lock_guard<std::mutex> lock(chains_mutex);
        chains[first] = std::move(c);
    }
    acquire(m, R_IFADDRS);
    *ifap = first;
    return 0;
}

extern "C" void fbsd_freeifaddrs(struct ifaddrs *ifp) {
    if (!ifp)
        return;
    std::unique_ptr<Chain> c;
    {
        std::lock_guard<std::mutex> lock(chains_mutex);
        auto it = chains.find(ifp);
        if (it != chains.end()) {
            c = std::move(it->second);
            chains.erase(it);
        }
    }
    if (!c) {
        std::fprintf(stderr, "freeifaddrs: %p is not a list from getifaddrs\n",
                     static_cast<void *>(ifp));
        std::abort();
    }
    c->owner->open[R_IFADDRS].fetch_sub(1);
}

extern "C" int fbsd_getnameinfo(const struct sockaddr *sa, socklen_t salen, char *host,
                                size_t hostlen, char *serv, size_t servlen, int flags) {
    const Machine &m = current();
    std::string addr, zone_text;
    int err = sa ? numeric_host(m, sa, salen, flags, addr, zone_text) : FBSD_EAI_FAIL;
    std::string text = zone_text.empty() ? addr : addr + '%' + zone_text;
    Action a = check(m, "getnameinfo", err ? "" : text);
    if (a.fail) {
        if (a.err) {
            errno = a.err;
            return FBSD_EAI_SYSTEM;
        }
        return FBSD_EAI_FAIL;
    }
    if (err)
        return err;
    if (a.raw) {
        addr = *a.raw;
        zone_text.clear();
    }
    bool want_host = host && hostlen, want_serv = serv && servlen;
    if (!want_host && !want_serv)
        return FBSD_EAI_NONAME;
    if (want_serv) {
        // Both layouts keep the port at the same place, in network order.
        unsigned port = ntohs(reinterpret_cast<const struct sockaddr_in *>(sa)->sin_port);
        std::string s = std::to_string(port);
        if (s.size() + 1 > servlen)
            return FBSD_EAI_MEMORY;
        std::memcpy(serv, s.c_str(), s.size() + 1);
    }
    if (!want_host)
        return 0;
    if (flags & NI_NAMEREQD)
        return FBSD_EAI_NONAME;  // NI_NUMERICHOST refuses it; no name service otherwise
    if (sa->sa_family == AF_INET) {
        if (addr.size() + 1 > hostlen) {
            if (flags & NI_NUMERICHOST)
                return FBSD_EAI_MEMORY;
            errno = ENOSPC;  // the fallback's inet_ntop straight into the caller's buffer
            return FBSD_EAI_SYSTEM;
        }
        std::memcpy(host, addr.c_str(), addr.size() + 1);
        return 0;
    }
    if (addr.size() + 1 > hostlen)
        return FBSD_EAI_OVERFLOW;
    std::memcpy(host, addr.c_str(), addr.size() + 1);
    if (zone_text.empty())
        return 0;
    if (addr.size() + 1 + zone_text.size() + 1 > hostlen)
        return FBSD_EAI_OVERFLOW;  // the address stays in the buffer
    host[addr.size()] = '%';
    std::memcpy(host + addr.size() + 1, zone_text.c_str(), zone_text.size() + 1);
    return 0;
}
