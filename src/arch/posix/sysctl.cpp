// sysctl queries: fixed-size reads with a size check, growing reads with a
// bounded retry, and the page size.
#include "../../morvex.h"

namespace {

constexpr int kMaxFetches = 10;
// Room added to each size the kernel reports: an eighth of it, and at least a
// page. A table that grows between the size query and the fetch (a machine
// forking fast adds processes in between) then still fits, instead of every
// try meeting ENOMEM; the answer's length is what the kernel wrote, so the
// room changes no result.
constexpr size_t kMinSlack = 4096;

size_t with_slack(size_t size) {
    size_t slack = std::max(size / 8, kMinSlack);
    return size > SIZE_MAX - slack ? size : size + slack;
}

// One growing fetch, shared by the MIB and the name form. `query` calls the
// platform with (buffer, in/out length); `texts` gives the messages.
struct GrowTexts {
    const char *measure1, *measure2, *fetch, *limit, *debug_zero, *debug_retry;
};

// An answer longer than the buffer: RuntimeError naming the query.
int size_mismatch(const char *name, size_t returned, size_t expected) {
    if (name == nullptr) {
        morvex_runtime_error("sysctl() size mismatch");
        return -1;
    }
    char msg[256];
    str_format(msg, sizeof msg, "sysctlbyname('%s') size mismatch: returned %zu, expected %zu", name,
               returned, expected);
    PyErr_SetString(PyExc_RuntimeError, msg);
    return -1;
}

// `name` is the sysctl name for the by-name form, null for the MIB form.
template <class Query>
int grow_fetch(Query query, const GrowTexts &t, const char *name, char **out, size_t *outlen) {
    size_t size = 0;
    if (query(nullptr, &size) == -1) {
        morvex_oserror_wsyscall(t.measure1);
        return -1;
    }
    if (size == 0)
        morvex_debug("%s", t.debug_zero);
    for (int attempt = 0; attempt < kMaxFetches; attempt++) {
        const size_t room = with_slack(size);
        KernelBuf<char> buf(static_cast<char *>(std::calloc(1, room)));
        if (!buf) {
            PyErr_NoMemory();
            return -1;
        }
        size_t len = room;
        if (query(buf.get(), &len) == 0) {
            // The kernel never reports more than it was given room for; an
            // answer that claims to would make callers read past the block.
            if (len > room)
                return size_mismatch(name, len, room);
            *out = buf.release();
            *outlen = len;
            return 0;
        }
        int err = errno;
        buf.reset();
        if (err != ENOMEM) {
            errno = err;
            morvex_oserror_wsyscall(t.fetch);
            return -1;
        }
        if (query(nullptr, &size) == -1) {
            morvex_oserror_wsyscall(t.measure2);
            return -1;
        }
        morvex_debug("%s", t.debug_retry);
    }
    PyErr_SetString(PyExc_RuntimeError, t.limit);
    return -1;
}

}  // namespace

extern "C" {

int morvex_sysctl(int *mib, u_int miblen, void *buf, size_t buflen) {
    if (mib == nullptr || miblen == 0 || buf == nullptr || buflen == 0)
        return morvex_badargs("morvex_sysctl");
    size_t len = buflen;
    if (sysctl(mib, miblen, buf, &len, nullptr, 0) == -1) {
        morvex_oserror_wsyscall("sysctl()");
        return -1;
    }
    if (len > buflen) {
        morvex_runtime_error("sysctl() size mismatch");
        return -1;
    }
    return 0;
}

int morvex_sysctlbyname(const char *name, void *buf, size_t buflen) {
    if (name == nullptr || buf == nullptr || buflen == 0)
        return morvex_badargs("morvex_sysctlbyname");
    char errbuf[256];
    size_t len = buflen;
    if (sysctlbyname(name, buf, &len, nullptr, 0) == -1) {
        int err = errno;
        str_format(errbuf, sizeof errbuf, "sysctlbyname('%s')", name);
        errno = err;
        morvex_oserror_wsyscall(errbuf);
        return -1;
    }
    if (len > buflen)
        return size_mismatch(name, len, buflen);
    return 0;
}

int morvex_sysctl_malloc(int *mib, u_int miblen, char **buf, size_t *buflen) {
    if (mib == nullptr || miblen == 0 || buf == nullptr || buflen == nullptr)
        return morvex_badargs("morvex_sysctl_malloc");
    static const GrowTexts texts = {
        "sysctl() malloc 1/3",
        "sysctl() malloc 2/3",
        "sysctl() malloc 3/3",
        "sysctl() buffer allocation retry limit exceeded",
        "morvex_sysctl_malloc() size = 0",
        "morvex_sysctl_malloc() retry",
    };
    auto query = [mib, miblen](char *b, size_t *len) { return sysctl(mib, miblen, b, len, nullptr, 0); };
    return grow_fetch(query, texts, nullptr, buf, buflen);
}

int morvex_sysctlbyname_malloc(const char *name, char **buf, size_t *buflen) {
    if (name == nullptr || buf == nullptr || buflen == nullptr)
        return morvex_badargs("morvex_sysctlbyname_malloc");
    char m1[256], m2[256], m3[256], limit[256];
    int err = errno;
    str_format(m1, sizeof m1, "sysctlbyname('%s') malloc 1/3", name);
    str_format(m2, sizeof m2, "sysctlbyname('%s') malloc 2/3", name);
    str_format(m3, sizeof m3, "sysctlbyname('%s') malloc 3/3", name);
    str_format(limit, sizeof limit, "sysctlbyname('%s') buffer allocation retry limit exceeded", name);
    errno = err;
    const GrowTexts texts = {
        m1, m2, m3, limit, "morvex_sysctlbyname_malloc() size = 0", "morvex_sysctlbyname_malloc() retry",
    };
    auto query = [name](char *b, size_t *len) { return sysctlbyname(name, b, len, nullptr, 0); };
    return grow_fetch(query, texts, name, buf, buflen);
}

int morvex_sysctl_argmax(void) {
    int mib[2] = {CTL_KERN, KERN_ARGMAX};
    int argmax = 0;
    size_t len = sizeof argmax;
    if (sysctl(mib, 2, &argmax, &len, nullptr, 0) == -1) {
        morvex_oserror_wsyscall("sysctl()");
        return 0;
    }
    if (len > sizeof argmax) {
        morvex_runtime_error("sysctl() size mismatch");
        return 0;
    }
    if (argmax <= 0) {
        morvex_runtime_error("sysctl(KERN_ARGMAX) return <= 0");
        return 0;
    }
    return argmax;
}

long morvex_getpagesize(void) { return sysconf(_SC_PAGESIZE); }

PyObject *morvex_getpagesize_pywrapper(PyObject *, PyObject *) {
    return Py_BuildValue("l", morvex_getpagesize());
}

}  // extern "C"
