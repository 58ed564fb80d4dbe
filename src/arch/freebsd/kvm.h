// libkvm on the live kernel: the handle every use opens and closes, and the
// lock around the calls that share libkvm's process-wide state.
#pragma once

#include "../../morvex.h"
#include "../all/mutex_guard.h"

// A libkvm handle, closed once whichever way the call ends.
struct KvmCloser {
    void operator()(kvm_t *kd) const noexcept { kvm_close(kd); }
};
using KvmHandle = std::unique_ptr<kvm_t, KvmCloser>;
