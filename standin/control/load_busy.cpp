// _fakebsd: a large, busy FreeBSD 14 host, generated rather than described
// record by record (a description of 10,000 processes and 100,000 sockets
// built in Python takes seconds; this takes a fraction of one).
//
//   "busy_host": {"procs": int,        processes in the table (at least 200)
//                 "sockets": int,      records in the four protocol lists together
//                 "cpus": [int, ...]}  the CPU ids of the machine, ascending
//
// The host: the kernel's processes, init and the base daemons, nginx (a
// master and one worker per CPU) in front of php-fpm (the bulk of the
// processes), PostgreSQL with a backend per php-fpm worker that talks to it,
// memcached, a local resolver, a few dozen users logged in over ssh, cron
// jobs, zombies left by php-fpm, and a stopped editor. PIDs are spread over
// the whole PID range, as after the counter has wrapped a few times.
//
// Sockets: the listening sockets (sshd, nginx, PostgreSQL, memcached, the
// resolver, ntpd), nginx's clients over IPv4 and IPv6 in all TCP states,
// connections in TIME_WAIT that no descriptor holds, php-fpm's connections
// to PostgreSQL and memcached over loopback TCP, nginx's to php-fpm over its
// UNIX socket, the resolver's queries over UDP, and every daemon's datagram
// socket to syslogd; the rest of the count is filled with UNIX stream pairs
// between nginx and php-fpm. Every held socket has its descriptor in the
// holder's table and its entry in kern.file, which lists every process's
// descriptors in process-table order. The logins of the users are the
// accounting database's entries.
//
// Each descriptor table starts with the entries the kernel adds (text,
// controlling terminal, working and root directory); kernel processes have
// only the two directories. The key replaces the base machine's processes
// and socket tables; the description's "procs", "procs_changed" and "socks"
// keys apply after it.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "control.h"
#include "../src/pcb_records.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

template <class T>
Bytes raw(const T &v) {
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

// <sys/file.h> descriptor types and open flags of kern.file.
constexpr short kDtypeVnode = 1, kDtypeSocket = 2, kDtypePipe = 3, kDtypeKqueue = 5;
constexpr unsigned kFread = 0x1, kFwrite = 0x2;

constexpr time_t kBoot = 1764547200;  // 2025-12-01 00:00:00 UTC

// A deterministic generator (splitmix64).
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    long below(long n) { return n > 0 ? static_cast<long>(next() % static_cast<uint64_t>(n)) : 0; }
};

struct Addr {
    int family;
    unsigned char b[16];
};

Addr v4(unsigned a, unsigned b, unsigned c, unsigned d) {
    Addr x{AF_INET, {}};
    x.b[0] = static_cast<unsigned char>(a);
    x.b[1] = static_cast<unsigned char>(b);
    x.b[2] = static_cast<unsigned char>(c);
    x.b[3] = static_cast<unsigned char>(d);
    return x;
}

// 2001:db8:<net>::<host>
Addr v6(unsigned net, unsigned host) {
    Addr x{AF_INET6, {0x20, 0x01, 0x0d, 0xb8}};
    x.b[4] = static_cast<unsigned char>(net >> 8);
    x.b[5] = static_cast<unsigned char>(net);
    x.b[12] = static_cast<unsigned char>(host >> 24);
    x.b[13] = static_cast<unsigned char>(host >> 16);
    x.b[14] = static_cast<unsigned char>(host >> 8);
    x.b[15] = static_cast<unsigned char>(host);
    return x;
}

Addr any(int family) { return Addr{family, {}}; }
Addr loop4() { return v4(127, 0, 0, 1); }
Addr loop6() {
    Addr x{AF_INET6, {}};
    x.b[15] = 1;
    return x;
}

// What a process is, by role.
enum Role {
    KERNEL, INIT, DAEMON, NGINX_MASTER, NGINX, FPM_MASTER, FPM, PG_MASTER, PG_AUX, PG, MEMCACHED,
    UNBOUND, SSHD_PRIV, SSHD_USER, SHELL, TOOL, CRON_JOB, ZOMBIE, STOPPED
};

struct ProcPlan {
    int pid = 0, ppid = 0;
    Role role = DAEMON;
    std::string comm, exe, cwd = "/", tty;  // tty empty: no controlling terminal
    std::vector<std::string> args;
    unsigned uid = 0;
    int threads = 1;
    char stat = SSLEEP;
    long rss = 0;  // pages
    int nice = 0;
    std::string login = "root";
    int sid = 0;
    std::string line;  // sshd-session of a login: its terminal, for utmpx
};

struct Sock {
    enum Kind { TCP, UDP, USTREAM, UDGRAM } kind;
    Addr laddr{AF_INET, {}};
    int lport = 0;
    Addr faddr{AF_INET, {}};
    int fport = 0;
    int state = 0;
    std::string path;      // UNIX: bound path ("" unbound)
    bool held = true;      // TIME_WAIT and sockets awaiting accept have no descriptor
};

// Records as the default machine builds them (pcb_records.h).
struct xinpcb inpcb(const Sock &s, uint64_t so) {
    return inet_block(s.kind == Sock::TCP, {s.laddr.family, s.laddr.b, s.lport, s.faddr.b, s.fport}, so);
}

void put_path(struct sockaddr_un &sun, const std::string &path) {
    std::memcpy(sun.sun_path, path.data(), std::min(path.size(), sizeof sun.sun_path));
}

