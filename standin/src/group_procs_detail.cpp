// Stand-in platform: what a process was started with and what it has open.
// sysctl kern.proc.args.<pid> and kern.proc.pathname.<pid> from the process
// table, and the default machine's arguments, environments, executables and
// descriptor tables (served by kinfo_getfile, see libutil.cpp, and by
// kvm_getenvv, see kvm_procs.cpp).
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {


// {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, pid}: the argument strings as stored.
int answer_args(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    const Proc *p = m.procs.live(mib[3]);
    if (!p)
        return ESRCH;
    out = p->args;
    return 0;
}

// {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, pid}: the stored answer; ENOENT
// for a process without one.
int answer_pathname(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    const Proc *p = m.procs.live(mib[3]);
    if (!p)
        return ESRCH;
    if (!p->path)
        return ENOENT;
    out = *p->path;
    return 0;
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
Bytes reg_entry(int fd, const char *path, int flags = KF_FLAG_READ | KF_FLAG_WRITE) {
    return file_entry(fd, KF_TYPE_VNODE, KF_VTYPE_VREG, flags, path);
}
Bytes chr_entry(int fd, const char *path) {
    return file_entry(fd, KF_TYPE_VNODE, KF_VTYPE_VCHR, KF_FLAG_READ | KF_FLAG_WRITE, path);
}

// Working and root directory, then standard input, output and error.
Bytes base_files(const char *cwd, const char *tty) {
    return dir_entry(KF_FD_TYPE_CWD, cwd) + dir_entry(KF_FD_TYPE_ROOT, "/") + chr_entry(0, tty) +
           chr_entry(1, tty) + chr_entry(2, tty);
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
    Bytes files;
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
    };
    return list;
}

// Kernel processes have no arguments, no environment and an empty path; the
// zombie has left everything behind.
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
         base_files("/var/empty", null) + chr_entry(7, "/dev/ptmx")},
        {1207, argv({"-tcsh"}), "/bin/tcsh", with(user_env, {"PWD=/home/alice"}),
         base_files("/home/alice", pts) + chr_entry(15, pts) + chr_entry(16, pts) + chr_entry(17, pts) +
             chr_entry(18, pts) + chr_entry(19, pts)},
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
             dir_entry(8, "/home/alice/src/app/data")},
    };
    // Kernel processes and the zombie: an empty path; kernel processes work
    // in the root directory.
    for (Proc &p : m.procs.list) {
        p.path = Bytes();
        struct kinfo_proc kp;
        if (p.kinfo.size() == sizeof kp) {
            std::memcpy(&kp, p.kinfo.data(), sizeof kp);
            if (kp.ki_flag & P_SYSTEM)
                p.files = dir_entry(KF_FD_TYPE_CWD, "/") + dir_entry(KF_FD_TYPE_ROOT, "/");
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
        p.files = d.files;
    }
}

}  // namespace fakebsd
