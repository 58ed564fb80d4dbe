// FreeBSD's process lookup and permission checks, between the machine's
// caller and a process's credentials (its kinfo_proc record).
//
// A process described with kill "eperm" stands for one whose owner the
// caller may not touch whatever the credentials say: every check past
// visibility gives it EPERM.
#include "creds.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// The credentials of a process, as its record carries them.
struct Cred {
    unsigned ruid = 0, euid = 0, svuid = 0, rgid = 0;
    std::vector<unsigned> groups;
    int jid = 0;
    long flag = 0;
    int flag2 = 0;
    char stat = 0;
};

Cred cred_of(const Proc &p) {
    struct kinfo_proc kp;
    std::memset(&kp, 0, sizeof kp);
    Bytes record = record_of(p);
    std::memcpy(&kp, record.data(), std::min(record.size(), sizeof kp));
    Cred c;
    c.ruid = kp.ki_ruid;
    c.euid = kp.ki_uid;
    c.svuid = kp.ki_svuid;
    c.rgid = kp.ki_rgid;
    int n = std::clamp<int>(kp.ki_ngroups, 0, KI_NGROUPS);
    c.groups.assign(kp.ki_groups, kp.ki_groups + n);
    c.jid = kp.ki_jid;
    c.flag = kp.ki_flag;
    c.flag2 = kp.ki_flag2;
    c.stat = kp.ki_stat;
    return c;
}

// Whether a process whose record has P_INEXEC is still in its exec: each
// read counts, and the exec ends after the process's exec_busy of them.
bool in_exec(const Proc &p) {
    if (p.exec_busy < 0)
        return true;
    return p.exec_reads->fetch_add(1, std::memory_order_relaxed) < p.exec_busy;
}

// prison_check: a caller sees its own jail and the jails made in it, at
// any depth (prison_ischild); the host sees every jail.
bool jail_sees(const Machine &m, int caller, int target) {
    for (int j = target, depth = 0; depth < 64; depth++) {
        if (j == caller)
            return true;
        if (j == 0)
            return false;
        auto it = m.jails.find(j);
        j = it == m.jails.end() ? 0 : it->second.parent;
    }
    return false;
}

bool is_self(const Machine &m, const Proc &p) { return m.caller.pid >= 0 && p.pid == m.caller.pid; }

bool someone_elses(const Proc &p) { return p.liveness == KillAnswer::NotPermitted; }

// What every right past visibility checks first: -1 for the caller's own
// process (always allowed), the errno of a process it may not see or that is
// someone else's by description, else 0 (go on to the uid rule).
int first_checks(const Machine &m, const Proc &p) {
    if (is_self(m, p))
        return -1;
    if (int err = p_cansee(m, p))
        return err;
    return someone_elses(p) ? EPERM : 0;
}

// tdfind(): the process one of whose threads has this ID.
const Proc *by_thread_id(const Machine &m, long long tid) {
    for (const Proc &p : m.procs.list) {
        if (p.liveness == KillAnswer::Gone)
            continue;
        for (const Bytes &t : p.threads) {
            lwpid_t id;
            if (t.size() < offsetof(struct kinfo_proc, ki_tid) + sizeof id)
                continue;
            std::memcpy(&id, t.data() + offsetof(struct kinfo_proc, ki_tid), sizeof id);
            if (id == tid)
                return &p;
        }
    }
    return nullptr;
}

}  // namespace

int sysctl_int(const Machine &m, const char *name, int fallback) {
    const Mib *mib = m.mib_of(name);
    const Bytes *v = mib ? m.value(*mib) : nullptr;
    if (!v || v->size() != sizeof(int))
        return fallback;
    int out;
    std::memcpy(&out, v->data(), sizeof out);
    return out;
}

bool exiting(const Proc &p) {
    Cred c = cred_of(p);
    return c.stat == SZOMB || (c.flag & P_WEXIT);
}

// cr_cansee: the caller's jail (prison_check: its own and those made in it),
// then cr_canseeotheruids and cr_canseeothergids.
int p_cansee(const Machine &m, const Proc &p) {
    if (is_self(m, p))
        return 0;
    const Caller &me = m.caller;
    Cred c = cred_of(p);
    if (!jail_sees(m, me.jid, c.jid))
        return ESRCH;
    if (!sysctl_int(m, "security.bsd.see_other_uids", 1) && me.ruid != c.ruid && !me.privileged)
        return ESRCH;
    if (!sysctl_int(m, "security.bsd.see_other_gids", 1) && !me.privileged) {
        bool match = std::any_of(me.groups.begin(), me.groups.end(), [&c](unsigned g) {
            return std::find(c.groups.begin(), c.groups.end(), g) != c.groups.end();
        });
        if (!match)
            return ESRCH;
    }
    return 0;
}