void list_record(Bytes &out, const Sock &s, uint64_t so) {
    if (s.kind == Sock::TCP) {
        struct xtcpcb xt;
        std::memset(&xt, 0, sizeof xt);
        xt.xt_len = sizeof xt;
        xt.xt_inp = inpcb(s, so);
        std::strncpy(xt.xt_stack, "freebsd", sizeof xt.xt_stack - 1);
        std::strncpy(xt.xt_cc, "cubic", sizeof xt.xt_cc - 1);
        xt.t_state = s.state;
        xt.t_maxseg = 1460;
        out += raw(xt);
        return;
    }
    if (s.kind == Sock::UDP) {
        out += raw(inpcb(s, so));
        return;
    }
    struct xunpcb xu;
    std::memset(&xu, 0, sizeof xu);
    xu.xu_len = sizeof xu;
    xu.xu_unpp = so ? so + 0x200 : 0;
    if (!s.path.empty()) {
        xu.xu_addr.sun_family = AF_UNIX;
        put_path(xu.xu_addr, s.path);
        xu.xu_addr.sun_len = static_cast<unsigned char>(std::min<size_t>(2 + s.path.size(), sizeof xu.xu_addr));
    }
    xu.xu_socket.xso_len = sizeof xu.xu_socket;
    xu.xu_socket.xso_so = so;
    xu.xu_socket.so_pcb = xu.xu_unpp;
    xu.xu_socket.xso_family = AF_UNIX;
    xu.xu_socket.so_type = s.kind == Sock::USTREAM ? SOCK_STREAM : SOCK_DGRAM;
    out += raw(xu);
}

template <class SA>
void put_sa(struct sockaddr_storage &ss, const SA &sa) {
    std::memcpy(&ss, &sa, sizeof sa);
}

void inet_sa(struct sockaddr_storage &ss, const Addr &a, int port) {
    if (a.family == AF_INET) {
        struct sockaddr_in sin;
        std::memset(&sin, 0, sizeof sin);
        sin.sin_len = sizeof sin;
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&sin.sin_addr, a.b, 4);
        put_sa(ss, sin);
    } else {
        struct sockaddr_in6 sin6;
        std::memset(&sin6, 0, sizeof sin6);
        sin6.sin6_len = sizeof sin6;
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(static_cast<uint16_t>(port));
        std::memcpy(&sin6.sin6_addr, a.b, 16);
        put_sa(ss, sin6);
    }
}

void socket_entry(Bytes &out, const Sock &s, int fd, uint64_t so) {
    struct kinfo_file kf;
    std::memset(&kf, 0, sizeof kf);
    kf.kf_structsize = sizeof kf;
    kf.kf_type = KF_TYPE_SOCKET;
    kf.kf_fd = fd;
    kf.kf_ref_count = 1;
    kf.kf_flags = KF_FLAG_READ | KF_FLAG_WRITE;
    kf.kf_un.kf_sock.kf_sock_pcb = so + 0x200;
    if (s.kind == Sock::USTREAM || s.kind == Sock::UDGRAM) {
        kf.kf_sock_domain = AF_UNIX;
        kf.kf_sock_type = s.kind == Sock::USTREAM ? SOCK_STREAM : SOCK_DGRAM;
        struct sockaddr_un sun;
        std::memset(&sun, 0, sizeof sun);
        sun.sun_family = AF_UNIX;
        if (!s.path.empty()) {
            put_path(sun, s.path);
            sun.sun_len = static_cast<unsigned char>(std::min<size_t>(2 + s.path.size() + 1, sizeof sun));
        } else {
            sun.sun_len = sizeof(struct sockaddr);  // the kernel's unnamed address
        }
        put_sa(kf.kf_sa_local, sun);
    } else {
        kf.kf_sock_domain = s.laddr.family;
        kf.kf_sock_type = s.kind == Sock::TCP ? SOCK_STREAM : SOCK_DGRAM;
        kf.kf_sock_protocol = s.kind == Sock::TCP ? IPPROTO_TCP : IPPROTO_UDP;
        inet_sa(kf.kf_sa_local, s.laddr, s.lport);
        if (s.fport)
            inet_sa(kf.kf_sa_peer, s.faddr, s.fport);
    }
    out += raw(kf);
}

void vnode_entry(Bytes &out, int fd, int vtype, int flags, const std::string &path, int64_t offset = 0) {
    struct kinfo_file kf;
    std::memset(&kf, 0, sizeof kf);
    kf.kf_structsize = sizeof kf;
    kf.kf_type = KF_TYPE_VNODE;
    kf.kf_fd = fd;
    kf.kf_ref_count = fd < 0 ? -1 : 1;
    kf.kf_offset = fd < 0 ? -1 : offset;
    kf.kf_flags = flags;
    kf.kf_vnode_type = vtype;
    kf.kf_status = KF_ATTR_VALID;
    std::strncpy(kf.kf_path, path.c_str(), sizeof kf.kf_path - 1);
    out += raw(kf);
}

void other_entry(Bytes &out, int fd, int type, int flags) {
    struct kinfo_file kf;
    std::memset(&kf, 0, sizeof kf);
    kf.kf_structsize = sizeof kf;
    kf.kf_type = type;
    kf.kf_fd = fd;
    kf.kf_ref_count = 1;
    kf.kf_flags = flags;
    out += raw(kf);
}

void vm_entry(Bytes &out, uint64_t start, uint64_t end, int prot, int type, const char *path, int resident,
              int ref_count) {
    struct kinfo_vmentry kve;
    std::memset(&kve, 0, sizeof kve);
    kve.kve_structsize = sizeof kve;
    kve.kve_type = type;
    kve.kve_start = start;
    kve.kve_end = end;
    kve.kve_protection = prot;
    kve.kve_resident = resident;
    kve.kve_private_resident = type == KVME_TYPE_SWAP ? resident : 0;
    kve.kve_ref_count = ref_count;
    kve.kve_shadow_count = type == KVME_TYPE_VNODE ? 1 : 0;
    if (path)
        std::strncpy(kve.kve_path, path, sizeof kve.kve_path - 1);
    out += raw(kve);
}

