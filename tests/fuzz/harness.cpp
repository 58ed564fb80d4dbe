// A libFuzzer target: one parser of the module's kernel data, driven in an
// embedded free-threaded interpreter. Built once per target (see
// tools/fuzz/build.sh) with
//   MORVEX_FUZZ_TARGET  the target's name in tests/fuzz/targets.py
//   MORVEX_FUZZ_STRICT  1: file names decoded with strict errors
//   MORVEX_FUZZ_HOME    the interpreter's prefix
//   MORVEX_FUZZ_PATH    directories put in front of sys.path (the fuzz build
//                       of the module and the stand-in, and tests/fuzz)
//
// Half the mutations are libFuzzer's own, half the target's mutate(), which
// knows the records and their fields.
//
// The interpreter starts once. For each input the target's run(data)
// installs the input as the raw answer of the call it fuzzes, calls the
// module and checks the result; whatever it raises (a broken property, or
// the target itself failing) ends the process with the traceback, which
// libFuzzer records as a crash.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Without MORVEX_FUZZ_TARGET the executable serves every target, named at
// run time by the environment variables of the same names (the coverage
// measurement replays every corpus through one executable).
#ifndef MORVEX_FUZZ_TARGET
#define MORVEX_FUZZ_TARGET target_name()
#define MORVEX_FUZZ_STRICT (std::getenv("MORVEX_FUZZ_STRICT") && *std::getenv("MORVEX_FUZZ_STRICT") == '1')
static const char *target_name() {
    const char *name = std::getenv("MORVEX_FUZZ_TARGET");
    return name ? name : "";
}
#endif

namespace {

// targets.TARGETS[MORVEX_FUZZ_TARGET].run and .mutate; owned for the life of
// the process.
PyObject *run_one = nullptr;
PyObject *mutate_one = nullptr;

[[noreturn]] void die(const char *what) {
    if (PyErr_Occurred())
        PyErr_Print();
    std::fprintf(stderr, "fuzz target %s: %s\n", MORVEX_FUZZ_TARGET, what);
    std::fflush(stderr);
    std::abort();
}

void start_interpreter() {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    // libFuzzer owns the command line and the signals.
    config.parse_argv = 0;
    config.install_signal_handlers = 0;
    PyStatus st = PyConfig_SetBytesString(&config, &config.home, MORVEX_FUZZ_HOME);
    if (!PyStatus_Exception(st) && MORVEX_FUZZ_STRICT)
        st = PyConfig_SetString(&config, &config.filesystem_errors, L"strict");
    if (!PyStatus_Exception(st))
        st = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(st))
        Py_ExitStatusException(st);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    start_interpreter();
    PyObject *sys_path = PySys_GetObject("path");  // borrowed
    PyObject *path = PyUnicode_FromString(MORVEX_FUZZ_PATH);
    PyObject *colon = PyUnicode_FromString(":");
    PyObject *front = path && colon ? PyUnicode_Split(path, colon, -1) : nullptr;
    if (!sys_path || !front || PyList_SetSlice(sys_path, 0, 0, front) < 0)
        die("cannot set sys.path");
    Py_DECREF(front);
    Py_DECREF(colon);
    Py_DECREF(path);
    PyObject *targets = PyImport_ImportModule("targets");
    if (!targets)
        die("cannot import the targets");
    PyObject *table = PyObject_GetAttrString(targets, "TARGETS");
    PyObject *target = table ? PyMapping_GetItemString(table, MORVEX_FUZZ_TARGET) : nullptr;
    run_one = target ? PyObject_GetAttrString(target, "run") : nullptr;
    mutate_one = run_one ? PyObject_GetAttrString(target, "mutate") : nullptr;
    if (!mutate_one)
        die("no such target");
    Py_DECREF(target);
    Py_DECREF(table);
    Py_DECREF(targets);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    PyObject *input = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data),
                                                static_cast<Py_ssize_t>(size));
    if (!input)
        die("cannot make the input");
    PyObject *result = PyObject_CallOneArg(run_one, input);
    Py_DECREF(input);
    if (!result)
        die("the property does not hold for this input");
    Py_DECREF(result);
    return 0;
}

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t max_size);

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t max_size, unsigned int seed) {
    if (seed % 2 == 0)
        return LLVMFuzzerMutate(data, size, max_size);
    PyObject *result = PyObject_CallFunction(mutate_one, "y#nI", reinterpret_cast<const char *>(data),
                                             static_cast<Py_ssize_t>(size), static_cast<Py_ssize_t>(max_size),
                                             seed);
    if (!result)
        die("the target's mutation failed");
    if (result == Py_None) {
        Py_DECREF(result);
        return LLVMFuzzerMutate(data, size, max_size);
    }
    char *out;
    Py_ssize_t n;
    if (PyBytes_AsStringAndSize(result, &out, &n) < 0 || static_cast<size_t>(n) > max_size)
        die("the target's mutation is not an input");
    std::memcpy(data, out, static_cast<size_t>(n));
    Py_DECREF(result);
    return static_cast<size_t>(n);
}
