/*
 * Minimal declaration for the FreeBSD cross-compile check only: libkvm's
 * <kvm.h> is not among the headers shipped with zig's FreeBSD libc. This
 * declares just what the documented interfaces need (kvm_open(3),
 * kvm_openfiles(3), kvm_getprocs(3), kvm_getargv(3)/kvm_getenvv(3),
 * kvm_geterr(3), kvm_getswapinfo(3), kvm_getloadavg(3), kvm_close(3)).
 * On a FreeBSD host the system's own /usr/include/kvm.h is used instead.
 */
#ifndef _KVM_H_
#define _KVM_H_

#include <sys/cdefs.h>
#include <sys/types.h>

/* Default version symbol. */
#define VRS_SYM "_version"
#define VRS_KEY "VERSION"

struct kinfo_proc;

/* kvm_getswapinfo(3) */
struct kvm_swap {
    char ksw_devname[32];
    u_int ksw_used;
    u_int ksw_total;
    int ksw_flags;
    int ksw_reserved1;
    int ksw_reserved2;
};

#define SWIF_DEV_PREFIX 0x0002

typedef struct __kvm kvm_t;

__BEGIN_DECLS
int kvm_close(kvm_t *);
char **kvm_getargv(kvm_t *, const struct kinfo_proc *, int);
char **kvm_getenvv(kvm_t *, const struct kinfo_proc *, int);
char *kvm_geterr(kvm_t *);
int kvm_getloadavg(kvm_t *, double[], int);
struct kinfo_proc *kvm_getprocs(kvm_t *, int, int, int *);
int kvm_getswapinfo(kvm_t *, struct kvm_swap *, int, int);
kvm_t *kvm_open(const char *, const char *, const char *, int, const char *);
kvm_t *kvm_openfiles(const char *, const char *, const char *, int, char *);
__END_DECLS

#endif /* !_KVM_H_ */
