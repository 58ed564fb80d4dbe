// Stand-in platform: the socks group. The open-file table ("kern.file") and
// the protocol control block lists of TCP, UDP and UNIX-domain sockets
// ("net.inet.tcp.pcblist", "net.inet.udp.pcblist", "net.local.stream.pcblist",
// "net.local.dgram.pcblist", "net.local.seqpacket.pcblist"), each composed
// on every call as the kernel hands it out: a header, the records the caller
// may see, a trailer with the generation count; size queries report the
// kernel's over-estimates. The default machine's processes get their sockets
// here, with matching descriptor entries in their descriptor tables.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <map>

#include "creds.h"
#include "pcb_records.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// <sys/file.h> descriptor types (xf_type) and open flags (xf_flag).
constexpr short kDtypeVnode = 1;
constexpr short kDtypeSocket = 2;
constexpr short kDtypePipe = 3;
constexpr unsigned kFread = 0x1;
constexpr unsigned kFwrite = 0x2;
// <sys/socketvar.h>: so_state of a connection being set up.
constexpr short kSsIsConnecting = 0x0004;

template <class T>
Bytes raw(const T &v) {
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

struct Node {
    const char *name;
    Mib mib;
    SockList SockTable::*list;
    bool unix_domain;
    size_t record;
};

const Node kNodes[] = {
    {"net.inet.tcp.pcblist", {CTL_NET, PF_INET, IPPROTO_TCP, 11}, &SockTable::tcp, false, sizeof(struct xtcpcb)},
    {"net.inet.udp.pcblist", {CTL_NET, PF_INET, IPPROTO_UDP, 5}, &SockTable::udp, false, sizeof(struct xinpcb)},
    {"net.local.stream.pcblist", {CTL_NET, PF_LOCAL, SOCK_STREAM, 0x100}, &SockTable::unix_stream, true,
     sizeof(struct xunpcb)},
    {"net.local.dgram.pcblist", {CTL_NET, PF_LOCAL, SOCK_DGRAM, 0x100}, &SockTable::unix_dgram, true,
     sizeof(struct xunpcb)},
    {"net.local.seqpacket.pcblist", {CTL_NET, PF_LOCAL, SOCK_SEQPACKET, 0x100}, &SockTable::unix_seqpacket,
     true, sizeof(struct xunpcb)},
};
constexpr const char *kFileNode = "kern.file";
const Mib kFileMib = {CTL_KERN, 15};

// <sys/filedesc.h>: a descriptor table starts with NDFILE slots; fdalloc()
// grows it to twice the descriptor asked for (doubling from its size), in
// whole words of the allocation bitmap (64 slots).
size_t table_slots(int top_fd) {
    size_t slots = 20;
    if (top_fd < 20)
        return slots;
    while (slots < 2 * static_cast<size_t>(top_fd))
        slots *= 2;
    return (slots + 63) / 64 * 64;
}

// The size query of kern.file (sysctl_kern_file): every descriptor table's
// size in slots, whoever may see it, one struct xfile each. Processes
// without a table (zombies) count nothing; those the file table names but
// the process table lacks count from their highest descriptor.
size_t file_estimate(const Machine &m) {
    std::map<int, int> top;  // pid -> highest descriptor; -1 for none
    for (const Proc &p : m.procs.list) {
        struct kinfo_proc kp;
        if (p.liveness == KillAnswer::Gone || !p.listed)
            continue;
        if (p.kinfo.size() >= sizeof kp) {
            std::memcpy(&kp, p.kinfo.data(), sizeof kp);
            if (kp.ki_stat == SZOMB)
                continue;
        }
        top.emplace(p.pid, -1);
    }
    const Bytes &files = m.socks.files;
    for (size_t off = 0; off + sizeof(struct xfile) <= files.size(); off += sizeof(struct xfile)) {
        struct xfile xf;
        std::memcpy(&xf, files.data() + off, sizeof xf);
        auto [it, fresh] = top.emplace(xf.xf_pid, xf.xf_fd);
        if (!fresh)
            it->second = std::max(it->second, xf.xf_fd);
    }
    size_t slots = 0;
    for (const auto &[pid, fd] : top)
        slots += table_slots(fd);
    return slots * sizeof(struct xfile);
}

// {CTL_KERN, KERN_FILE}: the open-file table, without the descriptors of
// processes the caller may not see.
Bytes compose_files(const Machine &m) {
    const Bytes &files = m.socks.files;
    constexpr size_t rec = sizeof(struct xfile);
    Bytes out;
    out.reserve(files.size());
    size_t run = 0;  // start of the records being kept
    size_t off = 0;
    int last_pid = 0;
    bool seen = true;
    for (; off + rec <= files.size(); off += rec) {
        pid_t pid;
        std::memcpy(&pid, files.data() + off + offsetof(struct xfile, xf_pid), sizeof pid);
        if (off == 0 || pid != last_pid) {
            last_pid = pid;
            bool now = sees_pid(m, pid);
            if (now != seen) {
                if (seen)
                    out.append(files, run, off - run);
                run = off;
                seen = now;
            }
        }
    }
    // Bytes after the last whole record (a table placed by hand) stay.
    if (seen)
        out.append(files, run, files.size() - run);
    else
        out.append(files, off, files.size() - off);
    return out;
}

const Bytes *serve_files(const Machine &m, bool size_query, long &report) {
    if (size_query)
        report = static_cast<long>(file_estimate(m));
    return &m.answers.get(kFileNode, [&m] { return compose_files(m); });
}

// Append the records of `records` (each `rec` bytes) the caller may see;
// bytes after the last whole record stay.
void append_seen(const Machine &m, const Bytes &records, size_t rec, size_t so_offset, Bytes &out) {
    SocketSight sight(m);
    size_t run = 0, off = 0;
    for (; off + rec <= records.size(); off += rec) {
        struct xsocket so;
        std::memcpy(&so, records.data() + off + so_offset, sizeof so);
        if (sight.sees(so))
            continue;
        out.append(records, run, off - run);
        run = off + rec;
    }
    out.append(records, run, records.size() - run);
}

// Every UNIX-domain socket of every type (unp_count).
size_t unix_sockets(const SockTable &t) {
    return size_t{t.unix_stream.count} + t.unix_dgram.count + t.unix_seqpacket.count;
}

// The number a list's header gives: the inet lists count every block (and
// the syncache's connections), the UNIX-domain ones every UNIX-domain socket
// of any type.
size_t list_count(const Machine &m, const Node &node) {
    const SockList &list = m.socks.*node.list;
    if (node.unix_domain)
        return unix_sockets(m.socks);
    return size_t{list.count} + (node.list == &SockTable::tcp ? m.socks.syncache_count : 0);
}

// A list as the kernel hands it out (tcp_pcblist, udp_pcblist,
// unp_pcblist): a header with the list's count and generation, the
// syncache's connections (TCP), the blocks the caller may see, and a
// trailer with the count and generation as they are at the end, one above
// the header's when the list changed meanwhile.
Bytes compose_list(const Machine &m, const Node &node, bool changed) {
    const SockList &list = m.socks.*node.list;
    const bool tcp = node.list == &SockTable::tcp;
    const size_t gen_size = node.unix_domain ? sizeof(struct xunpgen) : sizeof(struct xinpgen);
    const size_t count = list_count(m, node);
    Bytes head, tail;
    if (node.unix_domain) {
        struct xunpgen g;
        std::memset(&g, 0, sizeof g);
        g.xug_len = sizeof g;
        g.xug_count = count;
        g.xug_gen = g.xug_sogen = m.socks.gen;
        head = raw(g);
        g.xug_count += changed;
        g.xug_gen += changed;
        tail = raw(g);
    } else {
        struct xinpgen g;
        std::memset(&g, 0, sizeof g);
        g.xig_len = sizeof g;
        g.xig_count = count;
        g.xig_gen = g.xig_sogen = m.socks.gen;
        head = raw(g);
        g.xig_count += changed;
        g.xig_gen += changed;
        tail = raw(g);
    }
    const size_t so_offset = node.unix_domain ? offsetof(struct xunpcb, xu_socket)
                             : tcp            ? offsetof(struct xtcpcb, xt_inp.xi_socket)
                                              : offsetof(struct xinpcb, xi_socket);
    Bytes out;
    out.reserve(2 * gen_size + list.records.size() + (tcp ? m.socks.syncache.size() : 0));
    out += head;
    if (tcp)
        append_seen(m, m.socks.syncache, node.record, so_offset, out);
    append_seen(m, list.records, node.record, so_offset, out);
    out += tail;
    return out;
}

// A size query reports room for 1/8 more blocks than the header's count (at
// least 10 more for inet); each read counts towards the list's changed ones.
template <size_t I>
const Bytes *serve_list(const Machine &m, bool size_query, long &report) {
    const Node &node = kNodes[I];
    const SockList &list = m.socks.*node.list;
    bool changed = false;
    if (size_query) {
        const size_t count = list_count(m, node);
        const size_t gen_size = node.unix_domain ? sizeof(struct xunpgen) : sizeof(struct xinpgen);
        const size_t spare = node.unix_domain ? count / 8 : std::max<size_t>(count / 8, 10);
        report = static_cast<long>(2 * gen_size + (count + spare) * node.record);
    } else {
        changed = list.reads->fetch_add(1, std::memory_order_relaxed) < list.mismatched;
    }
    return &m.answers.get(std::string(node.name) + (changed ? " changed" : ""),
                          [&m, &node, changed] { return compose_list(m, node, changed); });
}

constexpr ServeFn kServeLists[] = {serve_list<0>, serve_list<1>, serve_list<2>, serve_list<3>,
                                   serve_list<4>};
static_assert(std::size(kServeLists) == std::size(kNodes));

// ---- the default machine's sockets ----------------------------------------

struct Addr {
    int family;          // AF_INET or AF_INET6
    unsigned char b[16]; // 4 or 16 bytes, network order
};

constexpr Addr v4(unsigned char a, unsigned char b, unsigned char c, unsigned char d) {
    return {AF_INET, {a, b, c, d}};
}
constexpr Addr kAny4 = v4(0, 0, 0, 0);
constexpr Addr kLocal4 = v4(127, 0, 0, 1);
constexpr Addr kHost4 = v4(192, 168, 1, 20);  // em0's addresses
constexpr Addr kAny6 = {AF_INET6, {}};
constexpr Addr kLocal6 = {AF_INET6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
constexpr Addr kHost6 = {AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x20}};

enum Kind { TCP, UDP, USTREAM, UDGRAM, USEQPACKET, SYNCACHE };

int unix_type(Kind k) { return k == USTREAM ? SOCK_STREAM : k == UDGRAM ? SOCK_DGRAM : SOCK_SEQPACKET; }

struct Sock {
    Kind kind;
    Addr laddr;
    int lport;
    Addr faddr;
    int fport;
    int state;             // TCP state
    const char *path;      // UNIX: bound path, or nullptr
    unsigned char sun_len; // UNIX: 0 means the path's own length + 2
    std::vector<int> holders;  // PIDs holding a descriptor, in file-table order
};

// A path into sun_path, cut to its size and not NUL-terminated when it fills it.
void put_path(struct sockaddr_un &sun, const char *path) {
    std::memcpy(sun.sun_path, path, std::min(std::strlen(path), sizeof sun.sun_path));
}

// The descriptor record of a socket for kinfo_getfile.
Bytes kinfo_socket(const Sock &s, int fd, uint64_t so) {
    struct kinfo_file kf;
    std::memset(&kf, 0, sizeof kf);
    kf.kf_structsize = sizeof kf;
    kf.kf_type = KF_TYPE_SOCKET;
    kf.kf_fd = fd;
    kf.kf_ref_count = 1;
    kf.kf_flags = KF_FLAG_READ | KF_FLAG_WRITE;
    kf.kf_un.kf_sock.kf_sock_pcb = so + 0x200;
    if (s.kind == USTREAM || s.kind == UDGRAM || s.kind == USEQPACKET) {
        kf.kf_sock_domain = AF_UNIX;
        kf.kf_sock_type = unix_type(s.kind);
        struct sockaddr_un sun;
        std::memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        if (s.path) {
            put_path(sun, s.path);
            sun.sun_len = static_cast<unsigned char>(2 + std::strlen(s.path) + 1);
        } else {
            sun.sun_len = sizeof(struct sockaddr);  // the kernel's unnamed address
        }
        std::memcpy(&kf.kf_sa_local, &sun, sizeof sun);
        return raw(kf);
    }
    kf.kf_sock_domain = s.laddr.family;
    kf.kf_sock_type = s.kind == TCP ? SOCK_STREAM : SOCK_DGRAM;
    kf.kf_sock_protocol = s.kind == TCP ? IPPROTO_TCP : IPPROTO_UDP;
    if (s.laddr.family == AF_INET) {
        struct sockaddr_in l, f;
        std::memset(&l, 0, sizeof l);
        std::memset(&f, 0, sizeof f);
        l.sin_len = sizeof l;
        l.sin_family = AF_INET;
        l.sin_port = htons(static_cast<uint16_t>(s.lport));
        std::memcpy(&l.sin_addr, s.laddr.b, 4);
        std::memcpy(&kf.kf_sa_local, &l, sizeof l);
        if (s.fport) {
            f.sin_len = sizeof f;
            f.sin_family = AF_INET;
            f.sin_port = htons(static_cast<uint16_t>(s.fport));
            std::memcpy(&f.sin_addr, s.faddr.b, 4);
            std::memcpy(&kf.kf_sa_peer, &f, sizeof f);
        }
    } else {
        struct sockaddr_in6 l, f;
        std::memset(&l, 0, sizeof l);
        std::memset(&f, 0, sizeof f);
        l.sin6_len = sizeof l;
        l.sin6_family = AF_INET6;
        l.sin6_port = htons(static_cast<uint16_t>(s.lport));
        std::memcpy(&l.sin6_addr, s.laddr.b, 16);
        std::memcpy(&kf.kf_sa_local, &l, sizeof l);
        if (s.fport) {
            f.sin6_len = sizeof f;
            f.sin6_family = AF_INET6;
            f.sin6_port = htons(static_cast<uint16_t>(s.fport));
            std::memcpy(&f.sin6_addr, s.faddr.b, 16);
            std::memcpy(&kf.kf_sa_peer, &f, sizeof f);
        }
    }
    return raw(kf);
}

// The protocol block of an inet socket, as both lists embed it.
struct xinpcb inpcb(const Sock &s, uint64_t so) {
    return inet_block(s.kind == TCP, {s.laddr.family, s.laddr.b, s.lport, s.faddr.b, s.fport}, so);
}

// A connection the syncache holds, as syncache_pcblist() lists it: no
// socket, no protocol block, only the endpoints, the family's flag and the
// state.
Bytes syncache_record(const Sock &s) {
    struct xtcpcb xt;
    std::memset(&xt, 0, sizeof xt);
    xt.xt_len = sizeof xt;
    xt.t_state = TCPS_SYN_RECEIVED;
    xt.xt_inp.xi_socket.xso_protocol = IPPROTO_TCP;
    xt.xt_inp.xi_socket.xso_len = sizeof xt.xt_inp.xi_socket;
    xt.xt_inp.xi_socket.so_type = SOCK_STREAM;
    xt.xt_inp.xi_socket.so_state = kSsIsConnecting;
    struct xinpcb endpoints = inpcb(s, 0);
    xt.xt_inp.inp_inc = endpoints.inp_inc;
    xt.xt_inp.inp_vflag = endpoints.inp_vflag;
    return raw(xt);
}

// `uid`: the user whose credential the socket carries (its creator's).
Bytes list_record(const Sock &s, uint64_t so, unsigned uid) {
    switch (s.kind) {
    case TCP: {
        struct xtcpcb xt;
        std::memset(&xt, 0, sizeof xt);
        xt.xt_len = sizeof xt;
        xt.xt_inp = inpcb(s, so);
        xt.xt_inp.xi_socket.so_uid = uid;
        std::strncpy(xt.xt_stack, "freebsd", sizeof xt.xt_stack - 1);
        std::strncpy(xt.xt_cc, "cubic", sizeof xt.xt_cc - 1);
        xt.t_state = s.state;
        xt.t_maxseg = 1460;
        return raw(xt);
    }
    case UDP: {
        struct xinpcb xi = inpcb(s, so);
        xi.xi_socket.so_uid = uid;
        return raw(xi);
    }
    default: {
        struct xunpcb xu;
        std::memset(&xu, 0, sizeof xu);
        xu.xu_len = sizeof xu;
        xu.xu_unpp = so ? so + 0x200 : 0;
        if (s.path) {
            xu.xu_addr.sun_family = AF_UNIX;
            put_path(xu.xu_addr, s.path);
            xu.xu_addr.sun_len = s.sun_len ? s.sun_len : static_cast<unsigned char>(2 + std::strlen(s.path));
        }
        xu.xu_socket.xso_len = sizeof xu.xu_socket;
        xu.xu_socket.xso_so = so;
        xu.xu_socket.so_pcb = xu.xu_unpp;
        xu.xu_socket.xso_family = AF_UNIX;
        xu.xu_socket.so_type = static_cast<int16_t>(unix_type(s.kind));
        xu.xu_socket.so_uid = uid;
        return raw(xu);
    }
    }
}

Bytes xfile_record(int pid, unsigned uid, int fd, short type, uint64_t data, uint64_t file) {
    struct xfile xf;
    std::memset(&xf, 0, sizeof xf);
    xf.xf_size = sizeof xf;
    xf.xf_pid = pid;
    xf.xf_uid = uid;
    xf.xf_fd = fd;
    xf.xf_file = file;
    xf.xf_type = type;
    xf.xf_count = 1;
    xf.xf_data = data;
    xf.xf_flag = kFread | kFwrite;
    return raw(xf);
}

void add_record(SockList &list, Bytes rec) {
    list.records += rec;
    list.count++;
}

}  // namespace

