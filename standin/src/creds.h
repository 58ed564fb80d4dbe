// FreeBSD's lookup of a process by a system call and its permission checks
// (kern_proc.c pget, pfind, pfind_any; kern_prot.c cr_cansee, p_candebug,
// p_cansched, cr_cansignal), between the machine's caller and the process's
// credentials as its kinfo_proc record carries them.
#pragma once

#include "machine.h"

namespace fakebsd {

// pget()'s flags, as far as the stand-in's calls use them.
enum : unsigned {
    PG_CANSEE = 1,     // p_cansee: ESRCH for a process the caller may not see
    PG_CANDEBUG = 2,   // p_candebug: EPERM for someone else's process
    PG_CANSCHED = 4,   // p_cansched (cpuset, priority): EPERM
    PG_NOTWEXIT = 8,   // pfind rather than pfind_any: a zombie is ESRCH
    PG_WANTREAD = PG_CANDEBUG | PG_NOTWEXIT,
};

// The process `pid` names, looked up and checked in pget()'s order; nullptr
// with *err set to the kernel's errno when it fails.
const Proc *pget(const Machine &m, long long pid, unsigned flags, int *err);

// The checks one by one: 0 or the errno the kernel gives.
int p_cansee(const Machine &m, const Proc &p);
int p_candebug(const Machine &m, const Proc &p);
int p_cansched(const Machine &m, const Proc &p);
int p_cansignal(const Machine &m, const Proc &p);

// A zombie, or a process on its way out (P_WEXIT).
bool exiting(const Proc &p);
// An integer sysctl of the machine by name (security.bsd.*), or `fallback`.
int sysctl_int(const Machine &m, const char *name, int fallback);

}  // namespace fakebsd
