// Stand-in platform: threads, CPU masks, resource limits and nice values of
// processes. sysctl kern.proc.pid with KERN_PROC_INC_THREAD (one record per
// thread) and kern.proc.rlimit (read and written), cpuset_getaffinity(2),
// cpuset_setaffinity(2), getpriority(2), setpriority(2), and the default
// machine's threads, memory maps, masks, limits and nice values.
//
// Every call looks the process up and checks the caller's rights as the
// kernel does (creds.h): a zombie is found only by the thread query; the
// rlimit read needs visibility, the rlimit write p_candebug; cpuset and
// priority calls find no zombie and need p_cansched (a hidden process is
// ESRCH, someone else's EPERM); lowering a nice value takes privilege.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "creds.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

int fail(int err) {
    errno = err;
    return -1;
}

// Change one process of the current machine (if it is still there).
void edit_proc(int pid, const std::function<void(Proc &)> &edit) {
    mutate([pid, &edit](Machine &w) {
        auto it = w.procs.index.find(pid);
        if (it != w.procs.index.end())
            edit(w.procs.list[it->second]);
    });
}

Bytes rlimit_bytes(rlim_t cur, rlim_t max) {
    struct rlimit rl = {cur, max};
    return Bytes(reinterpret_cast<const char *>(&rl), sizeof rl);
}

Bytes mask_bytes(const cpuset_t &mask) { return Bytes(reinterpret_cast<const char *>(&mask), sizeof mask); }

// The machine's CPUs, the root set every mask is taken from.
cpuset_t machine_cpus(const Machine &m) {
    cpuset_t all;
    CPU_ZERO(&all);
    for (int cpu : present_cpus(m))
        if (cpu >= 0 && cpu < CPU_SETSIZE)
            CPU_SET(cpu, &all);
    return all;
}

// The process's mask as the kernel holds it: the table's bytes cut or padded
// to one cpuset_t, or every CPU of the machine when it has none.
cpuset_t mask_of(const Machine &m, const Proc &p) {
    if (p.cpuset.empty())
        return machine_cpus(m);
    cpuset_t mask;
    CPU_ZERO(&mask);
    std::memcpy(&mask, p.cpuset.data(), std::min(p.cpuset.size(), sizeof mask));
    return mask;
}

// {CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD, pid}: one
// record per thread; a process without thread records (a zombie) answers
// with its own record.
int answer_threads(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANSEE | PG_TID, &err);
    if (!p)
        return err;
    out.clear();
    if (p->threads.empty())
        out = record_of(*p);
    for (const Bytes &t : p->threads)
        out += t;
    return 0;
}

// {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT, pid, resource}: one struct rlimit;
// RLIM_INFINITY for both members of a limit the table does not set.
int answer_rlimit(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 5 || static_cast<unsigned>(mib[4]) >= RLIM_NLIMITS)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANSEE | PG_NOTWEXIT | PG_TID, &err);
    if (!p)
        return err;
    auto it = p->rlimits.find(mib[4]);
    out = it != p->rlimits.end() ? it->second : rlimit_bytes(RLIM_INFINITY, RLIM_INFINITY);
    return 0;
}

// A limit the kernel holds no higher than a system-wide figure.
rlim_t capped(const Machine &m, const char *name, rlim_t fallback) {
    return static_cast<rlim_t>(sysctl_int(m, name, static_cast<int>(fallback)));
}

