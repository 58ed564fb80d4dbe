// Stand-in libkvm: the process queries of a handle opened on the live kernel,
// kvm_getprocs(3) and kvm_getenvv(3), answered from the handle's machine.
//
// Faults:
//   "kvm_getprocs" (key: the pid) fails the lookup (no records; the count is
//       left alone), or answers with raw struct kinfo_proc records; `report`
//       sets the count handed back instead of the number of records (any
//       value but -1, which means none; a negative count sets the handle's
//       error text).
//   "kvm_getenvv" (key: the record's pid) fails the read (errno set, or left
//       alone with errno=0: "no environment"), or answers with raw bytes, the
//       environment strings each ending in a NUL (b"" gives an empty vector).
#include <cerrno>
#include <cstring>

#include "kvm.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {
namespace {

// libkvm's own error text for a failed system call: "<call>: <strerror>".
void syserr(struct __kvm *kd, const char *call, int err) {
    char text[256] = "failed";
    if (err)
        fbsd_strerror_r(err, text, sizeof text);
    kvm_set_error(kd, std::string(call) + ": " + text);
}

// The strings of a kernel answer: each ends at a NUL; trailing bytes without
// one form a last string.
std::vector<std::string> split_strings(const Bytes &raw) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t end = raw.find('\0', pos);
        if (end == Bytes::npos)
            end = raw.size();
        out.emplace_back(raw, pos, end - pos);
        pos = end + 1;
    }
    return out;
}

}  // namespace
}  // namespace fakebsd

using namespace fakebsd;

extern "C" struct kinfo_proc *fbsd_kvm_getprocs(kvm_t *kd, int op, int arg, int *cnt) {
    if (!kd) {
        errno = EINVAL;
        return nullptr;
    }
    const Machine &m = *kd->machine;
    Action a = check(m, "kvm_getprocs", std::to_string(arg));
    if (a.fail) {
        if (a.err)
            errno = a.err;
        syserr(kd, "kvm_getprocs", a.err);
        return nullptr;
    }
    if (op != KERN_PROC_PID) {
        errno = EINVAL;
        syserr(kd, "kvm_getprocs", EINVAL);
        return nullptr;
    }
    if (a.raw) {
        kd->procs = *a.raw;
    } else {
        const Proc *p = m.procs.live(arg);
        if (!p) {
            errno = ESRCH;
            syserr(kd, "kvm_getprocs", ESRCH);
            return nullptr;
        }
        kd->procs = record_of(*p);
    }
    long count = static_cast<long>(kd->procs.size() / sizeof(struct kinfo_proc));
    if (a.report != -1)  // -1: no count forced
        count = a.report;
    if (count < 0)
        kvm_set_error(kd, "kvm_getprocs: bad process count");
    if (cnt)
        *cnt = static_cast<int>(count);
    // Records stay with the handle until the next query or kvm_close.
    return reinterpret_cast<struct kinfo_proc *>(kd->procs.data());
}

extern "C" char **fbsd_kvm_getenvv(kvm_t *kd, const struct kinfo_proc *kp, int) {
    if (!kd || !kp) {
        errno = EINVAL;
        return nullptr;
    }
    const Machine &m = *kd->machine;
    Action a = check(m, "kvm_getenvv", std::to_string(kp->ki_pid));
    if (a.fail) {
        if (a.err) {
            errno = a.err;
            syserr(kd, "kvm_getenvv", a.err);
        }
        return nullptr;
    }
    std::vector<std::string> strings;
    if (a.raw) {
        strings = split_strings(*a.raw);
    } else {
        const Proc *p = m.procs.live(kp->ki_pid);
        if (!p) {
            errno = ESRCH;
            return nullptr;
        }
        // An empty answer from the kernel: no vector, errno untouched.
        if (p->env.empty())
            return nullptr;
        strings = p->env;
    }
    // The strings and the vector pointing into them belong to the handle.
    kd->env.push_back(std::move(strings));
    std::vector<std::string> &held = kd->env.back();
    auto vector = std::make_unique<char *[]>(held.size() + 1);
    for (size_t i = 0; i < held.size(); i++)
        vector[i] = held[i].data();
    vector[held.size()] = nullptr;
    char **out = vector.get();
    kd->vectors.push_back(std::move(vector));
    return out;
}
