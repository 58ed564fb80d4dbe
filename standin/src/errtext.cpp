// Stand-in strerror(3) and strerror_r(3) as FreeBSD's libc answers them
// (lib/libc/string/strerror.c over the texts of lib/libc/gen/errlst.c).
// Pure library functions: no machine state, no faults, not in the call log.
//
// The stand-in keeps the host's errno numbers, so the texts are looked up by
// errno name: each host number whose name FreeBSD also has gets FreeBSD's
// text for that name. A number FreeBSD's table does not hold, negative ones
// included, gets "Unknown error: N" and EINVAL, as FreeBSD's does for numbers
// outside sys_errlist.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fakebsd/freebsd.h>

namespace {

struct ErrText {
    int num;
    const char *text;
};

// FreeBSD's errlst.c, in FreeBSD's errno order. Names the host spells as
// aliases of others (EWOULDBLOCK, ENOTSUP, EDEADLOCK) are covered by those.
// FreeBSD's own names the host lacks (EPROCLIM, EBADRPC, ERPCMISMATCH,
// EPROGUNAVAIL, EPROGMISMATCH, EPROCUNAVAIL, EFTYPE, EAUTH, ENEEDAUTH,
// ENOATTR, EDOOFUS, ENOTCAPABLE, ECAPMODE, EINTEGRITY) have no host number
// to carry them.
constexpr ErrText kTexts[] = {
    {0, "No error: 0"},
    {EPERM, "Operation not permitted"},
    {ENOENT, "No such file or directory"},
    {ESRCH, "No such process"},
    {EINTR, "Interrupted system call"},
    {EIO, "Input/output error"},
    {ENXIO, "Device not configured"},
    {E2BIG, "Argument list too long"},
    {ENOEXEC, "Exec format error"},
    {EBADF, "Bad file descriptor"},
    {ECHILD, "No child processes"},
    {EDEADLK, "Resource deadlock avoided"},
    {ENOMEM, "Cannot allocate memory"},
    {EACCES, "Permission denied"},
    {EFAULT, "Bad address"},
    {ENOTBLK, "Block device required"},
    {EBUSY, "Device busy"},
    {EEXIST, "File exists"},
    {EXDEV, "Cross-device link"},
    {ENODEV, "Operation not supported by device"},
    {ENOTDIR, "Not a directory"},
    {EISDIR, "Is a directory"},
    {EINVAL, "Invalid argument"},
    {ENFILE, "Too many open files in system"},
    {EMFILE, "Too many open files"},
    {ENOTTY, "Inappropriate ioctl for device"},
    {ETXTBSY, "Text file busy"},
    {EFBIG, "File too large"},
    {ENOSPC, "No space left on device"},
    {ESPIPE, "Illegal seek"},
    {EROFS, "Read-only file system"},
    {EMLINK, "Too many links"},
    {EPIPE, "Broken pipe"},
    {EDOM, "Numerical argument out of domain"},
    {ERANGE, "Result too large"},
    {EAGAIN, "Resource temporarily unavailable"},
    {EINPROGRESS, "Operation now in progress"},
    {EALREADY, "Operation already in progress"},
    {ENOTSOCK, "Socket operation on non-socket"},
    {EDESTADDRREQ, "Destination address required"},
    {EMSGSIZE, "Message too long"},
    {EPROTOTYPE, "Protocol wrong type for socket"},
    {ENOPROTOOPT, "Protocol not available"},
    {EPROTONOSUPPORT, "Protocol not supported"},
    {ESOCKTNOSUPPORT, "Socket type not supported"},
    {EOPNOTSUPP, "Operation not supported"},
    {EPFNOSUPPORT, "Protocol family not supported"},
    {EAFNOSUPPORT, "Address family not supported by protocol family"},
    {EADDRINUSE, "Address already in use"},
    {EADDRNOTAVAIL, "Can't assign requested address"},
    {ENETDOWN, "Network is down"},
    {ENETUNREACH, "Network is unreachable"},
    {ENETRESET, "Network dropped connection on reset"},
    {ECONNABORTED, "Software caused connection abort"},
    {ECONNRESET, "Connection reset by peer"},
    {ENOBUFS, "No buffer space available"},
    {EISCONN, "Socket is already connected"},
    {ENOTCONN, "Socket is not connected"},
    {ESHUTDOWN, "Can't send after socket shutdown"},
    {ETOOMANYREFS, "Too many references: can't splice"},
    {ETIMEDOUT, "Operation timed out"},
    {ECONNREFUSED, "Connection refused"},
    {ELOOP, "Too many levels of symbolic links"},
    {ENAMETOOLONG, "File name too long"},
    {EHOSTDOWN, "Host is down"},
    {EHOSTUNREACH, "No route to host"},
    {ENOTEMPTY, "Directory not empty"},
    {EUSERS, "Too many users"},
    {EDQUOT, "Disc quota exceeded"},
    {ESTALE, "Stale NFS file handle"},
    {EREMOTE, "Too many levels of remote in path"},
    {ENOLCK, "No locks available"},
    {ENOSYS, "Function not implemented"},
    {EIDRM, "Identifier removed"},
    {ENOMSG, "No message of desired type"},
    {EOVERFLOW, "Value too large to be stored in data type"},
    {ECANCELED, "Operation canceled"},
    {EILSEQ, "Illegal byte sequence"},
    {EBADMSG, "Bad message"},
    {EMULTIHOP, "Multihop attempted"},
    {ENOLINK, "Link has been severed"},
    {EPROTO, "Protocol error"},
    {ENOTRECOVERABLE, "State not recoverable"},
    {EOWNERDEAD, "Previous owner died"},
};

const char *known_text(int errnum) {
    for (const ErrText &e : kTexts)
        if (e.num == errnum)
            return e.text;
    return nullptr;
}

// "Unknown error: N" (N may be negative), as strerror.c's errstr builds it.
void unknown_text(int errnum, char *out, size_t outlen) {
    std::snprintf(out, outlen, "Unknown error: %d", errnum);
}

}  // namespace

extern "C" int fbsd_strerror_r(int errnum, char *buf, size_t buflen) {
    char unknown[48];
    const char *text = known_text(errnum);
    if (!text) {
        unknown_text(errnum, unknown, sizeof unknown);
        text = unknown;
    }
    size_t len = std::strlen(text);
    // strlcpy: as much as fits, always terminated when there is any room.
    if (buflen > 0) {
        size_t n = len < buflen - 1 ? len : buflen - 1;
        // Byte by byte, as a plain copy may go: a reader of the same buffer
        // in another thread sees whatever mix of old and new text is there.
        for (size_t i = 0; i < n; i++)
            reinterpret_cast<volatile char *>(buf)[i] = text[i];
        buf[n] = '\0';
    }
    if (text == unknown)
        return EINVAL;  // whether or not the text was cut
    return len >= buflen ? ERANGE : 0;
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
