/*
 * The floor for the real-kernel benchmark: for each measured module function,
 * the same platform calls the module makes, with the same fields decoded into
 * C structs (strings copied into memory of their own, as the module copies
 * them into Python objects), and no Python at all.
 *
 *   floor NAME ITERATIONS [PID]
 *
 * runs NAME's calls ITERATIONS times and prints "NAME <ns per call> <items>"
 * (items: the entries of the last call's answer). PID is the process the
 * per-process functions look at. Built for FreeBSD with the lab's clang:
 *   clang --target=x86_64-unknown-freebsd14.2 --sysroot=ROOT -O2 floor.c \
 *         -lkvm -lutil -ldevstat
 */
#include <sys/param.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/socketvar.h>
#include <sys/sysctl.h>
#include <sys/file.h>
#include <sys/un.h>
#include <sys/unpcb.h>
#include <sys/user.h>
#include <sys/vmmeter.h>
#include <net/if.h>
#include <net/if_dl.h>
#include <net/route.h>
#include <netinet/in.h>
#include <netinet/in_pcb.h>
#include <netinet/tcp_var.h>
#include <arpa/inet.h>
#include <devstat.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <kvm.h>
#include <libutil.h>
#include <limits.h>
#include <netdb.h>
#include <paths.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>
#include <utmpx.h>

static pid_t target;

static void die(const char *what) {
    perror(what);
    exit(2);
}

static char *copy_text(const char *s, size_t n) {
    char *p = malloc(n + 1);
    if (p == NULL)
        die("malloc");
    memcpy(p, s, n);
    p[n] = '\0';
    return p;
}

/* A growing array of fixed-size items. */
struct vec {
    char *items;
    size_t n, cap, size;
};

static void *vec_push(struct vec *v) {
    if (v->n == v->cap) {
        v->cap = v->cap ? v->cap * 2 : 16;
        v->items = realloc(v->items, v->cap * v->size);
        if (v->items == NULL)
            die("realloc");
    }
    return v->items + v->n++ * v->size;
}

static double tv_seconds(struct timeval tv) { return (double)tv.tv_sec + (double)tv.tv_usec / 1e6; }

/* sysctl with a size query first, as the module's growing read does. */
static char *sysctl_alloc(int *mib, u_int miblen, size_t *len) {
    for (;;) {
        size_t size = 0;
        if (sysctl(mib, miblen, NULL, &size, NULL, 0) == -1)
            return NULL;
        size += size / 8 + 64;
        char *buf = malloc(size);
        if (buf == NULL)
            die("malloc");
        *len = size;
        if (sysctl(mib, miblen, buf, len, NULL, 0) == 0)
            return buf;
        free(buf);
        if (errno != ENOMEM)
            return NULL;
    }
}

/* The protocol lists are read into a buffer that doubles until it fits. */
static char *sysctl_list(const char *name, size_t *len) {
    size_t size = 8192;
    for (;;) {
        char *buf = malloc(size);
        if (buf == NULL)
            die("malloc");
        *len = size;
        if (sysctlbyname(name, buf, len, NULL, 0) == 0)
            return buf;
        free(buf);
        if (errno != ENOMEM)
            die(name);
        size *= 2;
    }
}

/* -- processes ---------------------------------------------------------- */

static size_t f_pids(void) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC, 0};
    size_t len;
    char *buf = sysctl_alloc(mib, 4, &len);
    if (buf == NULL)
        die("kern.proc.proc");
    size_t n = len / sizeof(struct kinfo_proc);
    pid_t *pids = malloc((n ? n : 1) * sizeof *pids);
    for (size_t i = 0; i < n; i++)
        pids[i] = ((struct kinfo_proc *)buf)[i].ki_pid;
    free(buf);
    free(pids);
    return n;
}

struct oneshot {
    pid_t ppid;
    int stat;
    long ruid, uid, svuid, rgid, gid, svgid;
    long long tdev;
    double start;
    long nvcsw, nivcsw, inblock, oublock;
    double utime, stime, cutime, cstime;
    long rss, vms, text, data, stack;
    int cpu;
    char *name;
};

static pid_t *all_pids;
static size_t n_all_pids;

static void load_all_pids(void) {
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC, 0};
    size_t len;
    char *buf = sysctl_alloc(mib, 4, &len);
    if (buf == NULL)
        die("kern.proc.proc");
    n_all_pids = len / sizeof(struct kinfo_proc);
    all_pids = malloc((n_all_pids ? n_all_pids : 1) * sizeof *all_pids);
    for (size_t i = 0; i < n_all_pids; i++)
        all_pids[i] = ((struct kinfo_proc *)buf)[i].ki_pid;
    free(buf);
}

