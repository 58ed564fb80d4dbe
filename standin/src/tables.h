// The structured state of the simulated machine, one table per capability
// group. Records are kept as raw bytes in FreeBSD's layout, so tests can also
// place malformed records; the platform calls serve them as they are.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tables_cpumem.h"
#include "tables_creds.h"
#include "tables_disks.h"
#include "tables_ifs.h"
#include "tables_socks.h"
#include "tables_users.h"

namespace fakebsd {

// How kill(pid, 0) answers for a process.
enum class KillAnswer { Alive, NotPermitted, Gone };

struct Proc {
    int pid = 0;
    std::string kinfo;                   // struct kinfo_proc, for KERN_PROC_PID and the process table
    std::vector<std::string> threads;    // one struct kinfo_proc per thread (KERN_PROC_INC_THREAD)
    std::string args;                    // KERN_PROC_ARGS answer: NUL-terminated strings
    std::optional<std::string> path;     // KERN_PROC_PATHNAME answer; nullopt: ENOENT
    std::vector<std::string> env;        // kvm_getenvv vector
    // The descriptor table (kern.proc.filedesc) and the memory map
    // (kern.proc.vmmap) as the kernel fills them: whole struct kinfo_file /
    // kinfo_vmentry records back to back, each packed when handed out. The
    // descriptor table starts with the kernel's own entries (trace file,
    // text, controlling terminal, working, root and jail directory).
    std::string files;
    std::string vmmap;
    std::string cpuset;                  // cpuset_t (128 bytes)
    std::map<int, std::string> rlimits;  // resource -> struct rlimit
    int nice = 0;
    KillAnswer liveness = KillAnswer::Alive;
    bool listed = true;                  // appears in the KERN_PROC_PROC table
    // A process in execve() (P_INEXEC in its record): the reads p_candebug
    // guards answer EBUSY for this many of them, then the exec is over and
    // they answer; -1: for as long as the machine is installed. The count
    // is shared by the machine's later versions.
    long exec_busy = -1;
    std::shared_ptr<std::atomic<long>> exec_reads = std::make_shared<std::atomic<long>>(0);
};

struct ProcTable {
    std::vector<Proc> list;       // in the order the processes were created
    std::map<int, size_t> index;  // pid -> position in list
    const Proc *find(int pid) const {
        auto it = index.find(pid);
        return it == index.end() ? nullptr : &list[it->second];
    }
    // A process that still exists (not one that has exited since it was listed).
    const Proc *live(int pid) const {
        const Proc *p = find(pid);
        return p && p->liveness != KillAnswer::Gone ? p : nullptr;
    }
    // kern.maxproc, which sizes the kernel's PID hash and so the order of
    // kern.proc.proc. 20 + 16 * maxusers, maxusers autotuned from 16 GB.
    int maxproc = 21716;
    Proc &add(Proc p) {
        index[p.pid] = list.size();
        list.push_back(std::move(p));
        return list.back();
    }
};

}  // namespace fakebsd
