// Interface properties, each from one interface ioctl on a throw-away
// datagram socket: MTU, flags, running state, duplex mode and link speed.
#include "../../module/functions.h"

extern "C" int morvex_get_nic_speed(int ifm_active);

namespace {

static_assert(sizeof(struct ifreq) == 32, "struct ifreq size");
static_assert(sizeof(struct ifmediareq) == 48, "struct ifmediareq size");

// Mbit/s of the Ethernet media subtypes 3 (IFM_10_T) to 26 (IFM_10G_T).
constexpr int ether_speeds[24] = {
    10,    10,    10,  // 10_T, 10_2, 10_5
    100,   100,   100, 100, 100,  // 100_TX, 100_FX, 100_T4, 100_VG, 100_T2
    1000,  10,    10,  // 1000_SX, 10_STP, 10_FL
    1000,  1000,  1000,  // 1000_LX, 1000_CX, 1000_T
    1,  // HPNA_1
    10000, 10000, 10000,  // 10G_LR, 10G_SR, 10G_CX4
    2500,  // 2500_SX
    10000, 10000,  // 10G_TWINAX, 10G_TWINAX_LONG
    0,  // 10G_LRM
    0,  // UNKNOWN
    10000,  // 10G_T
};

// Mbit/s of the IEEE 802.11 media subtypes 3 (FH1) to 9 (DS22); 5.5 is cut to 5.
constexpr int ieee80211_speeds[7] = {1, 2, 1, 2, 5, 11, 22};

// Interface flags by name, in the order they are reported.
constexpr struct {
    int bit;
    const char *name;
} flag_names[] = {
    {IFF_UP, "up"},
    {IFF_BROADCAST, "broadcast"},
    {IFF_DEBUG, "debug"},
    {IFF_LOOPBACK, "loopback"},
    {IFF_POINTOPOINT, "pointopoint"},
    {IFF_RUNNING, "running"},
    {IFF_NOARP, "noarp"},
    {IFF_PROMISC, "promisc"},
    {IFF_ALLMULTI, "allmulti"},
    {IFF_MULTICAST, "multicast"},
    {IFF_OACTIVE, "oactive"},
    {IFF_SIMPLEX, "simplex"},
    {IFF_LINK0, "link0"},
    {IFF_LINK1, "link1"},
    {IFF_LINK2, "link2"},
};

// A datagram socket for interface ioctls, closed when it goes out of scope.
// Closing keeps errno, so a failure raised before the close still finds the
// failed call's code there afterwards.
class IoctlSocket {
  public:
    IoctlSocket() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {}
    IoctlSocket(const IoctlSocket &) = delete;
    IoctlSocket &operator=(const IoctlSocket &) = delete;
    ~IoctlSocket() {
        if (fd_ != -1) {
            int saved = errno;
            close(fd_);
            errno = saved;
        }
    }
    bool ok() const { return fd_ != -1; }
    // One ioctl with the given request record; 0, or -1 with errno set.
    template <class T>
    int query(unsigned long request, T &req) const {
        return ioctl(fd_, request, &req);
    }

  private:
    int fd_;
};

// One SIOCGIF* query on a struct ifreq for the named interface (cut to
// IFNAMSIZ - 1 bytes); 0, or -1 with errno set.
int ifreq_query(const IoctlSocket &sock, const char *name, unsigned long request,
                struct ifreq &ifr) {
    std::memset(&ifr, 0, sizeof ifr);
    str_copy(ifr.ifr_name, sizeof ifr.ifr_name, name);
    return sock.query(request, ifr);
}

// The interface name a caller gives (one str), in the kernel's bytes:
// encoded as file names are, so that a name decoded from the kernel
// (net_if_addrs, net_io_counters) names the same interface again. Anything
// but a str is a TypeError, a NUL inside a ValueError.
class IfName {
  public:
    bool parse(PyObject *args) {
        PyObject *text;
        if (!PyArg_ParseTuple(args, "U", &text))
            return false;
        bytes_ = PyRef(PyUnicode_EncodeFSDefault(text));
        if (!bytes_)
            return false;
        if (std::strlen(get()) != static_cast<size_t>(PyBytes_GET_SIZE(bytes_.get()))) {
            PyErr_SetString(PyExc_ValueError, "embedded null character");
            return false;
        }
        return true;
    }
    const char *get() const { return PyBytes_AS_STRING(bytes_.get()); }