// p_candebug: the unprivileged_proc_debug switch, visibility, then the
// target's uids must all be the caller's effective uid and its groups a
// subset of the caller's, and it must not have changed credentials; then
// init at a raised securelevel, a process in exec and one that disabled
// tracing.
int p_candebug(const Machine &m, const Proc &p) {
    if (is_self(m, p))
        return 0;
    const Caller &me = m.caller;
    if (!sysctl_int(m, "security.bsd.unprivileged_proc_debug", 1) && !me.privileged)
        return EPERM;
    if (int err = p_cansee(m, p))
        return err;
    if (someone_elses(p))
        return EPERM;
    Cred c = cred_of(p);
    bool uidsubset = me.euid == c.euid && me.euid == c.svuid && me.euid == c.ruid;
    bool grpsubset = std::all_of(c.groups.begin(), c.groups.end(), [&me](unsigned g) {
        return std::find(me.groups.begin(), me.groups.end(), g) != me.groups.end();
    });
    if ((!uidsubset || !grpsubset) && !me.privileged)
        return EPERM;
    if ((c.flag & P_SUGID) && !me.privileged)
        return EPERM;
    // Nobody may debug init while the securelevel is raised, root included
    // (securelevel_gt).
    if (p.pid == 1 && sysctl_int(m, "kern.securelevel", -1) > 0)
        return EPERM;
    // A process in execve() cannot be read until the new image is in place.
    if (c.flag & P_INEXEC)
        return in_exec(p) ? EBUSY : 0;
    // A process that disabled tracing (procctl PROC_TRACE_CTL): only a
    // caller with PRIV_DEBUG_DENIED may, which root on the host has and a
    // jail's root has not.
    if ((c.flag2 & P2_NOTRACE) && !(me.privileged && me.jid == 0))
        return EPERM;
    return 0;
}

// p_cansched: visibility, then the caller's real or effective uid must be
// the target's real uid.
int p_cansched(const Machine &m, const Proc &p) {
    if (int first = first_checks(m, p))
        return first < 0 ? 0 : first;
    Cred c = cred_of(p);
    const Caller &me = m.caller;
    if (me.ruid != c.ruid && me.euid != c.ruid && !me.privileged)
        return EPERM;
    return 0;
}

// cr_cansignal: visibility, then the caller's real or effective uid must be
// the target's real or saved uid.
int p_cansignal(const Machine &m, const Proc &p) {
    if (int first = first_checks(m, p))
        return first < 0 ? 0 : first;
    Cred c = cred_of(p);
    const Caller &me = m.caller;
    if (me.ruid != c.ruid && me.ruid != c.svuid && me.euid != c.ruid && me.euid != c.svuid &&
        !me.privileged)
        return EPERM;
    return 0;
}

const Proc *pget(const Machine &m, long long pid, unsigned flags, int *err) {
    const Proc *p = nullptr;
    if ((flags & PG_TID) && pid > kPidMax)
        p = by_thread_id(m, pid);
    else if (pid >= INT_MIN && pid <= INT_MAX)
        p = m.procs.live(static_cast<int>(pid));
    int e = 0;
    if (!p)
        e = ESRCH;
    else if ((flags & PG_NOTWEXIT) && exiting(*p))
        e = ESRCH;  // pfind does not find zombies
    else if (!is_self(m, *p)) {
        if ((flags & PG_CANSEE) && (e = p_cansee(m, *p)))
            ;
        else if ((flags & PG_CANDEBUG) && (e = p_candebug(m, *p)))
            ;
        else if (flags & PG_CANSCHED)
            e = p_cansched(m, *p);
    }
    if (e) {
        *err = e;
        return nullptr;
    }
    return p;
}

bool sees_pid(const Machine &m, int pid) {
    const Proc *p = m.procs.find(pid);
    return !p || p_cansee(m, *p) == 0;
}

bool sees_address(const Machine &m, const std::string &sa) {
    if (m.caller.jid == 0 || sa.size() < 2)
        return true;
    auto it = m.jails.find(m.caller.jid);
    if (it == m.jails.end())
        return true;
    const Jail &j = it->second;
    const int family = static_cast<unsigned char>(sa[1]);
    std::string bytes;
    const std::optional<std::vector<std::string>> *list = nullptr;
    if (family == AF_INET && sa.size() >= offsetof(struct sockaddr_in, sin_addr) + 4) {
        bytes = sa.substr(offsetof(struct sockaddr_in, sin_addr), 4);
        list = &j.ip4;
    } else if (family == AF_INET6 && sa.size() >= offsetof(struct sockaddr_in6, sin6_addr) + 16) {
        bytes = sa.substr(offsetof(struct sockaddr_in6, sin6_addr), 16);
        list = &j.ip6;
    } else {
        return true;
    }
    if (!list->has_value())
        return true;
    const std::vector<std::string> &own = **list;
    return std::find(own.begin(), own.end(), bytes) != own.end();
}

SocketSight::SocketSight(const Machine &m) : m_(m) {
    all_ = m.caller.privileged && m.caller.jid == 0;
    other_uids_ = sysctl_int(m, "security.bsd.see_other_uids", 1) != 0 || m.caller.privileged;
    other_gids_ = sysctl_int(m, "security.bsd.see_other_gids", 1) != 0 || m.caller.privileged;
}

// cr_cansee(caller, so_cred): prison_check (a jailed caller sees the sockets
// of its own jail and of the jails made in it; the host sees every jail's), cr_canseeotheruids by
// the real uids, cr_canseeothergids by a group both credentials have.
bool SocketSight::sees(const struct xsocket &so) const {
    if (all_)
        return true;
    const SockCred *cred = nullptr;
    if (auto it = m_.socks.creds.find(so.xso_so); it != m_.socks.creds.end())
        cred = &it->second;
    const int jid = cred ? cred->jid : 0;
    if (!jail_sees(m_, m_.caller.jid, jid))
        return false;
    if (!other_uids_ && so.so_uid != m_.caller.ruid)
        return false;
    if (!other_gids_) {
        const std::vector<unsigned> own = {static_cast<unsigned>(so.so_uid)};
        const std::vector<unsigned> &groups = cred && !cred->groups.empty() ? cred->groups : own;
        bool shared = std::any_of(m_.caller.groups.begin(), m_.caller.groups.end(),
                                  [&groups](unsigned g) {
                                      return std::find(groups.begin(), groups.end(), g) != groups.end();
                                  });
        if (!shared)
            return false;
    }
    return true;
}

}  // namespace fakebsd
