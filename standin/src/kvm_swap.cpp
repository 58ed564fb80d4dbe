// Stand-in libkvm: kvm_getswapinfo(3), from the swap devices of the machine
// the handle was opened on.
//
// Fault "kvm_getswapinfo" (key: "") fails the call, with the fault's answer,
// if any, as kvm_geterr's text; an answer without a failure is raw struct
// kvm_swap entries, copied into the caller's array as far as it has room.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "kvm.h"

#include <fakebsd/freebsd.h>

using namespace fakebsd;

extern "C" int fbsd_kvm_getswapinfo(kvm_t *kd, struct kvm_swap *swap_ary, int swap_max, int flags) {
    if (!kd || !swap_ary || swap_max < 0) {
        errno = EINVAL;
        return -1;
    }
    const Machine &m = *kd->machine;
    Action a = check(m, "kvm_getswapinfo", "");
    if (a.fail) {
        if (a.err)
            errno = a.err;
        kvm_set_error(kd, a.raw ? *a.raw : std::string("kvm_getswapinfo: cannot read sysctl"));
        return -1;
    }
    if (a.raw) {
        size_t room = static_cast<size_t>(swap_max) * sizeof(struct kvm_swap);
        std::memcpy(swap_ary, a.raw->data(), std::min(room, a.raw->size()));
        return static_cast<int>(a.raw->size() / sizeof(struct kvm_swap));
    }

    // As libkvm: devices fill the entries before the last one the caller has
    // room for; the totals go in the entry after the last device listed.
    const auto &devices = m.cpumem.swap;
    struct kvm_swap total;
    std::memset(&total, 0, sizeof total);
    int ndev = static_cast<int>(devices.size());
    for (int i = 0; i < ndev; i++) {
        const SwapDevice &d = devices[static_cast<size_t>(i)];
        if (i < swap_max - 1) {
            struct kvm_swap &e = swap_ary[i];
            std::memset(&e, 0, sizeof e);
            std::string name = (flags & SWIF_DEV_PREFIX) ? "/dev/" + d.name : d.name;
            std::strncpy(e.ksw_devname, name.c_str(), sizeof e.ksw_devname - 1);
            e.ksw_total = d.total;
            e.ksw_used = d.used;
            e.ksw_flags = d.flags;
        }
        total.ksw_total += d.total;
        total.ksw_used += d.used;
    }
    int last = std::min(ndev, swap_max - 1);
    if (last >= 0)
        swap_ary[last] = total;
    return ndev;
}
