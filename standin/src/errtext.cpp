// Stand-in strerror(3) and strerror_r(3) with FreeBSD's sharing rules and the
// host's texts (tests compare messages with the host's os.strerror). Pure
// library functions: no machine state, no faults, not in the call log.
#include <cerrno>
#include <cstring>

#include <fakebsd/freebsd.h>

namespace fakebsd {
bool host_errtext(int errnum, char *buf, size_t buflen);
}

extern "C" int fbsd_strerror_r(int errnum, char *buf, size_t buflen) {
    if (buflen == 0)
        return ERANGE;
    char text[256];
    bool known = fakebsd::host_errtext(errnum, text, sizeof text);
    size_t len = std::strlen(text);
    size_t n = len < buflen - 1 ? len : buflen - 1;
    // Byte by byte, as a plain copy may go: a reader of the same buffer in
    // another thread sees whatever mix of old and new text is there.
    for (size_t i = 0; i < n; i++)
        reinterpret_cast<volatile char *>(buf)[i] = text[i];
    buf[n] = '\0';
    if (!known)
        return EINVAL;
    return n < len ? ERANGE : 0;
}

extern "C" char *fbsd_strerror(int errnum) {
    // FreeBSD's strerror keeps one buffer for the whole process (NL_TEXTMAX).
    static char ebuf[2048];
    int saved = errno;
    if (fbsd_strerror_r(errnum, ebuf, sizeof ebuf) != 0)
        saved = EINVAL;
    errno = saved;
    return ebuf;
}