// A compact address space: the program, libc, the heap, the stack below its
// guard, and the shared page.
Bytes address_space(const std::string &exe, long rss) {
    constexpr int R = KVME_PROT_READ, W = KVME_PROT_WRITE, X = KVME_PROT_EXEC;
    int heap = static_cast<int>(std::max(1L, rss * 3 / 5));
    Bytes out;
    out.reserve(7 * sizeof(struct kinfo_vmentry));
    vm_entry(out, 0x200000, 0x240000, R | X, KVME_TYPE_VNODE, exe.c_str(), static_cast<int>(std::min(64L, rss / 8 + 1)), 8);
    vm_entry(out, 0x240000, 0x244000, R | W, KVME_TYPE_VNODE, exe.c_str(), 2, 2);
    vm_entry(out, 0x800400000, 0x800600000, R | X, KVME_TYPE_VNODE, "/lib/libc.so.7", 300, 400);
    vm_entry(out, 0x801000000, 0x801000000 + 0x1000ULL * (heap + 256), R | W, KVME_TYPE_SWAP, nullptr, heap, 1);
    vm_entry(out, 0x7fffdfffe000, 0x7ffffffdf000, 0, 9 /* KVME_TYPE_GUARD */, nullptr, 0, 0);
    vm_entry(out, 0x7ffffffdf000, 0x7ffffffff000, R | W, KVME_TYPE_SWAP, nullptr, 8, 1);
    vm_entry(out, 0x7ffffffff000, 0x800000000000, R | X, KVME_TYPE_PHYS, nullptr, 1, 10000);
    return out;
}

Bytes rlimit_bytes(rlim_t cur, rlim_t max) {
    struct rlimit rl = {cur, max};
    return raw(rl);
}

class Builder {
public:
    Builder(long nprocs, long nsockets, std::vector<int> cpus)
        : nprocs_(nprocs), nsockets_(nsockets), cpus_(std::move(cpus)) {}

    void build(Machine &m);

private:
    long nprocs_, nsockets_;
    std::vector<int> cpus_;
    Rng rng_{0x5eed2025};
    std::vector<ProcPlan> plans_;
    std::vector<int> free_pids_;
    size_t next_free_ = 0;
    std::vector<Sock> socks_;
    std::vector<std::vector<std::pair<size_t, int>>> held_;  // per plan: (socket, fd)
    std::vector<int> next_fd_;

    // Indexes of plans by role, filled as they are made.
    std::vector<size_t> nginx_, fpm_, pg_, users_, daemons_with_syslog_;
    size_t sshd_ = 0, nginx_master_ = 0, fpm_master_ = 0, pg_master_ = 0, memcached_ = 0, unbound_ = 0,
           ntpd_ = 0, syslogd_ = 0;

    int pid() { return free_pids_[next_free_++]; }
    size_t add(ProcPlan s) {
        plans_.push_back(std::move(s));
        return plans_.size() - 1;
    }
    size_t daemon(const char *comm, const char *exe, std::vector<std::string> args, unsigned uid = 0,
                  long rss = 800, int threads = 1) {
        ProcPlan s;
        s.pid = pid();
        s.ppid = 1;
        s.role = DAEMON;
        s.comm = comm;
        s.exe = exe;
        s.args = std::move(args);
        s.uid = uid;
        s.rss = rss;
        s.threads = threads;
        s.sid = s.pid;
        return add(std::move(s));
    }
    void processes();
    void sockets();
    size_t sock(Sock s) {
        socks_.push_back(std::move(s));
        return socks_.size() - 1;
    }
    void hold(size_t plan, size_t sock) { held_[plan].emplace_back(sock, next_fd_[plan]++); }
    void tables(Machine &m);
};

