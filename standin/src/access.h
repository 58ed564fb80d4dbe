// Who may see what: the kernel's process lookup for a request about one
// process (pget), and the visibility checks that the whole-system tables
// apply to each entry (kern.proc.proc, kern.file, the protocol lists).
//
// Every platform call that reads a process's tables goes through pget() with
// the flags the kernel's handler passes, and every entry of a system-wide
// table through the matching check below, so credentials, jails and dying
// processes are decided here and nowhere else. The checks may depend on the
// machine alone (the caller is part of it): kern.file and the protocol lists
// are composed once per installed machine and then handed out as they are.
#pragma once

#include "machine.h"

struct xsocket;

namespace fakebsd {

// <sys/proc.h>: process IDs above this are thread IDs.
inline constexpr long long kPidMax = 99999;

// pget(9)'s flags, as the handlers pass them (sys/sys/proc.h).
enum PgetFlags : unsigned {
    kPgetCanSee = 1u << 0,    // PGET_CANSEE: p_cansee
    kPgetCanDebug = 1u << 1,  // PGET_CANDEBUG: p_candebug
    kPgetNotWexit = 1u << 2,  // PGET_NOTWEXIT: not a zombie, not exiting
    kPgetNotId = 1u << 3,     // PGET_NOTID: a number above PID_MAX is not a thread ID
    kPgetWantRead = kPgetCanDebug | kPgetNotWexit,  // PGET_WANTREAD (with PGET_HOLD)
};

// The process `pid` names for the calling thread, as pget() finds it: a
// process ID (zombies included, as pfind_any finds them), or above PID_MAX a
// thread ID standing for its process; then the checks the flags ask for.
// nullptr with `err` set to the kernel's errno when there is none or a check
// refuses.
const Proc *pget(const Machine &m, long long pid, unsigned flags, int &err);

// The checks themselves: 0, or the errno the kernel gives (p_cansee: ESRCH;
// p_candebug: ESRCH or EPERM).
int p_cansee(const Machine &m, const Proc &p);
int p_candebug(const Machine &m, const Proc &p);

// Whether the caller sees the process `pid` in a system-wide table
// (kern.proc.proc, kern.file): p_cansee. A PID the process table does not
// know (a table placed by hand) is seen.
bool sees_pid(const Machine &m, int pid);

// Whether the caller sees a protocol control block, by the credential of its
// socket (cr_canseeinpcb, cr_canseesocket); `so` is the record's embedded
// xsocket, all zero for a block without a socket.
bool sees_socket(const Machine &m, const struct xsocket &so);

}  // namespace fakebsd
