// _fakebsd: build, install and inspect simulated FreeBSD machines from Python.
#include "control.h"

#include <cstring>

namespace fakebsd {

bool as_bytes(PyObject *o, std::string &out) {
    if (PyBytes_Check(o)) {
        out.assign(PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
        return true;
    }
    if (PyByteArray_Check(o)) {
        out.assign(PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
        return true;
    }
    if (PyUnicode_Check(o)) {
        Py_ssize_t n;
        const char *s = PyUnicode_AsUTF8AndSize(o, &n);
        if (!s)
            return false;
        out.assign(s, n);
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected bytes or str, got %T", o);
    return false;
}

bool as_long(PyObject *o, long long &out) {
    if (PyBool_Check(o) || PyLong_Check(o)) {
        // Accept the whole unsigned 64-bit range as well.
        out = PyLong_AsLongLong(o);
        if (out == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError))
                return false;
            PyErr_Clear();
            unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (u == (unsigned long long)-1 && PyErr_Occurred())
                return false;
            out = static_cast<long long>(u);
        }
        return true;
    }
    PyErr_Format(PyExc_TypeError, "expected int, got %T", o);
    return false;
}

bool as_mib(PyObject *o, Mib &out) {
    PyRef seq(PySequence_Fast(o, "a MIB is a sequence of int"));
    if (!seq)
        return false;
    out.clear();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        long long v;
        if (!as_long(PySequence_Fast_GET_ITEM(seq.get(), i), v))
            return false;
        out.push_back(static_cast<int>(v));
    }
    return true;
}

bool as_bytes_list(PyObject *o, std::vector<std::string> &out) {
    PyRef seq(PySequence_Fast(o, "expected a sequence of bytes"));
    if (!seq)
        return false;
    out.clear();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        std::string b;
        if (!as_bytes(PySequence_Fast_GET_ITEM(seq.get(), i), b))
            return false;
        out.push_back(std::move(b));
    }
    return true;
}

PyObject *item(PyObject *desc, const char *key) {
    PyObject *v = nullptr;
    if (PyDict_GetItemStringRef(desc, key, &v) < 0)
        return nullptr;
    Py_XDECREF(v);  // the description dict keeps it alive while we load
    return v;
}

namespace {

// ---- records -------------------------------------------------------------

const RecordInfo *record_arg(PyObject *name) {
    const char *s = PyUnicode_AsUTF8(name);
    if (!s)
        return nullptr;
    const RecordInfo *r = find_record(s);
    if (!r)
        PyErr_Format(PyExc_KeyError, "no record named %R", name);
    return r;
}

const FieldInfo *field_of(const RecordInfo *r, std::string_view path) {
    for (const FieldInfo &f : r->fields)
        if (f.path == path)
            return &f;
    return nullptr;
}

void put_int(char *p, size_t size, long long v) {
    // Little-endian, truncated to the field's width.
    for (size_t i = 0; i < size; i++)
        p[i] = static_cast<char>((static_cast<unsigned long long>(v) >> (8 * i)) & 0xff);
}

PyObject *get_int(const char *p, size_t size, bool is_signed) {
    unsigned long long u = 0;
    for (size_t i = 0; i < size; i++)
        u |= static_cast<unsigned long long>(static_cast<unsigned char>(p[i])) << (8 * i);
    if (is_signed) {
        if (size < 8 && (u >> (8 * size - 1)) & 1)
            u |= ~0ULL << (8 * size);
        return PyLong_FromLongLong(static_cast<long long>(u));
    }
    return PyLong_FromUnsignedLongLong(u);
}

int set_field(std::string &buf, const FieldInfo &f, PyObject *v) {
    char *p = buf.data() + f.offset;
    switch (f.kind) {
    case Kind::Int:
    case Kind::UInt: {
        long long n;
        if (!as_long(v, n))
            return -1;
        put_int(p, f.size, n);
        return 0;
    }
    case Kind::IntArray:
    case Kind::UIntArray: {
        PyRef seq(PySequence_Fast(v, "expected a sequence of int"));
        if (!seq)
            return -1;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
        if (static_cast<size_t>(n) * f.elem_size > f.size) {
            PyErr_Format(PyExc_ValueError, "%s holds at most %zu elements", f.path.c_str(),
                         f.size / f.elem_size);
            return -1;
        }
        for (Py_ssize_t i = 0; i < n; i++) {
            long long e;
            if (!as_long(PySequence_Fast_GET_ITEM(seq.get(), i), e))
                return -1;
            put_int(p + i * f.elem_size, f.elem_size, e);
        }
        return 0;
    }
    default: {
        std::string b;
        if (!as_bytes(v, b))
            return -1;
        if (b.size() > f.size) {
            PyErr_Format(PyExc_ValueError, "%s holds at most %zu bytes, got %zu", f.path.c_str(),
                         f.size, b.size());
            return -1;
        }
        std::memset(p, 0, f.size);
        std::memcpy(p, b.data(), b.size());
        return 0;
    }
    }
}

PyObject *py_pack(PyObject *, PyObject *args) {
    PyObject *name, *fields = nullptr;
    Py_ssize_t size = -1;
    if (!PyArg_ParseTuple(args, "U|O!n:pack", &name, &PyDict_Type, &fields, &size))
        return nullptr;
    const RecordInfo *r = record_arg(name);
    if (!r)
        return nullptr;
    std::string buf(r->size, '\0');
    if (fields) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        Py_BEGIN_CRITICAL_SECTION(fields);
        while (PyDict_Next(fields, &pos, &key, &value)) {
            const char *path = PyUnicode_AsUTF8(key);
            const FieldInfo *f = path ? field_of(r, path) : nullptr;
            if (!f) {
                if (path)
                    PyErr_Format(PyExc_KeyError, "%s has no field %R", r->name.c_str(), key);
                buf.clear();
                break;
            }
            if (set_field(buf, *f, value) < 0) {
                buf.clear();
                break;
            }
        }
        Py_END_CRITICAL_SECTION();
        if (PyErr_Occurred())
            return nullptr;
    }
    if (size >= 0)
        buf.resize(static_cast<size_t>(size), '\0');
    return PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size()));
}