void Builder::processes() {
    // PIDs 100..99999 in a scattered order (7919 is prime to the range's size).
    const int lo = 100, span = 99900;
    free_pids_.reserve(static_cast<size_t>(nprocs_));
    for (long k = 0; static_cast<long>(free_pids_.size()) < nprocs_ && k < span; k++)
        free_pids_.push_back(lo + static_cast<int>((k * 7919 + 40503) % span));

    const int ncpu = static_cast<int>(cpus_.size());
    struct K {
        int pid;
        const char *comm;
        int threads;
        char stat;
    } kernel[] = {
        {0, "kernel", 2 * ncpu + 60, SSLEEP}, {2, "clock", 1, SWAIT},      {3, "crypto", ncpu + 1, SWAIT},
        {4, "cam", 3, SWAIT},                 {5, "zfskern", 40, SWAIT},   {6, "geom", 3, SWAIT},
        {7, "rand_harvestq", 1, SWAIT},       {8, "pagedaemon", 6, SWAIT}, {9, "vmdaemon", 1, SWAIT},
        {10, "audit", 1, SWAIT},              {11, "idle", ncpu, SRUN},    {12, "intr", ncpu + 180, SWAIT},
        {13, "bufdaemon", 5, SWAIT},          {14, "vnlru", 1, SWAIT},     {15, "syncer", 1, SWAIT},
        {16, "usb", 4, SWAIT},                {17, "acpi_thermal", 1, SWAIT},
    };
    for (const K &k : kernel) {
        ProcPlan s;
        s.pid = k.pid;
        s.role = KERNEL;
        s.comm = k.comm;
        s.threads = k.threads;
        s.stat = k.stat;
        add(std::move(s));
        if (k.pid == 0) {
            ProcPlan init;
            init.pid = 1;
            init.role = INIT;
            init.comm = "init";
            init.exe = "/sbin/init";
            init.args = {"/sbin/init"};
            init.rss = 290;
            init.tty = "/dev/console";
            init.sid = 1;
            add(std::move(init));
        }
    }
    size_t devd = daemon("devd", "/sbin/devd", {"/sbin/devd"}, 0, 420);
    syslogd_ = daemon("syslogd", "/usr/sbin/syslogd", {"/usr/sbin/syslogd", "-ss"}, 0, 700);
    ntpd_ = daemon("ntpd", "/usr/sbin/ntpd", {"/usr/sbin/ntpd", "-p", "/var/db/ntp/ntpd.pid", "-c", "/etc/ntp.conf"}, 123, 1300);
    unbound_ = daemon("local-unbound", "/usr/sbin/local-unbound", {"/usr/sbin/local-unbound", "-c", "/var/unbound/unbound.conf"}, 59,
                      24000, std::min(ncpu, 16));
    plans_[unbound_].role = UNBOUND;
    plans_[unbound_].cwd = "/var/unbound";
    sshd_ = daemon("sshd", "/usr/sbin/sshd", {"/usr/sbin/sshd"}, 0, 2100);
    size_t cron = daemon("cron", "/usr/sbin/cron", {"/usr/sbin/cron", "-s"}, 0, 560);
    plans_[cron].cwd = "/var/cron";
    memcached_ = daemon("memcached", "/usr/local/bin/memcached", {"/usr/local/bin/memcached", "-l", "127.0.0.1", "-m", "65536", "-t", "32", "-d"},
                        65534, 4200000, 36);
    plans_[memcached_].role = MEMCACHED;
    daemons_with_syslog_ = {devd, ntpd_, unbound_, sshd_, cron, memcached_};

    // nginx: a master and a worker per CPU.
    ProcPlan nm;
    nm.pid = pid();
    nm.ppid = 1;
    nm.role = NGINX_MASTER;
    nm.comm = "nginx";
    nm.exe = "/usr/local/sbin/nginx";
    nm.args = {"nginx: master process /usr/local/sbin/nginx"};
    nm.rss = 2100;
    nm.sid = nm.pid;
    nginx_master_ = add(nm);
    for (int i = 0; i < ncpu; i++) {
        ProcPlan w = nm;
        w.pid = pid();
        w.ppid = nm.pid;
        w.role = NGINX;
        w.args = {"nginx: worker process"};
        w.uid = 80;
        w.login = "root";
        w.rss = 9000 + rng_.below(6000);
        w.stat = i % 16 == 0 ? SRUN : SSLEEP;
        nginx_.push_back(add(std::move(w)));
    }

    // PostgreSQL: the postmaster and its helpers.
    ProcPlan pm;
    pm.pid = pid();
    pm.ppid = 1;
    pm.role = PG_MASTER;
    pm.comm = "postgres";
    pm.exe = "/usr/local/bin/postgres";
    pm.args = {"/usr/local/bin/postgres", "-D", "/var/db/postgres/data16"};
    pm.uid = 770;
    pm.login = "postgres";
    pm.cwd = "/var/db/postgres/data16";
    pm.rss = 60000;
    pm.sid = pm.pid;
    pg_master_ = add(pm);
    for (const char *aux : {"checkpointer", "background writer", "walwriter", "autovacuum launcher",
                            "logical replication launcher"}) {
        ProcPlan a = pm;
        a.pid = pid();
        a.ppid = pm.pid;
        a.role = PG_AUX;
        a.args = {std::string("postgres: ") + aux + " "};
        a.rss = 30000;
        add(std::move(a));
    }

    // php-fpm's master.
    ProcPlan fm;
    fm.pid = pid();
    fm.ppid = 1;
    fm.role = FPM_MASTER;
    fm.comm = "php-fpm";
    fm.exe = "/usr/local/sbin/php-fpm";
    fm.args = {"php-fpm: master process (/usr/local/etc/php-fpm.conf)"};
    fm.rss = 7000;
    fm.sid = fm.pid;
    fpm_master_ = add(fm);

    // Logged-in users: sshd's privileged half, the user's half, a shell and
    // what the user runs.
    const long nusers = std::max(2L, std::min(40L, nprocs_ / 250));
    static const char *tools[][2] = {{"top", "/usr/bin/top"},     {"vim", "/usr/local/bin/vim"},
                                     {"tail", "/usr/bin/tail"},   {"psql", "/usr/local/bin/psql"},
                                     {"python3.11", "/usr/local/bin/python3.11"}, {"tmux", "/usr/local/bin/tmux"}};
    for (long u = 0; u < nusers; u++) {
        std::string name = "user" + std::to_string(u + 1);
        unsigned uid = 1001 + static_cast<unsigned>(u);
        std::string pts = "/dev/pts/" + std::to_string(u);
        ProcPlan priv;
        priv.pid = pid();
        priv.ppid = plans_[sshd_].pid;
        priv.role = SSHD_PRIV;
        priv.comm = "sshd-session";
        priv.exe = "/usr/libexec/sshd-session";
        priv.args = {"sshd-session: " + name + " [priv]"};
        priv.rss = 2200;
        priv.sid = priv.pid;
        size_t p = add(priv);
        ProcPlan usr = priv;
        usr.pid = pid();
        usr.ppid = priv.pid;
        usr.role = SSHD_USER;
        usr.args = {"sshd-session: " + name + "@pts/" + std::to_string(u)};
        usr.uid = uid;
        usr.login = name;
        usr.cwd = "/var/empty";
        usr.line = "pts/" + std::to_string(u);
        size_t q = add(usr);
        ProcPlan sh;
        sh.pid = pid();
        sh.ppid = usr.pid;
        sh.role = SHELL;
        sh.comm = u % 3 ? "sh" : "tcsh";
        sh.exe = u % 3 ? "/bin/sh" : "/bin/tcsh";
        sh.args = {u % 3 ? "-sh" : "-tcsh"};
        sh.uid = uid;
        sh.login = name;
        sh.cwd = "/home/" + name;
        sh.tty = pts;
        sh.rss = 900;
        sh.nice = 0;
        sh.sid = sh.pid;
        size_t r = add(sh);
        ProcPlan t = sh;
        t.pid = pid();
        t.ppid = sh.pid;
        t.role = u == 1 ? STOPPED : TOOL;
        t.comm = tools[u % 6][0];
        t.exe = tools[u % 6][1];
        t.args = {t.comm};
        if (t.comm == "tail")
            t.args = {"tail", "-F", "/var/log/nginx/error.log"};
        if (t.comm == "psql")
            t.args = {"psql", "-U", "postgres", "app"};
        t.stat = u == 1 ? SSTOP : (u % 7 == 0 ? SRUN : SSLEEP);
        t.rss = 1500 + 300 * (u % 6);
        t.nice = u % 5 == 4 ? 10 : 0;
        t.threads = t.comm == "python3.11" ? 3 : 1;
        size_t v = add(t);
        users_.push_back(p);
        users_.push_back(q);
        users_.push_back(r);
        users_.push_back(v);
    }

    // Cron jobs running now, and the zombies php-fpm has not reaped yet.
    for (int j = 0; j < 3; j++) {
        ProcPlan c;
        c.pid = pid();
        c.ppid = plans_[cron].pid;
        c.role = CRON_JOB;
        c.comm = "sh";
        c.exe = "/bin/sh";
        c.args = {"/bin/sh", "-c", "/usr/local/bin/php /usr/local/www/app/cron.php"};
        c.uid = 80;
        c.login = "www";
        c.cwd = "/usr/local/www/app";
        c.rss = 400;
        c.sid = c.pid;
        add(std::move(c));
    }
    const long zombies = std::max(2L, nprocs_ / 400);
    // The rest: php-fpm workers (two in three) and PostgreSQL backends.
    long rest = nprocs_ - static_cast<long>(plans_.size()) - zombies;
    long backends = rest / 3;
    long workers = rest - backends;
    for (long i = 0; i < workers; i++) {
        ProcPlan w = fm;
        w.pid = pid();
        w.ppid = fm.pid;
        w.role = FPM;
        w.args = {"php-fpm: pool www"};
        w.uid = 80;
        w.login = "root";
        w.cwd = "/usr/local/www/app";
        w.rss = 12000 + rng_.below(20000);
        w.stat = rng_.below(100) == 0 ? SRUN : (rng_.below(300) == 0 ? SLOCK : SSLEEP);
        w.sid = fm.pid;
        fpm_.push_back(add(std::move(w)));
    }
    for (long i = 0; i < backends; i++) {
        ProcPlan b = pm;
        b.pid = pid();
        b.ppid = pm.pid;
        b.role = PG;
        b.args = {"postgres: app app 127.0.0.1(" + std::to_string(20000 + i % 40000) + ") idle"};
        b.rss = 6000 + rng_.below(30000);
        b.stat = rng_.below(200) == 0 ? SRUN : SSLEEP;
        pg_.push_back(add(std::move(b)));
    }
    for (long z = 0; z < zombies; z++) {
        ProcPlan d;
        d.pid = pid();
        d.ppid = fm.pid;
        d.role = ZOMBIE;
        d.comm = "php-fpm";
        d.uid = 80;
        d.threads = 1;  // a zombie keeps its last thread until it is reaped
        d.stat = SZOMB;
        add(std::move(d));
    }
}

