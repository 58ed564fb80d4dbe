// The TCP, UDP and UNIX-domain sockets one process holds open, from its
// descriptor table. The descriptor records carry everything but the TCP
// state, which comes from the kernel's TCP list: looked up by the
// connection's endpoints in a table built once per call from that list (the
// first record with those endpoints wins, as a scan from the start finds it).
#include "../../module/functions.h"
#include "pcblist.h"

static_assert(sizeof(struct kinfo_file) == 1392, "struct kinfo_file size");

namespace {

using pcblist::ConnKey;

// The entry of a UNIX-domain socket: its bound path, at most sun_len - 2
// bytes and never more than sun_path holds, ending early at a NUL.
PyObject *unix_entry(const struct kinfo_file &kf) {
    struct sockaddr_un sun;
    std::memcpy(&sun, &kf.kf_sa_local, sizeof sun);
    int pathlen = std::clamp(static_cast<int>(sun.sun_len) - 2, 0, static_cast<int>(sizeof sun.sun_path));
    char path[1024];
    str_format(path, sizeof path, "%.*s", pathlen, sun.sun_path);
    PyRef text(PyUnicode_DecodeFSDefault(path));
    if (!text)
        return nullptr;
    return Py_BuildValue("(iiiOsi)", kf.kf_fd, kf.kf_sock_domain, kf.kf_sock_type, text.get(), "",
                         MORVEX_CONN_NONE);
}

// The entry of an AF_INET or AF_INET6 socket; a stream socket's status is the
// state of the TCP connection with its endpoints, built into `states` from
// the TCP list on first need.
PyObject *inet_entry(const struct kinfo_file &kf, const pcblist::List &tcp, pcblist::TcpStates &states) {
    int family = kf.kf_sock_domain;
    ConnKey key = pcblist::conn_key(family, kf.kf_sock_protocol);
    const void *laddr, *faddr;
    struct sockaddr_in l4, f4;
    struct sockaddr_in6 l6, f6;
    if (family == AF_INET) {
        std::memcpy(&l4, &kf.kf_sa_local, sizeof l4);
        std::memcpy(&f4, &kf.kf_sa_peer, sizeof f4);
        key.lport = l4.sin_port;
        key.fport = f4.sin_port;
        std::memcpy(key.laddr, &l4.sin_addr, sizeof l4.sin_addr);
        std::memcpy(key.faddr, &f4.sin_addr, sizeof f4.sin_addr);
        laddr = &l4.sin_addr;
        faddr = &f4.sin_addr;
    } else {
        std::memcpy(&l6, &kf.kf_sa_local, sizeof l6);
        std::memcpy(&f6, &kf.kf_sa_peer, sizeof f6);
        key.lport = l6.sin6_port;
        key.fport = f6.sin6_port;
        std::memcpy(key.laddr, &l6.sin6_addr, sizeof l6.sin6_addr);
        std::memcpy(key.faddr, &f6.sin6_addr, sizeof f6.sin6_addr);
        laddr = &l6.sin6_addr;
        faddr = &f6.sin6_addr;
    }
    int status = MORVEX_CONN_NONE;
    if (kf.kf_sock_type == SOCK_STREAM) {
        if (!states.ready() && states.build(tcp) < 0)
            return nullptr;
        if (const int32_t *state = states.find(key))
            status = *state;
    }
    PyRef l(pcblist::address(family, laddr, key.lport));
    if (!l)
        return nullptr;
    PyRef r(key.fport != 0 ? pcblist::address(family, faddr, key.fport) : PyTuple_New(0));
    if (!r)
        return nullptr;
    return Py_BuildValue("(iiiOOi)", kf.kf_fd, family, kf.kf_sock_type, l.get(), r.get(), status);
}

}  // namespace

extern "C" PyObject *morvex_proc_net_connections(PyObject *, PyObject *args) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    pid_t pid;
    PyObject *families, *types;
    if (!PyArg_ParseTuple(args, "iOO", &pid, &families, &types))
        return nullptr;
    if (!PySequence_Check(families) || !PySequence_Check(types)) {
        PyErr_SetString(PyExc_TypeError, "arg 2 or 3 is not a sequence");
        return nullptr;
    }
    int count = 0;
    KernelBuf<struct kinfo_file> files;
    int attempt = 0;
    do {
        errno = 0;
        files.reset(kinfo_getfile(pid, &count));
    } while (!files && morvex_exec_retry(errno, &attempt));
    if (!files)
        return errno == EBUSY ? morvex_exec_busy("kinfo_getfile()")
                              : morvex_raise_for_pid(pid, "kinfo_getfile()");
    // Read whatever the filters and the descriptors: a process without
    // sockets still fails when the list cannot be read.
    pcblist::List tcp;
    if (pcblist::read_list("net.inet.tcp.pcblist", pcblist::kInetFraming, tcp) < 0)
        return nullptr;
    pcblist::TcpStates states;
    for (int i = 0; i < count; i++) {
        const struct kinfo_file &kf = files.get()[i];
        if (kf.kf_type != KF_TYPE_SOCKET)
            continue;
        int wanted = pcblist::contains(families, kf.kf_sock_domain);
        if (wanted > 0)
            wanted = pcblist::contains(types, kf.kf_sock_type);
        if (wanted < 0)
            return nullptr;
        if (!wanted)
            continue;
        PyRef entry;
        if (kf.kf_sock_domain == AF_UNIX)
            entry = PyRef(unix_entry(kf));
        else if (kf.kf_sock_domain == AF_INET || kf.kf_sock_domain == AF_INET6)
            entry = PyRef(inet_entry(kf, tcp, states));
        else
            continue;
        if (!entry || PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
    }
    return list.release();
}