PyObject *py_unpack(PyObject *, PyObject *args) {
    PyObject *name;
    Py_buffer data;
    if (!PyArg_ParseTuple(args, "Uy*:unpack", &name, &data))
        return nullptr;
    const RecordInfo *r = record_arg(name);
    PyRef out(r ? PyDict_New() : nullptr);
    if (out && static_cast<size_t>(data.len) < r->size) {
        PyErr_Format(PyExc_ValueError, "%s needs %zu bytes, got %zd", r->name.c_str(), r->size,
                     data.len);
        out.reset();
    }
    for (size_t i = 0; out && i < r->fields.size(); i++) {
        const FieldInfo &f = r->fields[i];
        const char *p = static_cast<const char *>(data.buf) + f.offset;
        PyRef v;
        switch (f.kind) {
        case Kind::Int:
        case Kind::UInt:
            v = PyRef(get_int(p, f.size, f.kind == Kind::Int));
            break;
        case Kind::IntArray:
        case Kind::UIntArray: {
            v = PyRef(PyList_New(0));
            for (size_t j = 0; v && j < f.size / f.elem_size; j++) {
                PyRef e(get_int(p + j * f.elem_size, f.elem_size, f.kind == Kind::IntArray));
                if (!e || PyList_Append(v.get(), e.get()) < 0)
                    v.reset();
            }
            break;
        }
        default:
            v = PyRef(PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(f.size)));
        }
        if (!v || PyDict_SetItemString(out.get(), f.path.c_str(), v.get()) < 0)
            out.reset();
    }
    PyBuffer_Release(&data);
    return out.release();
}

PyObject *py_sizeof(PyObject *, PyObject *args) {
    PyObject *name;
    if (!PyArg_ParseTuple(args, "U:sizeof", &name))
        return nullptr;
    const RecordInfo *r = record_arg(name);
    return r ? PyLong_FromSize_t(r->size) : nullptr;
}

PyObject *py_fields(PyObject *, PyObject *args) {
    PyObject *name;
    if (!PyArg_ParseTuple(args, "U:fields", &name))
        return nullptr;
    const RecordInfo *r = record_arg(name);
    if (!r)
        return nullptr;
    static const char *kinds[] = {"int", "uint", "int[]", "uint[]", "chars", "bytes"};
    PyRef out(PyList_New(0));
    for (size_t i = 0; out && i < r->fields.size(); i++) {
        const FieldInfo &f = r->fields[i];
        PyRef t(Py_BuildValue("(snns)", f.path.c_str(), (Py_ssize_t)f.offset, (Py_ssize_t)f.size,
                              kinds[static_cast<int>(f.kind)]));
        if (!t || PyList_Append(out.get(), t.get()) < 0)
            out.reset();
    }
    return out.release();
}

