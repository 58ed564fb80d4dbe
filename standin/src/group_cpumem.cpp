// Stand-in platform: CPU and memory. Every counter is a plain sysctl value of
// the machine (tests replace them through the description's "sysctl" key);
// the 64-bit counters of vm_meter.c answer as its handler does, and the swap
// devices are exported one per vm.swap_info.<n> node as swap_pager.c does.
// The default machine is a 4-CPU server with 16 GiB of memory and one swap
// partition, booted at the time its process table says.
#include <cstring>
#include <string>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

constexpr int HW_PHYSMEM = 5;

// FreeBSD numbers these nodes at boot (OID_AUTO); here they get numbers from a
// range of their own under their top-level node.
constexpr int kAutoBase = 0x4300;
constexpr int kDevNode = 0x43f0;  // "dev", itself auto-numbered
constexpr int kDevCpu = 0x43f1;
constexpr int kDevFreq = 0x43f2;
constexpr int kDevFreqLevels = 0x43f3;

constexpr int kSwapInfo = 0x43e0;  // vm.swap_info

template <class T>
Bytes raw(const T &v) {
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

// vm.swap_info.<n>: one struct xswdev per swap device, ENOENT past the last;
// the node itself, or a longer name, is EINVAL (sysctl_vm_swap_info).
int answer_swap_info(const Machine &m, const int *mib, unsigned len, Bytes &out) {
    if (len != 3)
        return EINVAL;
    if (mib[2] < 0 || static_cast<size_t>(mib[2]) >= m.cpumem.swap.size())
        return ENOENT;
    const SwapDevice &d = m.cpumem.swap[static_cast<size_t>(mib[2])];
    struct xswdev xs;
    std::memset(&xs, 0, sizeof xs);
    xs.xsw_version = XSWDEV_VERSION;
    xs.xsw_dev = d.dev;
    xs.xsw_flags = d.flags;
    xs.xsw_nblks = static_cast<int>(d.nblks);
    xs.xsw_used = static_cast<int>(d.used);
    out = raw(xs);
    return 0;
}

}  // namespace

const std::vector<Provider> &providers_cpumem() {
    static const std::vector<Provider> list = {
        {"vm.swap_info", {CTL_VM, kSwapInfo}, true, answer_swap_info},
    };
    return list;
}

Bytes counter64_answer(const Machine &m, const Bytes &stored, const size_t *oldlen) {
    if (stored.size() > sizeof(uint64_t))
        return stored;  // no counter value: served as it stands
    uint64_t value = 0;  // a shorter value given by a test is widened
    std::memcpy(&value, stored.data(), stored.size());
    if (oldlen && *oldlen == sizeof(uint32_t) && m.cpumem.compat_freebsd11)
        return raw(static_cast<uint32_t>(value));  // cut to 32 bits for old binaries
    return raw(value);
}

std::vector<int> present_cpus(const Machine &m) {
    int ncpu = 0;
    if (const Bytes *v = m.value({CTL_HW, HW_NCPU}); v && v->size() == sizeof ncpu)
        std::memcpy(&ncpu, v->data(), sizeof ncpu);
    std::vector<int> ids;
    const Mib *mib = m.mib_of("kern.cp_times");
    const Bytes *times = mib ? m.value(*mib) : nullptr;
    constexpr size_t record = sizeof(long) * CPUSTATES;
    if (times && ncpu > 0 && times->size() / record > static_cast<size_t>(ncpu)) {
        for (size_t i = 0; i < times->size() / record; i++)
            if (times->find_first_not_of('\0', i * record) < (i + 1) * record)
                ids.push_back(static_cast<int>(i));
        return ids;
    }
    for (int i = 0; i < ncpu; i++)
        ids.push_back(i);
    return ids;
}

void mark_counters64(Machine &m) {
    for (const char *name : kCounters64)
        if (const Mib *mib = m.mib_of(name))
            m.cpumem.counters64.insert(*mib);
}

