// Reflection tables of the stand-in platform: libkvm (<kvm.h>). Each record lists every
// named member, nested records down to their scalars and arrays (element 0 of an array
// of records), under FreeBSD's own member names and, where FreeBSD has them, its macro
// aliases (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_kvm() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("kvm_swap", "struct kvm_swap", struct kvm_swap,
                    FBSD_FIELD(struct kvm_swap, ksw_devname),
                    FBSD_FIELD(struct kvm_swap, ksw_used),
                    FBSD_FIELD(struct kvm_swap, ksw_total),
                    FBSD_FIELD(struct kvm_swap, ksw_flags),
                    FBSD_FIELD(struct kvm_swap, ksw_reserved1),
                    FBSD_FIELD(struct kvm_swap, ksw_reserved2)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_kvm() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(O_RDONLY),
        FBSD_CONST(SWIF_DEV_PREFIX),
    };
    return constants;
}

}  // namespace fakebsd
