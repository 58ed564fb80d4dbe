// Stand-in libkvm: the process queries of a handle opened on the live kernel,
// kvm_getprocs(3) and kvm_getenvv(3), answered from the handle's machine.
//
// kvm_getenvv reads kern.proc.env.<pid> as libkvm's kvm_argv does, into
// buffers that belong to the library, not to the handle: one argument buffer
// and one vector for the whole process, rewritten by every call from any
// thread through any handle, the vector grown with realloc when an answer
// holds more strings than any before. What a call hands back is valid until
// the next call from anywhere; callers that may run at once must serialise.
//
// Faults:
//   "kvm_getprocs" (key: the pid) fails the lookup (no records; the count is
//       left alone), or answers with raw struct kinfo_proc records; `report`
//       sets the count handed back instead of the number of records (any
//       value but -1, which means none; a negative count sets the handle's
//       error text).
//   "kvm_getenvv" (key: the record's pid) fails the read (errno set, or left
//       alone with errno=0: "no environment"), or answers with raw bytes in
//       place of the kernel's answer, the environment strings each ending in
//       a NUL (b"" is an empty answer: no vector, errno untouched).
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kvm.h"
#include "creds.h"
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

// kvm_argv's process-wide state: the argument buffer (`buflen` bytes, one
// more that stays NUL), the vector and its room. Never freed, as in libkvm.
char *arg_buf;
size_t arg_buflen;
char **arg_vec;
size_t arg_room;

// Make room for an answer of `nchr` bytes: allocated at the first call,
// grown with realloc when a caller asks for more than any before.
bool arg_buffer(size_t nchr) {
    if (arg_buflen == 0) {
        arg_buf = static_cast<char *>(std::calloc(nchr + 1, 1));
        arg_room = 32;
        arg_vec = static_cast<char **>(std::malloc(sizeof(char *) * arg_room));
        if (!arg_buf || !arg_vec) {
            std::free(arg_buf);
            std::free(arg_vec);
            arg_buf = nullptr;
            arg_vec = nullptr;
            return false;
        }
        arg_buflen = nchr;
    } else if (nchr > arg_buflen) {
        if (char *p = static_cast<char *>(std::realloc(arg_buf, nchr + 1))) {
            arg_buf = p;
            arg_buflen = nchr;
        }
    }
    return true;
}

// Point the vector at the `len` bytes of strings in the buffer, growing it
// when they are more than it holds. Null when it cannot grow.
char **arg_vector(size_t len) {
    arg_buf[len] = '\0';  // a last string without its NUL ends at the answer
    size_t i = 0;
    char *p = arg_buf;
    do {
        arg_vec[i++] = p;
        p += std::strlen(p) + 1;
        if (i >= arg_room) {
            auto *grown = static_cast<char **>(std::realloc(arg_vec, sizeof(char *) * arg_room * 2));
            if (!grown)
                return nullptr;
            arg_vec = grown;
            arg_room *= 2;
        }
    } while (p < arg_buf + len);
    arg_vec[i] = nullptr;
    return arg_vec;
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
        // kern.proc.pid: zombies are found, hidden processes are not.
        int err = 0;
        const Proc *p = pget(m, arg, PG_CANSEE | PG_TID, &err);
        if (!p) {
            errno = err;
            syserr(kd, "kvm_getprocs", err);
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

extern "C" char **fbsd_kvm_getenvv(kvm_t *kd, const struct kinfo_proc *kp, int nchr) {
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
    size_t want = nchr <= 0 || nchr > ARG_MAX ? ARG_MAX : static_cast<size_t>(nchr);
    if (!arg_buffer(want)) {
        kvm_report(kd, "cannot allocate memory");
        return nullptr;
    }
    size_t len = arg_buflen;
    int failed = 0;
    if (a.raw) {
        // In place of the kernel's answer, handed out as it would be.
        len = std::min(a.raw->size(), arg_buflen);
        std::memcpy(arg_buf, a.raw->data(), len);
        if (a.raw->size() > arg_buflen) {
            errno = ENOMEM;
            failed = -1;
        }
    } else {
        int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ENV, kp->ki_pid};
        failed = fbsd_sysctl(mib, 4, arg_buf, &len, nullptr, 0);
        open_room(arg_buf, arg_buflen + 1);  // the strings end with a NUL written past them
    }
    if (failed == -1) {
        // An answer longer than the buffer is used as far as it goes.
        if (errno != ENOMEM || len != arg_buflen)
            return nullptr;
        arg_buf[len - 1] = '\0';
        errno = 0;
    } else if (len == 0) {
        return nullptr;  // nothing to read (a system process): errno untouched
    }
    return arg_vector(len);
}