// kern_proc_setrlimit: no limit for a negative value; raising either value
// above the current hard limit takes privilege (EPERM); the soft limit never
// exceeds the hard one; the system's caps cut data, stack, descriptor and
// process limits, and a process limit is at least 1.
int write_rlimit(const int *mib, unsigned len, const void *newp, size_t newlen) {
    if (len != 5 || static_cast<unsigned>(mib[4]) >= RLIM_NLIMITS || newlen != sizeof(struct rlimit))
        return EINVAL;
    const Machine &m = current();
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANDEBUG | PG_NOTWEXIT | PG_TID, &err);
    if (!p)
        return err;
    int resource = mib[4];
    struct rlimit rl, old = {RLIM_INFINITY, RLIM_INFINITY};
    std::memcpy(&rl, newp, sizeof rl);
    auto it = p->rlimits.find(resource);
    if (it != p->rlimits.end())
        std::memcpy(&old, it->second.data(), std::min(it->second.size(), sizeof old));
    if (rl.rlim_cur < 0)
        rl.rlim_cur = RLIM_INFINITY;
    if (rl.rlim_max < 0)
        rl.rlim_max = RLIM_INFINITY;
    if ((rl.rlim_cur > old.rlim_max || rl.rlim_max > old.rlim_max) && !m.caller.privileged)
        return EPERM;
    if (rl.rlim_cur > rl.rlim_max)
        rl.rlim_cur = rl.rlim_max;
    auto cap = [&rl](rlim_t most) {
        rl.rlim_cur = std::min(rl.rlim_cur, most);
        rl.rlim_max = std::min(rl.rlim_max, most);
    };
    switch (resource) {
    case RLIMIT_DATA:
        cap(static_cast<rlim_t>(32) << 30);  // maxdsiz
        break;
    case RLIMIT_STACK:
        cap(static_cast<rlim_t>(512) << 20);  // maxssiz
        break;
    case RLIMIT_NOFILE:
        cap(capped(m, "kern.maxfilesperproc", 58576));
        break;
    case RLIMIT_NPROC:
        cap(capped(m, "kern.maxprocperuid", 6656));
        rl.rlim_cur = std::max<rlim_t>(rl.rlim_cur, 1);
        rl.rlim_max = std::max<rlim_t>(rl.rlim_max, 1);
        break;
    default:
        break;
    }
    Bytes value = rlimit_bytes(rl.rlim_cur, rl.rlim_max);
    if (it != p->rlimits.end() && it->second == value)
        return 0;  // nothing changes: the machine stays as it is
    edit_proc(mib[3], [resource, &value](Proc &q) { q.rlimits[resource] = value; });
    return 0;
}

// Keep the nice value in the process record in step with the table's.
void set_record_nice(Proc &p) {
    if (p.kinfo.size() < sizeof(struct kinfo_proc))
        return;
    signed char nice = static_cast<signed char>(p.nice);
    std::memcpy(p.kinfo.data() + offsetof(struct kinfo_proc, ki_nice), &nice, 1);
}

// ---- the default machine ----------------------------------------------------

struct Mapping {
    uint64_t start, end;
    int prot, type;
    const char *path;
    int resident, private_resident, ref_count, shadow_count;
};

Bytes vmentry(const Mapping &e) {
    struct kinfo_vmentry kve;
    std::memset(&kve, 0, sizeof kve);
    kve.kve_structsize = sizeof kve;
    kve.kve_type = e.type;
    kve.kve_start = e.start;
    kve.kve_end = e.end;
    kve.kve_protection = e.prot;
    kve.kve_resident = e.resident;
    kve.kve_private_resident = e.private_resident;
    kve.kve_ref_count = e.ref_count;
    kve.kve_shadow_count = e.shadow_count;
    if (e.path)
        std::strncpy(kve.kve_path, e.path, sizeof kve.kve_path - 1);
    return Bytes(reinterpret_cast<const char *>(&kve), sizeof kve);
}

