// Stand-in platform: a process's environment as the kernel exports it,
// sysctl kern.proc.env.<pid> (read by libkvm's kvm_getenvv, see kvm_procs.cpp).
#include <cerrno>
#include <cstring>

#include "creds.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// {CTL_KERN, KERN_PROC, KERN_PROC_ENV, pid}: the environment strings, each
// with its NUL; a kernel process has none, so its answer is empty. Read from
// the process's memory: no zombie, and only with p_candebug (PGET_WANTREAD).
int answer_env(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 4)
        return EINVAL;
    int err = 0;
    const Proc *p = pget(m, mib[3], PG_CANSEE | PG_WANTREAD | PG_TID, &err);
    if (!p)
        return err;
    struct kinfo_proc kp;
    std::memset(&kp, 0, sizeof kp);
    Bytes record = record_of(*p);
    std::memcpy(&kp, record.data(), std::min(record.size(), sizeof kp));
    out.clear();
    if (kp.ki_flag & P_SYSTEM)
        return 0;
    for (const std::string &s : p->env) {
        out += s;
        out += '\0';
    }
    return 0;
}

}  // namespace

const std::vector<Provider> &providers_procs_env() {
    static const std::vector<Provider> list = {
        {"kern.proc.env", {CTL_KERN, KERN_PROC, KERN_PROC_ENV}, true, answer_env},
    };
    return list;
}

}  // namespace fakebsd
