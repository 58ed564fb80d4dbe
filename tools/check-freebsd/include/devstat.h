/*
 * Minimal declaration for the FreeBSD cross-compile check only: libdevstat's
 * <devstat.h> is not among the headers shipped with zig's FreeBSD libc. This
 * declares just the devstat(3) interfaces and structures the module can use;
 * struct devstat itself comes from FreeBSD's own <sys/devicestat.h>.
 * On a FreeBSD host the system's own /usr/include/devstat.h is used instead.
 */
#ifndef _DEVSTAT_H
#define _DEVSTAT_H

#include <sys/cdefs.h>
#include <sys/types.h>
#include <sys/devicestat.h>
#include <sys/resource.h> /* CPUSTATES */
#include <sys/time.h>     /* struct bintime */

#include <kvm.h>

#define DEVSTAT_USER_API_VER 6 /* the libdevstat interface version of FreeBSD 14 */
#define DEVSTAT_ERRBUF_SIZE 2048 /* size of the devstat library error string */

extern char devstat_errbuf[];

struct devinfo {
    struct devstat *devices;
    u_int8_t *mem_ptr;
    long generation;
    int numdevs;
};

struct statinfo {
    long cp_time[CPUSTATES];
    long tk_nin;
    long tk_nout;
    struct devinfo *dinfo;
    long double snap_time;
};

__BEGIN_DECLS
int devstat_getnumdevs(kvm_t *kd);
long devstat_getgeneration(kvm_t *kd);
int devstat_getversion(kvm_t *kd);
int devstat_checkversion(kvm_t *kd);
int devstat_getdevs(kvm_t *kd, struct statinfo *stats);
long double devstat_compute_etime(struct bintime *cur_time, struct bintime *prev_time);
__END_DECLS

#endif /* _DEVSTAT_H */