// The address space of a user process: its program, the run-time linker and
// its libraries, the heap, the stack below its guard, and the shared page.
Bytes address_space(const char *program, const std::vector<const char *> &libs, int scale) {
    constexpr int R = KVME_PROT_READ, W = KVME_PROT_WRITE, X = KVME_PROT_EXEC;
    std::vector<Mapping> maps = {
        {0x200000, 0x203000, R, KVME_TYPE_VNODE, program, 3, 0, 4, 1},
        {0x203000, 0x212000, R | X, KVME_TYPE_VNODE, program, 12 * scale, 0, 4, 1},
        {0x212000, 0x213000, R | W, KVME_TYPE_VNODE, program, 1, 1, 2, 0},
        {0x213000, 0x215000, R | W, KVME_TYPE_SWAP, nullptr, 2 * scale, 2 * scale, 1, 0},
    };
    uint64_t base = 0x800200000;
    auto add_object = [&maps, &base, scale](const char *path, uint64_t text_pages) {
        maps.push_back({base, base + 0x8000, R, KVME_TYPE_VNODE, path, 8, 0, 30, 1});
        base += 0x8000;
        maps.push_back({base, base + text_pages * 0x1000, R | X, KVME_TYPE_VNODE, path,
                        static_cast<int>(text_pages) / 2 * scale, 0, 30, 1});
        base += text_pages * 0x1000;
        maps.push_back({base, base + 0x2000, R | W, KVME_TYPE_VNODE, path, 2, 2, 2, 0});
        base += 0x2000;
        base = (base + 0xfffff) & ~static_cast<uint64_t>(0xfffff);
    };
    add_object("/libexec/ld-elf.so.1", 0x20);
    for (const char *lib : libs)
        add_object(lib, 0x100);
    add_object("/lib/libc.so.7", 0x1a0);
    maps.push_back({0x801000000, 0x801000000 + 0x400000 * static_cast<uint64_t>(scale), R | W, KVME_TYPE_SWAP,
                    nullptr, 180 * scale, 180 * scale, 1, 0});
    maps.push_back({0x7fffdfffe000, 0x7ffffffdf000, 0, 9 /* KVME_TYPE_GUARD */, nullptr, 0, 0, 0, 0});
    maps.push_back({0x7ffffffdf000, 0x7ffffffff000, R | W, KVME_TYPE_SWAP, nullptr, 5 * scale, 5 * scale, 1, 0});
    maps.push_back({0x7ffffffff000, 0x800000000000, R | X, KVME_TYPE_PHYS, nullptr, 1, 0, 60, 0});
    Bytes out;
    for (const Mapping &e : maps)
        out += vmentry(e);
    return out;
}

struct Program {
    const char *comm, *path;
    std::vector<const char *> libs;
    int scale;
};

const Program *program_of(const char *comm) {
    static const std::vector<Program> programs = {
        {"init", "/sbin/init", {}, 1},
        {"devd", "/sbin/devd", {"/lib/libutil.so.9", "/lib/libc++.so.1"}, 1},
        {"syslogd", "/usr/sbin/syslogd", {"/lib/libcasper.so.1"}, 1},
        {"ntpd", "/usr/sbin/ntpd", {"/lib/libthr.so.3", "/lib/libm.so.5"}, 2},
        {"sshd", "/usr/sbin/sshd", {"/lib/libcrypto.so.30", "/usr/lib/libpam.so.6"}, 2},
        {"cron", "/usr/sbin/cron", {"/lib/libutil.so.9"}, 1},
        {"nginx", "/usr/local/sbin/nginx", {"/lib/libcrypt.so.5", "/usr/lib/libssl.so.30"}, 3},
        {"postgres", "/usr/local/bin/postgres", {"/lib/libm.so.5", "/usr/lib/libssl.so.30"}, 6},
        {"getty", "/usr/libexec/getty", {"/lib/libutil.so.9"}, 1},
        {"sshd-session", "/usr/libexec/sshd-session", {"/lib/libcrypto.so.30", "/usr/lib/libpam.so.6"}, 2},
        {"tcsh", "/bin/tcsh", {"/lib/libncursesw.so.9", "/lib/libcrypt.so.5"}, 1},
        {"python3.13", "/usr/local/bin/python3.13",
         {"/lib/libthr.so.3", "/lib/libm.so.5", "/usr/local/lib/libpython3.13t.so.1.0"}, 8},
    };
    for (const Program &p : programs)
        if (std::strcmp(p.comm, comm) == 0)
            return &p;
    return nullptr;
}

