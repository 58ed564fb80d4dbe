// Reflection tables of the stand-in platform: CPU sets (<sys/cpuset.h>). Each record
// lists every named member, nested records down to their scalars and arrays (element 0
// of an array of records), under FreeBSD's own member names and, where FreeBSD has them,
// its macro aliases (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_cpuset() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("cpuset_t", "cpuset_t", cpuset_t,
                    FBSD_FIELD(cpuset_t, __bits)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_cpuset() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(CPU_MAXSIZE),
        FBSD_CONST(CPU_SETSIZE),
        FBSD_CONST(_BITSET_BITS),
        FBSD_CONST(_NCPUBITS),
        FBSD_CONST(_NCPUWORDS),
        FBSD_CONST(CPU_LEVEL_ROOT),
        FBSD_CONST(CPU_LEVEL_CPUSET),
        FBSD_CONST(CPU_LEVEL_WHICH),
        FBSD_CONST(CPU_WHICH_TID),
        FBSD_CONST(CPU_WHICH_PID),
        FBSD_CONST(CPU_WHICH_CPUSET),
        FBSD_CONST(CPU_WHICH_IRQ),
        FBSD_CONST(CPU_WHICH_JAIL),
        FBSD_CONST(CPU_WHICH_DOMAIN),
        FBSD_CONST(CPU_WHICH_INTRHANDLER),
        FBSD_CONST(CPU_WHICH_ITHREAD),
        FBSD_CONST(CPU_WHICH_TIDPID),
        FBSD_CONST(CPUSET_INVALID),
        FBSD_CONST(CPUSET_DEFAULT),
    };
    return constants;
}

}  // namespace fakebsd
