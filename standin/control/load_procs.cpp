// _fakebsd: the process table of a machine description.
//
//   "procs": [ {"pid": 1, "kinfo": bytes, "threads": [bytes], "args": bytes,
//               "path": bytes | None, "env": [bytes], "files": bytes | [bytes],
//               "vmmap": bytes | [bytes], "cpuset": bytes, "rlimits": {res: bytes},
//               "nice": int, "kill": "alive" | "eperm" | "gone", "listed": bool,
//               "exec_busy": int}, ...]
//
// "exec_busy": for a process in execve() (P_INEXEC in ki_flag), how many
// reads p_candebug guards answer EBUSY before the exec is over (-1, the
// default: for ever).
//
// A given "procs" list replaces the base machine's processes, in the order
// they were created. Two keys edit the table instead (applied after "procs"):
//
//   "procs_changed": [ {"pid": ..., <keys as above>}, ...]
//                    only the given keys of that process change; a pid the
//                    table does not have yet is added at the end
//   "procs_gone":    [pid, ...]   these processes leave the table
//
//   "maxproc": int   kern.maxproc, which sizes the kernel's PID hash (the
//                    order of kern.proc.proc)
#include <algorithm>
#include <climits>
#include <cstring>

#include "control.h"

namespace fakebsd {

namespace {

bool joined(PyObject *v, std::string &out) {
    if (PyBytes_Check(v) || PyByteArray_Check(v))
        return as_bytes(v, out);
    std::vector<std::string> parts;
    if (!as_bytes_list(v, parts))
        return false;
    out.clear();
    for (auto &p : parts)
        out += p;
    return true;
}

int load_proc(Proc &p, PyObject *d) {
    PyObject *v;
    long long n;
    if (!(v = item(d, "pid"))) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_KeyError, "a process needs 'pid'");
        return -1;
    }
    if (!as_long(v, n))
        return -1;
    p.pid = static_cast<int>(n);
    if ((v = item(d, "kinfo")) && !as_bytes(v, p.kinfo))
        return -1;
    if ((v = item(d, "threads")) && !as_bytes_list(v, p.threads))
        return -1;
    if ((v = item(d, "args")) && !as_bytes(v, p.args))
        return -1;
    if ((v = item(d, "path"))) {
        std::string s;
        if (v != Py_None) {
            if (!as_bytes(v, s))
                return -1;
            p.path = s;
        } else {
            p.path.reset();
        }
    }
    if ((v = item(d, "env")) && !as_bytes_list(v, p.env))
        return -1;
    if ((v = item(d, "files")) && !joined(v, p.files))
        return -1;
    if ((v = item(d, "vmmap")) && !joined(v, p.vmmap))
        return -1;
    if ((v = item(d, "cpuset")) && !as_bytes(v, p.cpuset))
        return -1;
    if ((v = item(d, "rlimits"))) {
        if (!PyDict_Check(v)) {
            PyErr_SetString(PyExc_TypeError, "'rlimits' must be a dict");
            return -1;
        }
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v, &pos, &key, &value)) {
            std::string b;
            if (!as_long(key, n) || !as_bytes(value, b))
                return -1;
            p.rlimits[static_cast<int>(n)] = b;
        }
    }
    if ((v = item(d, "nice"))) {
        if (!as_long(v, n))
            return -1;
        p.nice = static_cast<int>(n);
    }
    if ((v = item(d, "kill"))) {
        const char *s = PyUnicode_Check(v) ? PyUnicode_AsUTF8(v) : nullptr;
        if (s && std::strcmp(s, "alive") == 0)
            p.liveness = KillAnswer::Alive;
        else if (s && std::strcmp(s, "eperm") == 0)
            p.liveness = KillAnswer::NotPermitted;
        else if (s && std::strcmp(s, "gone") == 0)
            p.liveness = KillAnswer::Gone;
        else {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_ValueError, "'kill' is 'alive', 'eperm' or 'gone'");
            return -1;
        }
    }
    if ((v = item(d, "exec_busy"))) {
        if (!as_long(v, n))
            return -1;
        p.exec_busy = static_cast<long>(n);
        p.exec_reads = std::make_shared<std::atomic<long>>(0);  // counted afresh
    }
    if ((v = item(d, "listed"))) {
        int t = PyObject_IsTrue(v);
        if (t < 0)
            return -1;
        p.listed = t;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// The edits of "procs_changed" and "procs_gone" to the table.
int edit_procs(Machine &m, PyObject *desc) {
    if (PyObject *changed = item(desc, "procs_changed")) {
        PyRef seq(PySequence_Fast(changed, "'procs_changed' must be a sequence of dicts"));
        if (!seq)
            return -1;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
            PyObject *d = PySequence_Fast_GET_ITEM(seq.get(), i);
            if (!PyDict_Check(d)) {
                PyErr_SetString(PyExc_TypeError, "a process is a dict");
                return -1;
            }
            // The process as the table has it (or a new one), then the given keys.
            Proc p;
            if (load_proc(p, d) < 0)
                return -1;
            auto at = m.procs.index.find(p.pid);
            if (at == m.procs.index.end())
                m.procs.add(std::move(p));
            else if (load_proc(m.procs.list[at->second], d) < 0)
                return -1;
        }
    } else if (PyErr_Occurred()) {
        return -1;
    }
    if (PyObject *gone = item(desc, "procs_gone")) {
        PyRef seq(PySequence_Fast(gone, "'procs_gone' must be a sequence of pids"));
        if (!seq)
            return -1;
        ProcTable kept;
        kept.maxproc = m.procs.maxproc;
        std::vector<long long> pids;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
            long long pid;
            if (!as_long(PySequence_Fast_GET_ITEM(seq.get(), i), pid))
                return -1;
            pids.push_back(pid);
        }
        for (Proc &p : m.procs.list)
            if (std::find(pids.begin(), pids.end(), p.pid) == pids.end())
                kept.add(std::move(p));
        m.procs = std::move(kept);
    } else if (PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

}  // namespace

int load_procs(Machine &m, PyObject *desc) {
    if (PyObject *v = item(desc, "maxproc")) {
        long long n;
        if (!as_long(v, n))
            return -1;
        if (n < 1 || n > INT_MAX) {
            PyErr_SetString(PyExc_ValueError, "'maxproc' must be a positive int");
            return -1;
        }
        m.procs.maxproc = static_cast<int>(n);
    } else if (PyErr_Occurred()) {
        return -1;
    }
    PyObject *procs = item(desc, "procs");
    if (!procs)
        return PyErr_Occurred() ? -1 : edit_procs(m, desc);
    PyRef seq(PySequence_Fast(procs, "'procs' must be a sequence of dicts"));
    if (!seq)
        return -1;
    ProcTable table;
    table.maxproc = m.procs.maxproc;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        PyObject *d = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyDict_Check(d)) {
            PyErr_SetString(PyExc_TypeError, "a process is a dict");
            return -1;
        }
        Proc p;
        if (load_proc(p, d) < 0)
            return -1;
        table.add(std::move(p));
    }
    m.procs = std::move(table);
    return edit_procs(m, desc);
}

}  // namespace fakebsd
