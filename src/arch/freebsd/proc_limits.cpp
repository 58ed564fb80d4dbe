// CPU affinity and resource limits of any process.
#include "../../module/functions.h"

static_assert(sizeof(cpuset_t) == 128, "cpuset_t size");
static_assert(CPU_SETSIZE == 1024, "CPU_SETSIZE");
static_assert(sizeof(struct rlimit) == 16, "struct rlimit size");

extern "C" {

PyObject *morvex_proc_cpu_affinity_get(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    cpuset_t mask;
    CPU_ZERO(&mask);
    if (cpuset_getaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, static_cast<id_t>(pid), sizeof mask, &mask) != 0)
        return morvex_oserror();
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    for (int cpu = 0; cpu < CPU_SETSIZE; cpu++) {
        if (!CPU_ISSET(cpu, &mask))
            continue;
        PyRef number(Py_BuildValue("i", cpu));
        if (!number || PyList_Append(list.get(), number.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *morvex_proc_cpu_affinity_set(PyObject *, PyObject *args) {
    pid_t pid;
    PyObject *cpus;
    if (!PyArg_ParseTuple(args, "iO", &pid, &cpus))
        return nullptr;
    PyRef seq(PySequence_Fast(cpus, "expected a sequence or integer"));
    if (!seq)
        return nullptr;
    // A tuple of the items as they are now: other threads may change a list
    // while it is read, and so may the items' own __index__.
    PyRef items(PySequence_Tuple(seq.get()));
    if (!items)
        return nullptr;
    cpuset_t mask;
    CPU_ZERO(&mask);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); i++) {
        long cpu = PyLong_AsLong(PyTuple_GET_ITEM(items.get(), i));
        if (cpu == -1 && PyErr_Occurred())
            return nullptr;
        if (cpu < 0 || cpu >= CPU_SETSIZE) {
            PyErr_Format(PyExc_ValueError, "invalid CPU number %ld (must be 0 to %d)", cpu, CPU_SETSIZE - 1);
            return nullptr;
        }
        CPU_SET(cpu, &mask);
    }
    if (cpuset_setaffinity(CPU_LEVEL_WHICH, CPU_WHICH_PID, static_cast<id_t>(pid), sizeof mask, &mask) != 0)
        return morvex_oserror();
    Py_RETURN_NONE;
}

PyObject *morvex_proc_getrlimit(PyObject *, PyObject *args) {
    pid_t pid;
    int resource;
    if (!PyArg_ParseTuple(args, "ii", &pid, &resource))
        return nullptr;
    int mib[5] = {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT, pid, resource};
    struct rlimit rl = {};
    if (morvex_sysctl(mib, 5, &rl, sizeof rl) != 0)
        return nullptr;
    return Py_BuildValue("LL", static_cast<long long>(rl.rlim_cur), static_cast<long long>(rl.rlim_max));
}

PyObject *morvex_proc_setrlimit(PyObject *, PyObject *args) {
    pid_t pid;
    int resource;
    PyObject *soft, *hard;
    if (!PyArg_ParseTuple(args, "iiOO", &pid, &resource, &soft, &hard))
        return nullptr;
    int mib[5] = {CTL_KERN, KERN_PROC, KERN_PROC_RLIMIT, pid, resource};
    struct rlimit rl = {};
    rl.rlim_cur = PyLong_AsLongLong(soft);
    if (rl.rlim_cur == -1 && PyErr_Occurred())
        return nullptr;
    rl.rlim_max = PyLong_AsLongLong(hard);
    if (rl.rlim_max == -1 && PyErr_Occurred())
        return nullptr;
    int attempt = 0;
    int rc;
    while ((rc = sysctl(mib, 5, nullptr, nullptr, &rl, sizeof rl)) == -1 &&
           morvex_exec_retry(errno, &attempt))
        ;
    if (rc == -1)
        return errno == EBUSY ? morvex_exec_busy("sysctl(KERN_PROC_RLIMIT)") : morvex_oserror();
    Py_RETURN_NONE;
}

}  // extern "C"