static size_t f_oneshot_all(void) {
    long pagesize = sysconf(_SC_PAGESIZE);
    size_t got = 0;
    for (size_t i = 0; i < n_all_pids; i++) {
        struct kinfo_proc kp;
        memset(&kp, 0, sizeof kp);
        int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, all_pids[i]};
        size_t size = sizeof kp;
        if (sysctl(mib, 4, &kp, &size, NULL, 0) == -1 || size == 0)
            continue;
        struct oneshot o;
        o.ppid = kp.ki_ppid;
        o.stat = kp.ki_stat;
        o.ruid = kp.ki_ruid;
        o.uid = kp.ki_uid;
        o.svuid = kp.ki_svuid;
        o.rgid = kp.ki_rgid;
        o.gid = kp.ki_groups[0];
        o.svgid = kp.ki_svgid;
        o.tdev = (long long)kp.ki_tdev;
        o.start = tv_seconds(kp.ki_start);
        o.nvcsw = kp.ki_rusage.ru_nvcsw;
        o.nivcsw = kp.ki_rusage.ru_nivcsw;
        o.inblock = kp.ki_rusage.ru_inblock;
        o.oublock = kp.ki_rusage.ru_oublock;
        o.utime = tv_seconds(kp.ki_rusage.ru_utime);
        o.stime = tv_seconds(kp.ki_rusage.ru_stime);
        o.cutime = tv_seconds(kp.ki_rusage_ch.ru_utime);
        o.cstime = tv_seconds(kp.ki_rusage_ch.ru_stime);
        o.rss = kp.ki_rssize * pagesize;
        o.vms = (long)kp.ki_size;
        o.text = kp.ki_tsize * pagesize;
        o.data = kp.ki_dsize * pagesize;
        o.stack = kp.ki_ssize * pagesize;
        o.cpu = (kp.ki_stat == SRUN && kp.ki_oncpu != NOCPU) ? kp.ki_oncpu : kp.ki_lastcpu;
        o.name = copy_text(kp.ki_comm, strnlen(kp.ki_comm, sizeof kp.ki_comm));
        free(o.name);
        got++;
    }
    return got;
}

/* The record lookup the module makes before reading a descriptor table. */
static void proc_record(pid_t pid) {
    struct kinfo_proc kp;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    size_t size = sizeof kp;
    if (sysctl(mib, 4, &kp, &size, NULL, 0) == -1 || size == 0)
        die("kern.proc.pid");
}

struct open_file {
    char *path;
    int fd;
};

static size_t f_open_files(void) {
    proc_record(target);
    int count = 0;
    struct kinfo_file *files = kinfo_getfile(target, &count);
    if (files == NULL)
        die("kinfo_getfile");
    struct vec out = {.size = sizeof(struct open_file)};
    for (int i = 0; i < count; i++) {
        const struct kinfo_file *kf = &files[i];
        if (kf->kf_type != KF_TYPE_VNODE || kf->kf_vnode_type != KF_VTYPE_VREG)
            continue;
        struct open_file *o = vec_push(&out);
        o->path = copy_text(kf->kf_path, strnlen(kf->kf_path, sizeof kf->kf_path));
        o->fd = kf->kf_fd;
    }
    free(files);
    for (size_t i = 0; i < out.n; i++)
        free(((struct open_file *)out.items)[i].path);
    free(out.items);
    return out.n;
}

struct map {
    char addr[40];
    char perms[4];
    char *path;
    int resident, private_resident, ref_count, shadow_count;
};

static size_t f_memory_maps(void) {
    proc_record(target);
    int count = 0;
    struct kinfo_vmentry *maps = kinfo_getvmmap(target, &count);
    if (maps == NULL)
        die("kinfo_getvmmap");
    struct map *out = malloc((count ? count : 1) * sizeof *out);
    for (int i = 0; i < count; i++) {
        const struct kinfo_vmentry *k = &maps[i];
        struct map *m = &out[i];
        snprintf(m->addr, sizeof m->addr, "%#jx-%#jx", (uintmax_t)k->kve_start, (uintmax_t)k->kve_end);
        m->perms[0] = (k->kve_protection & KVME_PROT_READ) ? 'r' : '-';
        m->perms[1] = (k->kve_protection & KVME_PROT_WRITE) ? 'w' : '-';
        m->perms[2] = (k->kve_protection & KVME_PROT_EXEC) ? 'x' : '-';
        m->perms[3] = '\0';
        m->path = k->kve_path[0] ? copy_text(k->kve_path, strnlen(k->kve_path, sizeof k->kve_path))
                                 : copy_text("[anon]", 6);
        m->resident = k->kve_resident;
        m->private_resident = k->kve_private_resident;
        m->ref_count = k->kve_ref_count;
        m->shadow_count = k->kve_shadow_count;
    }
    free(maps);
    for (int i = 0; i < count; i++)
        free(out[i].path);
    free(out);
    return (size_t)count;
}

