// Disk statistics of the stand-in platform: the kernel's <sys/devicestat.h>
// (struct devstat and its enums) and libdevstat's <devstat.h> (struct
// devinfo, struct statinfo and the calls), as FreeBSD 14 amd64 has them.
#pragma once

#include "types.h"
#include "resource.h"
#include "kvm.h"

// <sys/time.h>
struct bintime {
    time_t sec;
    uint64_t frac;
};
static_assert(sizeof(struct bintime) == 16);

// <sys/devicestat.h>
#define DEVSTAT_NAME_LEN 16
#define DEVSTAT_VERSION 6

typedef enum {
    DEVSTAT_ALL_SUPPORTED = 0x00,
    DEVSTAT_NO_BLOCKSIZE = 0x01,
    DEVSTAT_NO_ORDERED_TAGS = 0x02,
    DEVSTAT_BS_UNAVAILABLE = 0x04
} devstat_support_flags;

typedef enum {
    DEVSTAT_NO_DATA = 0x00,
    DEVSTAT_READ = 0x01,
    DEVSTAT_WRITE = 0x02,
    DEVSTAT_FREE = 0x03
} devstat_trans_flags;
#define DEVSTAT_N_TRANS_FLAGS 4

typedef enum {
    DEVSTAT_TAG_SIMPLE = 0x00,
    DEVSTAT_TAG_HEAD = 0x01,
    DEVSTAT_TAG_ORDERED = 0x02,
    DEVSTAT_TAG_NONE = 0x03
} devstat_tag_type;

typedef enum {
    DEVSTAT_PRIORITY_MIN = 0x000,
    DEVSTAT_PRIORITY_OTHER = 0x020,
    DEVSTAT_PRIORITY_PASS = 0x030,
    DEVSTAT_PRIORITY_FD = 0x040,
    DEVSTAT_PRIORITY_WFD = 0x050,
    DEVSTAT_PRIORITY_TAPE = 0x060,
    DEVSTAT_PRIORITY_CD = 0x090,
    DEVSTAT_PRIORITY_DISK = 0x110,
    DEVSTAT_PRIORITY_ARRAY = 0x120,
    DEVSTAT_PRIORITY_MAX = 0xfff
} devstat_priority;

typedef enum {
    DEVSTAT_TYPE_DIRECT = 0x000,
    DEVSTAT_TYPE_SEQUENTIAL = 0x001,
    DEVSTAT_TYPE_PRINTER = 0x002,
    DEVSTAT_TYPE_PROCESSOR = 0x003,
    DEVSTAT_TYPE_WORM = 0x004,
    DEVSTAT_TYPE_CDROM = 0x005,
    DEVSTAT_TYPE_SCANNER = 0x006,
    DEVSTAT_TYPE_OPTICAL = 0x007,
    DEVSTAT_TYPE_CHANGER = 0x008,
    DEVSTAT_TYPE_COMM = 0x009,
    DEVSTAT_TYPE_ASC0 = 0x00a,
    DEVSTAT_TYPE_ASC1 = 0x00b,
    DEVSTAT_TYPE_STORARRAY = 0x00c,
    DEVSTAT_TYPE_ENCLOSURE = 0x00d,
    DEVSTAT_TYPE_FLOPPY = 0x00e,
    DEVSTAT_TYPE_MASK = 0x00f,
    DEVSTAT_TYPE_IF_SCSI = 0x010,
    DEVSTAT_TYPE_IF_IDE = 0x020,
    DEVSTAT_TYPE_IF_OTHER = 0x030,
    DEVSTAT_TYPE_IF_MASK = 0x0f0,
    DEVSTAT_TYPE_PASS = 0x100
} devstat_type_flags;

struct devstat {
    // internal house-keeping fields
    u_int sequence0;              // update sequence#
    int allocated;                // allocated entry
    u_int start_count;            // started ops
    u_int end_count;              // completed ops
    struct bintime busy_from;     // busy time unaccounted for since this time
    struct {                      // STAILQ_ENTRY(devstat)
        struct devstat *stqe_next;
    } dev_links;
    u_int32_t device_number;      // devstat device number
    char device_name[DEVSTAT_NAME_LEN];
    int unit_number;
    u_int64_t bytes[DEVSTAT_N_TRANS_FLAGS];
    u_int64_t operations[DEVSTAT_N_TRANS_FLAGS];
    struct bintime duration[DEVSTAT_N_TRANS_FLAGS];
    struct bintime busy_time;
    struct bintime creation_time; // time the device was created
    u_int32_t block_size;         // block size, bytes
    u_int64_t tag_types[3];       // simple, ordered and head of queue tags sent
    devstat_support_flags flags;  // which statistics the device supports
    devstat_type_flags device_type; // device type
    devstat_priority priority;    // controls list pos.
    const void *id;               // identification for GEOM nodes
    u_int sequence1;              // update sequence#
};
static_assert(sizeof(struct devstat) == 288);

// <devstat.h> (libdevstat)
#define DEVSTAT_USER_API_VER 6
#define DEVSTAT_ERRBUF_SIZE 2048

struct devinfo {
    struct devstat *devices;  // numdevs records
    u_int8_t *mem_ptr;        // library-allocated memory holding them
    long generation;
    int numdevs;
};
static_assert(sizeof(struct devinfo) == 32);

struct statinfo {
    long cp_time[CPUSTATES];
    long tk_nin;
    long tk_nout;
    struct devinfo *dinfo;
    long double snap_time;
};
static_assert(sizeof(struct statinfo) == 80);

extern "C" {
int fbsd_devstat_checkversion(kvm_t *kd);
int fbsd_devstat_getdevs(kvm_t *kd, struct statinfo *stats);
}
#define devstat_checkversion fbsd_devstat_checkversion
#define devstat_getdevs fbsd_devstat_getdevs
