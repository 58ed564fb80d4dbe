// The kernel's record of one process, and the zombie test built on it.
#include "../../module/functions.h"

#include <chrono>
#include <thread>

static_assert(sizeof(struct kinfo_proc) == 1088, "struct kinfo_proc size");

extern "C" {

int morvex_kinfo_proc(pid_t pid, struct kinfo_proc *proc) {
    if (pid < 0 || proc == nullptr)
        return morvex_badargs("morvex_kinfo_proc");
    // Zero-filled first: an answer shorter than a record leaves the fields
    // it does not reach at 0 rather than at whatever the caller's stack held.
    std::memset(proc, 0, sizeof *proc);
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID, pid};
    size_t size = sizeof(struct kinfo_proc);
    if (sysctl(mib, 4, proc, &size, nullptr, 0) == -1) {
        morvex_oserror_wsyscall("sysctl(kinfo_proc)");
        return -1;
    }
    if (size == 0) {
        morvex_oserror_nsp("sysctl(kinfo_proc), size = 0");
        return -1;
    }
    return 0;
}

int is_zombie(pid_t pid) {
    struct kinfo_proc kp;
    if (morvex_kinfo_proc(pid, &kp) == -1) {
        errno = 0;
        PyErr_Clear();
        return 0;
    }
    return kp.ki_stat == SZOMB;
}

PyObject *morvex_proc_is_zombie(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    return PyBool_FromLong(is_zombie(pid));
}

// A process in execve() (P_INEXEC) cannot be debugged until its new image
// is in place: the kernel refuses every read it guards with p_candebug
// (descriptor table, memory map, environment, limit writes) with EBUSY for
// that while, from a few microseconds to some milliseconds when the
// executable has to be read in. Such a read is made again after a pause of
// 1, 2, 4 and 8 ms (15 ms in all), the thread detached from the interpreter
// meanwhile; yielding the processor instead would not wait for an exec
// running on another CPU or waiting for the disk.
int morvex_exec_retry(int err, int *attempt) {
    if (err != EBUSY || *attempt >= MORVEX_EXEC_RETRIES)
        return 0;
    auto pause = std::chrono::milliseconds(1 << *attempt);
    (*attempt)++;
    Py_BEGIN_ALLOW_THREADS
    std::this_thread::sleep_for(pause);
    Py_END_ALLOW_THREADS
    return 1;
}

// A process still in exec after the retries: refused as a read the caller
// may not make now, the forced permission-denied OSError, which a caller
// walking every process already expects of a process it may not read.
PyObject *morvex_exec_busy(const char *syscall) {
    char msg[512];
    str_format(msg, sizeof msg, "%s -> EBUSY (process in exec)", syscall);
    return morvex_oserror_ad(msg);
}

}  // extern "C"
