// The host's address formatting, kept in a translation unit of its own: the
// host's socket headers and the stand-in's FreeBSD ones never meet.
#include <arpa/inet.h>
#include <cerrno>

namespace fakebsd {

// Numeric text of a 4-byte (v6 false) or 16-byte (v6 true) address.
const char *host_ntop(bool v6, const void *src, char *dst, unsigned size) {
    return inet_ntop(v6 ? AF_INET6 : AF_INET, src, dst, size);
}

}  // namespace fakebsd
