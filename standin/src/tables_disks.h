// State of the simulated machine for one capability group (see tables.h):
// the mount table behind getfsstat(2) and the device statistics behind
// libdevstat.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fakebsd {

struct DiskTable {
    // struct statfs records, in the kernel's mount order.
    std::vector<std::string> mounts;
    // The mount table as every getfsstat call after the first one sees it
    // (a file system mounted or unmounted between two calls); nullopt: it
    // does not change.
    std::optional<std::vector<std::string>> mounts_later;
    // getfsstat calls made so far, counted when mounts_later is set (made
    // afresh with it, shared by the machine's later versions).
    std::shared_ptr<std::atomic<long>> fsstat_calls;

    // struct devstat records, in the kernel's device order, and the device
    // list's generation number.
    std::vector<std::string> devices;
    long generation = 1;
};

}  // namespace fakebsd