struct env_entry {
    char *name, *value;
};

static size_t f_environ(void) {
    char errbuf[_POSIX2_LINE_MAX];
    kvm_t *kd = kvm_openfiles(NULL, _PATH_DEVNULL, NULL, 0, errbuf);
    if (kd == NULL)
        die("kvm_openfiles");
    int cnt = 0;
    struct kinfo_proc *kp = kvm_getprocs(kd, KERN_PROC_PID, target, &cnt);
    if (kp == NULL || cnt < 1)
        die("kvm_getprocs");
    char **envs = kvm_getenvv(kd, kp, 0);
    struct vec out = {.size = sizeof(struct env_entry)};
    for (char **e = envs; e != NULL && *e != NULL; e++) {
        const char *eq = strchr(*e, '=');
        if (eq == NULL)
            continue;
        struct env_entry *x = vec_push(&out);
        x->name = copy_text(*e, (size_t)(eq - *e));
        x->value = copy_text(eq + 1, strlen(eq + 1));
    }
    kvm_close(kd);
    for (size_t i = 0; i < out.n; i++) {
        free(((struct env_entry *)out.items)[i].name);
        free(((struct env_entry *)out.items)[i].value);
    }
    free(out.items);
    return out.n;
}

/* -- sockets ------------------------------------------------------------ */

struct conn {
    int fd, family, type;
    char laddr[INET6_ADDRSTRLEN + 108];
    int lport;
    char raddr[INET6_ADDRSTRLEN];
    int rport, status;
    pid_t pid;
};

/* Open addressing from a kernel address to its first file-table record. */
struct owner_slot {
    uint64_t key;
    int fd;
    pid_t pid;
};

static uint64_t mix(uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
}

struct owners {
    struct owner_slot *slots;
    size_t mask;
};

static void owners_build(struct owners *t) {
    size_t len;
    char *buf = sysctl_list("kern.file", &len);
    size_t n = len / sizeof(struct xfile);
    size_t cap = 16;
    while (cap < n + n / 2)
        cap *= 2;
    t->slots = calloc(cap, sizeof *t->slots);
    t->mask = cap - 1;
    for (size_t i = 0; i < n; i++) {
        struct xfile *xf = (struct xfile *)buf + i;
        if (xf->xf_data == 0)
            continue;
        size_t h = mix(xf->xf_data) & t->mask;
        while (t->slots[h].key != 0 && t->slots[h].key != xf->xf_data)
            h = (h + 1) & t->mask;
        if (t->slots[h].key == 0)
            t->slots[h] = (struct owner_slot){xf->xf_data, xf->xf_fd, xf->xf_pid};
    }
    free(buf);
}

static const struct owner_slot *owners_find(const struct owners *t, uint64_t key) {
    size_t h = mix(key) & t->mask;
    while (t->slots[h].key != 0) {
        if (t->slots[h].key == key)
            return &t->slots[h];
        h = (h + 1) & t->mask;
    }
    return NULL;
}

static void inet_text(int family, const struct in_conninfo *inc, struct conn *c) {
    if (family == AF_INET) {
        inet_ntop(AF_INET, &inc->inc_laddr, c->laddr, sizeof c->laddr);
        inet_ntop(AF_INET, &inc->inc_faddr, c->raddr, sizeof c->raddr);
    } else {
        inet_ntop(AF_INET6, &inc->inc6_laddr, c->laddr, sizeof c->laddr);
        inet_ntop(AF_INET6, &inc->inc6_faddr, c->raddr, sizeof c->raddr);
    }
    c->lport = ntohs(inc->inc_lport);
    c->rport = ntohs(inc->inc_fport);
    if (c->rport == 0)
        c->raddr[0] = '\0';
}

