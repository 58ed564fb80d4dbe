// One process's status from its kernel record: the snapshot tuple the Python
// layer answers most questions from, the command name and the thread count.
// Each call fetches a fresh record.
#include "../../module/functions.h"

static_assert(sizeof(struct kinfo_proc) == 1088, "struct kinfo_proc size");

namespace {

double seconds(const struct timeval &tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6;
}

// A page count in bytes. Computed unsigned, so that a nonsensical count in a
// malformed record wraps instead of overflowing.
long page_bytes(segsz_t pages, long pagesize) {
    return static_cast<long>(static_cast<unsigned long>(pages) * static_cast<unsigned long>(pagesize));
}

// The CPU the process runs on now, else the one it last ran on.
int current_cpu(const struct kinfo_proc &kp) {
    if (kp.ki_stat == SRUN && kp.ki_oncpu != NOCPU)
        return kp.ki_oncpu;
    return kp.ki_lastcpu;
}

// The command name into `buf`. The kernel NUL-terminates ki_comm; the copy
// still stops at the field's end, so a record without the NUL is not read
// beyond it.
void copy_comm(char *buf, size_t size, const struct kinfo_proc &kp) {
    str_format(buf, size, "%.*s", static_cast<int>(sizeof kp.ki_comm), kp.ki_comm);
}

// The record of `pid`, zero-filled first: a short answer leaves the fields it
// does not reach at 0 rather than undefined.
int fetch(pid_t pid, struct kinfo_proc &kp) {
    std::memset(&kp, 0, sizeof kp);
    return morvex_kinfo_proc(pid, &kp);
}

}  // namespace

extern "C" {

PyObject *morvex_proc_oneshot_info(PyObject *, PyObject *args) {
    const long pagesize = morvex_getpagesize();
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    struct kinfo_proc kp;
    if (fetch(pid, kp) == -1)
        return nullptr;

    char comm[256];
    copy_comm(comm, sizeof comm, kp);
    PyRef name(PyUnicode_DecodeFSDefault(comm));
    if (!name) {
        PyErr_Clear();
        name = PyRef::borrow(Py_None);
    }
    PyRef ppid(PyLong_FromLong(kp.ki_ppid));
    if (!ppid)
        return nullptr;

    return Py_BuildValue(
        "(OillllllLdllllddddlllllbO)",
        ppid.get(),                                       // 1 parent PID
        static_cast<int>(static_cast<signed char>(kp.ki_stat)),  // 2 state
        static_cast<long>(kp.ki_ruid),                    // 3 real UID
        static_cast<long>(kp.ki_uid),                     // 4 effective UID
        static_cast<long>(kp.ki_svuid),                   // 5 saved UID
        static_cast<long>(kp.ki_rgid),                    // 6 real GID
        static_cast<long>(kp.ki_groups[0]),               // 7 effective GID
        static_cast<long>(kp.ki_svgid),                   // 8 saved GID
        static_cast<long long>(kp.ki_tdev),               // 9 terminal, NODEV is -1
        seconds(kp.ki_start),                             // 10 start time
        static_cast<long>(kp.ki_rusage.ru_nvcsw),         // 11 voluntary switches
        static_cast<long>(kp.ki_rusage.ru_nivcsw),        // 12 involuntary switches
        static_cast<long>(kp.ki_rusage.ru_inblock),       // 13 block input
        static_cast<long>(kp.ki_rusage.ru_oublock),       // 14 block output
        seconds(kp.ki_rusage.ru_utime),                   // 15 user time
        seconds(kp.ki_rusage.ru_stime),                   // 16 system time
        seconds(kp.ki_rusage_ch.ru_utime),                // 17 children's user time
        seconds(kp.ki_rusage_ch.ru_stime),                // 18 children's system time
        page_bytes(kp.ki_rssize, pagesize),               // 19 RSS
        static_cast<long>(kp.ki_size),                    // 20 virtual size, in bytes already
        page_bytes(kp.ki_tsize, pagesize),                // 21 text
        page_bytes(kp.ki_dsize, pagesize),                // 22 data
        page_bytes(kp.ki_ssize, pagesize),                // 23 stack
        current_cpu(kp),                                  // 24 CPU, its full int value
        name.get());                                      // 25 name or None
}

PyObject *morvex_proc_name(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    struct kinfo_proc kp;
    if (fetch(pid, kp) == -1)
        return nullptr;
    char comm[1000];
    copy_comm(comm, sizeof comm, kp);
    return PyUnicode_DecodeFSDefault(comm);
}

PyObject *morvex_proc_num_threads(PyObject *, PyObject *args) {
    pid_t pid;
    if (!PyArg_ParseTuple(args, "i", &pid))
        return nullptr;
    struct kinfo_proc kp;
    if (fetch(pid, kp) == -1)
        return nullptr;
    return Py_BuildValue("l", static_cast<long>(kp.ki_numthreads));
}

}  // extern "C"
