/*
 * Every FreeBSD header whose records or constants the layout checks name,
 * in the order (and with the defines) that the module's platform.h uses.
 * Prepended (-include) to the generated static_assert file by run.sh.
 */
#ifndef MORVEX_LAYOUT_PRELUDE_H
#define MORVEX_LAYOUT_PRELUDE_H

#include <stddef.h>
#include <stdint.h>

#include <sys/types.h>
#include <sys/param.h>
#include <sys/time.h> /* struct clockinfo */
#include <sys/sysctl.h>
#include <sys/user.h>
#include <sys/proc.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/cpuset.h>
#include <sys/resource.h>
#include <sys/vmmeter.h>
#include <sys/devicestat.h>
#include <sys/ioctl.h>
#include <sys/sockio.h>
#include <vm/vm_param.h>

/* struct xsocket, and with it struct xinpcb/xinpgen (netinet/in_pcb.h),
 * struct xtcpcb (netinet/tcp_var.h) and struct xunpcb/xunpgen (sys/unpcb.h),
 * are only declared when <sys/socketvar.h> has been included first. */
#include <sys/socket.h>
#include <sys/socketvar.h>
#include <sys/un.h> /* struct sockaddr_un, embedded in struct xunpcb */
#include <sys/unpcb.h>
#include <netinet/in.h>
#include <netinet/in_pcb.h>
#include <netinet/tcp.h>
#include <netinet/tcp_fsm.h>
#include <netinet/tcp_var.h>

#include <net/if.h>
#include <net/if_dl.h>
#include <net/if_media.h>
#include <net/if_types.h>
#include <net/route.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>

#include <limits.h>
#include <signal.h>
#include <unistd.h>
#include <utmpx.h>
#include <libutil.h>
#include <malloc_np.h>
#include <kvm.h>
#include <devstat.h>

#endif /* MORVEX_LAYOUT_PRELUDE_H */
