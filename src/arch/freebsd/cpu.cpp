// CPU statistics: the logical CPU count, time spent per CPU state (for the
// whole machine and per CPU), the kernel's event counters, one CPU's frequency,
// the scheduler's topology, and the boot time.
#include "../../module/functions.h"
#include "counter.h"

static_assert(CPUSTATES == 5, "CPU states in a kern.cp_time record");
static_assert(sizeof(long) * CPUSTATES == 40, "kern.cp_time record size");
static_assert(sizeof(struct timeval) == 16, "struct timeval size");

namespace {

// The CPU state counters count ticks of the statistics clock, whose rate the
// kernel chooses at boot near 128 a second (127 on the usual event timers)
// and tells in kern.clockrate. Without that answer the rate is taken as 128.
constexpr int kDefaultStathz = 128;
constexpr size_t kCpTimeSize = sizeof(long) * CPUSTATES;

// A CPU count to size a buffer by is at least 1 and at most this, far above
// what any kernel supports (FreeBSD's MAXCPU is 1024 on amd64); anything else
// is a malformed answer, not a machine.
constexpr int kMaxCpus = 65536;

// A name buffer for dev.cpu.<n>.freq and dev.cpu.<n>.freq_levels that holds
// every int index, "-2147483648" included.
constexpr size_t kFreqNameSize = 32;
// Room the kernel may fill with the levels text; the buffer has one byte more,
// which stays NUL, so even an unterminated answer reads as a bounded string.
constexpr size_t kLevelsSize = 1000;

// Seconds per statistics-clock tick, from kern.clockrate's stathz. A missing
// node, a short answer or a rate that is no rate gives the default; none of
// them is an error of the caller's call.
double seconds_per_tick() {
    int mib[2] = {CTL_KERN, KERN_CLOCKRATE};
    struct clockinfo clocks = {};
    size_t len = sizeof clocks;
    int stathz = kDefaultStathz;
    if (sysctl(mib, 2, &clocks, &len, nullptr, 0) == 0 && len >= sizeof clocks && clocks.stathz > 0)
        stathz = clocks.stathz;
    else
        morvex_debug("kern.clockrate unread, %d ticks a second assumed", kDefaultStathz);
    return 1.0 / stathz;
}

// One record of kern.cp_time or kern.cp_times as (user, nice, system, idle,
// interrupt) seconds: idle before interrupt, unlike the kernel's order.
PyObject *cpu_times_tuple(const long *cp, double tick) {
    return Py_BuildValue("(ddddd)",
                         static_cast<double>(cp[CP_USER]) * tick,
                         static_cast<double>(cp[CP_NICE]) * tick,
                         static_cast<double>(cp[CP_SYS]) * tick,
                         static_cast<double>(cp[CP_IDLE]) * tick,
                         static_cast<double>(cp[CP_INTR]) * tick);
}

// kern.cp_times into a buffer of `size` bytes, as morvex_sysctlbyname reads
// it (same errors, same texts), but handing back the length of the answer:
// the caller must not read records the kernel did not write.
int read_cp_times(long *buf, size_t size, size_t *answered) {
    static const char name[] = "kern.cp_times";
    size_t len = size;
    if (sysctlbyname(name, buf, &len, nullptr, 0) == -1) {
        morvex_oserror_wsyscall("sysctlbyname('kern.cp_times')");
        return -1;
    }
    if (len > size) {
        char msg[256];
        str_format(msg, sizeof msg, "sysctlbyname('%s') size mismatch: returned %zu, expected %zu",
                   name, len, size);
        PyErr_SetString(PyExc_RuntimeError, msg);
        return -1;
    }
    *answered = len;
    return 0;
}

}  // namespace

