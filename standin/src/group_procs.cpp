// Stand-in platform: the process table. sysctl kern.proc.pid.<pid> and
// kern.proc.proc, kill(2) for liveness, and the default machine's processes.
// Processes are kept in the order they were created; the kernel lists them
// in the order of its PID hash.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <tuple>

#include "creds.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

// Processes described without a record get a minimal one carrying their PID.
Bytes record_of(const Proc &p) {
    if (!p.kinfo.empty())
        return p.kinfo;
    struct kinfo_proc kp;
    std::memset(&kp, 0, sizeof kp);
    kp.ki_structsize = sizeof kp;
    kp.ki_pid = p.pid;
    return Bytes(reinterpret_cast<const char *>(&kp), sizeof kp);
}

namespace {

// {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid}: one record (pget with
// PGET_CANSEE: a thread ID stands for its process, a zombie answers).
int answer_pid(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANSEE | PG_TID, &err);
    if (!p)
        return err;
    out = record_of(*p);
    return 0;
}

// {CTL_KERN, KERN_PROC, KERN_PROC_PROC[, 0]}: every process the caller sees,
// in the order proc_iterate() walks the PID hash, each with its record. A
// size query reports five records more than there are.
int answer_all(const Machine &m, const int *, unsigned len, Bytes &out) {
    if (len != 3 && len != 4)
        return EINVAL;
    std::vector<const Proc *> order = pid_hash_order(m.procs);
    std::erase_if(order, [&m](const Proc *p) { return !p->listed || !sees_pid(m, p->pid); });
    if (size_query()) {
        size_t size = 5 * sizeof(struct kinfo_proc);
        for (const Proc *p : order)
            size += p->kinfo.empty() ? sizeof(struct kinfo_proc) : p->kinfo.size();
        out.assign(size, '\0');
        return 0;
    }
    out.clear();
    for (const Proc *p : order)
        out += record_of(*p);
    return 0;
}

}  // namespace

std::vector<const Proc *> pid_hash_order(const ProcTable &procs) {
    // procinit(): hashinit(maxproc / 4) buckets (the largest power of two
    // not above it), one lock for every 64 buckets; proc_iterate() takes the
    // locks in turn and walks the buckets each covers. fork inserts at the
    // head of its bucket: the newest process comes first.
    unsigned long buckets = 1;
    while (buckets * 2 <= static_cast<unsigned long>(std::max(procs.maxproc / 4, 1)))
        buckets *= 2;
    const unsigned long mask = buckets - 1;
    const unsigned long locks = std::max(buckets / 64, 1ul);
    struct Key {
        unsigned long lock, bucket;
        size_t age;
        const Proc *p;
    };
    std::vector<Key> keys;
    keys.reserve(procs.list.size());
    for (size_t i = 0; i < procs.list.size(); i++) {
        unsigned long bucket = static_cast<unsigned long>(procs.list[i].pid) & mask;
        keys.push_back({bucket % locks, bucket, procs.list.size() - i, &procs.list[i]});
    }
    std::sort(keys.begin(), keys.end(), [](const Key &a, const Key &b) {
        return std::tie(a.lock, a.bucket, a.age) < std::tie(b.lock, b.bucket, b.age);
    });
    std::vector<const Proc *> out;
    out.reserve(keys.size());
    for (const Key &k : keys)
        out.push_back(k.p);
    return out;
}

const std::vector<Provider> &providers_procs() {
    static const std::vector<Provider> list = {
        {"kern.proc.pid", {CTL_KERN, KERN_PROC, KERN_PROC_PID}, true, answer_pid},
        {"kern.proc.proc", {CTL_KERN, KERN_PROC, KERN_PROC_PROC}, true, answer_all},
    };
    return list;
}

