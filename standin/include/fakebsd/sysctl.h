// sysctl(3) of the stand-in platform: FreeBSD's MIB numbers and prototypes.
#pragma once

#include "types.h"

#define CTL_KERN 1
#define CTL_VM 2
#define CTL_VFS 3
#define CTL_NET 4
#define CTL_HW 6
#define CTL_MAXNAME 24  // the longest name sysctl(3) takes

#define KERN_ARGMAX 8
#define KERN_CLOCKRATE 12
#define KERN_PROC 14
#define KERN_BOOTTIME 21

#define KERN_PROC_ALL 0
#define KERN_PROC_PID 1
#define KERN_PROC_ARGS 7
#define KERN_PROC_PROC 8
#define KERN_PROC_PATHNAME 12
#define KERN_PROC_INC_THREAD 0x10
#define KERN_PROC_VMMAP 32
#define KERN_PROC_FILEDESC 33
#define KERN_PROC_ENV 35
#define KERN_PROC_RLIMIT 37

#define HW_NCPU 3
#define HW_PAGESIZE 7

#define VM_METER 1

// kern.clockrate ({CTL_KERN, KERN_CLOCKRATE}), from <sys/time.h>: the rates of
// the kernel's clocks; the CPU state counters tick at stathz.
struct clockinfo {
    int hz;      // clock frequency
    int tick;    // microseconds per hz tick
    int spare;
    int stathz;  // statistics clock frequency
    int profhz;  // profiling clock frequency
};
static_assert(sizeof(struct clockinfo) == 20);

extern "C" {
int fbsd_sysctl(const int *name, unsigned int namelen, void *oldp, size_t *oldlenp,
                const void *newp, size_t newlen);
int fbsd_sysctlbyname(const char *name, void *oldp, size_t *oldlenp, const void *newp,
                      size_t newlen);
long fbsd_sysconf(int name);
int fbsd_sysctlnametomib(const char *name, int *mibp, size_t *sizep);
}
#define sysctl fbsd_sysctl
#define sysctlbyname fbsd_sysctlbyname
#define sysconf fbsd_sysconf
#define sysctlnametomib fbsd_sysctlnametomib
#undef _SC_PAGESIZE
#define _SC_PAGESIZE 47
#undef _SC_PAGE_SIZE
#define _SC_PAGE_SIZE _SC_PAGESIZE
