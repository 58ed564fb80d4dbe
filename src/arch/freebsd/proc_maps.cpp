// Threads and memory maps of one process.
#include "../../module/functions.h"

static_assert(sizeof(struct kinfo_proc) == 1088, "struct kinfo_proc size");
static_assert(sizeof(struct kinfo_vmentry) == 1160, "struct kinfo_vmentry size");

namespace {

double seconds(const struct timeval &tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// "0x1000-0x3000": both ends at width 16, then the padding taken out again.
void format_range(char *buf, size_t size, uint64_t start, uint64_t end) {
    buf[0] = '\0';
    str_format(buf, size, "%#*jx-%#*jx", 16, static_cast<uintmax_t>(start), 16,
               static_cast<uintmax_t>(end));
    char *out = buf;
    for (const char *in = buf; *in != '\0'; in++)
        if (*in != ' ')
            *out++ = *in;
    *out = '\0';
}

// "r-x": one letter or dash per protection bit.
void format_protection(char *buf, size_t size, int prot) {
    buf[0] = '\0';
    str_append(buf, size, (prot & KVME_PROT_READ) ? "r" : "-");
    str_append(buf, size, (prot & KVME_PROT_WRITE) ? "w" : "-");
    str_append(buf, size, (prot & KVME_PROT_EXEC) ? "x" : "-");
}

// What stands in for the path of a mapping the kernel gives no path for.
const char *type_label(int type) {
    switch (static_cast<uint32_t>(type)) {
    case KVME_TYPE_NONE:
        return "[none]";
    case KVME_TYPE_DEFAULT:
        return "[default]";
    case KVME_TYPE_VNODE:
        return "[vnode]";
    case KVME_TYPE_SWAP:
        return "[swap]";
    case KVME_TYPE_DEVICE:
        return "[device]";
    case KVME_TYPE_PHYS:
        return "[phys]";
    case KVME_TYPE_DEAD:
        return "[dead]";
    case KVME_TYPE_SG:
        return "[sg]";
    case KVME_TYPE_UNKNOWN:
        return "[unknown]";
    default:
        return "[?]";
    }
}

// The entry's path, or its label; the path is read no further than its field.
PyRef path_or_label(const struct kinfo_vmentry &kve) {
    if (kve.kve_path[0] != '\0')
        return PyRef(PyUnicode_DecodeFSDefaultAndSize(
            kve.kve_path, static_cast<Py_ssize_t>(strnlen(kve.kve_path, sizeof kve.kve_path))));
    return PyRef(PyUnicode_DecodeFSDefault(type_label(kve.kve_type)));
}

}  // namespace

extern "C" {

PyObject *morvex_proc_threads(PyObject *, PyObject *args) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PID | KERN_PROC_INC_THREAD, pid};
    char *raw = nullptr;
    size_t len = 0;
    if (morvex_sysctl_malloc(mib, 4, &raw, &len) == -1)
        return nullptr;
    KernelBuf<char> buf(raw);
    if (len == 0)
        return morvex_oserror_nsp("sysctl (size = 0)");
    // One record per thread; a trailing partial record is not read.
    size_t count = len / sizeof(struct kinfo_proc);
    for (size_t i = 0; i < count; i++) {
        const auto *kp = reinterpret_cast<const struct kinfo_proc *>(buf.get() + i * sizeof(struct kinfo_proc));
        PyRef entry(Py_BuildValue("Idd", static_cast<unsigned int>(kp->ki_tid),
                                  seconds(kp->ki_rusage.ru_utime), seconds(kp->ki_rusage.ru_stime)));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *morvex_proc_memory_maps(PyObject *, PyObject *args) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    pid_t pid;
    struct kinfo_proc kp;
    if (!PyArg_ParseTuple(args, "i", &pid) || morvex_kinfo_proc(pid, &kp) == -1)
        return nullptr;
    int count = 0;
    KernelBuf<struct kinfo_vmentry> maps;
    int attempt = 0;
    do {
        errno = 0;
        maps.reset(kinfo_getvmmap(pid, &count));
    } while (!maps && morvex_exec_retry(errno, &attempt));
    if (!maps)
        return errno == EBUSY ? morvex_exec_busy("kinfo_getvmmap()")
                              : morvex_raise_for_pid(pid, "kinfo_getvmmap()");
    char addr[1000];
    char perms[4];
    for (int i = 0; i < count; i++) {
        const struct kinfo_vmentry &kve = maps.get()[i];
        format_range(addr, sizeof addr, kve.kve_start, kve.kve_end);
        format_protection(perms, sizeof perms, kve.kve_protection);
        PyRef path = path_or_label(kve);
        if (!path)
            return nullptr;
        PyRef entry(Py_BuildValue("ssOiiii", addr, perms, path.get(), kve.kve_resident,
                                  kve.kve_private_resident, kve.kve_ref_count, kve.kve_shadow_count));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
    }
    return list.release();
}

}  // extern "C"
