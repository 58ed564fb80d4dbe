// The process table: the PID of every process, in the order the kernel lists
// them, from one growing query of kern.proc.proc.
#include "../../module/functions.h"

#include <cstddef>

static_assert(sizeof(struct kinfo_proc) == 1088, "struct kinfo_proc size");

extern "C" {

// Fills *pids with a malloc'ed array of *count PIDs, one per whole record of
// the kernel's answer; the caller frees it. A trailing partial record is
// ignored, so an answer shorter than one record succeeds with a count of 0.
int _morvex_pids(pid_t **pids, int *count) {
    if (pids == nullptr || count == nullptr)
        return morvex_badargs("_morvex_pids");
    *pids = nullptr;
    *count = 0;

    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PROC, 0};
    char *raw = nullptr;
    size_t len = 0;
    if (morvex_sysctl_malloc(mib, 4, &raw, &len) == -1)
        return -1;
    KernelBuf<char> table(raw);
    if (len == 0) {
        morvex_runtime_error("no PIDs found");
        return -1;
    }

    const size_t n = len / sizeof(struct kinfo_proc);
    // At least one element, so that a null block always means no memory.
    KernelBuf<pid_t> out(static_cast<pid_t *>(std::malloc(std::max<size_t>(n, 1) * sizeof(pid_t))));
    if (!out) {
        PyErr_NoMemory();
        return -1;
    }
    // Records are copied field-wise: only ki_pid is read from each.
    for (size_t i = 0; i < n; i++)
        std::memcpy(&out.get()[i],
                    table.get() + i * sizeof(struct kinfo_proc) + offsetof(struct kinfo_proc, ki_pid),
                    sizeof(pid_t));
    *pids = out.release();
    *count = static_cast<int>(n);
    return 0;
}

PyObject *morvex_pids(PyObject *, PyObject *) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    pid_t *raw = nullptr;
    int count = 0;
    const int r = _morvex_pids(&raw, &count);
    KernelBuf<pid_t> pids(raw);
    if (r == -1)
        return nullptr;
    if (count == 0) {
        morvex_runtime_error("no PIDs found");
        return nullptr;
    }
    for (int i = 0; i < count; i++) {
        PyRef pid(PyLong_FromLong(pids.get()[i]));
        if (!pid || PyList_Append(list.get(), pid.get()) < 0)
            return nullptr;
    }
    return list.release();
}

}  // extern "C"
