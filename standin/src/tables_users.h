// State of the simulated machine for one capability group (see tables.h): the
// user-accounting database of active logins.
#pragma once

#include <string>
#include <vector>

namespace fakebsd {

struct UserTable {
    // struct utmpx records, in database order.
    std::vector<std::string> entries;
    // The errno opening the database fails with (ENOENT: there is none,
    // EACCES: unreadable), 0 when it opens.
    int open_errno = 0;
};

}  // namespace fakebsd
