// Reflection tables of the stand-in platform: resource limits (<sys/resource.h>). Each
// record lists every named member, nested records down to their scalars and arrays
// (element 0 of an array of records), under FreeBSD's own member names and, where
// FreeBSD has them, its macro aliases (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_resource() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("rlimit", "struct rlimit", struct rlimit,
                    FBSD_FIELD(struct rlimit, rlim_cur),
                    FBSD_FIELD(struct rlimit, rlim_max)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_resource() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(PRIO_MIN),
        FBSD_CONST(PRIO_MAX),
        FBSD_CONST(PRIO_PROCESS),
        FBSD_CONST(PRIO_PGRP),
        FBSD_CONST(PRIO_USER),
        FBSD_CONST(RLIMIT_CPU),
        FBSD_CONST(RLIMIT_FSIZE),
        FBSD_CONST(RLIMIT_DATA),
        FBSD_CONST(RLIMIT_STACK),
        FBSD_CONST(RLIMIT_CORE),
        FBSD_CONST(RLIMIT_RSS),
        FBSD_CONST(RLIMIT_MEMLOCK),
        FBSD_CONST(RLIMIT_NPROC),
        FBSD_CONST(RLIMIT_NOFILE),
        FBSD_CONST(RLIMIT_SBSIZE),
        FBSD_CONST(RLIMIT_VMEM),
        FBSD_CONST(RLIMIT_AS),
        FBSD_CONST(RLIMIT_NPTS),
        FBSD_CONST(RLIMIT_SWAP),
        FBSD_CONST(RLIMIT_KQUEUES),
        FBSD_CONST(RLIMIT_UMTXP),
        FBSD_CONST(RLIMIT_PIPEBUF),
        FBSD_CONST(RLIM_NLIMITS),
        FBSD_CONST(RLIM_INFINITY),
        FBSD_CONST(RLIM_SAVED_MAX),
        FBSD_CONST(RLIM_SAVED_CUR),
        FBSD_CONST(CP_USER),
        FBSD_CONST(CP_NICE),
        FBSD_CONST(CP_SYS),
        FBSD_CONST(CP_INTR),
        FBSD_CONST(CP_IDLE),
        FBSD_CONST(CPUSTATES),
    };
    return constants;
}

}  // namespace fakebsd
