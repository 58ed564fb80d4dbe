// Storage: the mounted file systems with their mount options (getfsstat), and
// the I/O counters of every device the kernel keeps statistics for
// (libdevstat).
#include "../../module/functions.h"

static_assert(sizeof(struct statfs) == 2344, "struct statfs size");
static_assert(sizeof(((struct statfs *)nullptr)->f_fstypename) == 16, "statfs f_fstypename size");
static_assert(sizeof(((struct statfs *)nullptr)->f_mntfromname) == 1024, "statfs f_mntfromname size");
static_assert(sizeof(((struct statfs *)nullptr)->f_mntonname) == 1024, "statfs f_mntonname size");
static_assert(sizeof(struct devstat) == 288, "struct devstat size");
static_assert(sizeof(struct devinfo) == 32, "struct devinfo size");
static_assert(sizeof(((struct devstat *)nullptr)->device_name) == 16, "devstat device_name size");
static_assert(sizeof(struct bintime) == 16, "struct bintime size");

namespace {

// Mount flags and their option texts, in the order they are tested and
// written (not the order of the flag values). "ro"/"rw" comes first.
struct MountOption {
    uint32_t flag;
    const char *text;
};
constexpr MountOption kMountOptions[] = {
    {MNT_SYNCHRONOUS, ",sync"},      {MNT_NOEXEC, ",noexec"},         {MNT_NOSUID, ",nosuid"},
    {MNT_ASYNC, ",async"},           {MNT_NOATIME, ",noatime"},       {MNT_SOFTDEP, ",softdep"},
    {MNT_UNION, ",union"},           {MNT_SUIDDIR, ",suiddir"},       {MNT_NOSYMFOLLOW, ",nosymfollow"},
    {MNT_GJOURNAL, ",gjournal"},     {MNT_MULTILABEL, ",multilabel"}, {MNT_ACLS, ",acls"},
    {MNT_NOCLUSTERR, ",noclusterr"}, {MNT_NOCLUSTERW, ",noclusterw"}, {MNT_NFS4ACLS, ",nfs4acls"},
};
constexpr size_t kOptionsSize = 200;

constexpr size_t longest_options() {
    size_t n = 2;  // "ro" or "rw"
    for (const MountOption &o : kMountOptions)
        for (const char *c = o.text; *c; c++)
            n++;
    return n;
}
static_assert(longest_options() < kOptionsSize, "every option text fits the buffer");

// The interpreter's thread state is released for the life of this object.
class ThreadStateReleased {
  public:
    ThreadStateReleased() : tstate_(PyEval_SaveThread()) {}
    ~ThreadStateReleased() { PyEval_RestoreThread(tstate_); }
    ThreadStateReleased(const ThreadStateReleased &) = delete;
    ThreadStateReleased &operator=(const ThreadStateReleased &) = delete;

