// Memory statistics: physical and virtual memory, swap and paging, and the
// process's own allocator (its figures, and handing unused pages back).
#include "../../module/functions.h"
#include "counter.h"
#include "kvm.h"

static_assert(sizeof(struct vmtotal) == 88, "struct vmtotal size");
static_assert(sizeof(struct kvm_swap) == 52, "struct kvm_swap size");

namespace {

// The allocator reports failures as its return value and leaves errno alone;
// the OSError carries that number.
PyObject *mallctl_error(int err, const char *what) {
    errno = err;
    return morvex_oserror_wsyscall(what);
}

// libkvm prints why the open failed to standard error; the exception names
// the cause too, from the errno the failed open left (EMFILE when the
// descriptors are used up), so a caller can tell it from a broken kernel.
PyObject *kvm_open_failed() {
    int err = errno;
    if (err == 0)
        return morvex_runtime_error("kvm_open() syscall failed");
    char text[256];
    morvex_errtext(err, text, sizeof text);
    errno = err;
    return morvex_runtime_error("kvm_open() syscall failed (%s)", text);
}

}  // namespace

extern "C" {

PyObject *morvex_virtual_mem(PyObject *, PyObject *) {
    const unsigned long long pagesize = static_cast<unsigned long long>(morvex_getpagesize());
    unsigned long long total = 0, buffers = 0;
    u_int active = 0, inactive = 0, wired = 0, cached = 0, free_pages = 0;
    if (morvex_sysctlbyname("hw.physmem", &total, sizeof total) != 0 ||
        morvex_sysctlbyname("vm.stats.vm.v_active_count", &active, sizeof active) != 0 ||
        morvex_sysctlbyname("vm.stats.vm.v_inactive_count", &inactive, sizeof inactive) != 0 ||
        morvex_sysctlbyname("vm.stats.vm.v_wire_count", &wired, sizeof wired) != 0)
        return nullptr;
    // Kernels without a page cache may lack the counter: count it as 0.
    if (morvex_sysctlbyname("vm.stats.vm.v_cache_count", &cached, sizeof cached) != 0) {
        PyErr_Clear();
        cached = 0;
    }
    if (morvex_sysctlbyname("vm.stats.vm.v_free_count", &free_pages, sizeof free_pages) != 0 ||
        morvex_sysctlbyname("vfs.bufspace", &buffers, sizeof buffers) != 0)
        return nullptr;

    int mib[2] = {CTL_VM, VM_METER};
    struct vmtotal vm = {};
    if (morvex_sysctl(mib, 2, &vm, sizeof vm) != 0) {
        // An over-long answer is no failed call: its RuntimeError stands
        // rather than an OSError from whatever errno held before.
        if (PyErr_ExceptionMatches(PyExc_RuntimeError))
            return nullptr;
        int err = errno;  // the failed call's
        PyErr_Clear();    // replaced by one that names the query
        errno = err;
        return morvex_oserror_wsyscall("sysctl(CTL_VM | VM_METER)");
    }
    unsigned long long shared = (static_cast<unsigned long long>(vm.t_vmshr) + vm.t_rmshr) * pagesize;

    return Py_BuildValue("KKKKKKKK", total,
                         free_pages * pagesize,
                         active * pagesize,
                         inactive * pagesize,
                         wired * pagesize,
                         cached * pagesize,
                         buffers,
                         shared);
}

PyObject *morvex_swap_mem(PyObject *, PyObject *) {
    const unsigned long long pagesize = static_cast<unsigned long long>(morvex_getpagesize());
    // With room for one entry, libkvm puts the totals over all devices there.
    struct kvm_swap swap = {};
    int found;
    {
        errno = 0;
        KvmHandle kd(kvm_open(nullptr, "/dev/null", nullptr, O_RDONLY, "kvm_open failed"));
        if (!kd)
            return kvm_open_failed();
        // libkvm counts the devices in a variable of its own, shared by
        // every caller in the process.
        MutexGuard lock(kvm_lock);
        found = kvm_getswapinfo(kd.get(), &swap, 1, 0);
    }  // the lock is given back and the handle closed here, whatever the answer
    if (found < 0)
        return morvex_runtime_error("kvm_getswapinfo() syscall failed");

    uint64_t swapin = 0, swapout = 0, vnodein = 0, vnodeout = 0;
    if (read_counter("vm.stats.vm.v_swapin", &swapin) != 0 ||
        read_counter("vm.stats.vm.v_swapout", &swapout) != 0 ||
        read_counter("vm.stats.vm.v_vnodein", &vnodein) != 0 ||
        read_counter("vm.stats.vm.v_vnodeout", &vnodeout) != 0)
        return nullptr;

    unsigned long long total = swap.ksw_total * pagesize;
    unsigned long long used = swap.ksw_used * pagesize;
    // libkvm gives a device's total as its blocks less vm.dmmax, while the
    // pager may fill all but its first two blocks: on a nearly full device
    // used passes total, and nothing is free.
    unsigned long long free_bytes = used < total ? total - used : 0;
    // The paging counters are 64-bit, and so are their sums.
    unsigned long long swapped = swapin + swapout;
    unsigned long long paged = vnodein + vnodeout;
    return Py_BuildValue("(KKKKK)", total, used, free_bytes, swapped, paged);
}

PyObject *morvex_heap_info(PyObject *, PyObject *) {
    int err = mallctl("thread.tcache.flush", nullptr, nullptr, nullptr, 0);
    if (err != 0)
        return mallctl_error(err, "mallctl('thread.tcache.flush')");

    // Writing the epoch back makes the allocator refresh its statistics.
    uint64_t epoch = 0;
    size_t epoch_len = sizeof epoch;
    if ((err = mallctl("epoch", &epoch, &epoch_len, nullptr, 0)) != 0)
        return mallctl_error(err, "mallctl('epoch')");
    // The allocator never reports more than it was given room for; should
    // it, the write still must not read beyond the value.
    epoch_len = std::min(epoch_len, sizeof epoch);
    if ((err = mallctl("epoch", nullptr, nullptr, &epoch, epoch_len)) != 0)
        return mallctl_error(err, "mallctl('epoch') update");

    size_t allocated = 0, mapped = 0;
    size_t len = sizeof allocated;
    if ((err = mallctl("stats.allocated", &allocated, &len, nullptr, 0)) != 0)
        return mallctl_error(err, "mallctl('stats.allocated')");
    len = sizeof mapped;
    if ((err = mallctl("stats.mapped", &mapped, &len, nullptr, 0)) != 0)
        return mallctl_error(err, "mallctl('stats.mapped')");

    return Py_BuildValue("KK", static_cast<unsigned long long>(allocated),
                         static_cast<unsigned long long>(mapped));
}

PyObject *morvex_heap_trim(PyObject *, PyObject *) {
    // Every arena at once: MALLCTL_ARENAS_ALL.
    char name[32];
    str_format(name, sizeof name, "arena.%u.purge", static_cast<unsigned>(MALLCTL_ARENAS_ALL));
    int err = mallctl(name, nullptr, nullptr, nullptr, 0);
    if (err != 0) {
        errno = err;
        return morvex_oserror();
    }
    Py_RETURN_NONE;
}

}  // extern "C"
