// Stand-in platform: what a process was started with and what it has open.
// sysctl kern.proc.args.<pid> and kern.proc.pathname.<pid> from the process
// table, and the default machine's arguments, environments, executables and
// descriptor tables (served by kinfo_getfile, see libutil.cpp, and by
// kvm_getenvv, see kvm_procs.cpp).
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "creds.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, pid}: the argument strings as stored.
int answer_args(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANSEE | PG_TID, &err);
    if (!p)
        return err;
    out = p->args;
    return 0;
}

// {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, pid}: the stored answer; ENOENT
// for a process without one. A process on its way out (P_WEXIT) or a zombie
// has given its text vnode back: the empty path (proc_get_binpath), as a
// FreeBSD 14.2 kernel answers for processes met exiting under churn.
int answer_pathname(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANSEE | PG_TID, &err);
    if (!p)
        return err;
    if (exiting(*p)) {
        out.assign(1, '\0');
        return 0;
    }
    if (!p->path)
        return ENOENT;
    out = *p->path;
    return 0;
}

// Whole records packed as the kernel hands them out (pack_kinfo() for the
// descriptor table, kern_proc_vmmap_out() for the map): each cut after the
// NUL of its path, rounded up to 8 bytes, its size in its first field (an
// int). A path that fills its field keeps the whole record; bytes after the
// last whole record are not a record and are left out.
size_t packed_size(const char *r, size_t record, size_t path_offset) {
    size_t size = path_offset + strnlen(r + path_offset, record - path_offset) + 1;
    return std::min((size + 7) & ~size_t{7}, record);
}

// A size query gets the length alone (the kernel's sbuf counts, it does not
// copy).
Bytes pack_records(const Bytes &table, size_t record, size_t path_offset) {
    Bytes out;
    if (size_query()) {
        size_t total = 0;
        for (size_t off = 0; off + record <= table.size(); off += record)
            total += packed_size(table.data() + off, record, path_offset);
        out.assign(total, '\0');
        return out;
    }
    out.reserve(table.size());
    for (size_t off = 0; off + record <= table.size(); off += record) {
        const char *r = table.data() + off;
        size_t size = packed_size(r, record, path_offset);
        int structsize = static_cast<int>(size);
        out.append(reinterpret_cast<const char *>(&structsize), sizeof structsize);
        out.append(r + sizeof structsize, size - sizeof structsize);
    }
    return out;
}

// A process's table of records with a path, packed as the kernel hands it
// out, for a caller that may debug the process (pget with PGET_CANDEBUG |
// PGET_NOTWEXIT: no zombie).
int answer_packed(const Machine &m, const int *mib, unsigned len, std::string Proc::*table,
                  size_t record, size_t path_offset, Bytes &out) {
    if (len != 4)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANDEBUG | PG_NOTWEXIT | PG_TID, &err);
    if (!p)
        return err;
    out = pack_records(p->*table, record, path_offset);
    return 0;
}

// {CTL_KERN, KERN_PROC, KERN_PROC_FILEDESC, pid}: the descriptor table.
int answer_filedesc(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    return answer_packed(m, mib, len, &Proc::files, sizeof(struct kinfo_file),
                         offsetof(struct kinfo_file, kf_path), out);
}

// {CTL_KERN, KERN_PROC, KERN_PROC_VMMAP, pid}: the memory map.
int answer_vmmap(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    return answer_packed(m, mib, len, &Proc::vmmap, sizeof(struct kinfo_vmentry),
                         offsetof(struct kinfo_vmentry, kve_path), out);
}

// Argument strings the way the kernel hands them out: each NUL-terminated.
Bytes argv(std::initializer_list<const char *> args) {
    Bytes out;
    for (const char *a : args) {
        out += a;
        out += '\0';
    }
    return out;
}

// The kernel's answer for a path: the text and its NUL.
Bytes path_answer(const char *path) { return Bytes(path, std::strlen(path) + 1); }

Bytes file_entry(int fd, int type, int vtype, int flags, const char *path) {
    struct kinfo_file kf;
    std::memset(&kf, 0, sizeof kf);
    kf.kf_structsize = sizeof kf;
    kf.kf_type = type;
    kf.kf_fd = fd;
    kf.kf_ref_count = 1;
    kf.kf_flags = flags;
    if (type == KF_TYPE_VNODE)
        kf.kf_vnode_type = vtype;
    kf.kf_status = KF_ATTR_VALID;
    std::strncpy(kf.kf_path, path, sizeof kf.kf_path - 1);
    return Bytes(reinterpret_cast<const char *>(&kf), sizeof kf);
}

Bytes dir_entry(int fd, const char *path) {
    return file_entry(fd, KF_TYPE_VNODE, KF_VTYPE_VDIR, KF_FLAG_READ, path);
}

// A vnode the kernel lists for the process itself rather than for a
// descriptor (export_vnode_to_kinfo): no reference count, no offset.
Bytes own_vnode(int fd, int vtype, int flags, const char *path) {
    struct kinfo_file kf;
    Bytes b = file_entry(fd, KF_TYPE_VNODE, vtype, flags, path);
    std::memcpy(&kf, b.data(), sizeof kf);
    kf.kf_ref_count = -1;
    kf.kf_offset = -1;
    return Bytes(reinterpret_cast<const char *>(&kf), sizeof kf);
}