void Builder::sockets() {
    held_.assign(plans_.size(), {});
    next_fd_.assign(plans_.size(), 0);
    // Descriptors open before any socket (see tables()): numbered on from there.
    for (size_t i = 0; i < plans_.size(); i++) {
        const ProcPlan &s = plans_[i];
        switch (s.role) {
        case KERNEL:
        case ZOMBIE:
            next_fd_[i] = 0;
            break;
        case NGINX_MASTER:
        case NGINX:
            next_fd_[i] = 6;  // 0-2, two logs, kqueue
            break;
        case PG:
        case PG_MASTER:
        case PG_AUX:
            next_fd_[i] = 5;
            break;
        case SHELL:
            next_fd_[i] = 10;  // csh and sh move their own descriptors up
            break;
        default:
            next_fd_[i] = 4;
        }
    }
    const Addr host4 = v4(198, 51, 100, 10), host6 = v6(1, 0x10);
    auto listen = [this](Sock::Kind kind, Addr a, int port, std::vector<size_t> holders) {
        Sock s;
        s.kind = kind;
        s.laddr = a;
        s.lport = port;
        s.faddr = any(a.family);
        s.state = kind == Sock::TCP ? TCPS_LISTEN : 0;
        size_t k = sock(std::move(s));
        for (size_t h : holders)
            hold(h, k);
    };
    std::vector<size_t> nginx_all = nginx_;
    nginx_all.insert(nginx_all.begin(), nginx_master_);
    listen(Sock::TCP, any(AF_INET), 22, {sshd_});
    listen(Sock::TCP, any(AF_INET6), 22, {sshd_});
    listen(Sock::TCP, any(AF_INET), 80, nginx_all);
    listen(Sock::TCP, any(AF_INET6), 80, nginx_all);
    listen(Sock::TCP, any(AF_INET), 443, nginx_all);
    listen(Sock::TCP, any(AF_INET6), 443, nginx_all);
    listen(Sock::TCP, loop4(), 5432, {pg_master_});
    listen(Sock::TCP, loop6(), 5432, {pg_master_});
    listen(Sock::TCP, loop4(), 11211, {memcached_});
    listen(Sock::UDP, loop4(), 53, {unbound_});
    listen(Sock::UDP, loop6(), 53, {unbound_});
    listen(Sock::TCP, loop4(), 53, {unbound_});
    listen(Sock::UDP, any(AF_INET), 123, {ntpd_});
    listen(Sock::UDP, any(AF_INET6), 123, {ntpd_});
    listen(Sock::UDP, host4, 123, {ntpd_});
    {
        Sock s;
        s.kind = Sock::USTREAM;
        s.path = "/var/run/php-fpm.sock";
        size_t k = sock(s);
        hold(fpm_master_, k);
        for (size_t w : fpm_)
            hold(w, k);
        s.path = "/tmp/.s.PGSQL.5432";
        hold(pg_master_, sock(s));
        s.kind = Sock::UDGRAM;
        s.path = "/var/run/log";
        hold(syslogd_, sock(s));
        s.path = "/var/run/logpriv";
        hold(syslogd_, sock(s));
    }

    const long N = nsockets_;
    static const int states[] = {TCPS_ESTABLISHED, TCPS_ESTABLISHED, TCPS_ESTABLISHED, TCPS_ESTABLISHED,
                                 TCPS_ESTABLISHED, TCPS_ESTABLISHED, TCPS_ESTABLISHED, TCPS_FIN_WAIT_2,
                                 TCPS_CLOSE_WAIT, TCPS_FIN_WAIT_1, TCPS_LAST_ACK, TCPS_CLOSING,
                                 TCPS_SYN_RECEIVED};
    // nginx's clients: a share of them over IPv6; the connections waiting in
    // the listen queue have no descriptor yet.
    for (long i = 0, n = N * 30 / 100; i < n; i++) {
        Sock s;
        s.kind = Sock::TCP;
        bool six = i % 5 == 0;
        s.laddr = six ? host6 : host4;
        s.lport = i % 4 == 0 ? 80 : 443;
        s.faddr = six ? v6(0xff00 + static_cast<unsigned>(i % 200), static_cast<unsigned>(rng_.next()))
                      : v4(i % 2 ? 203 : 192, 0, i % 2 ? 113 : 2, 1 + static_cast<unsigned>(rng_.below(254)));
        s.fport = 1024 + static_cast<int>(rng_.below(64511));
        s.state = states[i % 13];
        s.held = s.state != TCPS_SYN_RECEIVED && i % 97 != 5;
        size_t k = sock(std::move(s));
        if (socks_[k].held)
            hold(nginx_[static_cast<size_t>(i) % nginx_.size()], k);
    }
    // TIME_WAIT: the socket is gone, the protocol block stays a while.
    for (long i = 0, n = N * 15 / 100; i < n; i++) {
        Sock s;
        s.kind = Sock::TCP;
        s.laddr = host4;
        s.lport = 443;
        s.faddr = v4(203, 0, 113, 1 + static_cast<unsigned>(rng_.below(254)));
        s.fport = 1024 + static_cast<int>(rng_.below(64511));
        s.state = TCPS_TIME_WAIT;
        s.held = false;
        sock(std::move(s));
    }
    // php-fpm to PostgreSQL over loopback, both ends: one backend per worker
    // that holds a connection.
    int eport = 10000;
    auto pair_tcp = [&](size_t client, size_t server, int sport, bool six) {
        Sock c;
        c.kind = Sock::TCP;
        c.laddr = six ? loop6() : loop4();
        c.lport = eport;
        c.faddr = c.laddr;
        c.fport = sport;
        c.state = TCPS_ESTABLISHED;
        Sock s = c;
        s.lport = sport;
        s.fport = eport;
        eport = eport >= 65000 ? 10000 : eport + 1;
        hold(client, sock(std::move(c)));
        hold(server, sock(std::move(s)));
    };
    for (size_t i = 0; i < pg_.size() && i < fpm_.size(); i++)
        pair_tcp(fpm_[i], pg_[i], 5432, i % 10 == 9);
    // php-fpm to memcached.
    for (long i = 0, n = std::min<long>(N * 2 / 100, static_cast<long>(fpm_.size())); i < n; i++)
        pair_tcp(fpm_[fpm_.size() - 1 - static_cast<size_t>(i)], memcached_, 11211, false);
    // The resolver's queries.
    for (long i = 0, n = N * 2 / 100; i < n; i++) {
        Sock s;
        s.kind = Sock::UDP;
        s.laddr = i % 3 ? host4 : host6;
        s.lport = 1024 + static_cast<int>(rng_.below(64511));
        s.faddr = i % 3 ? v4(192, 0, 2, 53 + static_cast<unsigned>(i % 4)) : v6(0x53, 0x53 + static_cast<unsigned>(i % 4));
        s.fport = 53;
        hold(unbound_, sock(std::move(s)));
    }
    // Every daemon's and worker's datagram socket to syslogd (unbound).
    std::vector<size_t> loggers = daemons_with_syslog_;
    loggers.insert(loggers.end(), nginx_all.begin(), nginx_all.end());
    loggers.push_back(fpm_master_);
    loggers.push_back(pg_master_);
    for (size_t w = 0; w < fpm_.size(); w += 2)
        loggers.push_back(fpm_[w]);
    for (size_t l : loggers) {
        if (static_cast<long>(socks_.size()) >= N)
            break;
        Sock s;
        s.kind = Sock::UDGRAM;
        hold(l, sock(std::move(s)));
    }
    // The rest: nginx to php-fpm over php-fpm's socket. The accepting end
    // carries the socket's path; nginx's end is unbound.
    size_t turn = 0;
    while (static_cast<long>(socks_.size()) + 2 <= N) {
        Sock srv;
        srv.kind = Sock::USTREAM;
        srv.path = "/var/run/php-fpm.sock";
        Sock cli;
        cli.kind = Sock::USTREAM;
        hold(nginx_[turn % nginx_.size()], sock(std::move(cli)));
        hold(fpm_[turn % fpm_.size()], sock(std::move(srv)));
        turn++;
    }
    while (static_cast<long>(socks_.size()) < N) {  // one left: awaiting accept
        Sock s;
        s.kind = Sock::USTREAM;
        s.path = "/var/run/php-fpm.sock";
        s.held = false;
        sock(std::move(s));
    }
}