static void collect_inet(const char *name, int tcp, const struct owners *own, struct vec *out) {
    size_t len;
    char *buf = sysctl_list(name, &len);
    size_t rec = tcp ? sizeof(struct xtcpcb) : sizeof(struct xinpcb);
    size_t head = sizeof(struct xinpgen);
    for (size_t pos = head; pos + rec <= len - head; pos += rec) {
        const struct xinpcb *inp = tcp ? &((const struct xtcpcb *)(buf + pos))->xt_inp
                                       : (const struct xinpcb *)(buf + pos);
        const struct owner_slot *o = owners_find(own, inp->xi_socket.xso_so);
        if (o == NULL)
            continue;
        int family = (inp->inp_vflag & INP_IPV4) ? AF_INET : (inp->inp_vflag & INP_IPV6) ? AF_INET6 : 0;
        if (family == 0)
            continue;
        struct conn *c = vec_push(out);
        c->fd = o->fd;
        c->pid = o->pid;
        c->family = family;
        c->type = tcp ? SOCK_STREAM : SOCK_DGRAM;
        inet_text(family, &inp->inp_inc, c);
        c->status = tcp ? ((const struct xtcpcb *)(buf + pos))->t_state : -1;
    }
    free(buf);
}

static void collect_unix(const char *name, int type, const struct owners *own, struct vec *out) {
    size_t len;
    char *buf = sysctl_list(name, &len);
    size_t head = sizeof(struct xunpgen);
    for (size_t pos = head; pos + sizeof(struct xunpcb) <= len - head; pos += sizeof(struct xunpcb)) {
        const struct xunpcb *xu = (const struct xunpcb *)(buf + pos);
        const struct owner_slot *o = owners_find(own, xu->xu_socket.xso_so);
        if (o == NULL)
            continue;
        struct conn *c = vec_push(out);
        c->fd = o->fd;
        c->pid = o->pid;
        c->family = AF_UNIX;
        c->type = type;
        int n = xu->xu_addr.sun_len - 2;
        if (n < 0)
            n = 0;
        if (n > (int)sizeof xu->xu_addr.sun_path)
            n = sizeof xu->xu_addr.sun_path;
        snprintf(c->laddr, sizeof c->laddr, "%.*s", n, xu->xu_addr.sun_path);
        c->raddr[0] = '\0';
        c->lport = c->rport = 0;
        c->status = -1;
    }
    free(buf);
}

static size_t f_net_connections(void) {
    struct owners own;
    owners_build(&own);
    struct vec out = {.size = sizeof(struct conn)};
    collect_inet("net.inet.tcp.pcblist", 1, &own, &out);
    collect_inet("net.inet.udp.pcblist", 0, &own, &out);
    collect_unix("net.local.stream.pcblist", SOCK_STREAM, &own, &out);
    collect_unix("net.local.dgram.pcblist", SOCK_DGRAM, &own, &out);
    free(own.slots);
    free(out.items);
    return out.n;
}

/* TCP states by connection (both ends' addresses and ports). */
struct state_slot {
    int used;
    struct in_conninfo inc;
    int state;
};

static uint64_t conn_hash(const struct in_conninfo *inc) {
    uint64_t h = ((uint64_t)inc->inc_lport << 16) | inc->inc_fport;
    const uint64_t *w = (const uint64_t *)(const void *)&inc->inc_ie.ie_dependfaddr;
    for (size_t i = 0; i < 4; i++)
        h = mix(h ^ w[i]);
    return h;
}

