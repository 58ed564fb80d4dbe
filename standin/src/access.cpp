// Who may see what (see access.h). The caller is, so far, privileged and in
// no jail: every check lets it through.
#include "access.h"

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

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

const Proc *pget(const Machine &m, long long pid, unsigned flags, int &err) {
    const Proc *p = nullptr;
    if (pid <= kPidMax)
        p = pid >= INT_MIN ? m.procs.live(static_cast<int>(pid)) : nullptr;
    else if (!(flags & kPgetNotId))
        p = by_thread_id(m, pid);
    err = ESRCH;
    if (!p)
        return nullptr;
    // kPgetNotWexit: zombies and exiting processes are still found.
    if ((flags & kPgetCanSee) && (err = p_cansee(m, *p)) != 0)
        return nullptr;
    if ((flags & kPgetCanDebug) && (err = p_candebug(m, *p)) != 0)
        return nullptr;
    err = 0;
    return p;
}

int p_cansee(const Machine &, const Proc &) { return 0; }

int p_candebug(const Machine &, const Proc &) { return 0; }

bool sees_pid(const Machine &m, int pid) {
    const Proc *p = m.procs.find(pid);
    return !p || p_cansee(m, *p) == 0;
}

bool sees_socket(const Machine &, const struct xsocket &) { return true; }

}  // namespace fakebsd
