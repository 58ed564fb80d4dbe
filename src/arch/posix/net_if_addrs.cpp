// Interface addresses: every address of every interface from getifaddrs(3),
// rendered as numeric text (IPv4, IPv6) or as colon-separated hex bytes
// (link-level addresses).
#include "../../module/functions.h"

extern "C" PyObject *morvex_convert_ipaddr(const struct sockaddr *addr, int family);

namespace {

static_assert(sizeof(struct sockaddr_in) == 16, "struct sockaddr_in size");
static_assert(sizeof(struct sockaddr_in6) == 28, "struct sockaddr_in6 size");
static_assert(offsetof(struct sockaddr_dl, sdl_data) == 8, "struct sockaddr_dl header size");
// The longest link-level address (255 bytes) needs 3 * 255 bytes of text.
static_assert(3 * 255 < NI_MAXHOST, "room for a link-level address");

// The interface list from getifaddrs, freed with freeifaddrs.
struct IfaddrsFree {
    void operator()(struct ifaddrs *list) const noexcept { freeifaddrs(list); }
};
using IfaddrsList = std::unique_ptr<struct ifaddrs, IfaddrsFree>;

// Colon-separated lower-case hex of a link-level address, or None when the
// address is empty or its name and address bytes do not fit in the sockaddr
// its sdl_len describes.
PyObject *link_text(const struct sockaddr_dl *sdl) {
    if (sdl->sdl_alen == 0)
        Py_RETURN_NONE;
    size_t used = offsetof(struct sockaddr_dl, sdl_data) + sdl->sdl_nlen + sdl->sdl_alen;
    if (used > sdl->sdl_len)
        Py_RETURN_NONE;
    const unsigned char *bytes =
        reinterpret_cast<const unsigned char *>(sdl->sdl_data) + sdl->sdl_nlen;
    char text[NI_MAXHOST];
    for (int i = 0; i < sdl->sdl_alen; i++)
        str_format(text + 3 * i, 8, "%02x:", bytes[i]);
    text[3 * sdl->sdl_alen - 1] = '\0';
    return Py_BuildValue("s", text);
}

}  // namespace

extern "C" {

PyObject *morvex_convert_ipaddr(const struct sockaddr *addr, int family) {
    if (addr == nullptr)
        Py_RETURN_NONE;
    if (family == AF_INET || family == AF_INET6) {
        socklen_t len = family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
        char host[NI_MAXHOST];
        if (getnameinfo(addr, len, host, sizeof host, nullptr, 0, NI_NUMERICHOST) != 0)
            Py_RETURN_NONE;
        // A scoped address ends with its interface's name (fe80::1%lo0).
        return PyUnicode_DecodeFSDefault(host);
    }
    if (addr->sa_family == AF_LINK)
        return link_text(reinterpret_cast<const struct sockaddr_dl *>(addr));
    Py_RETURN_NONE;
}

PyObject *morvex_net_if_addrs(PyObject *, PyObject *) {
    PyRef result(PyList_New(0));
    if (!result)
        return nullptr;
    struct ifaddrs *first = nullptr;
    if (getifaddrs(&first) == -1)
        return morvex_oserror();
    IfaddrsList list(first);

    for (struct ifaddrs *ifa = first; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr)
            continue;
        int family = ifa->ifa_addr->sa_family;
        PyRef address(morvex_convert_ipaddr(ifa->ifa_addr, family));
        if (!address)
            return nullptr;
        if (address.get() == Py_None)
            continue;
        PyRef netmask(morvex_convert_ipaddr(ifa->ifa_netmask, family));
        if (!netmask)
            return nullptr;
        PyRef broadcast, ptp;
        if (ifa->ifa_flags & IFF_BROADCAST) {
            broadcast = PyRef(morvex_convert_ipaddr(ifa->ifa_broadaddr, family));
            ptp = PyRef::borrow(Py_None);
        } else if (ifa->ifa_flags & IFF_POINTOPOINT) {
            broadcast = PyRef::borrow(Py_None);
            ptp = PyRef(morvex_convert_ipaddr(ifa->ifa_dstaddr, family));
        } else {
            broadcast = PyRef::borrow(Py_None);
            ptp = PyRef::borrow(Py_None);
        }
        if (!broadcast || !ptp)
            return nullptr;
        PyRef name(PyUnicode_DecodeFSDefault(ifa->ifa_name));
        if (!name)
            return nullptr;
        PyRef entry(Py_BuildValue("(OiOOOO)", name.get(), family, address.get(), netmask.get(),
                                  broadcast.get(), ptp.get()));
        if (!entry || PyList_Append(result.get(), entry.get()) < 0)
            return nullptr;
    }
    return result.release();
}

}  // extern "C"
