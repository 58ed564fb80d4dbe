// libkvm of the stand-in platform: <kvm.h> as FreeBSD 14 amd64 has it, for
// the process-table, environment and swap queries. kvm_t is opaque.
#pragma once

#include "types.h"
#include "proc.h"

// <fcntl.h>'s open flag for kvm_open(3); glibc spells it the same way.
#ifndef O_RDONLY
#define O_RDONLY 00
#endif

#define VRS_SYM "_version"
#define VRS_KEY "VERSION"

typedef struct __kvm kvm_t;

// One swap device, or with SWIF_DEV_PREFIX unset, the total over all of them
// in the entry after the last device.
struct kvm_swap {
    char ksw_devname[32];
    u_int ksw_used;      // pages in use
    u_int ksw_total;     // total pages
    int ksw_flags;
    int ksw_reserved1;
    int ksw_reserved2;
};
static_assert(sizeof(struct kvm_swap) == 52);

#define SWIF_DEV_PREFIX 0x0002

extern "C" {
int fbsd_kvm_close(kvm_t *kd);
char **fbsd_kvm_getenvv(kvm_t *kd, const struct kinfo_proc *p, int nchr);
char *fbsd_kvm_geterr(kvm_t *kd);
struct kinfo_proc *fbsd_kvm_getprocs(kvm_t *kd, int op, int arg, int *cnt);
int fbsd_kvm_getswapinfo(kvm_t *kd, struct kvm_swap *swap_ary, int swap_max, int flags);
kvm_t *fbsd_kvm_open(const char *execfile, const char *corefile, const char *swapfile,
                     int flags, const char *errstr);
kvm_t *fbsd_kvm_openfiles(const char *execfile, const char *corefile, const char *swapfile,
                          int flags, char *errbuf);
}
#define kvm_close fbsd_kvm_close
#define kvm_getenvv fbsd_kvm_getenvv
#define kvm_geterr fbsd_kvm_geterr
#define kvm_getprocs fbsd_kvm_getprocs
#define kvm_getswapinfo fbsd_kvm_getswapinfo
#define kvm_open fbsd_kvm_open
#define kvm_openfiles fbsd_kvm_openfiles