extern "C" {

PyObject *morvex_cpu_count_logical(PyObject *, PyObject *) {
    int mib[2] = {CTL_HW, HW_NCPU};
    int ncpu = 0;
    size_t len = sizeof ncpu;
    if (sysctl(mib, 2, &ncpu, &len, nullptr, 0) == -1)
        Py_RETURN_NONE;
    return Py_BuildValue("i", ncpu);
}

PyObject *morvex_cpu_times(PyObject *, PyObject *) {
    long cp_time[CPUSTATES] = {};
    if (morvex_sysctlbyname("kern.cp_time", cp_time, sizeof cp_time) != 0)
        return nullptr;
    return cpu_times_tuple(cp_time, seconds_per_tick());
}

PyObject *morvex_per_cpu_times(PyObject *, PyObject *) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    int mib[2] = {CTL_HW, HW_NCPU};
    int ncpu = 0;
    if (morvex_sysctl(mib, 2, &ncpu, sizeof ncpu) != 0)
        return nullptr;
    if (ncpu <= 0 || ncpu > kMaxCpus)
        return morvex_runtime_error("sysctl(HW_NCPU) returned an invalid CPU count: %d", ncpu);
    // The kernel answers a record for every CPU id up to the highest, a
    // record of zeros for an id no CPU has, while hw.ncpu counts the CPUs
    // present: with gaps in the ids the answer is larger than ncpu records.
    size_t size = static_cast<size_t>(ncpu) * kCpTimeSize;
    size_t answer_size = 0;
    if (sysctlbyname("kern.cp_times", nullptr, &answer_size, nullptr, 0) == -1)
        return morvex_oserror_wsyscall("sysctlbyname('kern.cp_times')");
    size_t largest = static_cast<size_t>(kMaxCpus) * kCpTimeSize;
    if (answer_size > size)
        size = std::min(answer_size, largest);
    KernelBuf<long> cp_times(static_cast<long *>(std::calloc(1, size)));
    if (!cp_times)
        return PyErr_NoMemory();
    size_t answered = 0;
    if (read_cp_times(cp_times.get(), size, &answered) != 0)
        return nullptr;
    // Whole records only, and only those the kernel wrote; in an answer with
    // more records than CPUs, a record of zeros is an absent CPU id.
    size_t records = answered / kCpTimeSize;
    const double tick = seconds_per_tick();
    bool skip_absent = records > static_cast<size_t>(ncpu);
    for (size_t i = 0; i < records; i++) {
        const long *cp = cp_times.get() + i * CPUSTATES;
        if (skip_absent && std::all_of(cp, cp + CPUSTATES, [](long t) { return t == 0; }))
            continue;
        PyRef cpu(cpu_times_tuple(cp, tick));
        if (!cpu || PyList_Append(list.get(), cpu.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *morvex_cpu_topology(PyObject *, PyObject *) {
    char *topology = nullptr;
    size_t len = 0;
    if (morvex_sysctlbyname_malloc("kern.sched.topology_spec", &topology, &len) != 0) {
        PyErr_Clear();
        morvex_debug("ignore sysctlbyname('kern.sched.topology_spec') error");
        Py_RETURN_NONE;
    }
    KernelBuf<char> owned(topology);
    // The kernel's text ends with its NUL; an answer without one (or an
    // empty one) is read up to its length and no further.
    return PyUnicode_DecodeFSDefaultAndSize(topology, static_cast<Py_ssize_t>(strnlen(topology, len)));
}

PyObject *morvex_cpu_stats(PyObject *, PyObject *) {
    uint64_t v_soft = 0, v_intr = 0, v_syscall = 0, v_trap = 0, v_swtch = 0;
    if (read_counter("vm.stats.sys.v_soft", &v_soft) != 0 ||
        read_counter("vm.stats.sys.v_intr", &v_intr) != 0 ||
        read_counter("vm.stats.sys.v_syscall", &v_syscall) != 0 ||
        read_counter("vm.stats.sys.v_trap", &v_trap) != 0 ||
        read_counter("vm.stats.sys.v_swtch", &v_swtch) != 0)
        return nullptr;
    return Py_BuildValue("KKKKK", static_cast<unsigned long long>(v_swtch),
                         static_cast<unsigned long long>(v_intr), static_cast<unsigned long long>(v_soft),
                         static_cast<unsigned long long>(v_syscall), static_cast<unsigned long long>(v_trap));
}

PyObject *morvex_cpu_freq(PyObject *, PyObject *args) {
    char levels[kLevelsSize + 1] = {};
    int cpu;
    if (!PyArg_ParseTuple(args, "i", &cpu))
        return nullptr;
    char name[kFreqNameSize];
    str_format(name, sizeof name, "dev.cpu.%d.freq", cpu);
    int freq = 0;
    if (morvex_sysctlbyname(name, &freq, sizeof freq) != 0) {
        int err = errno;  // the failed call's
        // An over-long answer is no failed call: its RuntimeError stands
        // rather than an exception chosen by whatever errno held before.
        if (PyErr_ExceptionMatches(PyExc_RuntimeError))
            return nullptr;
        PyErr_Clear();  // replaced by the exception errno chooses
        if (err == ENOENT) {
            PyErr_SetString(PyExc_NotImplementedError, "unable to read frequency");
            return nullptr;
        }
        errno = err;
        return morvex_oserror();
    }
    str_format(name, sizeof name, "dev.cpu.%d.freq_levels", cpu);
    if (morvex_sysctlbyname(name, levels, kLevelsSize) != 0) {
        PyErr_Clear();
        morvex_debug("cpu freq levels failed (ignored)");
        // A failed read may have left part of an answer behind.
        std::memset(levels, 0, sizeof levels);
    }
    PyRef text(PyUnicode_DecodeFSDefaultAndSize(levels, static_cast<Py_ssize_t>(strnlen(levels, sizeof levels))));
    if (!text)
        return nullptr;
    return Py_BuildValue("iO", freq, text.get());
}

PyObject *morvex_boot_time(PyObject *, PyObject *) {
    int mib[2] = {CTL_KERN, KERN_BOOTTIME};
    struct timeval boottime = {};
    if (morvex_sysctl(mib, 2, &boottime, sizeof boottime) != 0)
        return nullptr;
    return Py_BuildValue("d", static_cast<double>(boottime.tv_sec));
}

}  // extern "C"
