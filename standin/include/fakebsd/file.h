// Per-process descriptor and memory-map records of the stand-in platform:
// <sys/user.h>'s struct kinfo_file and struct kinfo_vmentry (FreeBSD 14
// amd64), as kinfo_getfile(3) and kinfo_getvmmap(3) return them, and
// <sys/caprights.h>'s cap_rights_t that kinfo_file embeds.
#pragma once

#include "types.h"
#include "socket.h"

// <sys/caprights.h>
#define CAP_RIGHTS_VERSION_00 0
#define CAP_RIGHTS_VERSION CAP_RIGHTS_VERSION_00
struct cap_rights {
    uint64_t cr_rights[CAP_RIGHTS_VERSION + 2];
};
typedef struct cap_rights cap_rights_t;
static_assert(sizeof(cap_rights_t) == 16);

// Descriptor types (kf_type).
// Descriptor types of kern.file's records (xf_type).
#define DTYPE_VNODE 1
#define DTYPE_SOCKET 2
#define DTYPE_PIPE 3

#define KF_TYPE_NONE 0
#define KF_TYPE_VNODE 1
#define KF_TYPE_SOCKET 2
#define KF_TYPE_PIPE 3
#define KF_TYPE_FIFO 4
#define KF_TYPE_KQUEUE 5
#define KF_TYPE_MQUEUE 7
#define KF_TYPE_SHM 8
#define KF_TYPE_SEM 9
#define KF_TYPE_PTS 10
#define KF_TYPE_PROCDESC 11
#define KF_TYPE_DEV 12
#define KF_TYPE_EVENTFD 13
#define KF_TYPE_TIMERFD 14
#define KF_TYPE_UNKNOWN 255

// Vnode types (kf_vnode_type).
#define KF_VTYPE_VNON 0
#define KF_VTYPE_VREG 1
#define KF_VTYPE_VDIR 2
#define KF_VTYPE_VBLK 3
#define KF_VTYPE_VCHR 4
#define KF_VTYPE_VLNK 5
#define KF_VTYPE_VSOCK 6
#define KF_VTYPE_VFIFO 7
#define KF_VTYPE_VBAD 8
#define KF_VTYPE_UNKNOWN 255

// Special descriptor numbers (kf_fd) of the non-descriptor entries.
#define KF_FD_TYPE_CWD -1   // current working directory
#define KF_FD_TYPE_ROOT -2  // root directory
#define KF_FD_TYPE_JAIL -3  // jail directory
#define KF_FD_TYPE_TRACE -4 // ktrace vnode
#define KF_FD_TYPE_TEXT -5  // text vnode
#define KF_FD_TYPE_CTTY -6  // controlling terminal

// kf_flags.
#define KF_FLAG_READ 0x00000001
#define KF_FLAG_WRITE 0x00000002
#define KF_FLAG_APPEND 0x00000004
#define KF_FLAG_ASYNC 0x00000008
#define KF_FLAG_FSYNC 0x00000010
#define KF_FLAG_NONBLOCK 0x00000020
#define KF_FLAG_DIRECT 0x00000040
#define KF_FLAG_HASLOCK 0x00000080
#define KF_FLAG_SHLOCK 0x00000100
#define KF_FLAG_EXLOCK 0x00000200
#define KF_FLAG_NOFOLLOW 0x00000400
#define KF_FLAG_CREAT 0x00000800
#define KF_FLAG_TRUNC 0x00001000
#define KF_FLAG_EXCL 0x00002000
#define KF_FLAG_EXEC 0x00004000

// kf_status.
#define KF_ATTR_VALID 0x0001

#define KINFO_FILE_SIZE 1392

