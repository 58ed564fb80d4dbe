// The kernel's record of one process, and the zombie test built on it.
#include "../../module/functions.h"

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

}  // extern "C"
