// CPU affinity of the stand-in platform: <sys/_cpuset.h> and <sys/cpuset.h>
// as FreeBSD 14 amd64 has them. The host's <sched.h> (visible here) defines
// Linux's cpu_set_t and CPU_* macros; FreeBSD's cpuset_t is a different type,
// so the macros are replaced by FreeBSD's over cpuset_t.
#pragma once

#include "types.h"

#define CPU_MAXSIZE 1024
#undef CPU_SETSIZE
#define CPU_SETSIZE CPU_MAXSIZE

#define _BITSET_BITS (sizeof(long) * 8)
#define __bitset_words(_s) (((_s) + (_BITSET_BITS - 1)) / _BITSET_BITS)

struct _cpuset {
    long __bits[__bitset_words(CPU_SETSIZE)];
};
typedef struct _cpuset cpuset_t;
static_assert(sizeof(cpuset_t) == 128);

#define _NCPUBITS _BITSET_BITS
#define _NCPUWORDS __bitset_words(CPU_SETSIZE)

// Levels and targets of cpuset_getaffinity(2) / cpuset_setaffinity(2).
#define CPU_LEVEL_ROOT 1    // all system cpus
#define CPU_LEVEL_CPUSET 2  // available cpus for which
#define CPU_LEVEL_WHICH 3   // actual mask/id for which

#define CPU_WHICH_TID 1          // specifies a thread id
#define CPU_WHICH_PID 2          // specifies a process id
#define CPU_WHICH_CPUSET 3       // specifies a set id
#define CPU_WHICH_IRQ 4          // specifies an irq #
#define CPU_WHICH_JAIL 5         // specifies a jail id
#define CPU_WHICH_DOMAIN 6       // specifies a NUMA domain id
#define CPU_WHICH_INTRHANDLER 7  // specifies an irq # (not ithread)
#define CPU_WHICH_ITHREAD 8      // specifies an irq's ithread
#define CPU_WHICH_TIDPID 9       // specifies a process or thread id

#define CPUSET_INVALID -1
#define CPUSET_DEFAULT 0

// The set operations, as inline functions over the 1024-bit set.
static inline void fbsd_cpuset_zero(cpuset_t *p) {
    for (size_t i = 0; i < _NCPUWORDS; i++) p->__bits[i] = 0;
}
static inline void fbsd_cpuset_fill(cpuset_t *p) {
    for (size_t i = 0; i < _NCPUWORDS; i++) p->__bits[i] = -1L;
}
static inline void fbsd_cpuset_set(size_t n, cpuset_t *p) {
    p->__bits[n / _NCPUBITS] |= (long)(1UL << (n % _NCPUBITS));
}
static inline void fbsd_cpuset_clr(size_t n, cpuset_t *p) {
    p->__bits[n / _NCPUBITS] &= ~(long)(1UL << (n % _NCPUBITS));
}
static inline bool fbsd_cpuset_isset(size_t n, const cpuset_t *p) {
    return (p->__bits[n / _NCPUBITS] & (long)(1UL << (n % _NCPUBITS))) != 0;
}
static inline int fbsd_cpuset_count(const cpuset_t *p) {
    int c = 0;
    for (size_t i = 0; i < _NCPUWORDS; i++) c += __builtin_popcountl((unsigned long)p->__bits[i]);
    return c;
}
static inline bool fbsd_cpuset_empty(const cpuset_t *p) {
    for (size_t i = 0; i < _NCPUWORDS; i++)
        if (p->__bits[i] != 0) return false;
    return true;
}
static inline int fbsd_cpuset_cmp(const cpuset_t *p, const cpuset_t *c) {
    for (size_t i = 0; i < _NCPUWORDS; i++)
        if (p->__bits[i] != c->__bits[i]) return 1;
    return 0;
}

#undef CPU_CLR
#undef CPU_COPY
#undef CPU_ISSET
#undef CPU_SET
#undef CPU_ZERO
#undef CPU_FILL
#undef CPU_EQUAL
#undef CPU_EMPTY
#undef CPU_CMP
#undef CPU_COUNT
#undef CPU_AND
#undef CPU_OR
#undef CPU_XOR
#undef CPU_ALLOC
#undef CPU_ALLOC_SIZE
#undef CPU_FREE
#undef CPU_ISSET_S
#undef CPU_SET_S
#undef CPU_CLR_S
#undef CPU_ZERO_S
#undef CPU_OR_S
#undef CPU_AND_S
#undef CPU_XOR_S
#undef CPU_COUNT_S
#undef CPU_EQUAL_S
#define CPU_CLR(n, p) fbsd_cpuset_clr((size_t)(n), (p))
#define CPU_COPY(f, t) (void)(*(t) = *(f))
#define CPU_ISSET(n, p) fbsd_cpuset_isset((size_t)(n), (p))
#define CPU_SET(n, p) fbsd_cpuset_set((size_t)(n), (p))
#define CPU_ZERO(p) fbsd_cpuset_zero(p)
#define CPU_FILL(p) fbsd_cpuset_fill(p)
#define CPU_EQUAL(p, c) (fbsd_cpuset_cmp((p), (c)) == 0)
#define CPU_EMPTY(p) fbsd_cpuset_empty(p)
#define CPU_CMP(p, c) fbsd_cpuset_cmp((p), (c))
#define CPU_COUNT(p) fbsd_cpuset_count(p)

extern "C" {
int fbsd_cpuset_getaffinity(cpulevel_t level, cpuwhich_t which, id_t id, size_t setsize,
                            cpuset_t *mask);
int fbsd_cpuset_setaffinity(cpulevel_t level, cpuwhich_t which, id_t id, size_t setsize,
                            const cpuset_t *mask);
}
#define cpuset_getaffinity fbsd_cpuset_getaffinity
#define cpuset_setaffinity fbsd_cpuset_setaffinity