// The default machine: a small FreeBSD 14 server running sshd, nginx,
// PostgreSQL and a logged-in user's shell.
void default_procs(Machine &m) {
    struct Row {
        int pid, ppid;
        const char *comm;
        unsigned uid;
        char stat;
        int threads;
        long rss_pages;
        bool system;
    };
    static const Row rows[] = {
        {0, 0, "kernel", 0, SSLEEP, 40, 0, true},      {1, 0, "init", 0, SSLEEP, 1, 280, false},
        {2, 0, "clock", 0, SWAIT, 1, 0, true},         {3, 0, "crypto", 0, SWAIT, 2, 0, true},
        {4, 0, "cam", 0, SWAIT, 3, 0, true},           {5, 0, "zfskern", 0, SWAIT, 6, 0, true},
        {6, 0, "geom", 0, SWAIT, 3, 0, true},          {7, 0, "rand_harvestq", 0, SWAIT, 1, 0, true},
        {8, 0, "pagedaemon", 0, SWAIT, 3, 0, true},    {9, 0, "vmdaemon", 0, SWAIT, 1, 0, true},
        {10, 0, "audit", 0, SWAIT, 1, 0, true},        {11, 0, "idle", 0, SRUN, 2, 0, true},
        {12, 0, "intr", 0, SWAIT, 30, 0, true},        {13, 0, "bufdaemon", 0, SWAIT, 3, 0, true},
        {14, 0, "vnlru", 0, SWAIT, 1, 0, true},        {15, 0, "syncer", 0, SWAIT, 1, 0, true},
        {302, 1, "devd", 0, SSLEEP, 1, 420, false},    {455, 1, "syslogd", 0, SSLEEP, 1, 610, false},
        {612, 1, "ntpd", 123, SSLEEP, 1, 1200, false}, {701, 1, "sshd", 0, SSLEEP, 1, 2100, false},
        {733, 1, "cron", 0, SSLEEP, 1, 560, false},    {801, 1, "nginx", 0, SSLEEP, 1, 1900, false},
        {802, 801, "nginx", 80, SSLEEP, 1, 2400, false}, {803, 801, "nginx", 80, SSLEEP, 1, 2380, false},
        {850, 1, "postgres", 770, SSLEEP, 1, 8200, false},
        {851, 850, "postgres", 770, SSLEEP, 1, 3100, false},
        {852, 850, "postgres", 770, SSLEEP, 1, 2900, false},
        {853, 850, "postgres", 770, SSLEEP, 1, 2700, false},
        {901, 1, "getty", 0, SSLEEP, 1, 310, false},   {902, 1, "getty", 0, SSLEEP, 1, 310, false},
        {1204, 701, "sshd-session", 0, SSLEEP, 1, 2200, false},
        {1206, 1204, "sshd-session", 1001, SSLEEP, 1, 2150, false},
        {1207, 1206, "tcsh", 1001, SSLEEP, 1, 900, false},
        {1310, 1207, "python3.13", 1001, SRUN, 4, 9800, false},
        {1311, 1207, "make", 1001, SZOMB, 1, 0, false},  // keeps its last thread until reaped
    };
    const time_t boot = 1765180800;  // 2025-12-08 08:00:00 UTC
    int i = 0;
    for (const Row &r : rows) {
        struct kinfo_proc kp;
        std::memset(&kp, 0, sizeof kp);
        kp.ki_structsize = sizeof kp;
        kp.ki_pid = r.pid;
        kp.ki_ppid = r.ppid;
        kp.ki_pgid = r.pid;
        kp.ki_sid = r.system ? 0 : (r.uid == 1001 ? 1206 : r.pid);
        kp.ki_uid = kp.ki_ruid = kp.ki_svuid = r.uid;
        kp.ki_rgid = kp.ki_svgid = r.uid;
        kp.ki_ngroups = 1;
        kp.ki_groups[0] = r.uid;
        kp.ki_rssize = r.rss_pages;
        kp.ki_size = static_cast<vm_size_t>(r.rss_pages) * 4096 * 5;
        kp.ki_tsize = r.rss_pages / 4;
        kp.ki_dsize = r.rss_pages / 2;
        // A zombie has no address space left: its sizes read 0.
        kp.ki_ssize = r.system || r.stat == SZOMB ? 0 : 32;
        kp.ki_start.tv_sec = boot + (r.system ? 0 : 10 + 60 * i);
        kp.ki_start.tv_usec = 250000;
        kp.ki_rusage.ru_utime.tv_sec = r.system ? 0 : i;
        kp.ki_rusage.ru_utime.tv_usec = 500000;
        kp.ki_rusage.ru_stime.tv_sec = r.threads * 3;
        kp.ki_rusage.ru_nvcsw = 1000 + 37 * i;
        kp.ki_rusage.ru_nivcsw = 12 * i;
        kp.ki_rusage.ru_inblock = 4 * i;
        kp.ki_rusage.ru_oublock = 2 * i;
        // Kernel processes are system processes and kernel processes; the
        // kernel makes init itself and marks it a system process too, which
        // has exec'd /sbin/init since (as a FreeBSD 14.2 kernel answers).
        kp.ki_flag = P_INMEM | (r.system ? P_SYSTEM | P_KPROC : 0);
        if (r.pid == 1)
            kp.ki_flag |= P_SYSTEM | P_EXEC;
        kp.ki_stat = r.stat;
        kp.ki_tdev = (r.uid == 1001) ? 0x5c : UINT64_MAX;
        kp.ki_oncpu = r.stat == SRUN ? 1 : NOCPU;
        kp.ki_lastcpu = i % 4;
        kp.ki_numthreads = r.threads;
        std::strncpy(kp.ki_comm, r.comm, sizeof kp.ki_comm - 1);
        std::strncpy(kp.ki_login, r.uid == 1001 ? "alice" : "root", sizeof kp.ki_login - 1);
        Proc p;
        p.pid = r.pid;
        p.kinfo.assign(reinterpret_cast<const char *>(&kp), sizeof kp);
        p.nice = r.system ? 0 : (r.uid == 1001 ? 5 : 0);
        m.procs.add(std::move(p));
        i++;
    }
}

}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_kill(pid_t pid, int sig) {
    const Machine &m = current();
    Action a = check(m, "kill", std::to_string(pid));
    if (a.fail)
        return fault_failure(a);
    if (a.raw && sig == 0)
        return 0;  // a raw answer (any bytes): the process is there
    if (sig < 0 || sig > 128) {
        errno = EINVAL;
        return -1;
    }
    // pfind_any: a zombie is found, and signalling it succeeds; then
    // cr_cansignal (ESRCH for a hidden process, EPERM for someone else's).
    const Proc *p = pid > 0 ? m.procs.find(pid) : nullptr;
    if (!p || p->liveness == KillAnswer::Gone) {
        errno = ESRCH;
        return -1;
    }
    if (int err = p_cansignal(m, *p)) {
        errno = err;
        return -1;
    }
    return 0;
}
