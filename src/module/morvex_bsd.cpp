// The module _morvex_bsd: its definition, first registration table, start-up,
// and the two functions of the frame itself.
#include "functions.h"

extern "C" {

int MORVEX_CONN_NONE = 128;

PyObject *morvex_set_debug(PyObject *, PyObject *args) {
    PyObject *value;
    if (!PyArg_ParseTuple(args, "O", &value))
        return nullptr;
    int truth = PyObject_IsTrue(value);
    if (truth < 0)
        return nullptr;
    __atomic_store_n(&MORVEX_DEBUG, truth ? 1 : 0, __ATOMIC_RELAXED);
    Py_RETURN_NONE;
}

PyObject *morvex_check_pid_range(PyObject *, PyObject *args) {
    int pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    if (pid < 0) {
        PyErr_SetString(PyExc_ValueError, "pid must be a positive integer");
        return nullptr;
    }
    Py_RETURN_NONE;
}

int morvex_setup(void) {
    if (std::getenv("MORVEX_DEBUG") != nullptr)
        __atomic_store_n(&MORVEX_DEBUG, 1, __ATOMIC_RELAXED);
    if (std::getenv("MORVEX_TESTING") != nullptr)
        __atomic_store_n(&MORVEX_TESTING, 1, __ATOMIC_RELAXED);
    return morvex_fork_setup();
}

}  // extern "C"

#define ENTRY(name) {#name, morvex_##name, METH_VARARGS, nullptr}

// Registered by the interpreter when it creates the module, in this order.
static PyMethodDef morvex_methods[] = {
    ENTRY(proc_cmdline),
    ENTRY(proc_cwd),
    ENTRY(proc_environ),
    ENTRY(proc_name),
    ENTRY(proc_num_fds),
    ENTRY(proc_oneshot_info),
    ENTRY(proc_open_files),
    ENTRY(proc_threads),
    ENTRY(proc_num_threads),
    ENTRY(proc_cpu_affinity_get),
    ENTRY(proc_cpu_affinity_set),
    ENTRY(proc_exe),
    ENTRY(proc_getrlimit),
    ENTRY(proc_memory_maps),
    ENTRY(proc_net_connections),
    ENTRY(proc_setrlimit),
    ENTRY(boot_time),
    ENTRY(cpu_count_logical),
    ENTRY(cpu_stats),
    ENTRY(cpu_times),
    ENTRY(disk_io_counters),
    ENTRY(disk_partitions),
    ENTRY(net_connections),
    ENTRY(net_io_counters),
    ENTRY(per_cpu_times),
    ENTRY(pids),
    ENTRY(swap_mem),
    ENTRY(heap_info),
    ENTRY(heap_trim),
    ENTRY(virtual_mem),
    ENTRY(cpu_freq),
    ENTRY(cpu_topology),
    ENTRY(sensors_battery),
    ENTRY(sensors_cpu_temperature),
    ENTRY(check_pid_range),
    ENTRY(set_debug),
    {nullptr, nullptr, 0, nullptr},
};

static struct PyModuleDef morvex_module = {
    PyModuleDef_HEAD_INIT, "_morvex_bsd", nullptr, -1, morvex_methods,
    nullptr, nullptr, nullptr, nullptr,
};

// Process states, TCP states and the module's own values, added last.
static int add_group_b(PyObject *mod) {
    static const struct {
        const char *name;
        long value;
    } constants[] = {
        {"version", 722},
        {"SIDL", SIDL},
        {"SRUN", SRUN},
        {"SSLEEP", SSLEEP},
        {"SSTOP", SSTOP},
        {"SZOMB", SZOMB},
        {"SWAIT", SWAIT},
        {"SLOCK", SLOCK},
        {"TCPS_CLOSED", TCPS_CLOSED},
        {"TCPS_CLOSING", TCPS_CLOSING},
        {"TCPS_CLOSE_WAIT", TCPS_CLOSE_WAIT},
        {"TCPS_LISTEN", TCPS_LISTEN},
        {"TCPS_ESTABLISHED", TCPS_ESTABLISHED},
        {"TCPS_SYN_SENT", TCPS_SYN_SENT},
        {"TCPS_SYN_RECEIVED", TCPS_SYN_RECEIVED},
        {"TCPS_FIN_WAIT_1", TCPS_FIN_WAIT_1},
        {"TCPS_FIN_WAIT_2", TCPS_FIN_WAIT_2},
        {"TCPS_LAST_ACK", TCPS_LAST_ACK},
        {"TCPS_TIME_WAIT", TCPS_TIME_WAIT},
        {"MORVEX_CONN_NONE", 128},
    };
    for (const auto &c : constants)
        if (PyModule_AddIntConstant(mod, c.name, c.value) < 0)
            return -1;
    return 0;
}

PyMODINIT_FUNC PyInit__morvex_bsd(void) {
    PyRef mod(PyModule_Create2(&morvex_module, 1013));
    if (!mod)
        return nullptr;
#ifdef Py_GIL_DISABLED
    // A free-threaded interpreter would otherwise turn the GIL back on when
    // the module is imported; an interpreter with a GIL has no such call.
    if (PyUnstable_Module_SetGIL(mod.get(), Py_MOD_GIL_NOT_USED) != 0)
        return nullptr;
#endif
    if (morvex_setup() != 0)
        return nullptr;
    if (morvex_posix_add_constants(mod.get()) < 0)
        return nullptr;
    if (morvex_posix_add_methods(mod.get()) < 0)
        return nullptr;
    if (add_group_b(mod.get()) < 0)
        return nullptr;
    return mod.release();
}
