// The kernel's event counters (vm.stats.sys.*, vm.stats.vm.v_swapin, ...).
#pragma once

#include "../../morvex.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "a 4-byte counter fills the low half");

// One counter by name, read as the 64-bit value the kernel keeps. The buffer
// is 8 bytes: a 4-byte buffer would get the value cut to 32 bits (or ENOMEM
// from a kernel without COMPAT_FREEBSD11). A kernel whose counter is 32-bit
// answers 4 bytes, which fill the low half of the zeroed value. Failures are
// those of morvex_sysctlbyname, with its exception set.
inline int read_counter(const char *name, uint64_t *value) {
    *value = 0;
    return morvex_sysctlbyname(name, value, sizeof *value);
}
