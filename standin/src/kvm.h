// Stand-in libkvm: the handle behind kvm_t. Opened on "/dev/null" the real
// library answers from the running kernel's sysctl interface; so does this one,
// from the machine that was current when the handle was opened.
#pragma once

#include <memory>
#include <string>

#include "machine.h"

struct __kvm {
    std::shared_ptr<const fakebsd::Machine> machine;
    bool to_stderr = false;  // opened by kvm_open with an errstr: errors are printed
    std::string program;     // that errstr, the prefix of every printed error
    std::string err;      // kvm_geterr()
    std::string procs;    // records handed out by kvm_getprocs
};

namespace fakebsd {
// Set the handle's error text (kvm_geterr) and return it.
const char *kvm_set_error(struct __kvm *kd, std::string text);
// libkvm's _kvm_err: a handle opened by kvm_open with an errstr prints the
// text to standard error after that prefix; any other keeps it for kvm_geterr.
void kvm_report(struct __kvm *kd, const std::string &text);
}  // namespace fakebsd
