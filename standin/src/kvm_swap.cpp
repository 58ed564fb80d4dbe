// Stand-in libkvm: kvm_getswapinfo(3) on the live kernel, as libkvm does it:
// vm.dmmax, then vm.swap_info.<n> for n = 0, 1, ... until ENOENT, each device
// reported dmmax pages smaller than the kernel's block count. Like libkvm it
// keeps the device counter in a file-static variable shared by every caller
// in the process, so two calls at once skip or count devices twice; callers
// that may run at once must serialise. Errors go through the handle's
// _kvm_err (to standard error for a handle opened by kvm_open with an errstr).
//
// Fault "kvm_getswapinfo" (key: "") fails the call, with the fault's answer,
// if any, as the error text; an answer without a failure is raw struct
// kvm_swap entries, copied into the caller's array as far as it has room.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvm.h"
#include "providers.h"

#include <fakebsd/freebsd.h>

using namespace fakebsd;

namespace {

// libkvm's file statics. Atomic only so that the stand-in itself stays
// defined behaviour; the sharing between callers is libkvm's.
std::atomic<int> unswdev{0};
std::atomic<int> dmmax{0};

std::string syserr_text(const char *what) {
    char text[256] = "";
    fbsd_strerror_r(errno, text, sizeof text);
    return std::string(what) + text;
}

// libkvm's getsysctl: a fixed-size read by name that must answer exactly.
bool get_sysctl(kvm_t *kd, const char *name, void *ptr, size_t len) {
    size_t n = len;
    if (fbsd_sysctlbyname(name, ptr, &n, nullptr, 0) == -1) {
        kvm_report(kd, syserr_text((std::string("cannot read sysctl ") + name + ":").c_str()));
        return false;
    }
    if (n != len) {
        kvm_report(kd, std::string("sysctl ") + name + " has unexpected size");
        return false;
    }
    return true;
}

// devname(3) of a swap device: its name in the machine's device list.
std::string device_name(const Machine &m, dev_t dev) {
    for (const SwapDevice &d : m.cpumem.swap)
        if (d.dev == dev)
            return d.name;
    return "#C:" + std::to_string(dev);
}

int getswapinfo_sysctl(kvm_t *kd, struct kvm_swap *swap_ary, int swap_max, int flags) {
    int pages_reserved = 0;
    if (!get_sysctl(kd, "vm.dmmax", &pages_reserved, sizeof pages_reserved))
        return -1;
    dmmax = pages_reserved;
    int soid[CTL_MAXNAME];
    size_t mibi = CTL_MAXNAME - 1;
    if (fbsd_sysctlnametomib("vm.swap_info", soid, &mibi) == -1) {
        kvm_report(kd, syserr_text("sysctlnametomib failed: "));
        return -1;
    }

    struct kvm_swap tot;
    std::memset(&tot, 0, sizeof tot);
    for (unswdev = 0;; unswdev++) {
        int i = unswdev;
        soid[mibi] = i;
        struct xswdev xsd;
        size_t len = sizeof xsd;
        if (fbsd_sysctl(soid, static_cast<unsigned>(mibi + 1), &xsd, &len, nullptr, 0) == -1) {
            if (errno == ENOENT)
                break;
            kvm_report(kd, syserr_text("cannot read sysctl: ") + ".");
            return -1;
        }
        if (len != sizeof xsd) {
            kvm_report(kd, "struct xswdev has unexpected size;  kernel and libkvm out of sync?");
            return -1;
        }
        if (xsd.xsw_version != XSWDEV_VERSION) {
            kvm_report(kd, "struct xswdev version mismatch; kernel and libkvm out of sync?");
            return -1;
        }
        u_int ttl = static_cast<u_int>(xsd.xsw_nblks - dmmax);
        if (i < swap_max - 1) {
            struct kvm_swap &e = swap_ary[i];
            std::memset(&e, 0, sizeof e);
            e.ksw_total = ttl;
            e.ksw_used = static_cast<u_int>(xsd.xsw_used);
            e.ksw_flags = xsd.xsw_flags;
            std::string name = xsd.xsw_dev == NODEV ? "[NFS swap]"
                               : ((flags & SWIF_DEV_PREFIX) ? "/dev/" : "") +
                                     device_name(*kd->machine, xsd.xsw_dev);
            std::snprintf(e.ksw_devname, sizeof e.ksw_devname, "%s", name.c_str());
        }
        tot.ksw_total += ttl;
        tot.ksw_used += static_cast<u_int>(xsd.xsw_used);
    }
    int ti = unswdev;
    if (ti >= swap_max)
        ti = swap_max - 1;
    if (ti >= 0)
        swap_ary[ti] = tot;
    return ti;
}

}  // namespace

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
        kvm_report(kd, a.raw ? *a.raw : std::string("cannot read sysctl: failed."));
        return -1;
    }
    if (a.raw) {
        size_t room = static_cast<size_t>(swap_max) * sizeof(struct kvm_swap);
        std::memcpy(swap_ary, a.raw->data(), std::min(room, a.raw->size()));
        return static_cast<int>(a.raw->size() / sizeof(struct kvm_swap));
    }
    return getswapinfo_sysctl(kd, swap_ary, swap_max, flags);
}
