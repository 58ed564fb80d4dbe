// sysctl(3), sysctlbyname(3) and sysconf(3) of the stand-in platform.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "providers.h"

#if defined(__SANITIZE_ADDRESS__)
#define FAKEBSD_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FAKEBSD_ASAN 1
#endif
#endif
#ifdef FAKEBSD_ASAN
#include <sanitizer/asan_interface.h>
// The sanitizer allocator's own questions (gcc ships no header for them).
extern "C" int __sanitizer_get_ownership(const volatile void *p);
extern "C" size_t __sanitizer_get_allocated_size(const volatile void *p);
#endif

#include <fakebsd/freebsd.h>

namespace fakebsd {

// Under AddressSanitizer, the room of a caller's heap buffer past what an
// answer wrote is poisoned until the next answer into it: a caller that reads
// beyond the answer, while staying inside its own allocation, is then reported
// like one that reads past the allocation. (On FreeBSD those bytes are
// whatever the buffer held before; nothing there is part of the answer.)
// `room` is the buffer size the caller gave; only a buffer that starts a heap
// allocation is marked.
#ifdef FAKEBSD_ASAN
void open_room(void *oldp, size_t room) {
    if (__sanitizer_get_ownership(oldp))
        ASAN_UNPOISON_MEMORY_REGION(oldp, std::min(room, __sanitizer_get_allocated_size(oldp)));
}
void close_room(void *oldp, size_t room, size_t written) {
    if (!__sanitizer_get_ownership(oldp))
        return;
    room = std::min(room, __sanitizer_get_allocated_size(oldp));
    if (written < room)
        ASAN_POISON_MEMORY_REGION(static_cast<char *>(oldp) + written, room - written);
}
#else
void open_room(void *, size_t) {}
void close_room(void *, size_t, size_t) {}
#endif

namespace {

// Hand `data` out the way the kernel does: measure when there is no buffer,
// copy what fits and fail with ENOMEM when the buffer is short.
int copy_out(const Bytes &data, void *oldp, size_t *oldlenp, long report) {
    if (!oldlenp)
        return 0;
    if (!oldp) {
        *oldlenp = report >= 0 ? static_cast<size_t>(report) : data.size();
        return 0;
    }
    open_room(oldp, *oldlenp);
    if (*oldlenp < data.size()) {
        std::memcpy(oldp, data.data(), *oldlenp);
        if (report >= 0)
            *oldlenp = static_cast<size_t>(report);
        errno = ENOMEM;
        return -1;
    }
    std::memcpy(oldp, data.data(), data.size());
    // A length reported by a fault counts as written: what a caller then
    // reads of it is what the buffer held, as on FreeBSD.
    close_room(oldp, *oldlenp, std::max(data.size(), report >= 0 ? static_cast<size_t>(report) : 0));
    *oldlenp = report >= 0 ? static_cast<size_t>(report) : data.size();
    return 0;
}

int fail(int err) {
    errno = err;
    return -1;
}

int query(const Machine &m, const Action &a, const int *mib, unsigned len, const Provider *p,
          void *oldp, size_t *oldlenp, const void *newp, size_t newlen) {
    if (a.fail)
        return fault_failure(a);
    if (newp) {
        if (!p || !p->write)
            return fail(EPERM);
        int err = p->write(mib, len, newp, newlen);
        if (err)
            return fail(err);
        if (!oldp && !oldlenp)
            return 0;
    }
    if (a.raw)
        return copy_out(*a.raw, oldp, oldlenp, a.report);
    if (p) {
        Bytes out;
        int err = p->answer(m, mib, len, out);
        if (err)
            return fail(err);
        return copy_out(out, oldp, oldlenp, a.report);
    }
    Mib key(mib, mib + len);
    const Bytes *v = m.value(key);
    if (!v)
        return fail(ENOENT);
    if (m.cpumem.counters64.count(key))
        return copy_out(counter64_answer(m, *v, oldp ? oldlenp : nullptr), oldp, oldlenp, a.report);
    return copy_out(*v, oldp, oldlenp, a.report);
}

}  // namespace

// security.bsd.* are auto-numbered on FreeBSD; here they get a branch of
// their own under CTL_SECURITY.
constexpr int CTL_SECURITY = 7;
constexpr int kSecurityBsd = 0x4400;

// Nodes every machine has, whatever the groups add.
void default_base(Machine &m) {
    auto put_int = [&m](const char *name, Mib mib, int v) {
        m.set(name, mib, Bytes(reinterpret_cast<const char *>(&v), sizeof v));
    };
    put_int("kern.argmax", {CTL_KERN, KERN_ARGMAX}, 524288);
    // Who may see and debug whose processes (kern_prot.c); all on by default.
    put_int("security.bsd.see_other_uids", {CTL_SECURITY, kSecurityBsd, 1}, 1);
    put_int("security.bsd.see_other_gids", {CTL_SECURITY, kSecurityBsd, 2}, 1);
    put_int("security.bsd.unprivileged_proc_debug", {CTL_SECURITY, kSecurityBsd, 3}, 1);
    put_int("kern.maxfilesperproc", {CTL_KERN, 27}, 58576);   // KERN_MAXFILESPERPROC
    put_int("kern.maxprocperuid", {CTL_KERN, 28}, 6656);      // KERN_MAXPROCPERUID
    put_int("hw.pagesize", {CTL_HW, HW_PAGESIZE}, 4096);
    m.pagesize = 4096;
}

}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
                           const void *newp, size_t newlen) {
    // A write replaces the current machine; keep the one this call answers
    // from (the old value is the one before the write, as on FreeBSD).
    std::shared_ptr<const Machine> keep;
    if (newp)
        keep = snapshot();
    const Machine &m = keep ? *keep : current();
    // __sysctl: a name of 2 to CTL_MAXNAME elements.
    if (!name || namelen < 2 || namelen > CTL_MAXNAME)
        return fail(EINVAL);
    Action a = check(m, "sysctl", mib_key(name, namelen), oldp ? "" : " (measure)");
    return query(m, a, name, namelen, find_provider(name, namelen), oldp, oldlenp, newp, newlen);
}

