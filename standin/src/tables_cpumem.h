// State of the simulated machine for one capability group (see tables.h).
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace fakebsd {

// One swap device as the kernel exports it in vm.swap_info.<n> (struct xswdev).
struct SwapDevice {
    std::string name;     // its name under /dev (devname(3) of `dev`); "" for swap over NFS
    uint32_t nblks = 0;   // pages the device holds
    uint32_t used = 0;    // pages in use
    int flags = 0;
    uint64_t dev = 0;     // device number; NODEV for swap over NFS
};

// The allocator's own statistics, when a test fixes them.
struct HeapFigures {
    uint64_t allocated = 0;
    uint64_t mapped = 0;
};

// CPU and memory. The counters themselves (kern.cp_times, vm.stats.*, ...)
// are plain sysctl values; this holds what is not a plain value.
struct CpuMemTable {
    std::vector<SwapDevice> swap;     // vm.swap_info.<n>, in device order
    std::optional<HeapFigures> heap;  // mallctl stats.*; nullopt: the host allocator's
    // Nodes served by vm_meter.c's 64-bit counter handler: their values are
    // 64-bit counters; a buffer of exactly 4 bytes gets the value cut to 32
    // bits when the kernel has COMPAT_FREEBSD11, and ENOMEM with a partial
    // copy when it has not.
    std::set<std::vector<int>> counters64;
    bool compat_freebsd11 = true;
};

// The nodes of vm_meter.c that are 64-bit counters and the module reads.
inline constexpr const char *kCounters64[] = {
    "vm.stats.sys.v_swtch",   "vm.stats.sys.v_trap",     "vm.stats.sys.v_syscall",
    "vm.stats.sys.v_intr",    "vm.stats.sys.v_soft",     "vm.stats.vm.v_swapin",
    "vm.stats.vm.v_swapout",  "vm.stats.vm.v_vnodein",   "vm.stats.vm.v_vnodeout",
};

}  // namespace fakebsd
