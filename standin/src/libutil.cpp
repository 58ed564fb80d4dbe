// Stand-in libutil: kinfo_getfile(3) and kinfo_getvmmap(3). Both hand out a
// malloc'ed array of fixed-size records that the caller frees.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {
namespace {

// The process's table (or the fault's raw answer) as a fresh array of whole
// records; nullptr with errno set (or left alone) on failure.
void *hand_out(const char *call, pid_t pid, std::string Proc::*table, size_t record, int *cntp) {
    const Machine &m = current();
    Action a = check(m, call, std::to_string(pid));
    if (a.fail) {
        if (a.err)
            errno = a.err;
        return nullptr;
    }
    const Proc *p = m.procs.live(pid);
    if (!a.raw && !p) {
        errno = ESRCH;
        return nullptr;
    }
    const Bytes &data = a.raw ? *a.raw : p->*table;
    size_t count = data.size() / record;
    // Never a zero-sized allocation: callers free what they get either way.
    void *out = std::calloc(count ? count : 1, record);
    if (!out) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(out, data.data(), count * record);
    *cntp = static_cast<int>(count);
    return out;
}

}  // namespace
}  // namespace fakebsd

extern "C" struct kinfo_file *fbsd_kinfo_getfile(pid_t pid, int *cntp) {
    return static_cast<struct kinfo_file *>(
        fakebsd::hand_out("kinfo_getfile", pid, &fakebsd::Proc::files, sizeof(struct kinfo_file), cntp));
}

extern "C" struct kinfo_vmentry *fbsd_kinfo_getvmmap(pid_t pid, int *cntp) {
    return static_cast<struct kinfo_vmentry *>(
        fakebsd::hand_out("kinfo_getvmmap", pid, &fakebsd::Proc::vmmap, sizeof(struct kinfo_vmentry), cntp));
}
