// sysctl nodes whose answers are computed from the machine's tables (the
// process table, the socket lists, the interface list, ...), as opposed to the
// plain values stored in Machine::values.
#pragma once

#include <vector>

#include "machine.h"

namespace fakebsd {

struct Provider {
    const char *name;  // dotted name reachable through sysctlbyname, or nullptr
    Mib mib;           // the node's MIB; with `prefix`, every MIB that starts with it
    bool prefix;
    // Compose the answer; return 0, or the errno the kernel would give.
    int (*answer)(const Machine &m, const int *mib, unsigned len, Bytes &out);
    // Accept a new value (nullptr: the node is read-only, EPERM).
    int (*write)(const int *mib, unsigned len, const void *newp, size_t newlen) = nullptr;
};

// One list per capability group; providers.cpp joins them.
const std::vector<Provider> &providers_procs();
const std::vector<Provider> &providers_procs_detail();
const std::vector<Provider> &providers_procs_env();
const std::vector<Provider> &providers_procs_sched();
const std::vector<Provider> &providers_cpumem();
const std::vector<Provider> &providers_socks();
const std::vector<Provider> &providers_ifs();
const std::vector<Provider> &providers_disks();

// A process's record as the table holds it, or a minimal one carrying its pid.
Bytes record_of(const Proc &p);

// The processes in the order the kernel walks its PID hash (proc_iterate).
std::vector<const Proc *> pid_hash_order(const ProcTable &procs);

// The answer of a 64-bit vm_meter.c counter whose stored value is `stored`,
// for a read with a buffer of *oldlen bytes (oldlen null: a size query).
Bytes counter64_answer(const Machine &m, const Bytes &stored, const size_t *oldlen);
// Mark the machine's nodes named in kCounters64 as such counters.
void mark_counters64(Machine &m);
// The ids of the machine's CPUs: the ids of kern.cp_times with a record that
// is not all zeros when it holds more records than hw.ncpu counts CPUs (ids
// with gaps), else 0 to hw.ncpu - 1.
std::vector<int> present_cpus(const Machine &m);

const std::vector<Provider> &all_providers();
const Provider *find_provider(const int *mib, unsigned len);
const Provider *find_provider(std::string_view name);

// Default machine, one part per capability group, in this order.
void default_base(Machine &m);
void default_procs(Machine &m);
void default_procs_detail(Machine &m);
void default_procs_sched(Machine &m);
void default_cpumem(Machine &m);
void default_socks(Machine &m);
void default_ifs(Machine &m);
void default_disks(Machine &m);
void default_users(Machine &m);

// Under AddressSanitizer, sysctl poisons the room of a caller's heap buffer
// past the answer (sysctl.cpp); the stand-in's own libraries, which may use
// that room as libkvm does, open it again. No-ops in other builds.
void open_room(void *buf, size_t room);
void close_room(void *buf, size_t room, size_t written);

}  // namespace fakebsd
