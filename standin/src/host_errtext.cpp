// The host's error texts, kept in a translation unit of its own: the
// stand-in's FreeBSD spellings of strerror never meet the host's.
#include <cstdio>
#include <cstring>

namespace fakebsd {

// The host's text for errnum into buf (cut to fit, always terminated);
// false when the host does not know the number.
bool host_errtext(int errnum, char *buf, size_t buflen) {
    char scratch[256];
    // GNU strerror_r: a static text or one written into scratch.
    const char *text = strerror_r(errnum, scratch, sizeof scratch);
    std::snprintf(buf, buflen, "%s", text);
    return std::strncmp(text, "Unknown error", 13) != 0;
}

}  // namespace fakebsd
