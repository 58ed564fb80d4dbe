// The system-wide socket table: every TCP, UDP and UNIX-domain socket that a
// process holds open, with the descriptor and the process holding it.
//
// The kernel's open-file table ("kern.file") names the object behind every
// descriptor; the protocol lists name each socket's object. The two are joined
// on that address through a table built once per call, so the cost grows with
// sockets + descriptors; the first descriptor in file-table order wins, as a
// scan of the file table from its start would find it.
#include "../../module/functions.h"
#include "pcblist.h"

namespace {

using pcblist::AddrKey;
using pcblist::FirstTable;
using pcblist::InpFields;
using pcblist::load;

// The descriptor holding a socket: the first file-table record naming it.
struct Owner {
    int fd;
    pid_t pid;
};

// The file table, as the owner of each kernel object it names.
struct FileTable {
    size_t count = 0;
    FirstTable<AddrKey, Owner> owners;

    const Owner *owner(uint64_t addr) const { return owners.find(AddrKey{addr}); }
};

// Read "kern.file", starting with a 128-byte buffer that doubles while the
// kernel answers ENOMEM (the doubling starts from the buffer's size, not from
// whatever length the failed call left behind, and stops at a bound), and
// index it by the address of each descriptor's object.
int morvex_load_file_table(FileTable &files) {
    size_t size = sizeof(struct xfile);
    KernelBuf<char> buf(static_cast<char *>(std::malloc(size)));
    if (!buf) {
        PyErr_NoMemory();
        return -1;
    }
    size_t len = size;
    while (sysctlbyname("kern.file", buf.get(), &len, nullptr, 0) == -1) {
        if (errno != ENOMEM) {
            morvex_oserror();
            return -1;
        }
        if (pcblist::grow(buf, size, "kern.file") < 0)
            return -1;
        len = size;
    }
    if (len > size ||
        (len != 0 && (len < sizeof(ksize_t) || load<ksize_t>(buf.get()) != sizeof(struct xfile)))) {
        morvex_runtime_error("struct xfile size mismatch");
        return -1;
    }
    files.count = len / sizeof(struct xfile);
    if (files.owners.reserve(files.count) < 0)
        return -1;
    for (size_t i = 0; i < files.count; i++) {
        struct xfile xf;
        std::memcpy(&xf, buf.get() + i * sizeof xf, sizeof xf);
        // A descriptor whose file has no object yet (one being opened) owns
        // nothing: address 0 is what the protocol lists carry for blocks
        // without a socket (TIME_WAIT, the syncache's connections).
        if (xf.xf_data != 0)
            files.owners.insert(AddrKey{xf.xf_data}, Owner{xf.xf_fd, xf.xf_pid});
    }
    return 0;
}

// The protocol list of TCP (6) or UDP (17): one entry per socket that passes
// the family filter and has an owner.
int morvex_collect_inet_sockets(int proto, int want_v4, int want_v6, PyObject *list, const FileTable &files) {
    const char *name;
    int type;
    size_t size;
    const char *mismatch;
    if (proto == IPPROTO_TCP) {
        name = "net.inet.tcp.pcblist";
        type = SOCK_STREAM;
        size = sizeof(struct xtcpcb);
        mismatch = "struct xtcpcb size mismatch";
    } else if (proto == IPPROTO_UDP) {
        name = "net.inet.udp.pcblist";
        type = SOCK_DGRAM;
        size = sizeof(struct xinpcb);
        mismatch = "struct xinpcb size mismatch";
    } else {
        morvex_runtime_error("invalid proto");
        return -1;
    }
    pcblist::List pcbs;
    if (pcblist::read_list(name, pcblist::kInetFraming, pcbs) < 0)
        return -1;
    return pcblist::walk(pcbs, size, mismatch, [&](const char *p) {
        bool tcp = proto == IPPROTO_TCP;
        InpFields inp = tcp ? pcblist::tcp_inp_fields(p) : pcblist::inp_fields(p);
        if ((!want_v4 && (inp.vflag & INP_IPV4)) || (!want_v6 && (inp.vflag & INP_IPV6)))
            return 0;
        const Owner *owner = files.owner(inp.so);
        if (!owner)
            return 0;
        int family;
        const void *laddr, *faddr;
        if (inp.vflag & INP_IPV4) {
            family = AF_INET;
            laddr = &inp.inc.inc_laddr;
            faddr = &inp.inc.inc_faddr;
        } else if (inp.vflag & INP_IPV6) {
            family = AF_INET6;
            laddr = &inp.inc.inc6_laddr;
            faddr = &inp.inc.inc6_faddr;
        } else {
            return 0;  // neither family: the kernel makes no such block
        }
        int status = tcp ? pcblist::tcp_state(p) : MORVEX_CONN_NONE;
        PyRef l(pcblist::address(family, laddr, inp.inc.inc_lport));
        if (!l)
            return -1;
        PyRef r(inp.inc.inc_fport != 0 ? pcblist::address(family, faddr, inp.inc.inc_fport) : PyTuple_New(0));
        if (!r)
            return -1;
        PyRef entry(Py_BuildValue("(iiiOOii)", owner->fd, family, type, l.get(), r.get(), status, owner->pid));
        if (!entry || PyList_Append(list, entry.get()) < 0)
            return -1;
        return 0;
    });
}

// The UNIX-domain list of one socket type: one entry per socket with an owner.
int morvex_collect_unix_sockets(int type, PyObject *list, const FileTable &files) {
    const char *name = type == SOCK_STREAM ? "net.local.stream.pcblist" : "net.local.dgram.pcblist";
    pcblist::List pcbs;
    if (pcblist::read_list(name, pcblist::kUnixFraming, pcbs) < 0)
        return -1;
    return pcblist::walk(pcbs, sizeof(struct xunpcb), "struct xunpcb size mismatch", [&](const char *p) {
        const Owner *owner = files.owner(load<kvaddr_t>(p + offsetof(struct xunpcb, xu_socket.xso_so)));
        if (!owner)
            return 0;
        struct sockaddr_un addr;
        std::memcpy(&addr, p + offsetof(struct xunpcb, xu_addr), sizeof addr);
        // sun_len counts the two bytes in front of the path; the path need not
        // end in a NUL and never runs past sun_path.
        int pathlen = std::clamp(static_cast<int>(addr.sun_len) - 2, 0, static_cast<int>(sizeof addr.sun_path));
        char path[1024];
        str_format(path, sizeof path, "%.*s", pathlen, addr.sun_path);
        PyRef text(PyUnicode_DecodeFSDefault(path));
        if (!text)
            return -1;
        PyRef entry(Py_BuildValue("(iiiOsii)", owner->fd, AF_UNIX, type, text.get(), "", MORVEX_CONN_NONE,
                                  owner->pid));
        if (!entry || PyList_Append(list, entry.get()) < 0)
            return -1;
        return 0;
    });
}

}  // namespace

