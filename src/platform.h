// The one door from the module to the platform: FreeBSD's headers on FreeBSD,
// the stand-in platform everywhere else. Module sources include this header
// (through morvex.h) and nothing of the platform directly.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#if defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/param.h>
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
#include <sys/time.h>
#include <sys/socket.h>
// socketvar.h first: it declares struct xsocket, which the protocol control
// block exports (xinpcb, xtcpcb, xunpcb) embed.
#include <sys/socketvar.h>
#include <sys/un.h>
#include <sys/unpcb.h>
#include <netinet/in.h>
#include <netinet/in_pcb.h>
#include <netinet/tcp_fsm.h>
#include <netinet/tcp_var.h>
#include <net/if.h>
#include <net/if_dl.h>
#include <net/if_media.h>
#include <net/route.h>
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <utmpx.h>
#include <libutil.h>
#include <malloc_np.h>
#include <kvm.h>
#include <devstat.h>
#else
#include <fakebsd/freebsd.h>
#endif
