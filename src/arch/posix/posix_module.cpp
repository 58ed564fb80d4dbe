// POSIX-level part of start-up: the resource-limit constants, the second
// registration table and the ZombieProcessError class.
#include "../../module/functions.h"

extern "C" {

PyObject *ZombieProcessError = nullptr;

int morvex_posix_add_constants(PyObject *mod) {
    if (!mod)
        return -1;
    static const struct {
        const char *name;
        long value;
    } constants[] = {
        {"AF_LINK", AF_LINK},
        {"RLIMIT_AS", RLIMIT_AS},
        {"RLIMIT_CORE", RLIMIT_CORE},
        {"RLIMIT_CPU", RLIMIT_CPU},
        {"RLIMIT_DATA", RLIMIT_DATA},
        {"RLIMIT_FSIZE", RLIMIT_FSIZE},
        {"RLIMIT_MEMLOCK", RLIMIT_MEMLOCK},
        {"RLIMIT_NOFILE", RLIMIT_NOFILE},
        {"RLIMIT_NPROC", RLIMIT_NPROC},
        {"RLIMIT_RSS", RLIMIT_RSS},
        {"RLIMIT_STACK", RLIMIT_STACK},
        {"RLIMIT_SWAP", RLIMIT_SWAP},
        {"RLIMIT_SBSIZE", RLIMIT_SBSIZE},
        {"RLIMIT_NPTS", RLIMIT_NPTS},
    };
    for (const auto &c : constants)
        if (PyModule_AddIntConstant(mod, c.name, c.value) < 0)
            return -1;
    // PyModule_Add takes the reference, on failure too (and fails on null).
    return PyModule_Add(mod, "RLIM_INFINITY", PyLong_FromLong(RLIM_INFINITY));
}

}  // extern "C"

#define ENTRY(name) {#name, morvex_##name, METH_VARARGS, nullptr}

// Added one by one at start-up, unbound, in this order.
static PyMethodDef morvex_posix_methods[] = {
    {"getpagesize", morvex_getpagesize_pywrapper, METH_VARARGS, nullptr},
    ENTRY(net_if_addrs),
    ENTRY(net_if_flags),
    ENTRY(net_if_is_running),
    ENTRY(net_if_mtu),
    ENTRY(proc_priority_get),
    ENTRY(proc_priority_set),
    ENTRY(net_if_duplex_speed),
    ENTRY(users),
    ENTRY(proc_is_zombie),
    {nullptr, nullptr, 0, nullptr},
};

extern "C" int morvex_posix_add_methods(PyObject *mod) {
    for (PyMethodDef *def = morvex_posix_methods; def->ml_name != nullptr; def++) {
        PyRef func(PyCMethod_New(def, nullptr, mod, nullptr));
        if (!func)
            return -1;
        defer_refcount(func.get());
        if (PyModule_Add(mod, def->ml_name, func.release()) < 0)
            return -1;
    }
    // The module owns the class; the global borrows it.
    ZombieProcessError = PyErr_NewException("_morvex_bsd.ZombieProcessError", nullptr, nullptr);
    if (PyModule_Add(mod, "ZombieProcessError", ZombieProcessError) < 0) {
        ZombieProcessError = nullptr;
        return -1;
    }
    return 0;
}