PyObject *py_constants(PyObject *, PyObject *) {
    PyRef out(PyDict_New());
    for (const ConstInfo &c : all_constants()) {
        PyRef v(PyLong_FromLongLong(c.value));
        if (!out || !v || PyDict_SetItemString(out.get(), c.name.c_str(), v.get()) < 0)
            return nullptr;
    }
    return out.release();
}

// static_asserts that pin every registered record to FreeBSD's own headers.
PyObject *py_layout_asserts(PyObject *, PyObject *) {
    std::string s = "// Generated from the stand-in's record tables; compiled against FreeBSD's\n"
                    "// headers by the cross-compile check.\n#include <cstddef>\n#include <type_traits>\n\n";
    for (const RecordInfo &r : all_records()) {
        const std::string &T = r.ctype;
        s += "static_assert(sizeof(" + T + ") == " + std::to_string(r.size) + ", \"sizeof(" + T +
             ")\");\n";
        for (const FieldInfo &f : r.fields) {
            std::string m = "((" + T + " *)nullptr)->" + f.path;
            s += "static_assert(offsetof(" + T + ", " + f.path + ") == " + std::to_string(f.offset) +
                 ", \"offset of " + T + "::" + f.path + "\");\n";
            s += "static_assert(sizeof(" + m + ") == " + std::to_string(f.size) + ", \"size of " +
                 T + "::" + f.path + "\");\n";
            const char *sign = nullptr;
            if (f.kind == Kind::Int || f.kind == Kind::UInt)
                s += "static_assert(std::is_integral_v<std::remove_cvref_t<decltype(" + m +
                     ")>> || std::is_enum_v<std::remove_cvref_t<decltype(" + m +
                     ")>> || std::is_pointer_v<std::remove_cvref_t<decltype(" + m + ")>>, \"kind of " +
                     T + "::" + f.path + "\");\n";
            if (f.kind == Kind::Int || f.kind == Kind::IntArray)
                sign = "true";
            if (f.kind == Kind::UInt || f.kind == Kind::UIntArray)
                sign = "false";
            if (sign && f.kind != Kind::UInt)
                s += std::string("static_assert(std::is_signed_v<std::remove_all_extents_t<std::remove_cvref_t<decltype(") +
                     m + ")>>> == " + sign + ", \"signedness of " + T + "::" + f.path + "\");\n";
            else if (sign)
                s += "static_assert(!std::is_signed_v<std::remove_cvref_t<decltype(" + m +
                     ")>> || std::is_pointer_v<std::remove_cvref_t<decltype(" + m +
                     ")>>, \"signedness of " + T + "::" + f.path + "\");\n";
        }
        s += "\n";
    }
    for (const ConstInfo &c : all_constants())
        s += "static_assert((long long)(" + c.name + ") == " + std::to_string(c.value) + "LL, \"" +
             c.name + "\");\n";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// ---- machines ------------------------------------------------------------

int load_base(Machine &m, PyObject *desc) {
    if (PyObject *ps = item(desc, "pagesize")) {
        long long v;
        if (!as_long(ps, v))
            return -1;
        m.pagesize = static_cast<long>(v);
    }
    PyObject *sys = item(desc, "sysctl");
    if (!sys)
        return PyErr_Occurred() ? -1 : 0;
    if (!PyDict_Check(sys)) {
        PyErr_SetString(PyExc_TypeError, "'sysctl' must be a dict");
        return -1;
    }
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    int synthetic = 0x7000;
    while (PyDict_Next(sys, &pos, &key, &value)) {
        std::string name;
        Mib mib;
        if (PyUnicode_Check(key)) {
            if (!as_bytes(key, name))
                return -1;
            if (const Mib *known = m.mib_of(name))
                mib = *known;
            else
                mib = {0x6d76, synthetic++};  // a private branch for names with no MIB of their own
        } else if (!as_mib(key, mib)) {
            return -1;
        }
        // A node given here is a plain one, even where the machine composed it.
        m.served.erase(mib_key(mib.data(), static_cast<unsigned>(mib.size())));
        if (!name.empty())
            m.served.erase(name);
        if (value == Py_None) {
            m.values.erase(mib);
            if (!name.empty())
                m.names.erase(name);
            continue;
        }
        std::string bytes;
        if (!as_bytes(value, bytes))
            return -1;
        m.set(name, mib, std::move(bytes));
    }
    return 0;
}

int load_faults(Machine &m, PyObject *desc) {
    PyObject *faults = item(desc, "faults");
    if (!faults)
        return PyErr_Occurred() ? -1 : 0;
    PyRef seq(PySequence_Fast(faults, "'faults' must be a sequence of dicts"));
    if (!seq)
        return -1;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        PyObject *d = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyDict_Check(d)) {
            PyErr_SetString(PyExc_TypeError, "a fault is a dict");
            return -1;
        }
        Fault f;
        PyObject *v;
        if (!(v = item(d, "call"))) {
            PyErr_SetString(PyExc_KeyError, "a fault needs 'call'");
            return -1;
        }
        if (!as_bytes(v, f.call))
            return -1;
        if ((v = item(d, "key")) && v != Py_None) {
            std::string k;
            if (PyUnicode_Check(v) || PyBytes_Check(v)) {
                if (!as_bytes(v, k))
                    return -1;
            } else if (PyLong_Check(v)) {
                long long n;
                if (!as_long(v, n))
                    return -1;
                k = std::to_string(n);
            } else {
                Mib mib;
                if (!as_mib(v, mib))
                    return -1;
                k = mib_key(mib.data(), static_cast<unsigned>(mib.size()));
            }
            f.key = k;
        }
        long long n;
        if ((v = item(d, "nth"))) {
            if (!as_long(v, n))
                return -1;
            f.nth = static_cast<long>(n);
        }
        if ((v = item(d, "times")) && v != Py_None) {
            if (!as_long(v, n))
                return -1;
            f.times = static_cast<long>(n);
        }
        if ((v = item(d, "errno")) && v != Py_None) {
            if (!as_long(v, n))
                return -1;
            f.fail = true;
            f.err = static_cast<int>(n);
        }
        if ((v = item(d, "report")) && v != Py_None) {
            if (!as_long(v, n))
                return -1;
            f.report = static_cast<long>(n);
        }
        if ((v = item(d, "answers")) && !as_bytes_list(v, f.answers))
            return -1;
        if ((v = item(d, "answer"))) {
            std::string b;
            if (!as_bytes(v, b))
                return -1;
            f.answers.push_back(std::move(b));
        }
        if (PyErr_Occurred())
            return -1;
        m.faults.push_back(std::move(f));
    }
    return 0;
}