// One record per thread: the process record with the thread's ID and its
// share of the process's CPU time. The first (main) thread has used half of
// it, the others share the rest.
std::vector<Bytes> thread_records(const struct kinfo_proc &kp, int &next_tid) {
    std::vector<Bytes> out;
    int n = kp.ki_numthreads;
    auto usec = [](const struct timeval &tv) { return tv.tv_sec * 1000000L + tv.tv_usec; };
    auto share = [n](long total, int t) {
        if (n == 1)
            return total;
        long rest = total / 2;
        return t == 0 ? total - rest : rest / (n - 1) + (t == 1 ? rest % (n - 1) : 0);
    };
    long user = usec(kp.ki_rusage.ru_utime), sys = usec(kp.ki_rusage.ru_stime);
    for (int t = 0; t < n; t++) {
        struct kinfo_proc td = kp;
        td.ki_tid = next_tid++;
        long u = share(user, t), s = share(sys, t);
        td.ki_rusage.ru_utime = {u / 1000000, u % 1000000};
        td.ki_rusage.ru_stime = {s / 1000000, s % 1000000};
        out.emplace_back(reinterpret_cast<const char *>(&td), sizeof td);
    }
    return out;
}

}  // namespace

const std::vector<Provider> &providers_procs_sched() {
    static const std::vector<Provider> list = {
        {"kern.proc.pid_td", {CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD}, true, answer_threads},
        {"kern.proc.rlimit", {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT}, true, answer_rlimit, write_rlimit},
    };
    return list;
}

// Threads for every process (the python3.13 interpreter has four), memory
// maps for the user processes, all four CPUs, the usual limits of a FreeBSD 14
// login session, and the nice values in the process records.
void default_procs_sched(Machine &m) {
    constexpr rlim_t inf = RLIM_INFINITY;
    int next_tid = 100000;
    for (Proc &p : m.procs.list) {
        if (p.kinfo.size() < sizeof(struct kinfo_proc))
            continue;
        struct kinfo_proc kp;
        std::memcpy(&kp, p.kinfo.data(), sizeof kp);
        p.threads = thread_records(kp, next_tid);
        p.cpuset.clear();  // every CPU of the machine
        set_record_nice(p);
        bool user = !(kp.ki_flag & P_KPROC) && kp.ki_stat != SZOMB;
        if (!user)
            continue;
        if (const Program *prog = program_of(kp.ki_comm))
            p.vmmap = address_space(prog->path, prog->libs, prog->scale);
        p.rlimits[RLIMIT_DATA] = rlimit_bytes(34359738368, 34359738368);
        p.rlimits[RLIMIT_STACK] = rlimit_bytes(536870912, 536870912);
        p.rlimits[RLIMIT_NOFILE] = rlimit_bytes(kp.ki_uid == 0 ? 58576 : 1024, 58576);
        p.rlimits[RLIMIT_NPROC] = rlimit_bytes(6656, 6656);
        p.rlimits[RLIMIT_MEMLOCK] = rlimit_bytes(kp.ki_uid == 0 ? inf : 65536, kp.ki_uid == 0 ? inf : 65536);
    }
}

