// Installation, snapshots, faults and bookkeeping of the simulated machine.
#include "machine.h"

#include <mutex>

namespace fakebsd {

namespace {

// The process-wide machine. Readers keep a per-thread copy of the pointer and
// only look at the generation counter on the fast path; the mutex is taken
// when a thread has to refresh its copy after a swap, and by writers.
std::mutex global_mutex;
std::shared_ptr<const Machine> global_machine;
std::atomic<uint64_t> global_generation{0};

struct ThreadView {
    uint64_t generation = UINT64_MAX;
    std::shared_ptr<const Machine> cached;    // copy of the global machine
    std::shared_ptr<const Machine> own;       // installed for this thread only
    // The call log, kept while a machine is installed for this thread (tests
    // read it) and bounded, so long runs on the global machine stay flat.
    bool logging = false;
    std::vector<std::pair<std::string, std::string>> log;
    bool measuring = false;  // the invocation last checked is a size query
};
constexpr size_t kLogCap = 1 << 16;
thread_local ThreadView view;

std::shared_ptr<const Machine> load_global() {
    std::lock_guard<std::mutex> lock(global_mutex);
    if (!global_machine)
        global_machine = default_machine();
    return global_machine;
}

}  // namespace

const Bytes *Machine::value(const Mib &mib) const {
    auto it = values.find(mib);
    return it == values.end() ? nullptr : &it->second;
}

const Mib *Machine::mib_of(std::string_view name) const {
    auto it = names.find(name);
    return it == names.end() ? nullptr : &it->second;
}

void Machine::set(const std::string &name, const Mib &mib, Bytes v) {
    if (!name.empty())
        names[name] = mib;
    values[mib] = std::move(v);
}

const Machine &current() {
    if (view.own)
        return *view.own;
    uint64_t gen = global_generation.load(std::memory_order_acquire);
    if (gen != view.generation || !view.cached) {
        view.cached = load_global();
        view.generation = gen;
    }
    return *view.cached;
}

std::shared_ptr<const Machine> snapshot() {
    if (view.own)
        return view.own;
    current();
    return view.cached;
}

void install_thread(std::shared_ptr<const Machine> m) {
    view.own = std::move(m);
    view.log.clear();
    view.logging = true;
}

void uninstall_thread() {
    view.own.reset();
    view.log.clear();
    view.log.shrink_to_fit();
    view.logging = false;
}

void install_global(std::shared_ptr<const Machine> m) {
    std::lock_guard<std::mutex> lock(global_mutex);
    global_machine = std::move(m);
    global_generation.fetch_add(1, std::memory_order_acq_rel);
}

void mutate(const std::function<void(Machine &)> &edit) {
    if (view.own) {
        auto copy = std::make_shared<Machine>(*view.own);
        edit(*copy);
        view.own = std::move(copy);
        return;
    }
    std::lock_guard<std::mutex> lock(global_mutex);
    if (!global_machine)
        global_machine = default_machine();
    auto copy = std::make_shared<Machine>(*global_machine);
    edit(*copy);
    global_machine = std::move(copy);
    global_generation.fetch_add(1, std::memory_order_acq_rel);
}

std::shared_ptr<const Machine> default_machine() {
    // Built once; installing it again shares the same tables but each
    // installation gets fresh resource counters (see the control module).
    static const std::shared_ptr<const Machine> built = [] {
        auto m = std::make_shared<Machine>();
        build_default(*m);
        return std::shared_ptr<const Machine>(std::move(m));
    }();
    return built;
}

Action check(const Machine &m, std::string_view call, std::string_view key,
             std::string_view note) {
    view.measuring = note == kMeasureNote;
    if (view.logging && view.log.size() < kLogCap)
        view.log.emplace_back(std::string(call), std::string(key) + std::string(note));
    Action a;
    std::string noted = std::string(key) + std::string(note);
    // Whether the fault applies to this invocation (then `a` says what to do).
    auto apply = [&a](const Fault &f) {
        long n = f.seen->fetch_add(1, std::memory_order_relaxed) + 1;
        if (n < f.nth || (f.times >= 0 && n >= f.nth + f.times))
            return false;
        a.fail = f.fail;
        a.err = f.err;
        a.report = f.report;
        if (!f.answers.empty()) {
            size_t i = static_cast<size_t>(n - f.nth);
            a.raw = &f.answers[i < f.answers.size() ? i : f.answers.size() - 1];
        }
        return true;
    };
    if (m.fault_index_size == m.faults.size() && !m.faults.empty()) {
        // The faults keyed by the key, by the key with its note, or by no
        // key, merged in their order.
        std::string base = std::string(call) + '\0';
        const std::vector<size_t> *lists[3] = {};
        std::string probes[3] = {base + std::string(key), base + noted, base + '\1'};
        for (int i = 0; i < 3; i++) {
            if (i == 1 && note.empty())
                continue;
            auto it = m.fault_index.find(probes[i]);
            if (it != m.fault_index.end())
                lists[i] = &it->second;
        }
        size_t at[3] = {};
        for (;;) {
            size_t next = m.faults.size();
            for (int i = 0; i < 3; i++)
                if (lists[i] && at[i] < lists[i]->size())
                    next = std::min(next, (*lists[i])[at[i]]);
            if (next == m.faults.size())
                break;
            for (int i = 0; i < 3; i++)
                if (lists[i] && at[i] < lists[i]->size() && (*lists[i])[at[i]] == next)
                    at[i]++;
            if (apply(m.faults[next]))
                break;
        }
    } else {
        for (const Fault &f : m.faults) {
            // A key matches the invocation's key, or the key with its note (a
            // size query's or an ioctl's request name) to match only those.
            if (f.call != call || (f.key && *f.key != key && *f.key != noted))
                continue;
            if (apply(f))
                break;
        }
    }
    if (!a.fail && !a.raw && (call == "sysctl" || call == "sysctlbyname")) {
        auto it = m.served.find(key);
        if (it != m.served.end()) {
            long report = -1;
            a.raw = it->second(m, view.measuring, report);
            if (a.report == -1)
                a.report = report;
        }
    }
    return a;
}

void index_faults(Machine &m) {
    m.fault_index.clear();
    for (size_t i = 0; i < m.faults.size(); i++) {
        const Fault &f = m.faults[i];
        m.fault_index[f.call + '\0' + (f.key ? *f.key : std::string(1, '\1'))].push_back(i);
    }
    m.fault_index_size = m.faults.size();
}

bool size_query() { return view.measuring; }

std::vector<std::pair<std::string, std::string>> &call_log() {
    view.logging = true;
    return view.log;
}

void acquire(const Machine &m, Resource r) { m.resources->open[r].fetch_add(1); }
void release(const Machine &m, Resource r) { m.resources->open[r].fetch_sub(1); }

int descriptors_exhausted(const Machine &m, int n) {
    if (m.caller.nofile < 0)
        return 0;
    const auto &open = m.resources->open;
    long held = open[R_SOCKET].load() + 2 * open[R_KVM].load() + open[R_UTMPX].load();
    return held + n > m.caller.nofile ? m.caller.nofile_errno : 0;
}

std::string mib_key(const int *mib, unsigned len) {
    std::string k;
    for (unsigned i = 0; i < len; i++) {
        if (i)
            k += '.';
        k += std::to_string(mib[i]);
    }
    return k;
}

}  // namespace fakebsd