// The working and root directory entries.
Bytes dirs(const char *cwd) {
    return own_vnode(KF_FD_TYPE_CWD, KF_VTYPE_VDIR, KF_FLAG_READ, cwd) +
           own_vnode(KF_FD_TYPE_ROOT, KF_VTYPE_VDIR, KF_FLAG_READ, "/");
}
Bytes reg_entry(int fd, const char *path, int flags = KF_FLAG_READ | KF_FLAG_WRITE) {
    return file_entry(fd, KF_TYPE_VNODE, KF_VTYPE_VREG, flags, path);
}
Bytes chr_entry(int fd, const char *path) {
    return file_entry(fd, KF_TYPE_VNODE, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, path);
}

// Working and root directory, then standard input, output and error.
Bytes base_files(const char *cwd, const char *tty) {
    return dirs(cwd) + chr_entry(0, tty) + chr_entry(1, tty) + chr_entry(2, tty);
}

// What the kernel lists before the directories (kern_proc_filedesc_out): the
// executable, then the session's controlling terminal if it has one.
Bytes text_and_tty(const char *exe, const char *ctty) {
    Bytes out = own_vnode(KF_FD_TYPE_TEXT, KF_VTYPE_VREG, KF_FLAG_READ, exe);
    if (ctty)
        out += own_vnode(KF_FD_TYPE_CTTY, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, ctty);
    return out;
}

const std::vector<std::string> daemon_env = {
    "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin",
    "HOME=/",
    "PWD=/",
    "RC_PID=25",
};

const std::vector<std::string> user_env = {
    "USER=alice",
    "LOGNAME=alice",
    "HOME=/home/alice",
    "SHELL=/bin/tcsh",
    "MAIL=/var/mail/alice",
    "PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin:/home/alice/bin",
    "TERM=xterm-256color",
    "LANG=C.UTF-8",
    "SSH_CLIENT=192.0.2.10 51514 22",
    "SSH_CONNECTION=192.0.2.10 51514 192.0.2.20 22",
    "SSH_TTY=/dev/pts/0",
    "HOSTTYPE=FreeBSD",
    "VENDOR=amd",
    "OSTYPE=FreeBSD",
    "MACHTYPE=x86_64",
    "SHLVL=1",
    "GROUP=alice",
    "HOST=fbsd14.example.org",
    "EDITOR=vi",
    "PAGER=less",
};

struct Detail {
    int pid;
    Bytes args;
    const char *exe;
    std::vector<std::string> env;
    Bytes files;                  // from the working directory on
    const char *ctty = nullptr;   // the session's controlling terminal
};

std::vector<std::string> with(std::vector<std::string> env, std::initializer_list<const char *> more) {
    for (const char *e : more)
        env.emplace_back(e);
    return env;
}

}  // namespace

const std::vector<Provider> &providers_procs_detail() {
    static const std::vector<Provider> list = {
        {"kern.proc.args", {CTL_KERN, KERN_PROC, KERN_PROC_ARGS}, true, answer_args},
        {"kern.proc.pathname", {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME}, true, answer_pathname},
        {"kern.proc.filedesc", {CTL_KERN, KERN_PROC, KERN_PROC_FILEDESC}, true, answer_filedesc},
        {"kern.proc.vmmap", {CTL_KERN, KERN_PROC, KERN_PROC_VMMAP}, true, answer_vmmap},
    };
    return list;
}

