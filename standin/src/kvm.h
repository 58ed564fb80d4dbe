// Stand-in libkvm: the handle behind kvm_t. Opened on "/dev/null" the real
// library answers from the running kernel's sysctl interface; so does this one,
// from the machine that was current when the handle was opened.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "machine.h"

struct __kvm {
    std::shared_ptr<const fakebsd::Machine> machine;
    std::string err;                            // kvm_geterr()
    std::string procs;                          // records handed out by kvm_getprocs
    std::vector<std::vector<std::string>> env;  // strings of each kvm_getenvv vector
    std::vector<std::unique_ptr<char *[]>> vectors;
};

namespace fakebsd {
// Set the handle's error text (kvm_geterr) and return it.
const char *kvm_set_error(struct __kvm *kd, std::string text);
}  // namespace fakebsd
