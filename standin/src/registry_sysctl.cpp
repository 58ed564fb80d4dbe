// Reflection tables of the stand-in platform: sysctl names and basic limits
// (<sys/sysctl.h>, <unistd.h>, <sys/param.h>) and the
// clock rates (<sys/time.h>).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_sysctl() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("clockinfo", "struct clockinfo", struct clockinfo,
                    FBSD_FIELD(struct clockinfo, hz),
                    FBSD_FIELD(struct clockinfo, tick),
                    FBSD_FIELD(struct clockinfo, spare),
                    FBSD_FIELD(struct clockinfo, stathz),
                    FBSD_FIELD(struct clockinfo, profhz)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_sysctl() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(PATH_MAX),
        FBSD_CONST(MAXPATHLEN),
        FBSD_CONST(_POSIX2_LINE_MAX),
        FBSD_CONST(CTL_KERN),
        FBSD_CONST(CTL_VM),
        FBSD_CONST(CTL_VFS),
        FBSD_CONST(CTL_NET),
        FBSD_CONST(CTL_HW),
        FBSD_CONST(CTL_MAXNAME),
        FBSD_CONST(KERN_ARGMAX),
        FBSD_CONST(KERN_PROC),
        FBSD_CONST(KERN_BOOTTIME),
        FBSD_CONST(KERN_CLOCKRATE),
        FBSD_CONST(KERN_PROC_ALL),
        FBSD_CONST(KERN_PROC_PID),
        FBSD_CONST(KERN_PROC_ARGS),
        FBSD_CONST(KERN_PROC_PROC),
        FBSD_CONST(KERN_PROC_PATHNAME),
        FBSD_CONST(KERN_PROC_INC_THREAD),
        FBSD_CONST(KERN_PROC_VMMAP),
        FBSD_CONST(KERN_PROC_FILEDESC),
        FBSD_CONST(KERN_PROC_RLIMIT),
        FBSD_CONST(KERN_PROC_ENV),
        FBSD_CONST(ARG_MAX),
        FBSD_CONST(HW_NCPU),
        FBSD_CONST(HW_PAGESIZE),
        FBSD_CONST(VM_METER),
        FBSD_CONST(_SC_PAGESIZE),
        FBSD_CONST(_SC_PAGE_SIZE),
    };
    return constants;
}

}  // namespace fakebsd
