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
//   "jails": {jid: {"name": str, "parent": jid  the jail it was made in (0: the host),
//                   "path": bytes                its root, as the host names it,
//                   "enforce_statfs": 0 | 1 | 2  which mounts it sees (default 2),
//                   "ip4": [str] | None,         its addresses (None: not restricted),
//                   "ip6": [str] | None}}
//            replaces the base's jails; a caller in a jail the table lacks
//            has its mounts and addresses unfiltered
//
// The default caller is root on the host with every privilege. What it may
// see also depends on the sysctl nodes security.bsd.see_other_uids,
// security.bsd.see_other_gids and security.bsd.unprivileged_proc_debug.
#include <arpa/inet.h>

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

// A list of numeric addresses of one family into network-order bytes.
int load_addrs(PyObject *v, int family, std::optional<std::vector<std::string>> &out) {
    if (v == Py_None) {
        out.reset();
        return 0;
    }
    PyRef seq(PySequence_Fast(v, "a jail's addresses are a sequence of str"));
    if (!seq)
        return -1;
    out.emplace();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        const char *text = PyUnicode_AsUTF8(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!text)
            return -1;
        unsigned char buf[16];
        if (::inet_pton(family == 4 ? AF_INET : AF_INET6, text, buf) != 1) {
            PyErr_Format(PyExc_ValueError, "not an IPv%d address: %s", family, text);
            return -1;
        }
        out->emplace_back(reinterpret_cast<const char *>(buf), family == 4 ? 4 : 16);
    }
    return 0;
}

int load_jails(Machine &m, PyObject *desc) {
    PyObject *v = item(desc, "jails");
    if (!v)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "'jails' must be a dict");
        return -1;
    }
    JailTable jails;
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(v, &pos, &key, &value)) {
        long long jid;
        if (!as_long(key, jid))
            return -1;
        if (!PyDict_Check(value)) {
            PyErr_SetString(PyExc_TypeError, "a jail is a dict");
            return -1;
        }
        Jail j;
        PyObject *o;
        if ((o = item(value, "name"))) {
            const char *name = PyUnicode_AsUTF8(o);
            if (!name)
                return -1;
            j.name = name;
        }
        if ((o = item(value, "path")) && !as_bytes(o, j.path))
            return -1;
        long long n;
        if ((o = item(value, "parent"))) {
            if (!as_long(o, n))
                return -1;
            j.parent = static_cast<int>(n);
        }
        if ((o = item(value, "enforce_statfs"))) {
            if (!as_long(o, n))
                return -1;
            j.enforce_statfs = static_cast<int>(n);
        }
        if ((o = item(value, "ip4")) && load_addrs(o, 4, j.ip4) == -1)
            return -1;
        if ((o = item(value, "ip6")) && load_addrs(o, 6, j.ip6) == -1)
            return -1;
        if (PyErr_Occurred())
            return -1;
        jails[static_cast<int>(jid)] = std::move(j);
    }
    m.jails = std::move(jails);
    return 0;
}

}  // namespace

int load_creds(Machine &m, PyObject *desc) {
    if (load_caller(m, desc) == -1 || load_jails(m, desc) == -1)
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