static size_t f_proc_net_connections(void) {
    int count = 0;
    struct kinfo_file *files = kinfo_getfile(target, &count);
    if (files == NULL)
        die("kinfo_getfile");
    size_t len;
    char *tcp = sysctl_list("net.inet.tcp.pcblist", &len);
    struct state_slot *states = NULL;
    size_t mask = 0;
    struct vec out = {.size = sizeof(struct conn)};
    for (int i = 0; i < count; i++) {
        const struct kinfo_file *kf = &files[i];
        if (kf->kf_type != KF_TYPE_SOCKET)
            continue;
        struct conn *c;
        if (kf->kf_sock_domain == AF_UNIX) {
            const struct sockaddr_un *sun = (const struct sockaddr_un *)&kf->kf_sa_local;
            c = vec_push(&out);
            int n = sun->sun_len - 2;
            n = n < 0 ? 0 : n > (int)sizeof sun->sun_path ? (int)sizeof sun->sun_path : n;
            snprintf(c->laddr, sizeof c->laddr, "%.*s", n, sun->sun_path);
            c->raddr[0] = '\0';
            c->status = -1;
        } else if (kf->kf_sock_domain == AF_INET || kf->kf_sock_domain == AF_INET6) {
            struct in_conninfo key;
            memset(&key, 0, sizeof key);
            if (kf->kf_sock_domain == AF_INET) {
                const struct sockaddr_in *l = (const void *)&kf->kf_sa_local, *f = (const void *)&kf->kf_sa_peer;
                key.inc_lport = l->sin_port;
                key.inc_fport = f->sin_port;
                key.inc_laddr = l->sin_addr;
                key.inc_faddr = f->sin_addr;
            } else {
                const struct sockaddr_in6 *l = (const void *)&kf->kf_sa_local, *f = (const void *)&kf->kf_sa_peer;
                key.inc_lport = l->sin6_port;
                key.inc_fport = f->sin6_port;
                key.inc6_laddr = l->sin6_addr;
                key.inc6_faddr = f->sin6_addr;
                key.inc_flags = INC_ISIPV6;
            }
            c = vec_push(&out);
            inet_text(kf->kf_sock_domain, &key, c);
            c->status = -1;
            if (kf->kf_sock_type == SOCK_STREAM) {
                if (states == NULL) {
                    size_t n = len / sizeof(struct xtcpcb), cap = 16;
                    while (cap < n + n / 2)
                        cap *= 2;
                    states = calloc(cap, sizeof *states);
                    mask = cap - 1;
                    for (size_t pos = sizeof(struct xinpgen); pos + sizeof(struct xtcpcb) <= len - sizeof(struct xinpgen);
                         pos += sizeof(struct xtcpcb)) {
                        const struct xtcpcb *t = (const struct xtcpcb *)(tcp + pos);
                        struct in_conninfo k;
                        memset(&k, 0, sizeof k);
                        k.inc_lport = t->xt_inp.inp_inc.inc_lport;
                        k.inc_fport = t->xt_inp.inp_inc.inc_fport;
                        k.inc_ie.ie_dependfaddr = t->xt_inp.inp_inc.inc_ie.ie_dependfaddr;
                        k.inc_ie.ie_dependladdr = t->xt_inp.inp_inc.inc_ie.ie_dependladdr;
                        k.inc_flags = (t->xt_inp.inp_vflag & INP_IPV6) ? INC_ISIPV6 : 0;
                        size_t h = conn_hash(&k) & mask;
                        while (states[h].used && memcmp(&states[h].inc, &k, sizeof k) != 0)
                            h = (h + 1) & mask;
                        if (!states[h].used)
                            states[h] = (struct state_slot){1, k, t->t_state};
                    }
                }
                size_t h = conn_hash(&key) & mask;
                while (states[h].used) {
                    if (memcmp(&states[h].inc, &key, sizeof key) == 0) {
                        c->status = states[h].state;
                        break;
                    }
                    h = (h + 1) & mask;
                }
            }
        } else {
            continue;
        }
        c->fd = kf->kf_fd;
        c->family = kf->kf_sock_domain;
        c->type = kf->kf_sock_type;
        c->pid = target;
    }
    free(states);
    free(tcp);
    free(files);
    free(out.items);
    return out.n;
}

/* -- interfaces --------------------------------------------------------- */

struct if_addr {
    char *name;
    int family;
    char addr[NI_MAXHOST], mask[NI_MAXHOST], bcast[NI_MAXHOST];
};

static int addr_text(const struct sockaddr *sa, int family, char *out) {
    out[0] = '\0';
    if (sa == NULL)
        return 0;
    if (family == AF_INET || family == AF_INET6) {
        socklen_t len = family == AF_INET ? sizeof(struct sockaddr_in) : sizeof(struct sockaddr_in6);
        return getnameinfo(sa, len, out, NI_MAXHOST, NULL, 0, NI_NUMERICHOST) == 0;
    }
    if (sa->sa_family == AF_LINK) {
        const struct sockaddr_dl *sdl = (const struct sockaddr_dl *)sa;
        if (sdl->sdl_alen == 0)
            return 0;
        const unsigned char *b = (const unsigned char *)sdl->sdl_data + sdl->sdl_nlen;
        for (int i = 0; i < sdl->sdl_alen; i++)
            snprintf(out + 3 * i, 4, "%02x:", b[i]);
        out[3 * sdl->sdl_alen - 1] = '\0';
        return 1;
    }
    return 0;
}