  private:
    PyThreadState *tstate_;
};

// getfsstat with MNT_NOWAIT (the kernel's cached statistics, no file system
// asked to refresh them), made without the thread state. errno keeps what the
// call left, across the reattachment.
int fsstat_released(struct statfs *buf, long bufsize) {
    int count, err;
    {
        ThreadStateReleased released;
        count = getfsstat(buf, bufsize, MNT_NOWAIT);
        err = errno;
    }
    errno = err;
    return count;
}

// A fixed-size text field of a kernel record, up to its first NUL or its end.
template <size_t N>
Py_ssize_t field_len(const char (&field)[N]) {
    return static_cast<Py_ssize_t>(strnlen(field, N));
}

PyObject *decode_field(const char *field, Py_ssize_t len) {
    return PyUnicode_DecodeFSDefaultAndSize(field, len);
}

// One mount record as (device, mount point, type, options).
PyObject *partition_entry(const struct statfs &fs) {
    // Every option flag lives in the low 32 bits.
    uint32_t flags = static_cast<uint32_t>(fs.f_flags);
    char opts[kOptionsSize];
    opts[0] = '\0';
    str_append(opts, sizeof opts, (flags & MNT_RDONLY) ? "ro" : "rw");
    for (const MountOption &o : kMountOptions)
        if (flags & o.flag)
            str_append(opts, sizeof opts, o.text);

    PyRef dev(decode_field(fs.f_mntfromname, field_len(fs.f_mntfromname)));
    if (!dev)
        return nullptr;
    PyRef mnt(decode_field(fs.f_mntonname, field_len(fs.f_mntonname)));
    if (!mnt)
        return nullptr;
    PyRef type(decode_field(fs.f_fstypename, field_len(fs.f_fstypename)));
    if (!type)
        return nullptr;
    return Py_BuildValue("(OOOs)", dev.get(), mnt.get(), type.get(), opts);
}

// Whole milliseconds of a bintime, by the kernel's bintime-to-timespec rule:
// only the upper 32 bits of the fraction count, and both steps truncate.
long long bintime_ms(const struct bintime &bt) {
    uint64_t ns = (UINT64_C(1000000000) * (bt.frac >> 32)) >> 32;
    return static_cast<long long>(static_cast<uint64_t>(bt.sec) * 1000 + ns / 1000000);
}

// The caller's struct devinfo and the library memory that devstat_getdevs
// hangs on it (mem_ptr, holding the device records); both freed together.
struct DevinfoDeleter {
    void operator()(struct devinfo *d) const noexcept {
        std::free(d->mem_ptr);
        std::free(d);
    }
};
using DevinfoBuf = std::unique_ptr<struct devinfo, DevinfoDeleter>;

// One device's counters: reads, writes, bytes read and written, then read,
// write and busy time in milliseconds.
PyObject *device_counters(const struct devstat &ds) {
    return Py_BuildValue("(KKKKLLL)", static_cast<unsigned long long>(ds.operations[DEVSTAT_READ]),
                         static_cast<unsigned long long>(ds.operations[DEVSTAT_WRITE]),
                         static_cast<unsigned long long>(ds.bytes[DEVSTAT_READ]),
                         static_cast<unsigned long long>(ds.bytes[DEVSTAT_WRITE]),
                         bintime_ms(ds.duration[DEVSTAT_READ]), bintime_ms(ds.duration[DEVSTAT_WRITE]),
                         bintime_ms(ds.busy_time));
}

}  // namespace

extern "C" {

PyObject *morvex_disk_partitions(PyObject *, PyObject *) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    int count = fsstat_released(nullptr, 0);
    if (count < 0)
        return morvex_oserror();
    size_t room = static_cast<size_t>(count);
    size_t size = room * sizeof(struct statfs);
    // (One byte for an empty table, so that a null block always means failure.)
    KernelBuf<struct statfs> buf(static_cast<struct statfs *>(std::malloc(size ? size : 1)));
    if (!buf)
        return PyErr_NoMemory();
    // The mount table may have changed since it was counted: the kernel stores
    // at most `room` records and says how many it stored.
    int stored = fsstat_released(buf.get(), static_cast<long>(size));
    if (stored < 0)
        return morvex_oserror();
    size_t n = stored > 0 ? std::min(static_cast<size_t>(stored), room) : 0;
    for (size_t i = 0; i < n; i++) {
        PyRef entry(partition_entry(buf.get()[i]));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
    }
    return list.release();
}

PyObject *morvex_disk_io_counters(PyObject *, PyObject *) {
    PyRef counters(PyDict_New());
    if (!counters)
        return nullptr;
    if (devstat_checkversion(nullptr) < 0)
        return morvex_runtime_error("devstat_checkversion() syscall failed");
    DevinfoBuf dinfo(static_cast<struct devinfo *>(std::calloc(1, sizeof(struct devinfo))));
    if (!dinfo)
        return PyErr_NoMemory();
    struct statinfo stats;
    std::memset(&stats, 0, sizeof stats);
    stats.dinfo = dinfo.get();
    if (devstat_getdevs(nullptr, &stats) == -1)
        return morvex_runtime_error("devstat_getdevs() syscall failed");
    for (int i = 0; i < dinfo->numdevs; i++) {
        const struct devstat &ds = dinfo->devices[i];
        char key[128];
        str_format(key, sizeof key, "%.*s%d", static_cast<int>(field_len(ds.device_name)), ds.device_name,
                   ds.unit_number);
        PyRef entry(device_counters(ds));
        if (!entry)
            return nullptr;
        // Not PyDict_SetItemString: it interns the key, and interning takes a
        // lock every thread of the interpreter shares.
        PyRef name(PyUnicode_DecodeFSDefault(key));
        if (!name || PyDict_SetItem(counters.get(), name.get(), entry.get()) < 0)
            return nullptr;
    }
    return counters.release();
}

}  // extern "C"