struct kinfo_file {
    int kf_structsize;  // variable size of record
    int kf_type;        // descriptor type
    int kf_fd;          // array index
    int kf_ref_count;   // reference count
    int kf_flags;       // flags
    int kf_pad0;        // round to 64 bit alignment
    int64_t kf_offset;  // seek location
    union {
        __extension__ struct {  // anonymous struct, a GNU extension in C++
            // API compatibility with FreeBSD < 12.
            int kf_vnode_type;
            int kf_sock_domain;
            int kf_sock_type;
            int kf_sock_protocol;
            struct sockaddr_storage kf_sa_local;
            struct sockaddr_storage kf_sa_peer;
        };
        union {
            struct {
                uint32_t kf_sock_sendq;      // sendq size
                int kf_sock_domain0;         // socket domain
                int kf_sock_type0;           // socket type
                int kf_sock_protocol0;       // socket protocol
                struct sockaddr_storage kf_sa_local;  // socket address
                struct sockaddr_storage kf_sa_peer;   // peer address
                uint64_t kf_sock_pcb;        // address of so_pcb
                uint64_t kf_sock_inpcb;      // address of inp_ppcb
                uint64_t kf_sock_unpconn;    // address of unp_conn
                uint16_t kf_sock_snd_sb_state; // send buffer state
                uint16_t kf_sock_rcv_sb_state; // receive buffer state
                uint32_t kf_sock_recvq;      // recvq size
            } kf_sock;
            struct {
                int kf_file_type;            // vnode type
                int kf_spareint[3];
                uint64_t kf_spareint64[29];
                uint64_t kf_file_nlink;      // number of references to file
                uint64_t kf_file_fsid;       // vnode filesystem id
                uint64_t kf_file_rdev;       // file device
                uint64_t kf_file_fileid;     // global file id
                uint64_t kf_file_size;       // file size
                uint32_t kf_file_fsid_freebsd11;
                uint32_t kf_file_rdev_freebsd11;
                uint16_t kf_file_mode;       // file mode
                uint16_t kf_file_pad0;
                uint32_t kf_file_pad1;
            } kf_file;
            struct {
                uint32_t kf_spareint[4];
                uint64_t kf_spareint64[32];
                uint32_t kf_sem_value;
                uint16_t kf_sem_mode;
            } kf_sem;
            struct {
                uint32_t kf_spareint[4];
                uint64_t kf_spareint64[32];
                uint64_t kf_pipe_addr;
                uint64_t kf_pipe_peer;
                uint32_t kf_pipe_buffer_cnt;
                uint32_t kf_pipe_buffer_in;
                uint32_t kf_pipe_buffer_out;
                uint32_t kf_pipe_buffer_size;
            } kf_pipe;
            struct {
                uint32_t kf_spareint[4];
                uint64_t kf_spareint64[32];
                uint32_t kf_pts_dev_freebsd11;
                uint32_t kf_pts_pad0;
                uint64_t kf_pts_dev;
                uint32_t kf_pts_pad1[4];
            } kf_pts;
            struct {
                uint32_t kf_spareint[4];
                uint64_t kf_spareint64[32];
                pid_t kf_pid;
            } kf_proc;
            struct {
                uint64_t kf_eventfd_value;
                uint32_t kf_eventfd_flags;
                uint32_t kf_eventfd_spareint[3];
                uint64_t kf_eventfd_addr;
            } kf_eventfd;
            struct {
                uint32_t kf_timerfd_clockid;
                uint32_t kf_timerfd_flags;
                uint64_t kf_timerfd_addr;
            } kf_timerfd;
            struct {
                uint64_t kf_kqueue_addr;
                int32_t kf_kqueue_count;
                int32_t kf_kqueue_state;
            } kf_kqueue;
        } kf_un;
    };
    uint16_t kf_status;          // status flags
    uint16_t kf_pad1;            // round to 32 bit alignment
    int _kf_ispare0;             // space for more stuff
    cap_rights_t kf_cap_rights;  // capability rights
    uint64_t _kf_cap_spare;      // space for future cap_rights_t
    char kf_path[PATH_MAX];      // path to file, if any (truncated by sysctl)
};
static_assert(sizeof(struct kinfo_file) == KINFO_FILE_SIZE);
static_assert(offsetof(struct kinfo_file, kf_sa_local) == 48);
static_assert(offsetof(struct kinfo_file, kf_sa_peer) == 176);
static_assert(offsetof(struct kinfo_file, kf_status) == 336);
static_assert(offsetof(struct kinfo_file, kf_path) == 368);

// Map entry types (kve_type).
#define KVME_TYPE_NONE 0
#define KVME_TYPE_DEFAULT 1 // no longer returned
#define KVME_TYPE_VNODE 2
#define KVME_TYPE_SWAP 3
#define KVME_TYPE_DEVICE 4
#define KVME_TYPE_PHYS 5
#define KVME_TYPE_DEAD 6
#define KVME_TYPE_SG 7
#define KVME_TYPE_MGTDEVICE 8
#define KVME_TYPE_GUARD 9
#define KVME_TYPE_UNKNOWN 255

// kve_protection.
#define KVME_PROT_READ 0x00000001
#define KVME_PROT_WRITE 0x00000002
#define KVME_PROT_EXEC 0x00000004
#define KVME_MAX_PROT_READ 0x00010000
#define KVME_MAX_PROT_WRITE 0x00020000
#define KVME_MAX_PROT_EXEC 0x00040000

// kve_flags.
#define KVME_FLAG_COW 0x00000001
#define KVME_FLAG_NEEDS_COPY 0x00000002
#define KVME_FLAG_NOCOREDUMP 0x00000004
#define KVME_FLAG_SUPER 0x00000008
#define KVME_FLAG_GROWS_UP 0x00000010
#define KVME_FLAG_GROWS_DOWN 0x00000020
#define KVME_FLAG_USER_WIRED 0x00000040
#define KVME_FLAG_SYSVSHM 0x00000080
#define KVME_FLAG_POSIXSHM 0x00000100

#define KINFO_VMENTRY_SIZE 1160

struct kinfo_vmentry {
    int kve_structsize;             // variable size of record
    int kve_type;                   // type of map entry
    uint64_t kve_start;             // starting address
    uint64_t kve_end;               // finishing address
    uint64_t kve_offset;            // mapping offset in object
    uint64_t kve_vn_fileid;         // inode number if vnode
    uint32_t kve_vn_fsid_freebsd11; // dev_t of vnode location
    int kve_flags;                  // flags on map entry
    int kve_resident;               // number of resident pages
    int kve_private_resident;       // number of private pages
    int kve_protection;             // protection bitmask
    int kve_ref_count;              // VM obj ref count
    int kve_shadow_count;           // VM obj shadow count
    int kve_vn_type;                // vnode type
    uint64_t kve_vn_size;           // file size
    uint32_t kve_vn_rdev_freebsd11; // device id if device
    uint16_t kve_vn_mode;           // file mode
    uint16_t kve_status;            // status flags
    union {
        uint64_t _kve_vn_fsid;      // dev_t of vnode location
        uint64_t _kve_obj;          // handle of anon obj
    } kve_type_spec;
    uint64_t kve_vn_rdev;           // device id if device
    int _kve_ispare[8];             // space for more stuff
    char kve_path[PATH_MAX];        // path to VM obj, if any (truncated by sysctl)
};
#define kve_vn_fsid kve_type_spec._kve_vn_fsid
#define kve_obj kve_type_spec._kve_obj
static_assert(sizeof(struct kinfo_vmentry) == KINFO_VMENTRY_SIZE);
static_assert(offsetof(struct kinfo_vmentry, kve_path) == 136);