  private:
    PyRef bytes_;
};

int append_flag_name(PyObject *list, const char *name) {
    PyRef str(PyUnicode_FromString(name));
    return str && PyList_Append(list, str.get()) == 0;
}

}  // namespace

extern "C" {

int morvex_get_nic_speed(int ifm_active) {
    int type = ifm_active & IFM_NMASK;
    if (type == IFM_IEEE80211) {
        int index = (ifm_active & IFM_TMASK) - 3;
        return index >= 0 && index < 7 ? ieee80211_speeds[index] : 0;
    }
    if (type == IFM_ETHER) {
        int index = (ifm_active & (IFM_TMASK | IFM_ETH_XTYPE)) - 3;
        return index >= 0 && index < 24 ? ether_speeds[index] : 0;
    }
    return 0;
}

PyObject *morvex_net_if_mtu(PyObject *, PyObject *args) {
    IfName ifname;
    if (!ifname.parse(args))
        return nullptr;
    const char *name = ifname.get();
    IoctlSocket sock;
    if (!sock.ok())
        return morvex_oserror();
    struct ifreq ifr;
    if (ifreq_query(sock, name, SIOCGIFMTU, ifr) == -1)
        return morvex_oserror();
    return Py_BuildValue("i", ifr.ifr_mtu);
}

PyObject *morvex_net_if_flags(PyObject *, PyObject *args) {
    IfName ifname;
    if (!ifname.parse(args))
        return nullptr;
    const char *name = ifname.get();
    PyRef result(PyList_New(0));
    if (!result)
        return nullptr;
    IoctlSocket sock;
    if (!sock.ok())
        return morvex_oserror_wsyscall("socket(SOCK_DGRAM)");
    struct ifreq ifr;
    if (ifreq_query(sock, name, SIOCGIFFLAGS, ifr) == -1)
        return morvex_oserror_wsyscall("ioctl(SIOCGIFFLAGS)");
    unsigned flags = static_cast<unsigned short>(ifr.ifr_flags);
    for (const auto &f : flag_names)
        if ((flags & f.bit) && !append_flag_name(result.get(), f.name))
            return nullptr;
    return result.release();
}

PyObject *morvex_net_if_is_running(PyObject *, PyObject *args) {
    IfName ifname;
    if (!ifname.parse(args))
        return nullptr;
    const char *name = ifname.get();
    IoctlSocket sock;
    if (!sock.ok())
        return morvex_oserror();
    struct ifreq ifr;
    if (ifreq_query(sock, name, SIOCGIFFLAGS, ifr) == -1)
        return morvex_oserror();
    return Py_BuildValue("O", (ifr.ifr_flags & IFF_RUNNING) ? Py_True : Py_False);
}

PyObject *morvex_net_if_duplex_speed(PyObject *, PyObject *args) {
    IfName ifname;
    if (!ifname.parse(args))
        return nullptr;
    const char *name = ifname.get();
    IoctlSocket sock;
    if (!sock.ok())
        return morvex_oserror();
    struct ifmediareq ifmr;
    std::memset(&ifmr, 0, sizeof ifmr);
    str_copy(ifmr.ifm_name, sizeof ifmr.ifm_name, name);
    int duplex = 0, speed = 0;
    // No media support (or no such interface): neither duplex nor speed is known.
    if (sock.query(SIOCGIFMEDIA, ifmr) == 0) {
        int word = ifmr.ifm_active;
        speed = morvex_get_nic_speed(word);
        if (word & IFM_FDX)
            duplex = 2;
        else if (word & IFM_HDX)
            duplex = 1;
    }
    return Py_BuildValue("[ii]", duplex, speed);
}

}  // extern "C"
