// socket(2), ioctl(2) and close(2) of the stand-in platform: datagram sockets
// on which the interface ioctls (SIOCGIFMTU, SIOCGIFFLAGS, SIOCGIFMEDIA)
// answer from the simulated interfaces.
//
// A socket is a descriptor number from a private range, never a host
// descriptor. Faults: "socket" (key "domain.type.protocol"), "ioctl" (key:
// the interface name in the request; a raw answer is copied over the request
// record), "close" (key: the descriptor; the descriptor is released all the
// same, as the kernel does when close reports an error).
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>
#include <mutex>

#include "machine.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

constexpr int first_descriptor = 0x40000000;

// Open sockets and the counters of the machine that handed each out, kept
// in shards by descriptor number: threads opening, using and closing sockets
// at the same time take different locks, where one lock for all would make
// them wait for each other far longer than a kernel's descriptor table does.
struct alignas(64) Shard {
    std::mutex mu;
    std::map<int, std::shared_ptr<Resources>> open;
};
constexpr unsigned kShards = 16;
Shard shards[kShards];
std::atomic<int> next_descriptor{first_descriptor};

Shard &shard_of(int fd) { return shards[static_cast<unsigned>(fd) % kShards]; }

bool is_open(int fd) {
    Shard &s = shard_of(fd);
    std::lock_guard<std::mutex> lock(s.mu);
    return s.open.count(fd) != 0;
}

int fail(int err) {
    errno = err;
    return -1;
}

int failed(const Action &a) {
    if (a.err)
        errno = a.err;
    return -1;
}

const char *request_name(unsigned long request) {
    switch (request) {
    case SIOCGIFMTU:
        return " (SIOCGIFMTU)";
    case SIOCGIFFLAGS:
        return " (SIOCGIFFLAGS)";
    case SIOCGIFMEDIA:
        return " (SIOCGIFMEDIA)";
    default:
        return "";
    }
}

size_t request_size(unsigned long request) {
    switch (request) {
    case SIOCGIFMTU:
    case SIOCGIFFLAGS:
        return sizeof(struct ifreq);
    case SIOCGIFMEDIA:
        return sizeof(struct ifmediareq);
    default:
        return 0;
    }
}

// Answer one interface request from the interface table.
int answer(const Iface &i, unsigned long request, void *arg) {
    switch (request) {
    case SIOCGIFMTU: {
        auto *ifr = static_cast<struct ifreq *>(arg);
        ifr->ifr_mtu = i.mtu;
        return 0;
    }
    case SIOCGIFFLAGS: {
        auto *ifr = static_cast<struct ifreq *>(arg);
        ifr->ifr_flags = static_cast<short>(i.flags & 0xffff);
        ifr->ifr_flagshigh = static_cast<short>(i.flags >> 16);
        return 0;
    }
    case SIOCGIFMEDIA: {
        if (!i.media)
            return fail(EINVAL);  // the driver has no media support
        auto *ifmr = static_cast<struct ifmediareq *>(arg);
        ifmr->ifm_current = *i.media;
        ifmr->ifm_mask = 0;
        ifmr->ifm_status = i.media_status;
        ifmr->ifm_active = *i.media;
        if (ifmr->ifm_count > 0 && ifmr->ifm_ulist)
            ifmr->ifm_ulist[0] = *i.media;
        ifmr->ifm_count = 1;
        return 0;
    }
    default:
        return fail(ENOTTY);
    }
}

}  // namespace

}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_socket(int domain, int type, int protocol) {
    const Machine &m = current();
    Action a = check(m, "socket",
                     std::to_string(domain) + "." + std::to_string(type) + "." +
                         std::to_string(protocol));
    if (a.fail)
        return failed(a);
    if (domain != AF_INET && domain != AF_INET6)
        return fail(EAFNOSUPPORT);
    if ((type & ~(SOCK_CLOEXEC | SOCK_NONBLOCK)) != SOCK_DGRAM)
        return fail(EPROTONOSUPPORT);
    if (protocol != 0 && protocol != IPPROTO_UDP)
        return fail(EPROTONOSUPPORT);
    if (int err = descriptors_exhausted(m, 1))
        return fail(err);
    int fd = next_descriptor.fetch_add(1, std::memory_order_relaxed);
    Shard &s = shard_of(fd);
    std::lock_guard<std::mutex> lock(s.mu);
    s.open[fd] = m.resources;
    acquire(m, R_SOCKET);
    return fd;
}

extern "C" int fbsd_close(int fd) {
    const Machine &m = current();
    Action a = check(m, "close", std::to_string(fd));
    std::shared_ptr<Resources> owner;
    {
        Shard &s = shard_of(fd);
        std::lock_guard<std::mutex> lock(s.mu);
        auto it = s.open.find(fd);
        if (it != s.open.end()) {
            owner = std::move(it->second);
            s.open.erase(it);
        }
    }
    if (!owner)
        return fail(EBADF);
    owner->open[R_SOCKET].fetch_sub(1);
    return a.fail ? failed(a) : 0;
}

extern "C" int fbsd_ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void *arg = va_arg(ap, void *);
    va_end(ap);

    const Machine &m = current();
    size_t size = request_size(request);
    // Both request records begin with the interface name.
    std::string name;
    if (size && arg)
        name.assign(static_cast<const char *>(arg),
                    strnlen(static_cast<const char *>(arg), IFNAMSIZ));
    Action a = check(m, "ioctl", name, request_name(request));
    if (a.fail)
        return failed(a);
    if (!is_open(fd))
        return fail(EBADF);
    if (!size)
        return fail(ENOTTY);
    if (!arg)
        return fail(EFAULT);
    if (a.raw) {
        std::memcpy(arg, a.raw->data(), std::min(a.raw->size(), size));
        return 0;
    }
    const Iface *i = m.ifs.find(name);
    if (!i)
        return fail(ENXIO);
    return answer(*i, request, arg);
}