// The socket tables are served in place (see publish_socks), not computed
// by a provider on every call.
const std::vector<Provider> &providers_socks() {
    static const std::vector<Provider> list;
    return list;
}

void publish_socks(Machine &m) {
    auto serve = [&m](const char *name, const Mib &mib, ServeFn fn) {
        m.names[name] = mib;
        m.served[name] = fn;
        m.served[mib_key(mib.data(), static_cast<unsigned>(mib.size()))] = fn;
    };
    serve(kFileNode, kFileMib, serve_files);
    for (size_t i = 0; i < std::size(kNodes); i++) {
        serve(kNodes[i].name, kNodes[i].mib, kServeLists[i]);
        (m.socks.*kNodes[i].list).reads = std::make_shared<std::atomic<long>>(0);
    }
}

// The default machine: sshd on 22 (IPv4 and IPv6), nginx on 80 and 443 (the
// workers share the master's listening sockets), PostgreSQL on 5432 and its
// UNIX socket, the user's ssh session, a client of PostgreSQL, ntpd on UDP
// 123, syslogd's log sockets, devd's two sockets (stream and seqpacket), a
// connection in TIME_WAIT that no descriptor holds, two connections still in
// the syncache and a UNIX socket on its way out. Each holder gets a
// descriptor entry after the ones it has; the open-file table lists every
// process's descriptors, the newest process first (the kernel's allproc
// order).
void default_socks(Machine &m) {
    static const Sock socks[] = {
        {TCP, kAny4, 22, kAny4, 0, TCPS_LISTEN, nullptr, 0, {701}},
        {TCP, kAny6, 22, kAny6, 0, TCPS_LISTEN, nullptr, 0, {701}},
        {TCP, kAny4, 80, kAny4, 0, TCPS_LISTEN, nullptr, 0, {801, 802, 803}},
        {TCP, kAny4, 443, kAny4, 0, TCPS_LISTEN, nullptr, 0, {801, 802, 803}},
        {TCP, kLocal4, 5432, kAny4, 0, TCPS_LISTEN, nullptr, 0, {850}},
        {TCP, kLocal6, 5432, kAny6, 0, TCPS_LISTEN, nullptr, 0, {850}},
        {TCP, kHost4, 22, v4(192, 168, 1, 50), 52814, TCPS_ESTABLISHED, nullptr, 0, {1204, 1206}},
        {TCP, kHost4, 443, v4(203, 0, 113, 45), 51234, TCPS_ESTABLISHED, nullptr, 0, {802}},
        {TCP, kHost6, 443, {AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0x2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x77}}, 60022,
         TCPS_FIN_WAIT_2, nullptr, 0, {803}},
        {TCP, kLocal4, 40112, kLocal4, 5432, TCPS_ESTABLISHED, nullptr, 0, {1310}},
        {TCP, kLocal4, 5432, kLocal4, 40112, TCPS_ESTABLISHED, nullptr, 0, {851}},
        {TCP, kHost4, 443, v4(203, 0, 113, 7), 50112, TCPS_TIME_WAIT, nullptr, 0, {}},
        {SYNCACHE, kHost4, 443, v4(198, 51, 100, 77), 40001, TCPS_SYN_RECEIVED, nullptr, 0, {}},
        {SYNCACHE, kHost6, 22, {AF_INET6, {0x20, 0x01, 0x0d, 0xb8, 0, 0x3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x9}}, 55123,
         TCPS_SYN_RECEIVED, nullptr, 0, {}},
        {UDP, kAny4, 123, kAny4, 0, 0, nullptr, 0, {612}},
        {UDP, kAny6, 123, kAny6, 0, 0, nullptr, 0, {612}},
        {UDP, kHost4, 123, kAny4, 0, 0, nullptr, 0, {612}},
        {USTREAM, {}, 0, {}, 0, 0, "/var/run/devd.pipe", 0, {302}},
        {USEQPACKET, {}, 0, {}, 0, 0, "/var/run/devd.seqpacket.pipe", 0, {302}},
        {USTREAM, {}, 0, {}, 0, 0, "/tmp/.s.PGSQL.5432", 0, {850}},
        {USTREAM, {}, 0, {}, 0, 0, nullptr, 0, {1310}},
        {USTREAM, {}, 0, {}, 0, 0, "/tmp/.s.PGSQL.5432", 0, {853}},
        {USTREAM, {}, 0, {}, 0, 0, nullptr, 0, {}},
        {UDGRAM, {}, 0, {}, 0, 0, "/var/run/log", sizeof(struct sockaddr_un), {455}},
        {UDGRAM, {}, 0, {}, 0, 0, "/var/run/logpriv", sizeof(struct sockaddr_un), {455}},
        {UDGRAM, {}, 0, {}, 0, 0, nullptr, 0, {733}},
    };

    // Socket descriptors by process, in the order they are opened.
    std::map<int, std::vector<std::pair<int, uint64_t>>> held;  // pid -> (fd, socket address)
    std::map<int, int> next_fd;
    auto fd_for = [&](Proc &p) {
        auto it = next_fd.find(p.pid);
        if (it == next_fd.end()) {
            int top = 2;
            for (size_t off = 0; off + sizeof(struct kinfo_file) <= p.files.size(); off += sizeof(struct kinfo_file)) {
                int fd;
                std::memcpy(&fd, p.files.data() + off + offsetof(struct kinfo_file, kf_fd), sizeof fd);
                top = std::max(top, fd);
            }
            it = next_fd.emplace(p.pid, top + 1).first;
        }
        return it->second++;
    };

    uint64_t addr = 0xfffff80012a40000ULL;
    for (const Sock &s : socks) {
        if (s.kind == SYNCACHE) {
            m.socks.syncache += syncache_record(s);
            m.socks.syncache_count++;
            continue;
        }
        addr += 0x400;
        // A connection in TIME_WAIT has lost its socket.
        uint64_t so = (s.kind == TCP && s.state == TCPS_TIME_WAIT) ? 0 : addr;
        SockList &list = s.kind == TCP ? m.socks.tcp
                         : s.kind == UDP ? m.socks.udp
                         : s.kind == USTREAM ? m.socks.unix_stream
                         : s.kind == UDGRAM  ? m.socks.unix_dgram
                                             : m.socks.unix_seqpacket;
        // The socket carries its creator's credential: the first holder's
        // (an accepted connection, its listener's: root's sshd for ssh).
        unsigned uid = 0;
        if (!s.holders.empty()) {
            auto i = m.procs.index.find(s.holders.front());
            if (i != m.procs.index.end()) {
                struct kinfo_proc kp;
                std::memset(&kp, 0, sizeof kp);
                const Bytes &r = m.procs.list[i->second].kinfo;
                std::memcpy(&kp, r.data(), std::min(r.size(), sizeof kp));
                uid = kp.ki_uid;
            }
        }
        add_record(list, list_record(s, so, uid));
        for (int pid : s.holders) {
            auto i = m.procs.index.find(pid);
            if (i == m.procs.index.end())
                continue;
            Proc &p = m.procs.list[i->second];
            int fd = fd_for(p);
            p.files += kinfo_socket(s, fd, so);
            held[pid].emplace_back(fd, so);
        }
    }

    // The open-file table: every process's descriptors, sockets by their
    // socket's address and the others by an object of their own.
    uint64_t object = 0xfffff80003100000ULL;
    std::vector<Bytes> tables;  // per process, in process-table order
    for (const Proc &p : m.procs.list) {
        unsigned uid = 0;
        if (p.kinfo.size() >= sizeof(struct kinfo_proc)) {
            struct kinfo_proc kp;
            std::memcpy(&kp, p.kinfo.data(), sizeof kp);
            uid = kp.ki_uid;
        }
        std::vector<std::pair<int, Bytes>> rows;
        auto sockets = held.find(p.pid);
        for (size_t off = 0; off + sizeof(struct kinfo_file) <= p.files.size(); off += sizeof(struct kinfo_file)) {
            struct kinfo_file kf;
            std::memcpy(&kf, p.files.data() + off, sizeof kf);
            if (kf.kf_fd < 0)
                continue;  // working directory, root, text: not descriptors
            uint64_t data = 0;
            if (sockets != held.end())
                for (const auto &[fd, so] : sockets->second)
                    if (fd == kf.kf_fd)
                        data = so;
            short type = kf.kf_type == KF_TYPE_SOCKET ? kDtypeSocket
                         : kf.kf_type == KF_TYPE_PIPE ? kDtypePipe
                                                      : kDtypeVnode;
            object += 0x100;
            rows.emplace_back(kf.kf_fd, xfile_record(p.pid, uid, kf.kf_fd, type, data ? data : object,
                                                     0xfffff80004000000ULL + (object & 0xffffff)));
        }
        std::stable_sort(rows.begin(), rows.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        tables.emplace_back();
        for (auto &row : rows)
            tables.back() += row.second;
    }
    for (auto t = tables.rbegin(); t != tables.rend(); ++t)
        m.socks.files += *t;
    publish_socks(m);
}

}  // namespace fakebsd
