// Interface I/O counters from the routing socket's interface list
// (NET_RT_IFLIST): one RTM_IFINFO message per interface, each a struct
// if_msghdr followed by the interface's struct sockaddr_dl.
#include "../../module/functions.h"

namespace {

static_assert(sizeof(struct if_msghdr) == 168, "struct if_msghdr size");
static_assert(offsetof(struct sockaddr_dl, sdl_data) == 8, "struct sockaddr_dl header size");

// Every routing message starts with its length, version and type.
constexpr size_t msg_header = 4;
// An interface message must hold its if_msghdr and the sockaddr_dl up to the name.
constexpr size_t ifinfo_min = sizeof(struct if_msghdr) + offsetof(struct sockaddr_dl, sdl_data);

// Interface names are shorter than IFNAMSIZ; a longer one is cut to fit here.
constexpr size_t name_room = 32;

// The counters of one interface message as "(kkkkkkki)"; the last element
// (output drops) is always 0.
PyObject *counters(const struct if_data &d) {
    return Py_BuildValue("(kkkkkkki)", static_cast<unsigned long>(d.ifi_obytes),
                         static_cast<unsigned long>(d.ifi_ibytes),
                         static_cast<unsigned long>(d.ifi_opackets),
                         static_cast<unsigned long>(d.ifi_ipackets),
                         static_cast<unsigned long>(d.ifi_ierrors),
                         static_cast<unsigned long>(d.ifi_oerrors),
                         static_cast<unsigned long>(d.ifi_iqdrops), 0);
}

// Store one RTM_IFINFO message of `len` bytes (already checked to lie inside
// the answer) under its interface name; 0, or -1 with an exception set.
int add_interface(PyObject *result, const char *msg, size_t len, size_t offset) {
    if (len < ifinfo_min) {
        morvex_runtime_error("sysctl(NET_RT_IFLIST) interface message of %zu bytes at offset %zu "
                             "is too short",
                             len, offset);
        return -1;
    }
    // The answer is a byte stream: copy the records out rather than read
    // them in place at whatever alignment the messages before left.
    struct if_msghdr ifm;
    std::memcpy(&ifm, msg, sizeof ifm);
    const char *sdl = msg + sizeof ifm;
    u_char nlen = static_cast<u_char>(sdl[offsetof(struct sockaddr_dl, sdl_nlen)]);
    const char *name_bytes = sdl + offsetof(struct sockaddr_dl, sdl_data);
    if (ifinfo_min + nlen > len) {
        morvex_runtime_error("sysctl(NET_RT_IFLIST) interface name of %u bytes runs past its "
                             "message at offset %zu",
                             static_cast<unsigned>(nlen), offset);
        return -1;
    }
    char name[name_room];
    size_t copy = std::min<size_t>(nlen, name_room - 1);
    size_t n = 0;
    while (n < copy && name_bytes[n] != '\0') {
        name[n] = name_bytes[n];
        n++;
    }
    name[n] = '\0';
    if (std::strncmp(name, "usbus", 5) == 0)
        return 0;
    PyRef entry(counters(ifm.ifm_data));
    if (!entry)
        return -1;
    // Not PyDict_SetItemString: it interns the key, and interning takes a
    // lock every thread of the interpreter shares.
    PyRef key(PyUnicode_DecodeFSDefault(name));
    if (!key || PyDict_SetItem(result, key.get(), entry.get()) < 0)
        return -1;
    return 0;
}

}  // namespace

extern "C" PyObject *morvex_net_io_counters(PyObject *, PyObject *) {
    PyRef result(PyDict_New());
    if (!result)
        return nullptr;
    int mib[] = {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST, 0};
    char *raw = nullptr;
    size_t len = 0;
    if (morvex_sysctl_malloc(mib, 6, &raw, &len) < 0)
        return nullptr;
    KernelBuf<char> answer(raw);

    size_t offset = 0;
    while (offset < len) {
        const char *msg = answer.get() + offset;
        size_t left = len - offset;
        if (left < msg_header)
            return morvex_runtime_error("sysctl(NET_RT_IFLIST) message header cut short at "
                                        "offset %zu (%zu bytes left)",
                                        offset, left);
        // A length below the header would not advance the walk; one past
        // the end would take it outside the answer.
        u_short msglen;
        std::memcpy(&msglen, msg, sizeof msglen);
        if (msglen < msg_header || msglen > left)
            return morvex_runtime_error("sysctl(NET_RT_IFLIST) message length %u at offset %zu "
                                        "is invalid (%zu bytes left)",
                                        static_cast<unsigned>(msglen), offset, left);
        u_char type = static_cast<u_char>(msg[offsetof(struct if_msghdr, ifm_type)]);
        if (type == RTM_IFINFO && add_interface(result.get(), msg, msglen, offset) < 0)
            return nullptr;
        offset += msglen;
    }
    return result.release();
}