// Kernel processes have no arguments, no environment, an empty path and no
// text; the zombie has left everything behind. The user's session has
// /dev/pts/0 for its controlling terminal; no process is traced or jailed.
void default_procs_detail(Machine &m) {
    const char *null = "/dev/null", *pts = "/dev/pts/0";
    const std::vector<std::string> pg_env = with(daemon_env, {"PGDATA=/var/db/postgres/data16",
                                                              "PGUSER=postgres"});
    const Bytes pg_files = base_files("/var/db/postgres/data16", null) +
                           reg_entry(3, "/var/db/postgres/data16/log/postgresql.log",
                                     KF_FLAG_WRITE | KF_FLAG_APPEND);
    const Detail details[] = {
        {1, argv({"/sbin/init"}), "/sbin/init", {}, base_files("/", "/dev/console")},
        {302, argv({"/sbin/devd"}), "/sbin/devd", daemon_env,
         base_files("/", null) + file_entry(3, KF_TYPE_VNODE, KF_VTYPE_VCHR, KF_FLAG_READ, "/dev/devctl")},
        {455, argv({"/usr/sbin/syslogd", "-s"}), "/usr/sbin/syslogd", daemon_env,
         base_files("/", null) + reg_entry(4, "/var/log/messages", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             reg_entry(5, "/var/log/auth.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             reg_entry(6, "/var/log/security", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             file_entry(7, KF_TYPE_PIPE, 0, KF_FLAG_READ, "")},
        {612, argv({"/usr/sbin/ntpd", "-p", "/var/db/ntp/ntpd.pid", "-c", "/etc/ntp.conf", "-f",
                    "/var/db/ntpd.drift"}),
         "/usr/sbin/ntpd", daemon_env, base_files("/", null)},
        {701, argv({"/usr/sbin/sshd"}), "/usr/sbin/sshd", daemon_env, base_files("/", null)},
        {733, argv({"/usr/sbin/cron", "-s"}), "/usr/sbin/cron", daemon_env,
         base_files("/var/cron", null) + reg_entry(3, "/var/run/cron.pid")},
        {801, argv({"nginx: master process /usr/local/sbin/nginx"}), "/usr/local/sbin/nginx", daemon_env,
         base_files("/", null) + reg_entry(3, "/var/log/nginx/error.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             reg_entry(4, "/var/log/nginx/access.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             reg_entry(5, "/var/run/nginx.pid")},
        {802, argv({"nginx: worker process"}), "/usr/local/sbin/nginx", daemon_env,
         base_files("/", null) + reg_entry(3, "/var/log/nginx/error.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             reg_entry(4, "/var/log/nginx/access.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             file_entry(7, KF_TYPE_KQUEUE, 0, KF_FLAG_READ | KF_FLAG_WRITE, "")},
        {803, argv({"nginx: worker process"}), "/usr/local/sbin/nginx", daemon_env,
         base_files("/", null) + reg_entry(3, "/var/log/nginx/error.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             reg_entry(4, "/var/log/nginx/access.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             file_entry(7, KF_TYPE_KQUEUE, 0, KF_FLAG_READ | KF_FLAG_WRITE, "")},
        {850, argv({"/usr/local/bin/postgres", "-D", "/var/db/postgres/data16"}), "/usr/local/bin/postgres",
         pg_env, pg_files + reg_entry(4, "/var/db/postgres/data16/postmaster.pid")},
        {851, argv({"postgres: checkpointer "}), "/usr/local/bin/postgres", pg_env, pg_files},
        {852, argv({"postgres: background writer "}), "/usr/local/bin/postgres", pg_env, pg_files},
        {853, argv({"postgres: walwriter "}), "/usr/local/bin/postgres", pg_env,
         pg_files + reg_entry(5, "/var/db/postgres/data16/pg_wal/000000010000000000000003")},
        {901, argv({"/usr/libexec/getty", "Pc", "ttyv0"}), "/usr/libexec/getty", {"TERM=xterm"},
         base_files("/", "/dev/ttyv0")},
        {902, argv({"/usr/libexec/getty", "Pc", "ttyv1"}), "/usr/libexec/getty", {"TERM=xterm"},
         base_files("/", "/dev/ttyv1")},
        {1204, argv({"sshd-session: alice [priv]"}), "/usr/libexec/sshd-session", daemon_env,
         base_files("/", null)},
        {1206, argv({"sshd-session: alice@pts/0"}), "/usr/libexec/sshd-session", daemon_env,
         base_files("/var/empty", null) + chr_entry(7, "/dev/ptmx"), pts},
        {1207, argv({"-tcsh"}), "/bin/tcsh", with(user_env, {"PWD=/home/alice"}),
         base_files("/home/alice", pts) + chr_entry(15, pts) + chr_entry(16, pts) + chr_entry(17, pts) +
             chr_entry(18, pts) + chr_entry(19, pts),
         pts},
        {1310, argv({"python3.13", "-m", "app.worker", "--queue", "events", "--db", "data/events.db"}),
         "/usr/local/bin/python3.13",
         with(user_env, {"PWD=/home/alice/src/app", "VIRTUAL_ENV=/home/alice/src/app/.venv",
                         "PYTHONUNBUFFERED=1", "APP_QUEUE=events"}),
         base_files("/home/alice/src/app", pts) +
             reg_entry(3, "/home/alice/src/app/data/events.db") +
             reg_entry(4, "/home/alice/src/app/data/events.db-journal") +
             reg_entry(5, "/home/alice/src/app/worker.log", KF_FLAG_WRITE | KF_FLAG_APPEND) +
             file_entry(6, KF_TYPE_PIPE, 0, KF_FLAG_READ, "") +
             file_entry(7, KF_TYPE_PIPE, 0, KF_FLAG_WRITE, "") +
             dir_entry(8, "/home/alice/src/app/data"),
         pts},
    };
    // Kernel processes and the zombie: an empty path; kernel processes work
    // in the root directory.
    for (Proc &p : m.procs.list) {
        p.path = Bytes();
        struct kinfo_proc kp;
        if (p.kinfo.size() == sizeof kp) {
            std::memcpy(&kp, p.kinfo.data(), sizeof kp);
            if (kp.ki_flag & P_KPROC)
                p.files = dirs("/");
        }
    }
    for (const Detail &d : details) {
        auto it = m.procs.index.find(d.pid);
        if (it == m.procs.index.end())
            continue;
        Proc &p = m.procs.list[it->second];
        p.args = d.args;
        p.path = path_answer(d.exe);
        p.env = d.env;
        p.files = text_and_tty(d.exe, d.ctty) + d.files;
    }
}

}  // namespace fakebsd