void default_cpumem(Machine &m) {
    int next = kAutoBase;
    auto put_auto = [&m, &next](const char *name, int top, Bytes v) { m.set(name, {top, next++}, std::move(v)); };

    // The clocks of a physical machine: hz 1000, and the statistics clock,
    // which the CPU state counters tick with, at 127 a second (the event
    // timer's rate rounded near 128; profhz is 64 times it).
    const struct clockinfo clocks = {1000, 1000, 0, 127, 8128};
    m.set("kern.clockrate", {CTL_KERN, KERN_CLOCKRATE}, raw(clocks));

    // CPUs: four, each up for 2 days 6 hours at 127 ticks a second.
    const int ncpu = 4;
    m.set("hw.ncpu", {CTL_HW, HW_NCPU}, raw(ncpu));
    const long ticks = 194400L * 127;
    long total[CPUSTATES] = {};
    Bytes per_cpu;
    for (int i = 0; i < ncpu; i++) {
        long cp[CPUSTATES] = {};
        cp[CP_USER] = 1493000 + 37000L * i;
        cp[CP_NICE] = 5100 + 700L * i;
        cp[CP_SYS] = 746500 + 21000L * i;
        cp[CP_INTR] = i == 0 ? 222400 : 124400 + 3000L * i;
        cp[CP_IDLE] = ticks - cp[CP_USER] - cp[CP_NICE] - cp[CP_SYS] - cp[CP_INTR];
        for (int s = 0; s < CPUSTATES; s++)
            total[s] += cp[s];
        per_cpu += raw(cp);
    }
    put_auto("kern.cp_time", CTL_KERN, raw(total));
    put_auto("kern.cp_times", CTL_KERN, per_cpu);

    const struct timeval boot = {1765180800, 412345};  // 2025-12-08 08:00:00.412345 UTC
    m.set("kern.boottime", {CTL_KERN, KERN_BOOTTIME}, raw(boot));

    const struct {
        const char *name;
        uint64_t value;
    } sys_counters[] = {
        {"vm.stats.sys.v_swtch", 972418305u},  {"vm.stats.sys.v_trap", 310772841u},
        {"vm.stats.sys.v_syscall", 6698084068u}, {"vm.stats.sys.v_intr", 194551230u},
        {"vm.stats.sys.v_soft", 87120934u},
    };
    for (const auto &c : sys_counters)
        put_auto(c.name, CTL_VM, raw(c.value));

    static const char topology[] =
        "<groups>\n"
        " <group level=\"1\" cache-level=\"3\">\n"
        "  <cpu count=\"4\" mask=\"f,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\">0, 1, 2, 3</cpu>\n"
        "  <children>\n"
        "   <group level=\"2\" cache-level=\"2\">\n"
        "    <cpu count=\"2\" mask=\"3,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\">0, 1</cpu>\n"
        "   </group>\n"
        "   <group level=\"2\" cache-level=\"2\">\n"
        "    <cpu count=\"2\" mask=\"c,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\">2, 3</cpu>\n"
        "   </group>\n"
        "  </children>\n"
        " </group>\n"
        "</groups>\n";
    put_auto("kern.sched.topology_spec", CTL_KERN, Bytes(topology, sizeof topology));  // with its NUL

    // The cpufreq driver: every CPU runs at 2400 MHz and offers nine levels.
    static const char levels[] =
        "2400/35000 2200/31500 2000/28000 1800/24500 1600/21000 1400/17500 1200/14000 1000/11000 800/8800";
    for (int i = 0; i < ncpu; i++) {
        std::string base = "dev.cpu." + std::to_string(i);
        m.set(base + ".freq", {kDevNode, kDevCpu, i, kDevFreq}, raw(2400));
        m.set(base + ".freq_levels", {kDevNode, kDevCpu, i, kDevFreqLevels}, Bytes(levels, sizeof levels));
    }

    // Memory: 16 GiB, of which the kernel keeps some; page counts in 4 KiB pages.
    const unsigned long physmem = 17120591872ul;
    m.set("hw.physmem", {CTL_HW, HW_PHYSMEM}, raw(physmem));
    const u_int page_count = 4063500, active = 612345, inactive = 1203456, wired = 987654,
                laundry = 12345;
    const u_int free_count = page_count - active - inactive - wired - laundry;
    const struct {
        const char *name;
        u_int value;
    } vm_counters[] = {
        {"vm.stats.vm.v_page_count", page_count},
        {"vm.stats.vm.v_active_count", active},
        {"vm.stats.vm.v_inactive_count", inactive},
        {"vm.stats.vm.v_wire_count", wired},
        {"vm.stats.vm.v_laundry_count", laundry},
        {"vm.stats.vm.v_cache_count", 0},  // a compatibility dummy since FreeBSD 12
        {"vm.stats.vm.v_free_count", free_count},
    };
    for (const auto &c : vm_counters)
        put_auto(c.name, CTL_VM, raw(c.value));
    const struct {
        const char *name;
        uint64_t value;
    } paging_counters[] = {
        {"vm.stats.vm.v_swapin", 120},
        {"vm.stats.vm.v_swapout", 345},
        {"vm.stats.vm.v_vnodein", 56789},
        {"vm.stats.vm.v_vnodeout", 23456},
    };
    for (const auto &c : paging_counters)
        put_auto(c.name, CTL_VM, raw(c.value));
    mark_counters64(m);
    put_auto("vfs.bufspace", CTL_VFS, raw(212336640L));

    struct vmtotal total_vm;
    std::memset(&total_vm, 0, sizeof total_vm);
    total_vm.t_vm = 9876543;
    total_vm.t_avm = 1234567;
    total_vm.t_rm = 1600000;
    total_vm.t_arm = 850000;
    total_vm.t_vmshr = 45678;
    total_vm.t_avmshr = 12345;
    total_vm.t_rmshr = 23456;
    total_vm.t_armshr = 8765;
    total_vm.t_free = free_count;
    total_vm.t_rq = 1;
    total_vm.t_sl = 62;
    m.set("vm.vmtotal", {CTL_VM, VM_METER}, raw(total_vm));

    // One 4 GiB swap partition, lightly used. libkvm reports each device
    // dmmax pages smaller than the kernel's block count.
    put_auto("vm.dmmax", CTL_VM, raw(32));
    m.cpumem.swap = {{"ada0p3", 1048576, 3412, 0, 0x7f}};
    m.cpumem.heap.reset();
}

}  // namespace fakebsd
