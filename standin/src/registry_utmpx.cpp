// Reflection tables of the stand-in platform: the user-accounting database (<utmpx.h>).
// Each record lists every named member, nested records down to their scalars and arrays
// (element 0 of an array of records), under FreeBSD's own member names and, where
// FreeBSD has them, its macro aliases (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_utmpx() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("utmpx", "struct utmpx", struct utmpx,
                    FBSD_FIELD(struct utmpx, ut_type),
                    FBSD_FIELD(struct utmpx, ut_tv),
                    FBSD_FIELD(struct utmpx, ut_tv.tv_sec),
                    FBSD_FIELD(struct utmpx, ut_tv.tv_usec),
                    FBSD_FIELD(struct utmpx, ut_id),
                    FBSD_FIELD(struct utmpx, ut_pid),
                    FBSD_FIELD(struct utmpx, ut_user),
                    FBSD_FIELD(struct utmpx, ut_line),
                    FBSD_FIELD(struct utmpx, ut_host),
                    FBSD_FIELD(struct utmpx, __ut_spare)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_utmpx() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(EMPTY),
        FBSD_CONST(BOOT_TIME),
        FBSD_CONST(OLD_TIME),
        FBSD_CONST(NEW_TIME),
        FBSD_CONST(USER_PROCESS),
        FBSD_CONST(INIT_PROCESS),
        FBSD_CONST(LOGIN_PROCESS),
        FBSD_CONST(DEAD_PROCESS),
        FBSD_CONST(SHUTDOWN_TIME),
        FBSD_CONST(UTXDB_ACTIVE),
        FBSD_CONST(UTXDB_LASTLOGIN),
        FBSD_CONST(UTXDB_LOG),
    };
    return constants;
}

}  // namespace fakebsd
