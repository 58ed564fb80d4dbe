// libutil of the stand-in platform: <libutil.h>'s kinfo_getfile(3) and
// kinfo_getvmmap(3). Both return one malloc'd array of fixed-size records
// (struct kinfo_file / struct kinfo_vmentry, unpacked from the kernel's
// variable-length ones) that the caller frees, or NULL with errno set.
#pragma once

#include "types.h"
#include "file.h"

extern "C" {
struct kinfo_file *fbsd_kinfo_getfile(pid_t pid, int *cntp);
struct kinfo_vmentry *fbsd_kinfo_getvmmap(pid_t pid, int *cntp);
}
#define kinfo_getfile fbsd_kinfo_getfile
#define kinfo_getvmmap fbsd_kinfo_getvmmap
