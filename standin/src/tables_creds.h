// State of the simulated machine: who calls (see tables.h).
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace fakebsd {

// A jail (struct prison) as far as what its processes see depends on it.
struct Jail {
    std::string name;
    int parent = 0;               // the jail it was made in (0: the host)
    std::string path = "/";       // its root directory, as the host names it
    int enforce_statfs = 2;       // which mounts it sees (prison_canseemount)
    // Its addresses (network order: 4 and 16 bytes), which its processes see
    // of the interfaces (prison_if); nullopt: the family is not restricted
    // (inherited from the host).
    std::optional<std::vector<std::string>> ip4, ip6;
};

// The credentials of the process that makes the platform calls. The default
// caller is root on the host, with every privilege.
// The jails of the machine, by jid.
using JailTable = std::map<int, Jail>;

struct Caller {
    unsigned ruid = 0, euid = 0, svuid = 0;
    unsigned rgid = 0, egid = 0;
    std::vector<unsigned> groups = {0};
    int jid = 0;              // 0: the host
    bool privileged = true;   // root's privileges (priv_check succeeds)
    int pid = -1;             // the caller's own process in the table, if any
    // Descriptors the caller may hold (its RLIMIT_NOFILE, less what it holds
    // otherwise), counted over the handles of the machine that take one:
    // a socket, a libkvm handle (two: it opens /dev/null twice), an open
    // user-accounting database. A call that needs one more fails with
    // nofile_errno (EMFILE; ENFILE when the system's table is full). -1: no
    // limit.
    long nofile = -1;
    int nofile_errno = 24;    // EMFILE
};

}  // namespace fakebsd
