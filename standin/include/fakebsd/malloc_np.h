// The system allocator's control interface on the stand-in platform:
// <malloc_np.h>'s mallctl(3), which returns an error number rather than
// setting errno.
#pragma once

#include "types.h"

#define MALLCTL_ARENAS_ALL 4096
#define MALLCTL_ARENAS_DESTROYED 4097

extern "C" {
int fbsd_mallctl(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen);
}
#define mallctl fbsd_mallctl