void Builder::tables(Machine &m) {
    // Kernel addresses of the sockets.
    std::vector<uint64_t> addr(socks_.size());
    uint64_t next = 0xfffff80100000000ULL;
    for (size_t k = 0; k < socks_.size(); k++) {
        next += 0x400;
        addr[k] = socks_[k].kind == Sock::TCP && socks_[k].state == TCPS_TIME_WAIT ? 0 : next;
    }
    SockTable st;
    size_t counts[4] = {};
    for (const Sock &s : socks_)
        counts[s.kind]++;
    st.tcp.records.reserve(counts[Sock::TCP] * sizeof(struct xtcpcb));
    st.udp.records.reserve(counts[Sock::UDP] * sizeof(struct xinpcb));
    st.unix_stream.records.reserve(counts[Sock::USTREAM] * sizeof(struct xunpcb));
    st.unix_dgram.records.reserve(counts[Sock::UDGRAM] * sizeof(struct xunpcb));
    for (size_t k = 0; k < socks_.size(); k++) {
        const Sock &s = socks_[k];
        SockList &list = s.kind == Sock::TCP ? st.tcp : s.kind == Sock::UDP ? st.udp
                         : s.kind == Sock::USTREAM ? st.unix_stream : st.unix_dgram;
        list_record(list.records, s, addr[k]);
        list.count++;
    }

    struct kinfo_proc kp;
    cpuset_t all;
    CPU_ZERO(&all);
    for (int c : cpus_)
        CPU_SET(c, &all);
    const Bytes mask = raw(all);
    int next_tid = 100001;
    uint64_t object = 0xfffff80200000000ULL;
    ProcTable table;
    for (size_t i = 0; i < plans_.size(); i++) {
        const ProcPlan &s = plans_[i];
        const bool system = s.role == KERNEL;
        const bool zombie = s.role == ZOMBIE;
        std::memset(&kp, 0, sizeof kp);
        kp.ki_structsize = sizeof kp;
        kp.ki_pid = s.pid;
        kp.ki_ppid = s.ppid;
        kp.ki_pgid = s.role == FPM || s.role == NGINX || s.role == PG || s.role == PG_AUX ? s.ppid : s.pid;
        kp.ki_sid = s.sid;
        kp.ki_uid = kp.ki_ruid = kp.ki_svuid = s.uid;
        kp.ki_rgid = kp.ki_svgid = s.uid;
        kp.ki_ngroups = 1;
        kp.ki_groups[0] = s.uid;
        kp.ki_rssize = s.rss;
        if (!zombie && !system) {
            kp.ki_size = static_cast<vm_size_t>(s.rss + 4000) * 4096 * 3;
            kp.ki_tsize = std::max(1L, s.rss / 10);
            kp.ki_dsize = s.rss / 2;
            kp.ki_ssize = 32;
        }
        long age = system || s.pid == 1 ? 0 : static_cast<long>(rng_.below(9 * 86400));
        kp.ki_start.tv_sec = kBoot + (system ? 0 : 5) + age;
        kp.ki_start.tv_usec = static_cast<suseconds_t>(rng_.below(1000000));
        long cpu_us = system ? (s.threads * 4000000L) : (age / 50 + 1) * 1000L * (1 + s.rss / 4000);
        kp.ki_rusage.ru_utime = {system ? 0 : cpu_us / 1000000 * 3 / 4, static_cast<suseconds_t>(cpu_us % 1000000)};
        kp.ki_rusage.ru_stime = {cpu_us / 1000000 / 4 + (system ? 1 : 0), static_cast<suseconds_t>((cpu_us / 3) % 1000000)};
        kp.ki_rusage.ru_maxrss = s.rss * 4;
        kp.ki_rusage.ru_nvcsw = 100 + age / 7;
        kp.ki_rusage.ru_nivcsw = age / 90;
        kp.ki_rusage.ru_inblock = s.rss / 20;
        kp.ki_rusage.ru_oublock = age / 600;
        kp.ki_runtime = static_cast<uint64_t>(cpu_us);
        kp.ki_flag = (zombie ? 0 : P_INMEM) | (system ? P_SYSTEM | P_KPROC : 0) | (s.role == SHELL ? P_CONTROLT : 0);
        kp.ki_stat = s.stat;
        kp.ki_nice = static_cast<signed char>(s.nice);
        kp.ki_tdev = s.tty.empty() ? UINT64_MAX : 0x5c + static_cast<uint64_t>(i % 97);
        kp.ki_oncpu = s.stat == SRUN ? cpus_[i % cpus_.size()] : NOCPU;
        kp.ki_lastcpu = cpus_[(i * 7) % cpus_.size()];
        kp.ki_numthreads = s.threads;
        kp.ki_pri.pri_level = system ? 8 : 120 + s.nice;
        kp.ki_pri.pri_user = kp.ki_pri.pri_level;
        std::strncpy(kp.ki_comm, s.comm.c_str(), sizeof kp.ki_comm - 1);
        std::strncpy(kp.ki_login, s.login.c_str(), sizeof kp.ki_login - 1);
        std::strncpy(kp.ki_wmesg, s.stat == SSLEEP ? (s.role == FPM ? "accept" : "kqread") : "", sizeof kp.ki_wmesg - 1);
        std::strncpy(kp.ki_emul, "FreeBSD ELF64", sizeof kp.ki_emul - 1);

        Proc p;
        p.pid = s.pid;
        p.kinfo = raw(kp);
        p.nice = s.nice;
        if (zombie) {
            p.path = Bytes();
        } else {
            // Threads: the process's CPU time shared between them.
            p.threads.reserve(static_cast<size_t>(s.threads));
            for (int t = 0; t < s.threads; t++) {
                struct kinfo_proc td = kp;
                td.ki_tid = next_tid++;
                if (s.threads > 1) {
                    td.ki_rusage.ru_utime.tv_sec /= s.threads;
                    td.ki_rusage.ru_stime.tv_sec /= s.threads;
                    if (s.pid == 11)
                        td.ki_lastcpu = td.ki_oncpu = cpus_[static_cast<size_t>(t) % cpus_.size()];
                }
                p.threads.push_back(raw(td));
            }
            p.cpuset = mask;
        }
        if (!system && !zombie) {
            for (const std::string &a : s.args) {
                p.args += a;
                p.args += '\0';
            }
            p.path = s.exe + '\0';
            p.env = {"PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin", "HOME=/",
                     "PWD=" + s.cwd};
            if (s.uid >= 1001)
                p.env = {"USER=" + s.login, "LOGNAME=" + s.login, "HOME=/home/" + s.login, "SHELL=/bin/sh",
                         "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin:/home/" + s.login + "/bin",
                         "TERM=xterm-256color", "LANG=C.UTF-8", "PWD=" + s.cwd,
                         "SSH_TTY=" + (s.tty.empty() ? std::string("/dev/pts/0") : s.tty)};
            p.vmmap = address_space(s.exe, s.rss);
            p.rlimits[RLIMIT_NOFILE] = rlimit_bytes(s.uid == 0 ? 940000 : 117504, 940000);
            p.rlimits[RLIMIT_NPROC] = rlimit_bytes(89999, 89999);
            p.rlimits[RLIMIT_STACK] = rlimit_bytes(536870912, 536870912);
            p.rlimits[RLIMIT_DATA] = rlimit_bytes(34359738368, 34359738368);
            if (s.role == MEMCACHED)
                p.rlimits[RLIMIT_NOFILE] = rlimit_bytes(1048576, 1048576);
        } else if (system) {
            p.path = Bytes();
        }

        // The descriptor table: the kernel's own entries, then the descriptors.
        Bytes &f = p.files;
        std::vector<std::pair<int, std::pair<short, uint64_t>>> xrows;  // fd -> (type, data)
        if (!zombie) {
            size_t n = 5 + held_[i].size() + 4;
            f.reserve(n * sizeof(struct kinfo_file));
            if (!system) {
                vnode_entry(f, KF_FD_TYPE_TEXT, KF_VTYPE_VREG, KF_FLAG_READ, s.exe);
                if (!s.tty.empty())
                    vnode_entry(f, KF_FD_TYPE_CTTY, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, s.tty);
            }
            vnode_entry(f, KF_FD_TYPE_CWD, KF_VTYPE_VDIR, KF_FLAG_READ, system ? "/" : s.cwd);
            vnode_entry(f, KF_FD_TYPE_ROOT, KF_VTYPE_VDIR, KF_FLAG_READ, "/");
        }
        auto vnode = [&](int fd, int vtype, int flags, const std::string &path) {
            vnode_entry(f, fd, vtype, flags, path, vtype == KF_VTYPE_VREG ? 4096 * (fd + 1) : 0);
            xrows.push_back({fd, {kDtypeVnode, 0}});
        };
        if (!system && !zombie) {
            const std::string std_dev = s.tty.empty() ? "/dev/null" : s.tty;
            for (int fd = 0; fd < 3; fd++)
                vnode(fd, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, std_dev);
            const int append = KF_FLAG_WRITE | KF_FLAG_APPEND;
            switch (s.role) {
            case NGINX_MASTER:
            case NGINX:
                vnode(3, KF_VTYPE_VREG, append, "/var/log/nginx/error.log");
                vnode(4, KF_VTYPE_VREG, append, "/var/log/nginx/access.log");
                other_entry(f, 5, KF_TYPE_KQUEUE, KF_FLAG_READ | KF_FLAG_WRITE);
                xrows.push_back({5, {kDtypeKqueue, 0}});
                break;
            case PG_MASTER:
            case PG_AUX:
            case PG:
                vnode(3, KF_VTYPE_VREG, append, "/var/db/postgres/data16/log/postgresql.log");
                vnode(4, KF_VTYPE_VREG, KF_FLAG_READ | KF_FLAG_WRITE,
                      s.role == PG ? "/var/db/postgres/data16/base/16384/" + std::to_string(16400 + i % 300)
                                   : "/var/db/postgres/data16/global/pg_control");
                break;
            case SHELL:
                for (int fd = 3; fd < 10; fd++)
                    if (fd >= 5)
                        vnode(fd, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, s.tty);
                break;
            case SSHD_USER:
                vnode(3, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, "/dev/ptmx");
                break;
            case FPM_MASTER:
            case FPM:
                vnode(3, KF_VTYPE_VREG, append, "/var/log/php-fpm.log");
                break;
            default:
                other_entry(f, 3, KF_TYPE_PIPE, KF_FLAG_READ);
                xrows.push_back({3, {kDtypePipe, 0}});
            }
            for (const auto &[k, fd] : held_[i]) {
                socket_entry(f, socks_[k], fd, addr[k]);
                xrows.push_back({fd, {kDtypeSocket, addr[k]}});
            }
        }
        std::stable_sort(xrows.begin(), xrows.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
        for (const auto &[fd, td] : xrows) {
            struct xfile xf;
            std::memset(&xf, 0, sizeof xf);
            xf.xf_size = sizeof xf;
            xf.xf_pid = s.pid;
            xf.xf_uid = s.uid;
            xf.xf_fd = fd;
            object += 0x100;
            xf.xf_file = 0xfffff80300000000ULL + (object & 0xffffffff);
            xf.xf_type = td.first;
            xf.xf_count = 1;
            xf.xf_data = td.second ? td.second : object;
            xf.xf_flag = kFread | kFwrite;
            st.files += raw(xf);
        }
        table.add(std::move(p));
    }
    m.procs = std::move(table);
    // The logins, in the order the users came.
    m.users.entries.clear();
    for (size_t i = 0; i < plans_.size(); i++) {
        const ProcPlan &s = plans_[i];
        if (s.line.empty())
            continue;
        struct utmpx ut;
        std::memset(&ut, 0, sizeof ut);
        ut.ut_type = USER_PROCESS;
        ut.ut_tv.tv_sec = kBoot + 86400 + static_cast<time_t>(i) * 97;
        ut.ut_pid = s.pid;
        std::snprintf(ut.ut_id, sizeof ut.ut_id, "%x", static_cast<unsigned>(i % 0x10000000u));
        std::strncpy(ut.ut_user, s.login.c_str(), sizeof ut.ut_user - 1);
        std::strncpy(ut.ut_line, s.line.c_str(), sizeof ut.ut_line - 1);
        std::snprintf(ut.ut_host, sizeof ut.ut_host, "192.0.2.%zu", 10 + i % 200);
        m.users.entries.push_back(raw(ut));
    }
    st.gen = 48213;
    m.socks = std::move(st);
    publish_socks(m);
}

void Builder::build(Machine &m) {
    processes();
    sockets();
    tables(m);
}

}  // namespace