static size_t f_net_if_addrs(void) {
    struct ifaddrs *first;
    if (getifaddrs(&first) == -1)
        die("getifaddrs");
    struct vec out = {.size = sizeof(struct if_addr)};
    for (struct ifaddrs *ifa = first; ifa != NULL; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == NULL)
            continue;
        int family = ifa->ifa_addr->sa_family;
        struct if_addr *a = vec_push(&out);
        if (!addr_text(ifa->ifa_addr, family, a->addr)) {
            out.n--;
            continue;
        }
        a->family = family;
        a->name = copy_text(ifa->ifa_name, strlen(ifa->ifa_name));
        addr_text(ifa->ifa_netmask, family, a->mask);
        a->bcast[0] = '\0';
        if (ifa->ifa_flags & IFF_BROADCAST)
            addr_text(ifa->ifa_broadaddr, family, a->bcast);
        else if (ifa->ifa_flags & IFF_POINTOPOINT)
            addr_text(ifa->ifa_dstaddr, family, a->bcast);
    }
    freeifaddrs(first);
    for (size_t i = 0; i < out.n; i++)
        free(((struct if_addr *)out.items)[i].name);
    free(out.items);
    return out.n;
}

struct if_counters {
    char name[IFNAMSIZ + 1];
    uint64_t obytes, ibytes, opackets, ipackets, ierrors, oerrors, iqdrops;
};

static size_t f_net_io_counters(void) {
    int mib[6] = {CTL_NET, PF_ROUTE, 0, 0, NET_RT_IFLIST, 0};
    size_t len;
    char *buf = sysctl_alloc(mib, 6, &len);
    if (buf == NULL)
        die("NET_RT_IFLIST");
    struct vec out = {.size = sizeof(struct if_counters)};
    for (size_t off = 0; off + sizeof(struct if_msghdr) <= len;) {
        const struct if_msghdr *ifm = (const struct if_msghdr *)(buf + off);
        if (ifm->ifm_msglen < sizeof(struct if_msghdr) || ifm->ifm_msglen > len - off)
            break;
        if (ifm->ifm_type == RTM_IFINFO) {
            const struct sockaddr_dl *sdl = (const struct sockaddr_dl *)(ifm + 1);
            struct if_counters *c = vec_push(&out);
            size_t n = sdl->sdl_nlen < IFNAMSIZ ? sdl->sdl_nlen : IFNAMSIZ;
            memcpy(c->name, sdl->sdl_data, n);
            c->name[n] = '\0';
            if (strncmp(c->name, "usbus", 5) == 0) {
                out.n--;
            } else {
                c->obytes = ifm->ifm_data.ifi_obytes;
                c->ibytes = ifm->ifm_data.ifi_ibytes;
                c->opackets = ifm->ifm_data.ifi_opackets;
                c->ipackets = ifm->ifm_data.ifi_ipackets;
                c->ierrors = ifm->ifm_data.ifi_ierrors;
                c->oerrors = ifm->ifm_data.ifi_oerrors;
                c->iqdrops = ifm->ifm_data.ifi_iqdrops;
            }
        }
        off += ifm->ifm_msglen;
    }
    free(buf);
    free(out.items);
    return out.n;
}

/* -- disks, memory, CPUs, users ------------------------------------------ */

struct partition {
    char *device, *mountpoint, *fstype;
    char opts[256];
};

static const struct {
    uint64_t flag;
    const char *text;
} mount_options[] = {
    {MNT_SYNCHRONOUS, ",sync"}, {MNT_NOEXEC, ",noexec"},   {MNT_NOSUID, ",nosuid"},
    {MNT_UNION, ",union"},      {MNT_ASYNC, ",async"},     {MNT_SUIDDIR, ",suiddir"},
    {MNT_SOFTDEP, ",softdep"},  {MNT_NOSYMFOLLOW, ",nosymfollow"}, {MNT_GJOURNAL, ",gjournal"},
    {MNT_MULTILABEL, ",multilabel"}, {MNT_ACLS, ",acls"}, {MNT_NOATIME, ",noatime"},
    {MNT_NOCLUSTERR, ",noclusterr"}, {MNT_NOCLUSTERW, ",noclusterw"}, {MNT_NFS4ACLS, ",nfsv4acls"},
};

static size_t f_disk_partitions(void) {
    int count = getfsstat(NULL, 0, MNT_NOWAIT);
    if (count < 0)
        die("getfsstat");
    struct statfs *fs = malloc((count ? count : 1) * sizeof *fs);
    int stored = getfsstat(fs, (long)(count * sizeof *fs), MNT_NOWAIT);
    if (stored < 0)
        die("getfsstat");
    if (stored > count)
        stored = count;
    struct partition *out = malloc((stored ? stored : 1) * sizeof *out);
    for (int i = 0; i < stored; i++) {
        struct partition *p = &out[i];
        uint64_t flags = fs[i].f_flags;
        strcpy(p->opts, (flags & MNT_RDONLY) ? "ro" : "rw");
        for (size_t o = 0; o < sizeof mount_options / sizeof mount_options[0]; o++)
            if (flags & mount_options[o].flag)
                strlcat(p->opts, mount_options[o].text, sizeof p->opts);
        p->device = copy_text(fs[i].f_mntfromname, strnlen(fs[i].f_mntfromname, sizeof fs[i].f_mntfromname));
        p->mountpoint = copy_text(fs[i].f_mntonname, strnlen(fs[i].f_mntonname, sizeof fs[i].f_mntonname));
        p->fstype = copy_text(fs[i].f_fstypename, strnlen(fs[i].f_fstypename, sizeof fs[i].f_fstypename));
    }
    for (int i = 0; i < stored; i++) {
        free(out[i].device);
        free(out[i].mountpoint);
        free(out[i].fstype);
    }
    free(out);
    free(fs);
    return (size_t)stored;
}

