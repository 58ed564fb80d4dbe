// _fakebsd: the socket tables of a machine description.
//
//   "socks": {"files": bytes | [bytes],        kern.file: struct xfile records
//             "tcp": bytes | [bytes],          net.inet.tcp.pcblist: struct xtcpcb records
//             "udp": bytes | [bytes],          net.inet.udp.pcblist: struct xinpcb records
//             "unix_stream": bytes | [bytes],  net.local.stream.pcblist: struct xunpcb records
//             "unix_dgram": bytes | [bytes],   net.local.dgram.pcblist: struct xunpcb records
//             "unix_seqpacket": bytes | [bytes],  net.local.seqpacket.pcblist
//             "syncache": bytes | [bytes],     struct xtcpcb records the TCP list
//                                              hands out before its blocks
//             "gen": int,                      generation count of the lists
//             "gen_mismatch": {list: n},       the list's first n reads find it changed:
//                                              the trailer's generation and count
//                                              are one above the header's
//             "creds": {so: {"groups": [int], "jid": int}},
//                                              the credential each socket (by its kernel
//                                              address) was made with: its groups and
//                                              jail; without one, the host's, its uid's
//                                              number as its only group
//             "append": bool}                  add the records and credentials to the
//                                              base machine's instead of replacing them
//
// Records are raw bytes in FreeBSD's layout (see fakebsd.socks); a list given
// as one bytes object counts as one record in the header. Each given key
// replaces that part of the base machine's tables; the lists' headers and
// trailers are composed on every read. Size queries are not reads; the
// description's own faults on a list are consulted before the list is read.
#include <cstring>

#include "control.h"

namespace fakebsd {

namespace {

struct ListKey {
    const char *key;
    SockList SockTable::*list;
};
constexpr ListKey kLists[] = {
    {"tcp", &SockTable::tcp},
    {"udp", &SockTable::udp},
    {"unix_stream", &SockTable::unix_stream},
    {"unix_dgram", &SockTable::unix_dgram},
    {"unix_seqpacket", &SockTable::unix_seqpacket},
};

bool records(PyObject *v, std::string &out, unsigned &count) {
    if (PyBytes_Check(v) || PyByteArray_Check(v)) {
        count = 1;
        return as_bytes(v, out);
    }
    std::vector<std::string> parts;
    if (!as_bytes_list(v, parts))
        return false;
    size_t total = 0;
    for (auto &p : parts)
        total += p.size();
    out.clear();
    out.reserve(total);
    for (auto &p : parts)
        out += p;
    count = static_cast<unsigned>(parts.size());
    return true;
}

}  // namespace

int load_socks(Machine &m, PyObject *desc) {
    PyObject *socks = item(desc, "socks");
    if (!socks)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_Check(socks)) {
        PyErr_SetString(PyExc_TypeError, "'socks' must be a dict");
        return -1;
    }
    PyObject *v;
    unsigned count;
    bool append = false;
    if ((v = item(socks, "append"))) {
        int on = PyObject_IsTrue(v);
        if (on < 0)
            return -1;
        append = on != 0;
    }
    // Replace the base's part, or add to it.
    auto take = [append](PyObject *given, std::string &to, unsigned &counted) {
        std::string got;
        unsigned n = 0;
        if (!records(given, got, n))
            return false;
        if (append) {
            to += got;
            counted += n;
        } else {
            to = std::move(got);
            counted = n;
        }
        return true;
    };
    count = 0;
    if ((v = item(socks, "files")) && !take(v, m.socks.files, count))
        return -1;
    if ((v = item(socks, "syncache")) && !take(v, m.socks.syncache, m.socks.syncache_count))
        return -1;
    for (const ListKey &l : kLists) {
        SockList &list = m.socks.*l.list;
        if ((v = item(socks, l.key)) && !take(v, list.records, list.count))
            return -1;
        list.mismatched = 0;
    }
    if (!append)
        m.socks.creds.clear();
    if ((v = item(socks, "creds"))) {
        if (!PyDict_Check(v)) {
            PyErr_SetString(PyExc_TypeError, "'creds' must be a dict");
            return -1;
        }
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v, &pos, &key, &value)) {
            long long so;
            if (!as_long(key, so))
                return -1;
            if (!PyDict_Check(value)) {
                PyErr_SetString(PyExc_TypeError, "a socket's credential is a dict");
                return -1;
            }
            SockCred c;
            long long jid;
            PyObject *o;
            if ((o = item(value, "jid"))) {
                if (!as_long(o, jid))
                    return -1;
                c.jid = static_cast<int>(jid);
            }
            if ((o = item(value, "groups"))) {
                PyRef seq(PySequence_Fast(o, "'groups' must be a sequence of ints"));
                if (!seq)
                    return -1;
                for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
                    long long g;
                    if (!as_long(PySequence_Fast_GET_ITEM(seq.get(), i), g))
                        return -1;
                    c.groups.push_back(static_cast<unsigned>(g));
                }
            }
            if (PyErr_Occurred())
                return -1;
            m.socks.creds[static_cast<uint64_t>(so)] = std::move(c);
        }
    }
    long long n;
    if ((v = item(socks, "gen"))) {
        if (!as_long(v, n))
            return -1;
        m.socks.gen = static_cast<uint64_t>(n);
    }
    if ((v = item(socks, "gen_mismatch"))) {
        if (!PyDict_Check(v)) {
            PyErr_SetString(PyExc_TypeError, "'gen_mismatch' must be a dict");
            return -1;
        }
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(v, &pos, &key, &value)) {
            const char *name = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
            const ListKey *found = nullptr;
            for (const ListKey &l : kLists)
                if (name && std::strcmp(name, l.key) == 0)
                    found = &l;
            if (!found) {
                if (!PyErr_Occurred())
                    PyErr_Format(PyExc_KeyError,
                                 "no list named %R (tcp, udp, unix_stream, unix_dgram, unix_seqpacket)", key);
                return -1;
            }
            if (!as_long(value, n))
                return -1;
            (m.socks.*found->list).mismatched = static_cast<long>(n);
        }
    }
    if (PyErr_Occurred())
        return -1;
    publish_socks(m);
    return 0;
}

}  // namespace fakebsd
