// Basic FreeBSD amd64 types for the stand-in platform.
//
// The host C library's <sys/types.h> is already visible here (Python.h pulls
// it in), so FreeBSD type names that the host also defines are handled in one
// of two ways: where FreeBSD and the host agree on size and signedness the
// host's typedef is reused (and asserted below); where they differ, the
// FreeBSD type is defined under a fbsd_ name and the FreeBSD spelling is
// mapped onto it by a macro, so that code written for FreeBSD sees FreeBSD's
// type. FreeBSD-only names are defined directly.
#pragma once

#include <sys/types.h>
#include <sys/time.h>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// Same on both: reuse the host's.
static_assert(sizeof(pid_t) == 4 && std::is_signed_v<pid_t>);
static_assert(sizeof(uid_t) == 4 && !std::is_signed_v<uid_t>);
static_assert(sizeof(gid_t) == 4 && !std::is_signed_v<gid_t>);
static_assert(sizeof(time_t) == 8 && std::is_signed_v<time_t>);
static_assert(sizeof(suseconds_t) == 8 && std::is_signed_v<suseconds_t>);
static_assert(sizeof(off_t) == 8 && std::is_signed_v<off_t>);
static_assert(sizeof(dev_t) == 8 && !std::is_signed_v<dev_t>);
static_assert(sizeof(ino_t) == 8 && !std::is_signed_v<ino_t>);
static_assert(sizeof(nlink_t) == 8 && !std::is_signed_v<nlink_t>);
static_assert(sizeof(struct timeval) == 16 && offsetof(struct timeval, tv_usec) == 8);
static_assert(sizeof(struct timespec) == 16 && offsetof(struct timespec, tv_nsec) == 8);

// Different on the host: FreeBSD's own, under a macro.
typedef int64_t fbsd_id_t;
typedef uint16_t fbsd_mode_t;
typedef int32_t fbsd_clock_t;
typedef int32_t fbsd_blksize_t;
#define id_t fbsd_id_t
#define mode_t fbsd_mode_t
#define clock_t fbsd_clock_t
#define blksize_t fbsd_blksize_t

// FreeBSD-only.
typedef int32_t lwpid_t;
typedef int64_t segsz_t;
typedef uint64_t vm_size_t;
typedef uint64_t vm_offset_t;
typedef uint64_t vm_paddr_t;
typedef uint64_t kvaddr_t;
typedef uint32_t fixpt_t;
typedef int64_t sbintime_t;
typedef int64_t rlim_t;
typedef uint8_t sa_family_t;
typedef uint32_t socklen_t;
typedef uint16_t in_port_t;
typedef uint32_t in_addr_t;
typedef int cpulevel_t;
typedef int cpusetid_t;
typedef int cpuwhich_t;
typedef uint64_t fsblkcnt_t;
typedef uint64_t fsfilcnt_t;
typedef int64_t blkcnt_t;
typedef uint32_t fflags_t;
typedef uint64_t cap_rights_word_t;  // element of cap_rights_t
typedef int64_t register_t;
typedef char *caddr_t;

// FreeBSD's limits where the host's differ.
#undef PATH_MAX
#define PATH_MAX 1024
#define MAXPATHLEN PATH_MAX
#undef ARG_MAX
#define ARG_MAX (2 * 256 * 1024)  // bytes of arguments and environment
#ifndef NODEV
#define NODEV ((dev_t)-1)
#endif
#ifndef _POSIX2_LINE_MAX
#define _POSIX2_LINE_MAX 2048
#endif