namespace {

// cpuset_which for CPU_WHICH_PID: -1 is the caller itself; pfind (no
// zombies); then p_cansched.
const Proc *which_pid(const Machine &m, id_t id, int *err) {
    if (id == -1 && m.caller.pid >= 0)
        id = m.caller.pid;
    return pget(m, id, PG_NOTWEXIT | PG_CANSCHED, err);
}

// The affinity calls take a mask of exactly one cpuset_t.
int check_affinity_args(cpulevel_t level, cpuwhich_t which, size_t setsize, const void *mask) {
    if (level != CPU_LEVEL_WHICH || which != CPU_WHICH_PID)
        return EINVAL;
    if (setsize != sizeof(cpuset_t))
        return ERANGE;
    if (!mask)
        return EFAULT;
    return 0;
}

}  // namespace
}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, id_t id, size_t setsize,
                                       cpuset_t *mask) {
    const Machine &m = current();
    Action a = check(m, "cpuset_getaffinity", std::to_string(id));
    if (a.fail)
        return fault_failure(a);
    if (int err = check_affinity_args(level, which, setsize, mask))
        return fail(err);
    Bytes data;
    if (a.raw) {
        data = *a.raw;
    } else {
        int err = 0;
        const Proc *p = which_pid(m, id, &err);
        if (!p)
            return fail(err);
        data = mask_bytes(mask_of(m, *p));
    }
    std::memset(mask, 0, setsize);
    std::memcpy(mask, data.data(), std::min(data.size(), setsize));
    return 0;
}

extern "C" int fbsd_cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, id_t id, size_t setsize,
                                       const cpuset_t *mask) {
    const Machine &m = current();
    Action a = check(m, "cpuset_setaffinity", std::to_string(id));
    if (a.fail)
        return fault_failure(a);
    if (int err = check_affinity_args(level, which, setsize, mask))
        return fail(err);
    int err = 0;
    const Proc *p = which_pid(m, id, &err);
    if (!p)
        return fail(err);
    // A mask naming a CPU outside the root set is refused (EINVAL); an
    // empty one has nothing in common with it (EDEADLK).
    cpuset_t all = machine_cpus(m);
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++)
        if (CPU_ISSET(cpu, mask) && !CPU_ISSET(cpu, &all))
            return fail(EINVAL);
    if (CPU_EMPTY(mask))
        return fail(EDEADLK);
    Bytes value = mask_bytes(*mask);
    if (value == mask_bytes(mask_of(m, *p)))
        return 0;  // nothing changes: the machine stays as it is
    edit_proc(p->pid, [&value](Proc &q) { q.cpuset = value; });
    return 0;
}

// kern_getpriority: 0 is the caller itself; pfind (no zombies), then
// visibility (ESRCH).
extern "C" int fbsd_getpriority(int which, int who) {
    const Machine &m = current();
    Action a = check(m, "getpriority", std::to_string(who));
    if (a.fail)
        return fault_failure(a);
    if (a.raw) {  // a raw answer is the value, an int
        int v = 0;
        std::memcpy(&v, a.raw->data(), std::min(a.raw->size(), sizeof v));
        return v;
    }
    if (which != PRIO_PROCESS)
        return fail(EINVAL);
    if (who == 0 && m.caller.pid >= 0)
        who = m.caller.pid;
    int err = 0;
    const Proc *p = pget(m, who, PG_NOTWEXIT | PG_CANSEE, &err);
    if (!p)
        return fail(err);
    return p->nice;
}

// kern_setpriority and donice: pfind, visibility (ESRCH), p_cansched
// (EPERM), the value clamped to the range, and a lower value than the
// process has only with privilege (EACCES).
extern "C" int fbsd_setpriority(int which, int who, int prio) {
    const Machine &m = current();
    Action a = check(m, "setpriority", std::to_string(who));
    if (a.fail)
        return fault_failure(a);
    if (which != PRIO_PROCESS)
        return fail(EINVAL);
    if (who == 0 && m.caller.pid >= 0)
        who = m.caller.pid;
    int err = 0;
    const Proc *p = pget(m, who, PG_NOTWEXIT | PG_CANSCHED, &err);
    if (!p)
        return fail(err);
    int nice = std::clamp(prio, PRIO_MIN, PRIO_MAX);
    if (nice < p->nice && !m.caller.privileged)
        return fail(EACCES);
    if (nice == p->nice)
        return 0;  // nothing changes: the machine stays as it is
    edit_proc(p->pid, [nice](Proc &q) {
        q.nice = nice;
        set_record_nice(q);
    });
    return 0;
}
