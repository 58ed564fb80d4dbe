// Stand-in allocator control: mallctl(3) for the names the module uses.
// Statistics come from the machine when a test fixed them, otherwise from
// the host process's real allocator, so that they say something true about
// the running process; purging all arenas trims the host's heap.
//
// mallctl returns an error number and never touches errno. Fault "mallctl"
// (key: the name) makes it return the fault's errno (EINVAL when that is 0);
// an answer without a failure is the old value as raw bytes, copied as far as
// the caller has room, with its true length reported back.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "machine.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

// host_malloc.cpp
void host_heap_figures(uint64_t *allocated, uint64_t *mapped);
void host_heap_trim();

namespace {

// The allocator's statistics epoch: every refresh advances it.
std::atomic<uint64_t> stats_epoch{1};

constexpr unsigned kArenas = 16;  // arenas the simulated allocator has

// Keeps errno as the caller had it.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

  private:
    int saved_;
};

// jemalloc's rules for reading a value: the caller's length must be the
// value's size; otherwise what fits is copied and the answer is EINVAL.
template <class T>
int read_value(const T &v, void *oldp, size_t *oldlenp) {
    if (!oldp || !oldlenp)
        return 0;
    if (*oldlenp != sizeof(T)) {
        size_t n = std::min(*oldlenp, sizeof(T));
        std::memcpy(oldp, &v, n);
        *oldlenp = n;
        return EINVAL;
    }
    std::memcpy(oldp, &v, sizeof(T));
    return 0;
}

bool reads(void *oldp, size_t *oldlenp) { return oldp || oldlenp; }
bool writes(void *newp, size_t newlen) { return newp || newlen; }

// "arena.<i>.purge" for a valid arena index or MALLCTL_ARENAS_ALL.
bool is_purge(std::string_view name, unsigned *arena) {
    unsigned i = 0;
    int end = 0;
    std::string s(name);
    if (std::sscanf(s.c_str(), "arena.%u.purge%n", &i, &end) != 1 || static_cast<size_t>(end) != s.size())
        return false;
    *arena = i;
    return true;
}

int control(const Machine &m, std::string_view name, void *oldp, size_t *oldlenp, void *newp,
            size_t newlen) {
    if (name == "thread.tcache.flush") {
        if (reads(oldp, oldlenp) || writes(newp, newlen))
            return EPERM;
        return 0;  // the calling thread's cache holds nothing of its own here
    }
    if (name == "epoch") {
        if (newp) {
            if (newlen != sizeof(uint64_t))
                return EINVAL;
            stats_epoch.fetch_add(1, std::memory_order_relaxed);
        }
        return read_value(stats_epoch.load(std::memory_order_relaxed), oldp, oldlenp);
    }
    if (name == "stats.allocated" || name == "stats.mapped") {
        if (writes(newp, newlen))
            return EPERM;
        uint64_t allocated, mapped;
        if (m.cpumem.heap) {
            allocated = m.cpumem.heap->allocated;
            mapped = m.cpumem.heap->mapped;
        } else {
            host_heap_figures(&allocated, &mapped);
        }
        size_t v = static_cast<size_t>(name == "stats.allocated" ? allocated : mapped);
        return read_value(v, oldp, oldlenp);
    }
    unsigned arena;
    if (is_purge(name, &arena)) {
        if (arena != MALLCTL_ARENAS_ALL && arena >= kArenas)
            return EFAULT;
        if (reads(oldp, oldlenp) || writes(newp, newlen))
            return EPERM;
        if (!m.cpumem.heap)
            host_heap_trim();
        return 0;
    }
    return ENOENT;
}

}  // namespace
}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_mallctl(const char *name, void *oldp, size_t *oldlenp, void *newp, size_t newlen) {
    ErrnoKeeper keep;
    if (!name)
        return EINVAL;
    const Machine &m = current();
    Action a = check(m, "mallctl", name);
    if (a.fail)
        return a.err ? a.err : EINVAL;
    if (a.raw) {
        if (oldp && oldlenp)
            std::memcpy(oldp, a.raw->data(), std::min(*oldlenp, a.raw->size()));
        if (oldlenp)
            *oldlenp = a.raw->size();
        return 0;
    }
    return control(m, name, oldp, oldlenp, newp, newlen);
}
