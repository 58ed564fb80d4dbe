// State of the simulated machine for one capability group (see tables.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fakebsd {

// One swap device as libkvm reports it (sizes in pages).
struct SwapDevice {
    std::string name;  // without "/dev/"
    uint32_t total = 0;
    uint32_t used = 0;
    int flags = 0;
};

// The allocator's own statistics, when a test fixes them.
struct HeapFigures {
    uint64_t allocated = 0;
    uint64_t mapped = 0;
};

// CPU and memory. The counters themselves (kern.cp_times, vm.stats.*, ...)
// are plain sysctl values; this holds what libkvm and the allocator answer.
struct CpuMemTable {
    std::vector<SwapDevice> swap;     // kvm_getswapinfo, in device order
    std::optional<HeapFigures> heap;  // mallctl stats.*; nullopt: the host allocator's
};

}  // namespace fakebsd