struct disk_counters {
    char name[40];
    uint64_t reads, writes, rbytes, wbytes;
    long long rms, wms, busyms;
};

static long long bintime_ms(struct bintime bt) {
    uint64_t ns = (UINT64_C(1000000000) * (bt.frac >> 32)) >> 32;
    return (long long)((uint64_t)bt.sec * 1000 + ns / 1000000);
}

static size_t f_disk_io_counters(void) {
    if (devstat_checkversion(NULL) < 0)
        die("devstat_checkversion");
    struct statinfo stats;
    memset(&stats, 0, sizeof stats);
    stats.dinfo = calloc(1, sizeof(struct devinfo));
    if (devstat_getdevs(NULL, &stats) == -1)
        die("devstat_getdevs");
    int n = stats.dinfo->numdevs;
    struct disk_counters *out = malloc((n ? n : 1) * sizeof *out);
    for (int i = 0; i < n; i++) {
        const struct devstat *ds = &stats.dinfo->devices[i];
        struct disk_counters *c = &out[i];
        snprintf(c->name, sizeof c->name, "%.*s%d", (int)strnlen(ds->device_name, sizeof ds->device_name),
                 ds->device_name, ds->unit_number);
        c->reads = ds->operations[DEVSTAT_READ];
        c->writes = ds->operations[DEVSTAT_WRITE];
        c->rbytes = ds->bytes[DEVSTAT_READ];
        c->wbytes = ds->bytes[DEVSTAT_WRITE];
        c->rms = bintime_ms(ds->duration[DEVSTAT_READ]);
        c->wms = bintime_ms(ds->duration[DEVSTAT_WRITE]);
        c->busyms = bintime_ms(ds->busy_time);
    }
    free(out);
    free(stats.dinfo->mem_ptr);
    free(stats.dinfo);
    return (size_t)n;
}

static uint64_t counter(const char *name) {
    uint64_t v = 0;
    size_t len = sizeof v;
    if (sysctlbyname(name, &v, &len, NULL, 0) == -1)
        die(name);
    return len == 4 ? (uint32_t)v : v;
}

static size_t f_swap_mem(void) {
    unsigned long long pagesize = (unsigned long long)sysconf(_SC_PAGESIZE);
    kvm_t *kd = kvm_open(NULL, _PATH_DEVNULL, NULL, O_RDONLY, "kvm_open");
    if (kd == NULL)
        die("kvm_open");
    struct kvm_swap sw;
    memset(&sw, 0, sizeof sw);
    if (kvm_getswapinfo(kd, &sw, 1, 0) < 0)
        die("kvm_getswapinfo");
    kvm_close(kd);
    volatile unsigned long long r[5];
    r[0] = sw.ksw_total * pagesize;
    r[1] = sw.ksw_used * pagesize;
    r[2] = r[1] < r[0] ? r[0] - r[1] : 0;
    r[3] = counter("vm.stats.vm.v_swapin") + counter("vm.stats.vm.v_swapout");
    r[4] = counter("vm.stats.vm.v_vnodein") + counter("vm.stats.vm.v_vnodeout");
    return 1;
}

static size_t f_per_cpu_times(void) {
    int mib[2] = {CTL_HW, HW_NCPU}, ncpu = 0;
    size_t len = sizeof ncpu;
    if (sysctl(mib, 2, &ncpu, &len, NULL, 0) == -1)
        die("hw.ncpu");
    size_t size = 0;
    if (sysctlbyname("kern.cp_times", NULL, &size, NULL, 0) == -1)
        die("kern.cp_times");
    long *cp = calloc(1, size);
    size_t got = size;
    if (sysctlbyname("kern.cp_times", cp, &got, NULL, 0) == -1)
        die("kern.cp_times");
    int cmib[2] = {CTL_KERN, KERN_CLOCKRATE};
    struct clockinfo ci;
    len = sizeof ci;
    double tick = (sysctl(cmib, 2, &ci, &len, NULL, 0) == 0 && ci.stathz > 0) ? 1.0 / ci.stathz : 1.0 / 128;
    size_t records = got / (CPUSTATES * sizeof(long));
    double (*out)[5] = malloc((records ? records : 1) * sizeof *out);
    for (size_t i = 0; i < records; i++) {
        const long *c = cp + i * CPUSTATES;
        out[i][0] = c[CP_USER] * tick;
        out[i][1] = c[CP_NICE] * tick;
        out[i][2] = c[CP_SYS] * tick;
        out[i][3] = c[CP_IDLE] * tick;
        out[i][4] = c[CP_INTR] * tick;
    }
    free(out);
    free(cp);
    return records;
}

