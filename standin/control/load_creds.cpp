// _fakebsd: who makes the platform calls.
//
//   "caller": {"uid": int        sets the real, effective and saved uid,
//              "ruid"/"euid"/"svuid": int, each on its own,
//              "gid": int        sets the real and effective gid,
//              "groups": [int],  the supplementary groups (default: [gid]),
//              "jid": int,       the caller's jail (0: the host),
//              "privileged": bool whether priv_check succeeds (default:
//                                 whether the uid given is 0),
//              "pid": int}       the caller's own process in the table
//
//   "nofile": int | {"limit": int, "errno": int}
//            the descriptors the caller may hold: a socket, a libkvm handle
//            (two), an open user-accounting database that would pass the
//            limit fails with EMFILE (or the errno given: ENFILE for a full
//            system table); applies to the caller given or the base's
//
// The default caller is root on the host with every privilege. What it may
// see also depends on the sysctl nodes security.bsd.see_other_uids,
// security.bsd.see_other_gids and security.bsd.unprivileged_proc_debug.
#include "control.h"

namespace fakebsd {

namespace {

bool read_uint(PyObject *d, const char *key, unsigned &out) {
    PyObject *v = item(d, key);
    long long n;
    if (!v || !as_long(v, n))
        return false;
    out = static_cast<unsigned>(n);
    return true;
}

}  // namespace

namespace {

int load_nofile(Machine &m, PyObject *desc) {
    PyObject *v = item(desc, "nofile");
    if (!v)
        return PyErr_Occurred() ? -1 : 0;
    long long n;
    if (PyDict_Check(v)) {
        PyObject *e = item(v, "errno");
        if (e) {
            if (!as_long(e, n))
                return -1;
            m.caller.nofile_errno = static_cast<int>(n);
        }
        v = item(v, "limit");
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_KeyError, "'nofile' needs 'limit'");
            return -1;
        }
    }
    if (v == Py_None) {
        m.caller.nofile = -1;
        return 0;
    }
    if (!as_long(v, n))
        return -1;
    m.caller.nofile = static_cast<long>(n);
    return 0;
}

int load_caller(Machine &m, PyObject *desc);

}  // namespace

int load_creds(Machine &m, PyObject *desc) {
    if (load_caller(m, desc) == -1)
        return -1;
    return load_nofile(m, desc);
}

namespace {

int load_caller(Machine &m, PyObject *desc) {
    PyObject *d = item(desc, "caller");
    if (!d)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_TypeError, "'caller' must be a dict");
        return -1;
    }
    Caller c;
    unsigned n;
    if (read_uint(d, "uid", n)) {
        c.ruid = c.euid = c.svuid = n;
        c.privileged = n == 0;
    }
    if (read_uint(d, "ruid", n))
        c.ruid = n;
    if (read_uint(d, "euid", n))
        c.euid = n;
    if (read_uint(d, "svuid", n))
        c.svuid = n;
    if (read_uint(d, "gid", n)) {
        c.rgid = c.egid = n;
        c.groups = {n};
    }
    if (PyErr_Occurred())
        return -1;
    if (PyObject *g = item(d, "groups")) {
        PyRef seq(PySequence_Fast(g, "'groups' must be a sequence of ints"));
        if (!seq)
            return -1;
        c.groups.clear();
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
            long long v;
            if (!as_long(PySequence_Fast_GET_ITEM(seq.get(), i), v))
                return -1;
            c.groups.push_back(static_cast<unsigned>(v));
        }
    }
    long long v;
    PyObject *o;
    if ((o = item(d, "jid"))) {
        if (!as_long(o, v))
            return -1;
        c.jid = static_cast<int>(v);
    }
    if ((o = item(d, "pid"))) {
        if (!as_long(o, v))
            return -1;
        c.pid = static_cast<int>(v);
    }
    if ((o = item(d, "privileged"))) {
        int on = PyObject_IsTrue(o);
        if (on < 0)
            return -1;
        c.privileged = on != 0;
    }
    if (PyErr_Occurred())
        return -1;
    m.caller = std::move(c);
    return 0;
}

}  // namespace
}  // namespace fakebsd
