// _fakebsd: the network interfaces of a machine description.
//
//   "ifs": [ {"name": str | bytes, "index": int, "flags": int, "mtu": int,
//             "media": int | None, "media_status": int, "type": int,
//             "lladdr": bytes, "link": bytes | None, "data": bytes,
//             "addrs": [ {"addr": bytes | None, "netmask": bytes | None,
//                         "dst": bytes | None, "flags": int} ]}, ...]
//
// Socket addresses and struct if_data are bytes in FreeBSD's layout (see
// fakebsd.ifs for builders). "index" defaults to the position in the list
// (from 1), "media" absent or None means no media support, "link" replaces
// the sockaddr_dl made from the name and "lladdr". A given "ifs" list
// replaces the base machine's interfaces.
#include "control.h"

namespace fakebsd {

namespace {

bool optional_bytes(PyObject *d, const char *key, std::optional<std::string> &out) {
    PyObject *v = item(d, key);
    if (!v || v == Py_None) {
        out.reset();
        return !PyErr_Occurred();
    }
    std::string b;
    if (!as_bytes(v, b))
        return false;
    out = std::move(b);
    return true;
}

bool int_item(PyObject *d, const char *key, long long &out, bool &given) {
    PyObject *v = item(d, key);
    given = v != nullptr;
    if (!v)
        return !PyErr_Occurred();
    return as_long(v, out);
}

int load_address(IfAddress &a, PyObject *d) {
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_TypeError, "an interface address is a dict");
        return -1;
    }
    if (!optional_bytes(d, "addr", a.addr) || !optional_bytes(d, "netmask", a.netmask) ||
        !optional_bytes(d, "dst", a.dst))
        return -1;
    long long n;
    bool given;
    if (!int_item(d, "flags", n, given))
        return -1;
    if (given)
        a.flags = static_cast<unsigned>(n);
    return 0;
}

int load_iface(Iface &i, PyObject *d, int position) {
    PyObject *v = item(d, "name");
    if (!v) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_KeyError, "an interface needs 'name'");
        return -1;
    }
    if (!as_bytes(v, i.name))
        return -1;
    i.index = position;
    struct {
        const char *key;
        long long value;
        bool given;
    } ints[] = {{"index", 0, false}, {"flags", 0, false}, {"mtu", 0, false},
                {"media_status", 0, false}, {"type", 0, false}};
    for (auto &e : ints)
        if (!int_item(d, e.key, e.value, e.given))
            return -1;
    if (ints[0].given)
        i.index = static_cast<int>(ints[0].value);
    if (ints[1].given)
        i.flags = static_cast<unsigned>(ints[1].value);
    if (ints[2].given)
        i.mtu = static_cast<int>(ints[2].value);
    if (ints[3].given)
        i.media_status = static_cast<int>(ints[3].value);
    if (ints[4].given)
        i.type = static_cast<int>(ints[4].value);
    if ((v = item(d, "media")) && v != Py_None) {
        long long n;
        if (!as_long(v, n))
            return -1;
        i.media = static_cast<int>(n);
    }
    if ((v = item(d, "lladdr")) && !as_bytes(v, i.lladdr))
        return -1;
    if (!optional_bytes(d, "link", i.link))
        return -1;
    if ((v = item(d, "data")) && !as_bytes(v, i.data))
        return -1;
    if (!i.link && 8 + i.name.size() + i.lladdr.size() > 255) {
        PyErr_SetString(PyExc_ValueError, "name and lladdr do not fit in a sockaddr_dl");
        return -1;
    }
    if ((v = item(d, "addrs"))) {
        PyRef seq(PySequence_Fast(v, "'addrs' must be a sequence of dicts"));
        if (!seq)
            return -1;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); k++) {
            IfAddress a;
            if (load_address(a, PySequence_Fast_GET_ITEM(seq.get(), k)) < 0)
                return -1;
            i.addrs.push_back(std::move(a));
        }
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace

int load_ifs(Machine &m, PyObject *desc) {
    PyObject *ifs = item(desc, "ifs");
    if (!ifs)
        return PyErr_Occurred() ? -1 : 0;
    PyRef seq(PySequence_Fast(ifs, "'ifs' must be a sequence of dicts"));
    if (!seq)
        return -1;
    IfTable table;
    for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(seq.get()); k++) {
        PyObject *d = PySequence_Fast_GET_ITEM(seq.get(), k);
        if (!PyDict_Check(d)) {
            PyErr_SetString(PyExc_TypeError, "an interface is a dict");
            return -1;
        }
        Iface i;
        if (load_iface(i, d, static_cast<int>(k) + 1) < 0)
            return -1;
        table.list.push_back(std::move(i));
    }
    m.ifs = std::move(table);
    return 0;
}

}  // namespace fakebsd