static size_t f_virtual_mem(void) {
    unsigned long long pagesize = (unsigned long long)sysconf(_SC_PAGESIZE);
    volatile unsigned long long r[8];
    r[0] = counter("hw.physmem");
    r[2] = counter("vm.stats.vm.v_active_count") * pagesize;
    r[3] = counter("vm.stats.vm.v_inactive_count") * pagesize;
    r[4] = counter("vm.stats.vm.v_wire_count") * pagesize;
    r[5] = counter("vm.stats.vm.v_cache_count") * pagesize;
    r[1] = counter("vm.stats.vm.v_free_count") * pagesize;
    r[6] = counter("vfs.bufspace");
    int mib[2] = {CTL_VM, VM_METER};
    struct vmtotal vm;
    size_t len = sizeof vm;
    if (sysctl(mib, 2, &vm, &len, NULL, 0) == -1)
        die("vm.vmtotal");
    r[7] = ((unsigned long long)vm.t_vmshr + vm.t_rmshr) * pagesize;
    return 1;
}

struct login {
    char *name, *line, *host;
    double started;
    pid_t pid;
};

static size_t f_users(void) {
    struct vec out = {.size = sizeof(struct login)};
    setutxent();
    struct utmpx *ut;
    while ((ut = getutxent()) != NULL) {
        if (ut->ut_type != USER_PROCESS)
            continue;
        struct login *u = vec_push(&out);
        u->name = copy_text(ut->ut_user, strnlen(ut->ut_user, sizeof ut->ut_user));
        u->line = copy_text(ut->ut_line, strnlen(ut->ut_line, sizeof ut->ut_line));
        size_t n = strnlen(ut->ut_host, sizeof ut->ut_host);
        u->host = n == 0 ? copy_text("localhost", 9) : copy_text(ut->ut_host, n);
        u->started = (double)ut->ut_tv.tv_sec;
        u->pid = ut->ut_pid;
    }
    endutxent();
    for (size_t i = 0; i < out.n; i++) {
        struct login *u = (struct login *)out.items + i;
        free(u->name);
        free(u->line);
        free(u->host);
    }
    free(out.items);
    return out.n;
}

static const struct {
    const char *name;
    size_t (*fn)(void);
} functions[] = {
    {"pids", f_pids},
    {"proc_oneshot_info", f_oneshot_all},
    {"proc_open_files", f_open_files},
    {"proc_memory_maps", f_memory_maps},
    {"proc_environ", f_environ},
    {"net_connections", f_net_connections},
    {"proc_net_connections", f_proc_net_connections},
    {"net_if_addrs", f_net_if_addrs},
    {"net_io_counters", f_net_io_counters},
    {"disk_partitions", f_disk_partitions},
    {"disk_io_counters", f_disk_io_counters},
    {"swap_mem", f_swap_mem},
    {"per_cpu_times", f_per_cpu_times},
    {"virtual_mem", f_virtual_mem},
    {"users", f_users},
};

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: floor NAME ITERATIONS [PID]\n");
        return 2;
    }
    long iterations = strtol(argv[2], NULL, 10);
    target = argc > 3 ? (pid_t)strtol(argv[3], NULL, 10) : getpid();
    for (size_t i = 0; i < sizeof functions / sizeof functions[0]; i++) {
        if (strcmp(functions[i].name, argv[1]) != 0)
            continue;
        if (functions[i].fn == f_oneshot_all)
            load_all_pids();
        size_t items = functions[i].fn(); /* warm-up */
        double t0 = now();
        for (long k = 0; k < iterations; k++)
            items = functions[i].fn();
        double t = now() - t0;
        printf("%s %.0f %zu\n", argv[1], t / (double)iterations * 1e9, items);
        return 0;
    }
    fprintf(stderr, "floor: no function %s\n", argv[1]);
    return 2;
}
