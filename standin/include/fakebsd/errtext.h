// The error texts of FreeBSD's <string.h>: strerror(3) and strerror_r(3).
#pragma once

#include <cstddef>

extern "C" {
// As on FreeBSD: the text is formatted into one static buffer that every
// caller shares, so its pointer is only good until any thread's next call.
char *fbsd_strerror(int errnum);
// The XSI form: the text into the caller's buffer; 0, or EINVAL for an
// unknown error number ("Unknown error: N"), or ERANGE when the buffer was
// too short for a known one (the text is then cut and still terminated).
// The texts are FreeBSD's ("No error: 0", "Device not configured", ...).
int fbsd_strerror_r(int errnum, char *buf, size_t buflen);
}

#define strerror fbsd_strerror
#define strerror_r fbsd_strerror_r
