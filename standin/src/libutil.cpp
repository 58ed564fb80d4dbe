// Stand-in libutil: kinfo_getfile(3) and kinfo_getvmmap(3), as libutil
// builds them on the kernel's packed answers (kern.proc.filedesc.<pid>,
// kern.proc.vmmap.<pid>): measure, allocate a third more, read, then expand
// each packed record into a zeroed array of whole records that the caller
// frees.
//
// Faults:
//   "kinfo_getfile" / "kinfo_getvmmap" (key: the pid) fail the call (errno
//       set, or left alone), or answer with raw bytes: whole records, handed
//       out as the array (a trailing partial record is not counted).
// Failures of the sysctl calls inside, and raw packed answers to them, come
// from "sysctl" faults on {CTL_KERN, KERN_PROC, KERN_PROC_FILEDESC, pid} and
// {CTL_KERN, KERN_PROC, KERN_PROC_VMMAP, pid}.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {
namespace {

struct Free {
    void operator()(void *p) const { std::free(p); }
};

// An array of `count` zeroed records; never a zero-sized allocation, since
// callers free what they get either way.
void *zeroed(size_t count, size_t record) { return std::calloc(count ? count : 1, record); }

// The fault's raw answer as the array: its whole records.
void *raw_array(const Bytes &data, size_t record, int *cntp) {
    size_t count = data.size() / record;
    void *out = zeroed(count, record);
    if (!out) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(out, data.data(), count * record);
    *cntp = static_cast<int>(count);
    return out;
}

// `n` bytes of the answer [buf, end) from `at`; what lies past the answer
// reads as zeros. (libutil itself reads on into the rest of its buffer and
// beyond when a record claims more than is left.)
void take(char *dst, const char *at, const char *end, size_t n) {
    size_t have = at < end ? std::min(n, static_cast<size_t>(end - at)) : 0;
    std::memcpy(dst, at, have);
    std::memset(dst + have, 0, n - have);
}

// The size a packed record gives in its first field (an int).
int packed_size(const char *at, const char *end) {
    int size;
    take(reinterpret_cast<char *>(&size), at, end, sizeof size);
    return size;
}

// libutil's kinfo_getfile / kinfo_getvmmap for the node `op` of the process.
void *unpack(const char *call, int op, pid_t pid, size_t record, int *cntp) {
    *cntp = 0;
    {
        const Machine &m = current();
        Action a = check(m, call, std::to_string(pid));
        if (a.fail) {
            if (a.err)
                errno = a.err;
            return nullptr;
        }
        if (a.raw)
            return raw_array(*a.raw, record, cntp);
    }
    int mib[4] = {CTL_KERN, KERN_PROC, op, pid};
    size_t len = 0;
    if (fbsd_sysctl(mib, 4, nullptr, &len, nullptr, 0) == -1)
        return nullptr;
    len = len * 4 / 3;
    std::unique_ptr<char, Free> buf(static_cast<char *>(std::malloc(len ? len : 1)));
    if (!buf) {
        errno = ENOMEM;
        return nullptr;
    }
    // No second try: a table that grew by more than a third fails (ENOMEM).
    if (fbsd_sysctl(mib, 4, buf.get(), &len, nullptr, 0) == -1)
        return nullptr;
    const char *end = buf.get() + len;
    // Pass 1: count the records, each as long as it says; a size of 0 ends
    // the walk. (A negative size would walk libutil backwards; here it ends
    // the walk as well.)
    size_t count = 0;
    for (const char *bp = buf.get(); bp < end; count++) {
        int size = packed_size(bp, end);
        if (size <= 0)
            break;
        bp += std::min(static_cast<size_t>(size), static_cast<size_t>(end - bp));
    }
    void *out = zeroed(count, record);
    if (!out) {
        errno = ENOMEM;
        return nullptr;
    }
    // Pass 2: copy each record into a whole one and give it the whole size.
    // (libutil copies as many bytes as the record says, even more than a
    // whole record holds; here the copy stops at the whole record.)
    char *kp = static_cast<char *>(out);
    const char *bp = buf.get();
    for (size_t i = 0; i < count; i++, kp += record) {
        size_t size = static_cast<size_t>(packed_size(bp, end));
        take(kp, bp, end, std::min(size, record));
        int whole = static_cast<int>(record);
        std::memcpy(kp, &whole, sizeof whole);
        bp += std::min(size, static_cast<size_t>(end - bp));
    }
    *cntp = static_cast<int>(count);
    return out;
}

}  // namespace
}  // namespace fakebsd

extern "C" struct kinfo_file *fbsd_kinfo_getfile(pid_t pid, int *cntp) {
    return static_cast<struct kinfo_file *>(
        fakebsd::unpack("kinfo_getfile", KERN_PROC_FILEDESC, pid, sizeof(struct kinfo_file), cntp));
}

extern "C" struct kinfo_vmentry *fbsd_kinfo_getvmmap(pid_t pid, int *cntp) {
    return static_cast<struct kinfo_vmentry *>(
        fakebsd::unpack("kinfo_getvmmap", KERN_PROC_VMMAP, pid, sizeof(struct kinfo_vmentry), cntp));
}
