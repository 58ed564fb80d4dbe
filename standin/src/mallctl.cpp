// Stand-in allocator control: mallctl(3) for the names the module uses.
// Statistics come from the machine when a test fixed them, otherwise from
// the host process's real allocator, so that they say something true about
// the running process; purging all arenas trims the host's heap.
//
// mallctl answers as jemalloc's ctl.c does: it returns an error number and
// never touches errno; an unknown name is ENOENT; reading with a length other
// than the value's copies what fits and is EINVAL, leaving *oldlenp alone;
// writing a read-only name, or reading or writing an action
// (thread.tcache.flush, arena.<i>.purge), is EPERM; writing the epoch takes
// exactly 8 bytes (EINVAL otherwise) and refreshes the statistics.
//
// Fault "mallctl" (key: the name) makes it return the fault's errno (EINVAL
// when that is 0); an answer without a failure is the old value as raw
// bytes, copied as far as the caller has room, with its true length reported
// back: an allocator that misreports, which jemalloc never does.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
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

// jemalloc's READ: the caller's length must be the value's size; otherwise
// what fits is copied, *oldlenp is left as it was, and the answer is EINVAL.
template <class T>
int read_value(const T &v, void *oldp, size_t *oldlenp) {
    if (!oldp || !oldlenp)
        return 0;
    if (*oldlenp != sizeof(T)) {
        std::memcpy(oldp, &v, std::min(*oldlenp, sizeof(T)));
        return EINVAL;
    }
    std::memcpy(oldp, &v, sizeof(T));
    return 0;
}

bool reads(void *oldp, size_t *oldlenp) { return oldp || oldlenp; }
bool writes(void *newp, size_t newlen) { return newp || newlen; }

// "arena.<i>.purge", i in decimal digits. Whether jemalloc's name lookup
// (arena_i_index) accepts i is checked by the caller.
bool is_purge(std::string_view name, unsigned *arena) {
    constexpr std::string_view head = "arena.", tail = ".purge";
    if (name.size() <= head.size() + tail.size() || name.substr(0, head.size()) != head ||
        name.substr(name.size() - tail.size()) != tail)
        return false;
    std::string_view digits = name.substr(head.size(), name.size() - head.size() - tail.size());
    unsigned long v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned long>(c - '0');
        if (v > 0xffffffffUL)
            return false;
    }
    *arena = static_cast<unsigned>(v);
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
        // arena_i_index: an index past the arena count names nothing; the
        // count itself, like MALLCTL_ARENAS_ALL, means every arena.
        if (arena != MALLCTL_ARENAS_ALL && arena != MALLCTL_ARENAS_DESTROYED && arena > kArenas)
            return ENOENT;
        if (reads(oldp, oldlenp) || writes(newp, newlen))
            return EPERM;
        if (!m.cpumem.heap && (arena == MALLCTL_ARENAS_ALL || arena == kArenas))
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
