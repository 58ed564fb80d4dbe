// _fakebsd: the CPU and memory part of a machine description.
//
//   "swap": [ {"name": "ada0p3", "nblks": pages, "used": pages, "flags": int,
//              "dev": device number (-1: NODEV, swap over NFS)}, ... ]
//           the swap devices the kernel exports (vm.swap_info.<n>); replaces
//           the base machine's. libkvm reports each vm.dmmax pages smaller.
//   "compat_freebsd11": bool
//           whether the kernel has COMPAT_FREEBSD11 (the default): a 4-byte
//           read of a 64-bit vm.stats counter gets the value cut to 32 bits,
//           and vm.stats.vm.v_cache_count exists. Without it such a read
//           fails with ENOMEM and the cache count is gone.
//   "heap": {"allocated": bytes, "mapped": bytes} | None
//           the allocator's statistics for mallctl; None: the host process's own
//
// The counters themselves are plain sysctl nodes ("sysctl" key). Nodes with a
// fixed MIB (hw.ncpu, hw.physmem, kern.boottime, kern.clockrate, vm.vmtotal) given by name on
// a machine that did not know the name yet are moved to that MIB, so that they
// answer by name and by MIB alike.
#include "control.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

int load_swap(Machine &m, PyObject *list) {
    PyRef seq(PySequence_Fast(list, "'swap' must be a sequence of dicts"));
    if (!seq)
        return -1;
    std::vector<SwapDevice> devices;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); i++) {
        PyObject *d = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyDict_Check(d)) {
            PyErr_SetString(PyExc_TypeError, "a swap device is a dict");
            return -1;
        }
        SwapDevice dev;
        PyObject *v;
        long long n;
        if ((v = item(d, "name")) && !as_bytes(v, dev.name))
            return -1;
        if ((v = item(d, "nblks"))) {
            if (!as_long(v, n))
                return -1;
            dev.nblks = static_cast<uint32_t>(n);
        }
        if ((v = item(d, "used"))) {
            if (!as_long(v, n))
                return -1;
            dev.used = static_cast<uint32_t>(n);
        }
        if ((v = item(d, "flags"))) {
            if (!as_long(v, n))
                return -1;
            dev.flags = static_cast<int>(n);
        }
        dev.dev = 0x100 + static_cast<uint64_t>(i);
        if ((v = item(d, "dev"))) {
            if (!as_long(v, n))
                return -1;
            dev.dev = n == -1 ? NODEV : static_cast<uint64_t>(n);
        }
        if (PyErr_Occurred())
            return -1;
        devices.push_back(std::move(dev));
    }
    m.cpumem.swap = std::move(devices);
    return 0;
}

int load_heap(Machine &m, PyObject *d) {
    if (d == Py_None) {
        m.cpumem.heap.reset();
        return 0;
    }
    if (!PyDict_Check(d)) {
        PyErr_SetString(PyExc_TypeError, "'heap' must be a dict or None");
        return -1;
    }
    HeapFigures h = m.cpumem.heap.value_or(HeapFigures{});
    PyObject *v;
    long long n;
    if ((v = item(d, "allocated"))) {
        if (!as_long(v, n))
            return -1;
        h.allocated = static_cast<uint64_t>(n);
    }
    if ((v = item(d, "mapped"))) {
        if (!as_long(v, n))
            return -1;
        h.mapped = static_cast<uint64_t>(n);
    }
    if (PyErr_Occurred())
        return -1;
    m.cpumem.heap = h;
    return 0;
}

void fix_known_mibs(Machine &m) {
    static const struct {
        const char *name;
        Mib mib;
    } known[] = {
        {"hw.ncpu", {CTL_HW, HW_NCPU}},
        {"hw.physmem", {CTL_HW, 5}},
        {"kern.boottime", {CTL_KERN, KERN_BOOTTIME}},
        {"kern.clockrate", {CTL_KERN, KERN_CLOCKRATE}},
        {"vm.vmtotal", {CTL_VM, VM_METER}},
    };
    for (const auto &k : known) {
        auto it = m.names.find(std::string_view(k.name));
        if (it == m.names.end() || it->second == k.mib)
            continue;
        auto v = m.values.find(it->second);
        if (v != m.values.end()) {
            m.values[k.mib] = std::move(v->second);
            m.values.erase(it->second);
        }
        it->second = k.mib;
    }
}

}  // namespace

int load_cpumem(Machine &m, PyObject *desc) {
    fix_known_mibs(m);
    PyObject *v;
    if ((v = item(desc, "swap")) && load_swap(m, v) < 0)
        return -1;
    if (PyErr_Occurred())
        return -1;
    if ((v = item(desc, "heap")) && load_heap(m, v) < 0)
        return -1;
    if ((v = item(desc, "compat_freebsd11"))) {
        int on = PyObject_IsTrue(v);
        if (on < 0)
            return -1;
        m.cpumem.compat_freebsd11 = on != 0;
        if (!on) {
            // The cache count is a compatibility dummy of COMPAT_FREEBSD11.
            if (const Mib *mib = m.mib_of("vm.stats.vm.v_cache_count")) {
                m.values.erase(*mib);
                m.names.erase(std::string("vm.stats.vm.v_cache_count"));
            }
        }
    }
    if (PyErr_Occurred())
        return -1;
    mark_counters64(m);
    return 0;
}

}  // namespace fakebsd
