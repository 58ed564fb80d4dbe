// What a process was started with: its argument vector (kern.proc.args) and
// its environment (through libkvm on the live kernel).
#include "../../module/functions.h"
#include "kvm.h"

static_assert(sizeof(struct kinfo_proc) == 1088, "struct kinfo_proc size");

namespace {

// Resident in memory and not a kernel process: only then is there a user
// environment to read.
constexpr uint32_t ENV_FLAGS_MASK = P_INMEM | P_SYSTEM;

bool has_user_environment(const struct kinfo_proc *kp) {
    return (static_cast<uint32_t>(kp->ki_flag) & ENV_FLAGS_MASK) == P_INMEM;
}

// Store one "NAME=value" entry of n bytes into the dict; an entry without
// '=' is skipped. Name and value are the kernel's bytes, decoded as file
// names are. Returns 0, or -1 with the exception set.
int store_env_entry(PyObject *dict, const char *entry, size_t n) {
    const char *eq = static_cast<const char *>(std::memchr(entry, '=', n));
    if (eq == nullptr)
        return 0;
    PyRef name(PyUnicode_DecodeFSDefaultAndSize(entry, eq - entry));
    if (!name)
        return -1;
    PyRef value(PyUnicode_DecodeFSDefaultAndSize(eq + 1, static_cast<Py_ssize_t>(entry + n - (eq + 1))));
    if (!value)
        return -1;
    return PyDict_SetItem(dict, name.get(), value.get());
}

// libkvm's vector copied into one block of our own: the entries back to
// back, each with its NUL. Makes no interpreter call (kvm_lock is held);
// false when there is no memory for the block.
bool copy_vector(char *const *envs, KernelBuf<char> &block, size_t &len) {
    size_t total = 0;
    for (char *const *entry = envs; *entry != nullptr; entry++)
        total += std::strlen(*entry) + 1;
    block.reset(static_cast<char *>(std::malloc(total > 0 ? total : 1)));
    if (!block)
        return false;
    size_t off = 0;
    for (char *const *entry = envs; *entry != nullptr; entry++) {
        size_t n = std::strlen(*entry) + 1;
        std::memcpy(block.get() + off, *entry, n);
        off += n;
    }
    len = total;
    return true;
}

// Why kvm_getenvv gave no vector, by its errno: no environment to report
// (the empty dict), or the exception.
PyObject *raise_for_getenvv(int err, long pid, const struct kinfo_proc *kp, char *buf,
                            size_t size, PyRef &dict) {
    switch (err) {
    case 0:
        return dict.release();
    case EPERM:
        return morvex_oserror_ad("kvm_getenvv -> EPERM");
    case ESRCH:
        return morvex_oserror_nsp("kvm_getenvv -> ESRCH");
    case ENOMEM:
        str_format(buf, size, "kvm_getenvv(pid=%ld, ki_uid=%d) -> ENOMEM", pid,
                   static_cast<int>(kp->ki_uid));
        return morvex_oserror_ad(buf);
    default:
        str_format(buf, size, "kvm_getenvv(pid=%ld)", pid);
        errno = err;
        return morvex_oserror_wsyscall(buf);
    }
}

}  // namespace

extern "C" {

PyObject *morvex_proc_cmdline(PyObject *, PyObject *args) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;

    int mib[4] = {CTL_KERN, KERN_PROC, KERN_PROC_ARGS, pid};
    char *raw = nullptr;
    size_t len = 0;
    if (morvex_sysctl_malloc(mib, 4, &raw, &len) == -1)
        return nullptr;
    KernelBuf<char> buf(raw);

    // Consecutive NUL-terminated strings. The scan of each string stops at
    // the end of the answer, so a last string without its NUL is taken as it
    // stands instead of being read past.
    size_t offset = 0;
    while (offset < len) {
        const char *arg = buf.get() + offset;
        size_t n = strnlen(arg, len - offset);
        PyRef item(PyUnicode_DecodeFSDefaultAndSize(arg, static_cast<Py_ssize_t>(n)));
        if (!item || PyList_Append(list.get(), item.get()) == -1)
            return nullptr;
        offset += n + 1;
    }
    return list.release();
}

PyObject *morvex_proc_environ(PyObject *, PyObject *args) {
    long pid;
    if (!PyArg_ParseTuple(args, "l", &pid))
        return nullptr;

    char errbuf[_POSIX2_LINE_MAX];
    errbuf[0] = '\0';
    KvmHandle kd(kvm_openfiles(nullptr, "/dev/null", nullptr, 0, errbuf));
    if (!kd) {
        convert_kvm_err("kvm_openfiles", errbuf);
        return nullptr;
    }

    PyRef dict(PyDict_New());
    if (!dict)
        return nullptr;

    int cnt = -1;
    const struct kinfo_proc *kp = kvm_getprocs(kd.get(), KERN_PROC_PID, static_cast<int>(pid), &cnt);
    if (kp == nullptr)
        return morvex_oserror_nsp("kvm_getprocs");
    if (cnt == 0)
        return morvex_oserror_nsp("kvm_getprocs: cnt==0");
    if (cnt < 0)
        return morvex_oserror_nsp(kvm_geterr(kd.get()));

    if (!has_user_environment(kp))
        return dict.release();

    // The vector and its strings live in libkvm's process-wide buffers until
    // the next call from any thread: kvm_lock is held while they are copied
    // into a block of our own, and the dict is built from the copy once the
    // lock is given back (building objects may run other Python code). A
    // process in exec is read again after a pause, without the lock.
    KernelBuf<char> block;
    size_t len = 0;
    bool copied = false;
    int attempt = 0;
    for (;;) {
        int err;
        bool read = false;
        {
            MutexGuard lock(kvm_lock);
            // errno 0 after a failed read means there is no environment to
            // report, so no earlier value may linger into the test.
            errno = 0;
            char **envs = kvm_getenvv(kd.get(), kp, 0);
            err = errno;
            if (envs != nullptr) {
                read = true;
                copied = copy_vector(envs, block, len);
            }
        }
        if (read)
            break;
        if (err != EBUSY)
            return raise_for_getenvv(err, pid, kp, errbuf, sizeof errbuf, dict);
        if (!morvex_exec_retry(err, &attempt))
            return morvex_exec_busy("kvm_getenvv");
    }
    if (!copied)
        return PyErr_NoMemory();

    // A later entry with the same name replaces the earlier one.
    for (size_t off = 0; off < len;) {
        const char *entry = block.get() + off;
        size_t n = std::strlen(entry);
        if (store_env_entry(dict.get(), entry, n) == -1)
            return nullptr;
        off += n + 1;
    }
    return dict.release();
}

}  // extern "C"