PyObject *py_install(PyObject *, PyObject *args, PyObject *kwargs) {
    static const char *kwlist[] = {"desc", "scope", "base", nullptr};
    PyObject *desc = nullptr;
    const char *scope = "thread", *base = "default";
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|Oss:install", const_cast<char **>(kwlist),
                                     &desc, &scope, &base))
        return nullptr;
    if (desc == Py_None)
        desc = nullptr;
    if (desc && !PyDict_Check(desc)) {
        PyErr_Format(PyExc_TypeError, "a machine description is a dict, not %T", desc);
        return nullptr;
    }
    bool global = std::strcmp(scope, "global") == 0;
    if (!global && std::strcmp(scope, "thread") != 0) {
        PyErr_SetString(PyExc_ValueError, "scope is 'thread' or 'global'");
        return nullptr;
    }
    std::shared_ptr<Machine> m;
    if (std::strcmp(base, "default") == 0) {
        m = std::make_shared<Machine>(*default_machine());
    } else if (std::strcmp(base, "empty") == 0) {
        m = std::make_shared<Machine>();
        default_base(*m);
    } else if (std::strcmp(base, "current") == 0) {
        m = std::make_shared<Machine>(*snapshot());
    } else {
        PyErr_SetString(PyExc_ValueError, "base is 'default', 'empty' or 'current'");
        return nullptr;
    }
    if (std::strcmp(base, "current") != 0) {
        m->resources = std::make_shared<Resources>();
        m->faults.clear();
    }
    if (desc) {
        int (*loaders[])(Machine &, PyObject *) = {load_base,  load_creds,  load_busy_host,
                                                   load_procs, load_cpumem, load_socks,
                                                   load_ifs,   load_disks,  load_users,
                                                   load_faults};
        int rc = 0;
        Py_BEGIN_CRITICAL_SECTION(desc);
        for (auto load : loaders)
            if ((rc = load(*m, desc)) < 0)
                break;
        Py_END_CRITICAL_SECTION();
        if (rc < 0)
            return nullptr;
    }
    index_faults(*m);
    if (global)
        install_global(std::move(m));
    else
        install_thread(std::move(m));
    Py_RETURN_NONE;
}

