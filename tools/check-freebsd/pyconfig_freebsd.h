/*
 * pyconfig.h for the x86_64-freebsd cross-compile check.
 *
 * The only CPython headers at hand are the Linux build's. Python.h pulls in
 * its configuration with #include "pyconfig.h", which always finds the file
 * next to Python.h first, so a wrapper directory on -I would never be seen;
 * run.sh force-includes this file (-include) instead. It includes the real
 * pyconfig.h (guarded by Py_PYCONFIG_H, so Python.h's own include of it is
 * then a no-op) and is the one place to correct it for FreeBSD.
 *
 * Nothing needs correcting at present:
 *  - The feature-test block is what configure writes on FreeBSD as well:
 *    _POSIX_C_SOURCE 200809L and _XOPEN_SOURCE 700 alone would hide the BSD
 *    interfaces (sys/cdefs.h then leaves __BSD_VISIBLE unset), and the
 *    explicit __BSD_VISIBLE 1 brings them back. _GNU_SOURCE, _NETBSD_SOURCE,
 *    _DARWIN_C_SOURCE and friends are not looked at by FreeBSD's headers.
 *  - Every SIZEOF_ and ALIGNOF_ value the public headers read (void *, long,
 *    size_t, pid_t, pthread_t, wchar_t, time_t, long double, ...) is the same
 *    on amd64 FreeBSD. SIZEOF_FPOS_T (16 on glibc, 8 on FreeBSD) differs but
 *    is read only by CPython's own sources.
 *  - The Linux-only HAVE_LINUX_*_H and MAJOR_IN_SYSMACROS are likewise read
 *    only inside CPython's own modules, never by Python.h.
 * Add an #undef here, with its reason, if one of them ever does matter.
 */
#ifndef MORVEX_PYCONFIG_FREEBSD_H
#define MORVEX_PYCONFIG_FREEBSD_H

#include <pyconfig.h>

#ifndef Py_GIL_DISABLED
#error "the check needs the free-threaded (3.13t) CPython headers"
#endif

#endif /* MORVEX_PYCONFIG_FREEBSD_H */
