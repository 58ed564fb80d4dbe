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
    return 0;
}

}  // extern "C"

#define ENTRY(name) {#name, morvex_##name, METH_VARARGS, nullptr}

// Registered by the interpreter when it creates the module, in this order.
static PyMethodDef morvex_methods[] = {
    // 1 proc_cmdline
    // 2 proc_cwd
    // 3 proc_environ
    // 4 proc_name
    // 5 proc_num_fds
    // 6 proc_oneshot_info
    // 7 proc_open_files
    // 8 proc_threads
    // 9 proc_num_threads
    // 10 proc_cpu_affinity_get
    // 11 proc_cpu_affinity_set
    // 12 proc_exe
    // 13 proc_getrlimit
    // 14 proc_memory_maps
    ENTRY(proc_net_connections),
    // 16 proc_setrlimit
    // 17 boot_time
    // 18 cpu_count_logical
    // 19 cpu_stats
    // 20 cpu_times
    // 21 disk_io_counters
    // 22 disk_partitions
    ENTRY(net_connections),
    // 24 net_io_counters
    // 25 per_cpu_times
    // 26 pids
    // 27 swap_mem
    // 28 heap_info
    // 29 heap_trim
    // 30 virtual_mem
    // 31 cpu_freq
    // 32 cpu_topology
    // 33 sensors_battery
    // 34 sensors_cpu_temperature
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
    if (PyUnstable_Module_SetGIL(mod.get(), Py_MOD_GIL_NOT_USED) != 0)
        return nullptr;
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