int load_busy_host(Machine &m, PyObject *desc) {
    PyObject *d = item(desc, "busy_host");
    if (!d)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_TypeError, "'busy_host' must be a dict");
        return -1;
    }
    long long procs = 10000, sockets = 100000;
    PyObject *v;
    if ((v = item(d, "procs")) && !as_long(v, procs))
        return -1;
    if ((v = item(d, "sockets")) && !as_long(v, sockets))
        return -1;
    std::vector<int> cpus;
    if ((v = item(d, "cpus"))) {
        Mib ids;
        if (!as_mib(v, ids))
            return -1;
        cpus.assign(ids.begin(), ids.end());
    }
    if (PyErr_Occurred())
        return -1;
    if (cpus.empty())
        for (int c = 0; c < 4; c++)
            cpus.push_back(c);
    if (procs < 200 || procs > 99900 || sockets < 100 || sockets > 10000000) {
        PyErr_SetString(PyExc_ValueError, "busy_host: 200 to 99900 processes, 100 to 10**7 sockets");
        return -1;
    }
    for (int c : cpus)
        if (c < 0 || c >= CPU_SETSIZE) {
            PyErr_Format(PyExc_ValueError, "busy_host: CPU id %d out of range", c);
            return -1;
        }
    Builder(static_cast<long>(procs), static_cast<long>(sockets), std::move(cpus)).build(m);
    return 0;
}

}  // namespace fakebsd