extern "C" PyObject *morvex_net_connections(PyObject *, PyObject *args) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    PyObject *families, *types;
    if (!PyArg_ParseTuple(args, "OO", &families, &types))
        return nullptr;
    if (!PySequence_Check(families) || !PySequence_Check(types)) {
        PyErr_SetString(PyExc_TypeError, "arg 2 or 3 is not a sequence");
        return nullptr;
    }
    using pcblist::contains;
    int want_v4, want_v6, want_unix, want_tcp, want_udp;
    if ((want_v4 = contains(families, AF_INET)) < 0 || (want_v6 = contains(families, AF_INET6)) < 0 ||
        (want_unix = contains(families, AF_UNIX)) < 0 || (want_tcp = contains(types, SOCK_STREAM)) < 0 ||
        (want_udp = contains(types, SOCK_DGRAM)) < 0)
        return nullptr;

    FileTable files;
    if (morvex_load_file_table(files) < 0)
        return nullptr;
    if (want_tcp && morvex_collect_inet_sockets(IPPROTO_TCP, want_v4, want_v6, list.get(), files) < 0)
        return nullptr;
    if (want_udp && morvex_collect_inet_sockets(IPPROTO_UDP, want_v4, want_v6, list.get(), files) < 0)
        return nullptr;
    if (want_unix && (morvex_collect_unix_sockets(SOCK_STREAM, list.get(), files) < 0 ||
                      morvex_collect_unix_sockets(SOCK_DGRAM, list.get(), files) < 0))
        return nullptr;
    return list.release();
}
