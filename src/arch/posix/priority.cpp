// Scheduling priority (the nice value) of any process.
#include "../../module/functions.h"

extern "C" {

PyObject *morvex_proc_priority_get(PyObject *, PyObject *args) {
    errno = 0;
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    // -1 is a nice value as well as the failure value: only errno tells
    // them apart, so it is cleared right before the call.
    errno = 0;
    int priority = getpriority(PRIO_PROCESS, pid);
    if (errno != 0)
        return morvex_oserror();
    return Py_BuildValue("i", priority);
}

PyObject *morvex_proc_priority_set(PyObject *, PyObject *args) {
    pid_t pid;
    int priority;
    if (!PyArg_ParseTuple(args, "ii", &pid, &priority))
        return nullptr;
    if (setpriority(PRIO_PROCESS, pid, priority) == -1)
        return morvex_oserror();
    Py_RETURN_NONE;
}

}  // extern "C"
