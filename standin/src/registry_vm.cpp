// Reflection tables of the stand-in platform: virtual-memory totals (<sys/vmmeter.h>) and swap devices (<vm/vm_param.h>).
// Each record lists every named member, nested records down to their scalars and arrays
// (element 0 of an array of records), under FreeBSD's own member names and, where
// FreeBSD has them, its macro aliases (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_vm() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("vmtotal", "struct vmtotal", struct vmtotal,
                    FBSD_FIELD(struct vmtotal, t_vm),
                    FBSD_FIELD(struct vmtotal, t_avm),
                    FBSD_FIELD(struct vmtotal, t_rm),
                    FBSD_FIELD(struct vmtotal, t_arm),
                    FBSD_FIELD(struct vmtotal, t_vmshr),
                    FBSD_FIELD(struct vmtotal, t_avmshr),
                    FBSD_FIELD(struct vmtotal, t_rmshr),
                    FBSD_FIELD(struct vmtotal, t_armshr),
                    FBSD_FIELD(struct vmtotal, t_free),
                    FBSD_FIELD(struct vmtotal, t_rq),
                    FBSD_FIELD(struct vmtotal, t_dw),
                    FBSD_FIELD(struct vmtotal, t_pw),
                    FBSD_FIELD(struct vmtotal, t_sl),
                    FBSD_FIELD(struct vmtotal, t_sw),
                    FBSD_FIELD(struct vmtotal, t_pad)),
        FBSD_RECORD("xswdev", "struct xswdev", struct xswdev,
                    FBSD_FIELD(struct xswdev, xsw_version),
                    FBSD_FIELD(struct xswdev, xsw_dev),
                    FBSD_FIELD(struct xswdev, xsw_flags),
                    FBSD_FIELD(struct xswdev, xsw_nblks),
                    FBSD_FIELD(struct xswdev, xsw_used)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_vm() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(XSWDEV_VERSION),
    };
    return constants;
}

}  // namespace fakebsd