extern "C" int fbsd_sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *newp,
                                 size_t newlen) {
    std::shared_ptr<const Machine> keep;
    if (newp)
        keep = snapshot();
    const Machine &m = keep ? *keep : current();
    if (!name)
        return fail(EFAULT);
    Action a = check(m, "sysctlbyname", name, oldp ? "" : " (measure)");
    if (const Provider *p = find_provider(std::string_view(name)))
        return query(m, a, p->mib.data(), static_cast<unsigned>(p->mib.size()), p, oldp, oldlenp,
                     newp, newlen);
    const Mib *mib = m.mib_of(name);
    if (!mib) {
        if (a.fail || a.raw)
            return query(m, a, nullptr, 0, nullptr, oldp, oldlenp, newp, newlen);
        return fail(ENOENT);
    }
    return query(m, a, mib->data(), static_cast<unsigned>(mib->size()),
                 find_provider(mib->data(), static_cast<unsigned>(mib->size())), oldp, oldlenp,
                 newp, newlen);
}

extern "C" long fbsd_sysconf(int name) {
    const Machine &m = current();
    Action a = check(m, "sysconf", std::to_string(name));
    if (a.fail)
        return fault_failure(a);
    if (name == _SC_PAGESIZE)
        return m.pagesize;
    errno = EINVAL;
    return -1;
}

// The MIB of a name: a node computed by the machine's tables or a plain one.
extern "C" int fbsd_sysctlnametomib(const char *name, int *mibp, size_t *sizep) {
    if (!name || !mibp || !sizep)
        return fail(EINVAL);
    const Machine &m = current();
    Action a = check(m, "sysctlnametomib", name);
    if (a.fail)
        return fault_failure(a);
    const Mib *mib = nullptr;
    if (const Provider *p = find_provider(std::string_view(name)))
        mib = &p->mib;
    else
        mib = m.mib_of(name);
    if (!mib)
        return fail(ENOENT);
    if (*sizep < mib->size())
        return fail(ENOMEM);
    std::copy(mib->begin(), mib->end(), mibp);
    *sizep = mib->size();
    return 0;
}
