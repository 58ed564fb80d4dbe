// Whether a process exists, and which exception explains a failed call about it.
#include "../../morvex.h"

extern "C" {

int morvex_pid_exists(pid_t pid) {
    if (pid <= 0)
        return 0;
    if (kill(pid, 0) == 0)
        return 1;
    if (errno == ESRCH)
        return 0;
    if (errno == EPERM)
        return 1;  // it exists, but belongs to someone else
    return -1;
}

PyObject *morvex_raise_for_pid(pid_t pid, const char *syscall) {
    if (errno != 0)
        return morvex_oserror_wsyscall(syscall);
    if (morvex_pid_exists(pid) == 0)
        return morvex_oserror_nsp(syscall);
    if (is_zombie(pid)) {
        PyErr_SetString(ZombieProcessError, "");
        return nullptr;
    }
    return morvex_runtime_error("%s syscall failed", syscall);
}

}  // extern "C"
