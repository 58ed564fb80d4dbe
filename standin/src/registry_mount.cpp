// Reflection tables of the stand-in platform: mounted file systems (<sys/mount.h>). Each
// record lists every named member, nested records down to their scalars and arrays
// (element 0 of an array of records), under FreeBSD's own member names and, where
// FreeBSD has them, its macro aliases (inc_lport, ifr_flags, kve_vn_fsid, s6_addr).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_mount() {
    static const std::vector<RecordInfo> records = {
        FBSD_RECORD("fsid_t", "fsid_t", fsid_t,
                    FBSD_FIELD(fsid_t, val)),
        FBSD_RECORD("statfs", "struct statfs", struct statfs,
                    FBSD_FIELD(struct statfs, f_version),
                    FBSD_FIELD(struct statfs, f_type),
                    FBSD_FIELD(struct statfs, f_flags),
                    FBSD_FIELD(struct statfs, f_bsize),
                    FBSD_FIELD(struct statfs, f_iosize),
                    FBSD_FIELD(struct statfs, f_blocks),
                    FBSD_FIELD(struct statfs, f_bfree),
                    FBSD_FIELD(struct statfs, f_bavail),
                    FBSD_FIELD(struct statfs, f_files),
                    FBSD_FIELD(struct statfs, f_ffree),
                    FBSD_FIELD(struct statfs, f_syncwrites),
                    FBSD_FIELD(struct statfs, f_asyncwrites),
                    FBSD_FIELD(struct statfs, f_syncreads),
                    FBSD_FIELD(struct statfs, f_asyncreads),
                    FBSD_FIELD(struct statfs, f_nvnodelistsize),
                    FBSD_FIELD(struct statfs, f_spare0),
                    FBSD_FIELD(struct statfs, f_spare),
                    FBSD_FIELD(struct statfs, f_namemax),
                    FBSD_FIELD(struct statfs, f_owner),
                    FBSD_FIELD(struct statfs, f_fsid),
                    FBSD_FIELD(struct statfs, f_fsid.val),
                    FBSD_FIELD(struct statfs, f_charspare),
                    FBSD_FIELD(struct statfs, f_fstypename),
                    FBSD_FIELD(struct statfs, f_mntfromname),
                    FBSD_FIELD(struct statfs, f_mntonname)),
    };
    return records;
}

const std::vector<ConstInfo> &constants_mount() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(MFSNAMELEN),
        FBSD_CONST(MNAMELEN),
        FBSD_CONST(STATFS_VERSION),
        FBSD_CONST(MNT_RDONLY),
        FBSD_CONST(MNT_SYNCHRONOUS),
        FBSD_CONST(MNT_NOEXEC),
        FBSD_CONST(MNT_NOSUID),
        FBSD_CONST(MNT_NFS4ACLS),
        FBSD_CONST(MNT_UNION),
        FBSD_CONST(MNT_ASYNC),
        FBSD_CONST(MNT_SUIDDIR),
        FBSD_CONST(MNT_SOFTDEP),
        FBSD_CONST(MNT_NOSYMFOLLOW),
        FBSD_CONST(MNT_GJOURNAL),
        FBSD_CONST(MNT_MULTILABEL),
        FBSD_CONST(MNT_ACLS),
        FBSD_CONST(MNT_NOATIME),
        FBSD_CONST(MNT_NOCLUSTERR),
        FBSD_CONST(MNT_NOCLUSTERW),
        FBSD_CONST(MNT_SUJ),
        FBSD_CONST(MNT_AUTOMOUNTED),
        FBSD_CONST(MNT_UNTRUSTED),
        FBSD_CONST(MNT_EXRDONLY),
        FBSD_CONST(MNT_EXPORTED),
        FBSD_CONST(MNT_DEFEXPORTED),
        FBSD_CONST(MNT_EXPORTANON),
        FBSD_CONST(MNT_EXKERB),
        FBSD_CONST(MNT_EXPUBLIC),
        FBSD_CONST(MNT_EXTLS),
        FBSD_CONST(MNT_EXTLSCERT),
        FBSD_CONST(MNT_EXTLSCERTUSER),
        FBSD_CONST(MNT_LOCAL),
        FBSD_CONST(MNT_QUOTA),
        FBSD_CONST(MNT_ROOTFS),
        FBSD_CONST(MNT_USER),
        FBSD_CONST(MNT_IGNORE),
        FBSD_CONST(MNT_VERIFIED),
        FBSD_CONST(MNT_VISFLAGMASK),
        FBSD_CONST(MNT_WAIT),
        FBSD_CONST(MNT_NOWAIT),
        FBSD_CONST(MNT_LAZY),
        FBSD_CONST(MNT_SUSPEND),
    };
    return constants;
}

}  // namespace fakebsd
