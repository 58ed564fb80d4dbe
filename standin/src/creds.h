// FreeBSD's lookup of a process by a system call and its permission checks
// (kern_proc.c pget, pfind, pfind_any; kern_prot.c cr_cansee, p_candebug,
// p_cansched, cr_cansignal), between the machine's caller and the process's
// credentials as its kinfo_proc record carries them.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "machine.h"

struct xsocket;

namespace fakebsd {

// <sys/proc.h>: process IDs above this are thread IDs.
inline constexpr long long kPidMax = 99999;

// pget()'s flags, as far as the stand-in's calls use them.
enum : unsigned {
    PG_CANSEE = 1,     // p_cansee: ESRCH for a process the caller may not see
    PG_CANDEBUG = 2,   // p_candebug: EPERM for someone else's process
    PG_CANSCHED = 4,   // p_cansched (cpuset, priority): EPERM
    PG_NOTWEXIT = 8,   // pfind rather than pfind_any: a zombie is ESRCH
    PG_WANTREAD = PG_CANDEBUG | PG_NOTWEXIT,
    // The lookup is pget()'s own (no PGET_NOTID): a number above PID_MAX is
    // a thread ID, standing for its process (tdfind). Lookups by pfind
    // (cpuset, priority) do not pass it.
    PG_TID = 16,
};

// The process `pid` names, looked up and checked in pget()'s order; nullptr
// with *err set to the kernel's errno when it fails.
const Proc *pget(const Machine &m, long long pid, unsigned flags, int *err);

// The checks one by one: 0 or the errno the kernel gives.
int p_cansee(const Machine &m, const Proc &p);
int p_candebug(const Machine &m, const Proc &p);
int p_cansched(const Machine &m, const Proc &p);
int p_cansignal(const Machine &m, const Proc &p);

// Whether the caller sees the process `pid` in a system-wide table
// (kern.proc.proc, kern.file), which leaves the others out without a word:
// p_cansee. A PID the process table does not know (a table placed by hand)
// is seen. The system-wide socket tables are composed once per installed
// machine: this and sees_socket may depend on the machine alone.
bool sees_pid(const Machine &m, int pid);

// Whether the caller sees a protocol control block in its list
// (cr_canseeinpcb, or cr_canseesocket for UNIX-domain sockets), by the
// credential of its socket; `so` is the record's embedded xsocket, all zero
// for a block without a socket. The credential is the socket's uid (so_uid)
// with the groups and jail the machine's socket table gives it (SockCred;
// the host's when it gives none): the caller's jail must be the socket's,
// and unless it is privileged, without see_other_uids its real uid the
// socket's, without see_other_gids one of its groups one of the socket's.
class SocketSight {
  public:
    explicit SocketSight(const Machine &m);
    bool sees(const struct xsocket &so) const;

  private:
    const Machine &m_;
    bool all_ = false;
    bool other_uids_ = true;
    bool other_gids_ = true;
};

// prison_if: whether the caller sees an interface address (a raw struct
// sockaddr): a jailed caller sees the IPv4 and IPv6 addresses of its jail
// only (those of a family the jail does not restrict, all), any other
// family; the host sees every address.
bool sees_address(const Machine &m, const std::string &sockaddr);

// A zombie, or a process on its way out (P_WEXIT).
bool exiting(const Proc &p);
// An integer sysctl of the machine by name (security.bsd.*), or `fallback`.
int sysctl_int(const Machine &m, const char *name, int fallback);

}  // namespace fakebsd
