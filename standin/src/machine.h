// The simulated FreeBSD machine behind every stand-in platform call.
//
// A Machine is immutable once installed. Readers take a snapshot (see
// current()) without any global lock; writers (tests installing a machine,
// or a platform call that changes state such as setpriority) build a new
// Machine and swap it in. A machine can be installed for the whole process or
// for the calling thread only, so tests running in parallel threads each see
// their own machine.
#pragma once

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <string_view>
#include <vector>

#include "tables.h"

namespace fakebsd {

using Mib = std::vector<int>;
using Bytes = std::string;

// A fault: makes matching invocations of one platform call fail or answer
// with raw bytes. Matching invocations are counted; the fault applies from the
// nth one, for `times` invocations (-1: for ever).
struct Fault {
    std::string call;                // "sysctl", "sysctlbyname", "kinfo_getfile", ...
    std::optional<std::string> key;  // see each call; nullopt matches every key; the key
                                     // followed by the call's note ("1.14.8.0 (measure)",
                                     // "em0 (SIOCGIFMTU)") matches only those invocations
    long nth = 1;
    long times = -1;
    bool fail = false;               // fail with the call's failure value
    int err = 0;                     // errno set on failure (0: errno left alone)
    std::vector<Bytes> answers;      // raw answers, one per applied invocation; the last repeats
    long report = -1;                // length to report instead of the true one (sysctl)
    std::shared_ptr<std::atomic<long>> seen = std::make_shared<std::atomic<long>>(0);
};

// What a platform call must do after consulting the faults.
struct Action {
    bool fail = false;
    int err = 0;
    const Bytes *raw = nullptr;  // answer with these bytes instead of the machine's
    long report = -1;            // length to report back (sysctl), if not -1
};

// Handles the platform hands out and callers must give back. Shared by all
// versions of one installed machine.
enum Resource { R_SOCKET, R_KVM, R_IFADDRS, R_UTMPX, R_DEVSTAT, R_KINFO, R_COUNT };
inline constexpr const char *resource_names[R_COUNT] = {"sockets", "kvm", "ifaddrs", "utmpx",
                                                         "devstat", "kinfo"};
struct Resources {
    std::atomic<long> open[R_COUNT] = {};
};

struct Machine;

// A node whose answer is composed from the machine's tables and handed out in
// place, like a fault's raw answer (the large tables that callers read into
// growing buffers: one composition per machine, not one per attempt). Returns
// the answer, which must live as long as the machine, or nullptr to let the
// node answer as a plain one; for a size query it may set `report` to the
// room the kernel asks for.
using ServeFn = const Bytes *(*)(const Machine &m, bool size_query, long &report);

// Answers composed from an installed machine (which never changes) on first
// use and kept with it. A copy of a machine starts without them, so a copy
// changed before it is installed composes its own.
class AnswerCache {
  public:
    AnswerCache() = default;
    AnswerCache(const AnswerCache &) {}
    AnswerCache &operator=(const AnswerCache &other) {
        if (this != &other) {
            std::lock_guard<std::mutex> lock(mutex_);
            answers_.clear();
        }
        return *this;
    }
    // The answer kept under `key`, composed by `make` the first time.
    const Bytes &get(const std::string &key, const std::function<Bytes()> &make) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto &slot = answers_[key];
        if (!slot)
            slot = std::make_unique<Bytes>(make());
        return *slot;
    }

  private:
    mutable std::mutex mutex_;
    mutable std::map<std::string, std::unique_ptr<Bytes>> answers_;
};

struct Machine {
    // Plain sysctl nodes, by MIB, and the names that lead to them.
    std::map<Mib, Bytes> values;
    std::map<std::string, Mib, std::less<>> names;
    long pagesize = 4096;

    // Who makes the calls, and the structured tables of the capability
    // groups (tables.h).
    Caller caller;
    JailTable jails;
    ProcTable procs;
    CpuMemTable cpumem;
    SockTable socks;
    IfTable ifs;
    DiskTable disks;
    UserTable users;

    // Nodes served in place (see ServeFn), by the key sysctl's check() gets:
    // the name for sysctlbyname, the dotted MIB for sysctl.
    std::map<std::string, ServeFn, std::less<>> served;
    AnswerCache answers;

    std::vector<Fault> faults;
    // The faults by call and key, for machines with many (a replayed
    // capture has one per recorded call): "call\0key" -> positions in
    // `faults`, in order; the key-less ones under "call\0\1". Used while
    // fault_index_size == faults.size() (see index_faults).
    std::unordered_map<std::string, std::vector<size_t>> fault_index;
    size_t fault_index_size = 0;
    std::shared_ptr<Resources> resources = std::make_shared<Resources>();

    const Bytes *value(const Mib &mib) const;
    const Mib *mib_of(std::string_view name) const;
    void set(const std::string &name, const Mib &mib, Bytes value);  // name may be empty
};

// The machine the calling thread sees (its own, else the process-wide one,
// else the built-in default). The reference stays valid until the next call of
// current() or of an install function on this thread.
const Machine &current();

// Install a machine: for the calling thread, or for the whole process.
void install_thread(std::shared_ptr<const Machine> m);
void uninstall_thread();
void install_global(std::shared_ptr<const Machine> m);
std::shared_ptr<const Machine> snapshot();  // what current() would give, owned

// Change the current machine: copy it, let `edit` change the copy, install the
// copy where the original came from. Used by platform calls that write state.
void mutate(const std::function<void(Machine &)> &edit);

// The built-in default machine (a small FreeBSD 14 server).
std::shared_ptr<const Machine> default_machine();
void build_default(Machine &m);

// The failure value of a call that a fault makes fail: errno set when the
// fault names one (left alone otherwise), -1 returned.
inline int fault_failure(const Action &a) {
    if (a.err)
        errno = a.err;
    return -1;
}

// Index the machine's faults (after they are loaded); without an index,
// check() walks them all.
void index_faults(Machine &m);

// Consult the faults of the current machine for one invocation, and log it in
// the calling thread's call log (with `note` appended to the key there). A
// sysctl invocation that no fault answers or fails gets the node's served
// answer, if it has one.
Action check(const Machine &m, std::string_view call, std::string_view key,
             std::string_view note = {});

// The note sysctl(3) and sysctlbyname(3) give check() for a size query (no
// buffer given).
inline constexpr std::string_view kMeasureNote = " (measure)";

// Inside a sysctl node's answer: whether the invocation being answered is a
// size query, for handlers that report more room than they would fill, as
// the kernel's do. Set by check() from the invocation's note.
bool size_query();

// The calling thread's call log: (call, key) per platform invocation.
std::vector<std::pair<std::string, std::string>> &call_log();

// Count a handle out or back in.
void acquire(const Machine &m, Resource r);
void release(const Machine &m, Resource r);
// Whether the caller may open `n` more descriptors (see Caller::nofile): 0,
// or the errno the open fails with.
int descriptors_exhausted(const Machine &m, int n);

std::string mib_key(const int *mib, unsigned len);  // "1.14.1.42"

}  // namespace fakebsd