PyObject *py_uninstall(PyObject *, PyObject *) {
    uninstall_thread();
    Py_RETURN_NONE;
}

PyObject *py_reset_global(PyObject *, PyObject *) {
    install_global(default_machine());
    Py_RETURN_NONE;
}

PyObject *py_calls(PyObject *, PyObject *args) {
    int clear = 0;
    if (!PyArg_ParseTuple(args, "|p:calls", &clear))
        return nullptr;
    auto &log = call_log();
    PyRef out(PyList_New(0));
    for (size_t i = 0; out && i < log.size(); i++) {
        PyRef t(Py_BuildValue("(ss)", log[i].first.c_str(), log[i].second.c_str()));
        if (!t || PyList_Append(out.get(), t.get()) < 0)
            out.reset();
    }
    if (out && clear)
        log.clear();
    return out.release();
}

PyObject *py_clear_calls(PyObject *, PyObject *) {
    call_log().clear();
    Py_RETURN_NONE;
}

PyObject *py_resources(PyObject *, PyObject *) {
    auto m = snapshot();
    PyRef out(PyDict_New());
    for (int r = 0; out && r < R_COUNT; r++) {
        PyRef v(PyLong_FromLong(m->resources->open[r].load()));
        if (!v || PyDict_SetItemString(out.get(), resource_names[r], v.get()) < 0)
            out.reset();
    }
    return out.release();
}

PyObject *py_sysctl_names(PyObject *, PyObject *) {
    auto m = snapshot();
    PyRef out(PyDict_New());
    for (const auto &[name, mib] : m->names) {
        PyRef t(PyTuple_New(static_cast<Py_ssize_t>(mib.size())));
        for (size_t i = 0; t && i < mib.size(); i++) {
            PyObject *e = PyLong_FromLong(mib[i]);
            if (!e)
                t.reset();
            else
                PyTuple_SET_ITEM(t.get(), i, e);
        }
        if (!out || !t || PyDict_SetItemString(out.get(), name.c_str(), t.get()) < 0)
            return nullptr;
    }
    return out.release();
}

// Every PID of the current machine's process table, in table order (also
// the ones kern.proc.proc leaves out).
PyObject *py_table_pids(PyObject *, PyObject *) {
    auto m = snapshot();
    PyRef out(PyList_New(0));
    for (size_t i = 0; out && i < m->procs.list.size(); i++) {
        PyRef v(PyLong_FromLong(m->procs.list[i].pid));
        if (!v || PyList_Append(out.get(), v.get()) < 0)
            out.reset();
    }
    return out.release();
}

PyMethodDef methods[] = {
    {"pack", py_pack, METH_VARARGS, "pack(record, fields={}, size=-1) -> bytes"},
    {"unpack", py_unpack, METH_VARARGS, "unpack(record, data) -> dict"},
    {"sizeof", py_sizeof, METH_VARARGS, "sizeof(record) -> int"},
    {"fields", py_fields, METH_VARARGS, "fields(record) -> [(path, offset, size, kind)]"},
    {"constants", py_constants, METH_NOARGS, "FreeBSD constants of the stand-in"},
    {"layout_asserts", py_layout_asserts, METH_NOARGS, "C++ static_asserts of every layout"},
    {"install", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(py_install)),
     METH_VARARGS | METH_KEYWORDS, "install(desc=None, scope='thread', base='default')"},
    {"uninstall", py_uninstall, METH_NOARGS, "drop the calling thread's own machine"},
    {"reset_global", py_reset_global, METH_NOARGS, "make the default machine the global one"},
    {"calls", py_calls, METH_VARARGS, "calls(clear=False) -> this thread's platform calls"},
    {"clear_calls", py_clear_calls, METH_NOARGS, "forget this thread's platform calls"},
    {"resources", py_resources, METH_NOARGS, "handles given out and not yet given back"},
    {"sysctl_names", py_sysctl_names, METH_NOARGS, "name -> MIB of the current machine"},
    {"table_pids", py_table_pids, METH_NOARGS, "every PID of the current machine's process table"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_fakebsd", "Stand-in FreeBSD platform control.",
                          -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace fakebsd

PyMODINIT_FUNC PyInit__fakebsd(void) {
    PyObject *m = PyModule_Create(&fakebsd::module_def);
#ifdef Py_GIL_DISABLED
    if (m && PyUnstable_Module_SetGIL(m, Py_MOD_GIL_NOT_USED) < 0) {
        Py_DECREF(m);
        return nullptr;
    }
#endif
    return m;
}
