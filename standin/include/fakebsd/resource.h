// Resource limits and scheduling priority of the stand-in platform: the
// <sys/resource.h> parts beyond struct rusage (which is in proc.h, with the
// process record that embeds it), as FreeBSD 14 amd64 defines them.
#pragma once

#include "types.h"

// getpriority(2) / setpriority(2).
#define PRIO_MIN -20
#define PRIO_MAX 20
#define PRIO_PROCESS 0
#define PRIO_PGRP 1
#define PRIO_USER 2

// Resource numbers (the kern.proc.rlimit index).
#define RLIMIT_CPU 0      // maximum cpu time in seconds
#define RLIMIT_FSIZE 1    // maximum file size
#define RLIMIT_DATA 2     // data size
#define RLIMIT_STACK 3    // stack size
#define RLIMIT_CORE 4     // core file size
#define RLIMIT_RSS 5      // resident set size
#define RLIMIT_MEMLOCK 6  // locked-in-memory address space
#define RLIMIT_NPROC 7    // number of processes
#define RLIMIT_NOFILE 8   // number of open files
#define RLIMIT_SBSIZE 9   // maximum size of all socket buffers
#define RLIMIT_VMEM 10    // virtual process size (incl. mmap)
#define RLIMIT_AS RLIMIT_VMEM // standard name for RLIMIT_VMEM
#define RLIMIT_NPTS 11    // pseudo-terminals
#define RLIMIT_SWAP 12    // swap used
#define RLIMIT_KQUEUES 13 // kqueues allocated
#define RLIMIT_UMTXP 14   // process-shared umtx
#define RLIMIT_PIPEBUF 15 // pipes/fifos buffers

#define RLIM_NLIMITS 16   // number of resource limits

#define RLIM_INFINITY ((rlim_t)(((uint64_t)1 << 63) - 1))
#define RLIM_SAVED_MAX RLIM_INFINITY
#define RLIM_SAVED_CUR RLIM_INFINITY

struct rlimit {
    rlim_t rlim_cur;  // current (soft) limit
    rlim_t rlim_max;  // maximum value for rlim_cur
};
static_assert(sizeof(struct rlimit) == 16);

// CPU state indices of kern.cp_time / kern.cp_times.
#define CP_USER 0
#define CP_NICE 1
#define CP_SYS 2
#define CP_INTR 3
#define CP_IDLE 4
#define CPUSTATES 5

extern "C" {
int fbsd_getpriority(int which, int who);
int fbsd_setpriority(int which, int who, int prio);
}
#define getpriority fbsd_getpriority
#define setpriority fbsd_setpriority
