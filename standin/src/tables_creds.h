// State of the simulated machine: who calls (see tables.h).
#pragma once

#include <vector>

namespace fakebsd {

// The credentials of the process that makes the platform calls. The default
// caller is root on the host, with every privilege.
struct Caller {
    unsigned ruid = 0, euid = 0, svuid = 0;
    unsigned rgid = 0, egid = 0;
    std::vector<unsigned> groups = {0};
    int jid = 0;              // 0: the host
    bool privileged = true;   // root's privileges (priv_check succeeds)
    int pid = -1;             // the caller's own process in the table, if any
};

}  // namespace fakebsd
