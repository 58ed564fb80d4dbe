// Stand-in inet_ntop(3), as FreeBSD's libc formats addresses
// (lib/libc/inet/inet_ntop.c). Pure library function: no machine state, no
// faults, not in the call log.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fakebsd/freebsd.h>

namespace {

// Dotted quad; ENOSPC unless the text and its NUL fit in size bytes.
const char *ntop4(const unsigned char *src, char *dst, socklen_t size) {
    char tmp[sizeof "255.255.255.255"];
    int l = std::snprintf(tmp, sizeof tmp, "%u.%u.%u.%u", src[0], src[1], src[2], src[3]);
    if (l <= 0 || static_cast<socklen_t>(l) >= size) {
        errno = ENOSPC;
        return nullptr;
    }
    std::memcpy(dst, tmp, static_cast<size_t>(l) + 1);
    return dst;
}

// Eight hex words; the longest run of two or more zero words (the first of
// equally long ones) becomes "::". After a leading run of six zero words, or
// of five followed by ffff, the last 32 bits are written as a dotted quad
// (::1.2.3.4, ::ffff:192.0.2.1); "::1" and "::" stay as they are.
const char *ntop6(const unsigned char *src, char *dst, socklen_t size) {
    char tmp[sizeof "ffff:ffff:ffff:ffff:ffff:ffff:255.255.255.255"];
    unsigned words[8];
    for (int i = 0; i < 8; i++)
        words[i] = static_cast<unsigned>(src[2 * i]) << 8 | src[2 * i + 1];

    struct Run {
        int base = -1, len = 0;
    } best, cur;
    for (int i = 0; i < 8; i++) {
        if (words[i] == 0) {
            if (cur.base == -1)
                cur = {i, 1};
            else
                cur.len++;
        } else if (cur.base != -1) {
            if (best.base == -1 || cur.len > best.len)
                best = cur;
            cur.base = -1;
        }
    }
    if (cur.base != -1 && (best.base == -1 || cur.len > best.len))
        best = cur;
    if (best.base != -1 && best.len < 2)
        best.base = -1;

    char *tp = tmp;
    for (int i = 0; i < 8; i++) {
        // Inside the run: one ':' stands for all of it.
        if (best.base != -1 && i >= best.base && i < best.base + best.len) {
            if (i == best.base)
                *tp++ = ':';
            continue;
        }
        if (i != 0)
            *tp++ = ':';
        // FreeBSD's test also names a leading run of seven zero words (with
        // a last word other than 1), but such a run covers word 6, which the
        // loop has skipped above: ::2 stays "::2", as in FreeBSD's libc.
        if (i == 6 && best.base == 0 &&
            (best.len == 6 || (best.len == 7 && words[7] != 0x0001) ||
             (best.len == 5 && words[5] == 0xffff))) {
            if (!ntop4(src + 12, tp, static_cast<socklen_t>(sizeof tmp - (tp - tmp))))
                return nullptr;
            tp += std::strlen(tp);
            break;
        }
        tp += std::snprintf(tp, sizeof tmp - (tp - tmp), "%x", words[i]);
    }
    if (best.base != -1 && best.base + best.len == 8)
        *tp++ = ':';
    *tp++ = '\0';

    if (static_cast<socklen_t>(tp - tmp) > size) {
        errno = ENOSPC;
        return nullptr;
    }
    std::memcpy(dst, tmp, static_cast<size_t>(tp - tmp));
    return dst;
}

}  // namespace

extern "C" const char *fbsd_inet_ntop(int af, const void *__restrict src, char *__restrict dst,
                                      socklen_t size) {
    const auto *bytes = static_cast<const unsigned char *>(src);
    switch (af) {
    case AF_INET:
        return ntop4(bytes, dst, size);
    case AF_INET6:
        return ntop6(bytes, dst, size);
    default:
        errno = EAFNOSUPPORT;
        return nullptr;
    }
}
