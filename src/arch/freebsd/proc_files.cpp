// What a process has open: its executable (kern.proc.pathname), and from its
// file-descriptor table (libutil's kinfo_getfile) the working directory, the
// number of entries and the regular files.
#include "../../module/functions.h"

static_assert(sizeof(struct kinfo_file) == 1392, "struct kinfo_file size");

namespace {

// A process's descriptor table as kinfo_getfile hands it out.
struct FileTable {
    KernelBuf<struct kinfo_file> entries;
    int count = 0;
};

// Fetch the table of a process whose record the kernel still has. Returns
// false with the exception set (the record lookup's, or the explanation of
// the failed table read).
bool fetch_file_table(pid_t pid, FileTable &table) {
    struct kinfo_proc kp;
    if (morvex_kinfo_proc(pid, &kp) == -1)
        return false;
    int attempt = 0;
    do {
        errno = 0;
        table.entries.reset(kinfo_getfile(pid, &table.count));
    } while (!table.entries && morvex_exec_retry(errno, &attempt));
    if (!table.entries) {
        if (errno == EBUSY)
            morvex_exec_busy("kinfo_getfile()");
        else
            morvex_raise_for_pid(pid, "kinfo_getfile()");
        return false;
    }
    return true;
}

// An entry's path; the scan stops at the end of kf_path even when the kernel
// left it without a NUL.
PyObject *decode_kf_path(const struct kinfo_file &kf) {
    size_t n = strnlen(kf.kf_path, sizeof kf.kf_path);
    return PyUnicode_DecodeFSDefaultAndSize(kf.kf_path, static_cast<Py_ssize_t>(n));
}

}  // namespace

extern "C" {

PyObject *morvex_proc_exe(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;

    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_PATHNAME, pid};
    char path[PATH_MAX];
    size_t len = sizeof path;
    if (sysctl(mib, 4, path, &len, nullptr, 0) == -1) {
        if (errno == ENOENT)
            return PyUnicode_DecodeFSDefault("");
        return morvex_oserror_wsyscall("sysctl(KERN_PROC_PATHNAME)");
    }
    // The path ends at its NUL or at the end of the answer, whichever comes
    // first: an answer that fills the buffer without a NUL is not read past.
    len = std::min(len, sizeof path);
    if (len == 0 || path[0] == '\0') {
        switch (morvex_pid_exists(pid)) {
        case 0:
            return morvex_oserror_nsp("morvex_pid_exists -> 0");
        case -1:
            return morvex_oserror();
        default:
            str_copy(path, sizeof path, "");
            len = 0;
        }
    }
    return PyUnicode_DecodeFSDefaultAndSize(path, static_cast<Py_ssize_t>(strnlen(path, len)));
}

PyObject *morvex_proc_cwd(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    FileTable table;
    if (!fetch_file_table(pid, table))
        return nullptr;
    for (int i = 0; i < table.count; i++) {
        const struct kinfo_file &kf = table.entries.get()[i];
        if (kf.kf_fd == KF_FD_TYPE_CWD)
            return decode_kf_path(kf);
    }
    return PyUnicode_DecodeFSDefault("");
}

PyObject *morvex_proc_num_fds(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    FileTable table;
    if (!fetch_file_table(pid, table))
        return nullptr;
    // Special entries (working and root directory, ...) count as well.
    return Py_BuildValue("i", table.count);
}

PyObject *morvex_proc_open_files(PyObject *, PyObject *args) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    FileTable table;
    if (!fetch_file_table(pid, table))
        return nullptr;
    // Regular-file vnodes only, special entries included: the descriptor
    // number is not looked at.
    for (int i = 0; i < table.count; i++) {
        const struct kinfo_file &kf = table.entries.get()[i];
        if (kf.kf_type != KF_TYPE_VNODE || kf.kf_vnode_type != KF_VTYPE_VREG)
            continue;
        PyRef path(decode_kf_path(kf));
        if (!path)
            return nullptr;
        PyRef entry(Py_BuildValue("(Oi)", path.get(), kf.kf_fd));
        if (!entry || PyList_Append(list.get(), entry.get()) == -1)
            return nullptr;
    }
    return list.release();
}

}  // extern "C"
