// Stand-in inet_ntop(3) for FreeBSD's address families.
#include <cerrno>

#include "machine.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {
const char *host_ntop(bool v6, const void *src, char *dst, unsigned size);
}

extern "C" const char *fbsd_inet_ntop(int af, const void *__restrict src, char *__restrict dst,
                                      socklen_t size) {
    if (af != AF_INET && af != AF_INET6) {
        errno = EAFNOSUPPORT;
        return nullptr;
    }
    return fakebsd::host_ntop(af == AF_INET6, src, dst, size);
}
