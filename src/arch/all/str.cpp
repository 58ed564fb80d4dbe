// Bounded string operations and the debug line.
#include "../../morvex.h"

extern "C" {

int MORVEX_DEBUG = 0;
int MORVEX_TESTING = 0;

void debug_line(const char *file, int line, const char *fmt, ...) {
    if (!morvex_debug_on())
        return;
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "morvex-debug [%s:%d]> ", file, line);
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
}

}  // extern "C"

// Misuse of a string operation: fatal in testing mode, a debug line otherwise.
static void str_critical(const char *msg) {
    if (__atomic_load_n(&MORVEX_TESTING, __ATOMIC_RELAXED)) {
        std::fprintf(stderr, "CRITICAL: %s\n", msg);
        std::fflush(stderr);
        std::exit(1);
    }
    if (morvex_debug_on())
        morvex_debug("%s", msg);
}

extern "C" {

int str_format(char *buf, size_t size, const char *fmt, ...) {
    if (size == 0) {
        str_critical("str_format: invalid arg 'size' = 0");
        return -1;
    }
    va_list ap;
    va_start(ap, fmt);
    int r = std::vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    if (r >= 0 && static_cast<size_t>(r) < size)
        return r;
    morvex_debug("str_format: error in format '%s'", fmt);
    buf[size - 1] = '\0';
    return -1;
}

int str_copy(char *dst, size_t dst_size, const char *src) {
    if (dst_size == 0) {
        str_critical("str_copy: invalid arg 'dst_size' = 0");
        return -1;
    }
    // strncpy pads the rest of dst_size - 1 bytes with NULs, as intended.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wstringop-truncation"
#endif
    std::strncpy(dst, src, dst_size - 1);
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
    dst[dst_size - 1] = '\0';
    return 0;
}

int str_append(char *dst, size_t dst_size, const char *src) {
    if (dst_size == 0 || dst == nullptr || src == nullptr) {
        str_critical("str_append: invalid arg");
        return -1;
    }
    // strlcat semantics: append what fits in dst_size - 1 bytes in all and
    // measure what the whole result would have been.
    size_t dlen = strnlen(dst, dst_size);
    size_t slen = std::strlen(src);
    if (dlen < dst_size) {
        size_t room = dst_size - 1 - dlen;
        size_t n = slen < room ? slen : room;
        std::memcpy(dst + dlen, src, n);
        dst[dlen + n] = '\0';
    }
    if (dlen + slen < dst_size)
        return 0;
    str_critical("str_append: truncated");
    return -1;
}

}  // extern "C"
