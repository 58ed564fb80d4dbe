// Virtual memory of the stand-in platform, FreeBSD 14 amd64: <sys/vmmeter.h>'s
// struct vmtotal (the vm.vmtotal sysctl, CTL_VM / VM_METER) and
// <vm/vm_param.h>'s struct xswdev (one swap device, vm.swap_info.<n>).
#pragma once

#include "types.h"

struct vmtotal {
    uint64_t t_vm;      // total virtual memory
    uint64_t t_avm;     // active virtual memory
    uint64_t t_rm;      // total real memory in use
    uint64_t t_arm;     // active real memory
    uint64_t t_vmshr;   // shared virtual memory
    uint64_t t_avmshr;  // active shared virtual memory
    uint64_t t_rmshr;   // shared real memory
    uint64_t t_armshr;  // active shared real memory
    uint64_t t_free;    // free memory pages
    int16_t t_rq;       // length of the run queue
    int16_t t_dw;       // threads in "disk wait" (neg priority)
    int16_t t_pw;       // threads in page wait
    int16_t t_sl;       // threads sleeping in core
    int16_t t_sw;       // swapped out runnable/short block threads
    uint16_t t_pad[3];
};
static_assert(sizeof(struct vmtotal) == 88);

#define XSWDEV_VERSION 2

struct xswdev {
    u_int xsw_version;  // XSWDEV_VERSION
    dev_t xsw_dev;      // NODEV for swap over NFS
    int xsw_flags;
    int xsw_nblks;      // pages
    int xsw_used;       // pages
};
static_assert(sizeof(struct xswdev) == 32);
