// The stand-in FreeBSD platform, as module code sees it: FreeBSD's records,
// constants and calls, with FreeBSD's layouts and values. Every platform call
// is served by libfakebsd under an fbsd_ symbol name; the FreeBSD spelling is
// a macro, so nothing here replaces a symbol of the host's C library.
//
// Include this last, after Python.h and the C++ library headers.
#pragma once

#include "types.h"
#include "sysctl.h"
#include "signal.h"
#include "resource.h"
#include "proc.h"
#include "cpuset.h"
#include "socket.h"
#include "file.h"
#include "libutil.h"
#include "pcb.h"
#include "net.h"
#include "mount.h"
#include "vm.h"
#include "kvm.h"
#include "devstat.h"
#include "utmpx.h"
#include "malloc_np.h"
#include "errtext.h"
