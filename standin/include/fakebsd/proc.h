// The kernel's process record of the stand-in platform: <sys/user.h>'s
// struct kinfo_proc with what it embeds (<sys/_sigset.h>, <sys/priority.h>,
// <sys/resource.h>'s struct rusage) and the process states and flags of
// <sys/proc.h>, all as FreeBSD 14 amd64 has them.
#pragma once

#include "types.h"

// <sys/_sigset.h>. The host's sigset_t is glibc's 128-byte mask; FreeBSD's
// is four 32-bit words.
#define _SIG_WORDS 4
#define _SIG_MAXSIG 128
struct __sigset {
    uint32_t __bits[_SIG_WORDS];
};
typedef struct __sigset fbsd_sigset_t;
#define sigset_t fbsd_sigset_t
static_assert(sizeof(fbsd_sigset_t) == 16);

// <sys/priority.h>
struct priority {
    u_char pri_class;   // scheduling class
    u_char pri_level;   // normal priority level
    u_char pri_native;  // priority before propagation
    u_char pri_user;    // user priority from p_cpu and p_nice
};
static_assert(sizeof(struct priority) == 4);

// <sys/resource.h>
struct rusage {
    struct timeval ru_utime;  // user time used
    struct timeval ru_stime;  // system time used
    long ru_maxrss;           // max resident set size
#define ru_first ru_ixrss
    long ru_ixrss;     // integral shared memory size
    long ru_idrss;     // integral unshared data
    long ru_isrss;     // integral unshared stack
    long ru_minflt;    // page reclaims
    long ru_majflt;    // page faults
    long ru_nswap;     // swaps
    long ru_inblock;   // block input operations
    long ru_oublock;   // block output operations
    long ru_msgsnd;    // messages sent
    long ru_msgrcv;    // messages received
    long ru_nsignals;  // signals received
    long ru_nvcsw;     // voluntary context switches
    long ru_nivcsw;    // involuntary context switches
#define ru_last ru_nivcsw
};
static_assert(sizeof(struct rusage) == 144);

// <sys/param.h>
#define MAXCOMLEN 19
#define MAXLOGNAME 33

// <sys/user.h>
#define KINFO_PROC_SIZE 1088

#define KI_NSPARE_INT 2
#define KI_NSPARE_LONG 12
#define KI_NSPARE_PTR 5

#define WMESGLEN 8        // size of returned wchan message
#define LOCKNAMELEN 8     // size of returned lock name
#define TDNAMLEN 16       // size of returned thread name
#define COMMLEN 19        // size of returned ki_comm name
#define KI_EMULNAMELEN 16 // size of returned ki_emul
#define KI_NGROUPS 16     // number of groups in ki_groups
#define LOGNAMELEN 17     // size of returned ki_login
#define LOGINCLASSLEN 17  // size of returned ki_loginclass

#define OCOMMLEN TDNAMLEN
#define ki_ocomm ki_tdname

// Credential flags.
#define KI_CRF_CAPABILITY_MODE 0x00000001
#define KI_CRF_GRP_OVERFLOW 0x80000000

// Kernel objects the record points at; user space never looks inside them.
struct pargs;
struct proc;
struct user;
struct vnode;
struct filedesc;
struct vmspace;
struct pcb;
struct thread;
struct pwddesc;

struct kinfo_proc {
    int ki_structsize;          // size of this structure
    int ki_layout;              // reserved: layout identifier
    struct pargs *ki_args;      // address of command arguments
    struct proc *ki_paddr;      // address of proc
    struct user *ki_addr;       // kernel virtual addr of u-area
    struct vnode *ki_tracep;    // pointer to trace file
    struct vnode *ki_textvp;    // pointer to executable file
    struct filedesc *ki_fd;     // pointer to open file info
    struct vmspace *ki_vmspace; // pointer to kernel vmspace struct
    const void *ki_wchan;       // sleep address
    pid_t ki_pid;               // process identifier
    pid_t ki_ppid;              // parent process id
    pid_t ki_pgid;              // process group id
    pid_t ki_tpgid;             // tty process group id
    pid_t ki_sid;               // process session ID
    pid_t ki_tsid;              // terminal session ID
    short ki_jobc;              // job control counter
    short ki_spare_short1;      // unused (just here for alignment)
    uint32_t ki_tdev_freebsd11; // controlling tty dev
    sigset_t ki_siglist;        // signals arrived but not delivered
    sigset_t ki_sigmask;        // current signal mask
    sigset_t ki_sigignore;      // signals being ignored
    sigset_t ki_sigcatch;       // signals being caught by user
    uid_t ki_uid;               // effective user id
    uid_t ki_ruid;              // real user id
    uid_t ki_svuid;             // saved effective user id
    gid_t ki_rgid;              // real group id
    gid_t ki_svgid;             // saved effective group id
    short ki_ngroups;           // number of groups
    short ki_spare_short2;      // unused (just here for alignment)
    gid_t ki_groups[KI_NGROUPS];
    vm_size_t ki_size;          // virtual size
    segsz_t ki_rssize;          // current resident set size in pages
    segsz_t ki_swrss;           // resident set size before last swap
    segsz_t ki_tsize;           // text size (pages)
    segsz_t ki_dsize;           // data size (pages)
    segsz_t ki_ssize;           // stack size (pages)
    u_short ki_xstat;           // exit status for wait & stop signal
    u_short ki_acflag;          // accounting flags
    fixpt_t ki_pctcpu;          // %cpu for process during ki_swtime
    u_int ki_estcpu;            // time averaged value of ki_cpticks
    u_int ki_slptime;           // time since last blocked
    u_int ki_swtime;            // time swapped in or out
    u_int ki_cow;               // number of copy-on-write faults
    u_int64_t ki_runtime;       // real time in microsec
    struct timeval ki_start;    // starting time
    struct timeval ki_childtime; // time used by process children
    long ki_flag;               // P_* flags
    long ki_kiflag;             // KI_* flags (below)
    int ki_traceflag;           // kernel trace points
    char ki_stat;               // S* process status
    signed char ki_nice;        // process "nice" value
    char ki_lock;               // process lock (prevent swap) count
    char ki_rqindex;            // run queue index
    u_char ki_oncpu_old;        // which cpu we are on (legacy)
    u_char ki_lastcpu_old;      // last cpu we were on (legacy)
    char ki_tdname[TDNAMLEN + 1];          // thread name
    char ki_wmesg[WMESGLEN + 1];           // wchan message
    char ki_login[LOGNAMELEN + 1];         // setlogin name
    char ki_lockname[LOCKNAMELEN + 1];     // lock name
    char ki_comm[COMMLEN + 1];             // command name
    char ki_emul[KI_EMULNAMELEN + 1];      // emulation name
    char ki_loginclass[LOGINCLASSLEN + 1]; // login class
    char ki_moretdname[MAXCOMLEN - TDNAMLEN + 1]; // more thread name
    char ki_sparestrings[46];              // spare string space
    int ki_spareints[KI_NSPARE_INT];       // spare room for growth
    uint64_t ki_tdev;           // controlling tty dev
    int ki_oncpu;               // which cpu we are on
    int ki_lastcpu;             // last cpu we were on
    int ki_tracer;              // pid of tracing process
    int ki_flag2;               // P2_* flags
    int ki_fibnum;              // default FIB number
    u_int ki_cr_flags;          // credential flags
    int ki_jid;                 // process jail ID
    int ki_numthreads;          // number of threads in total
    lwpid_t ki_tid;             // thread id
    struct priority ki_pri;     // process priority
    struct rusage ki_rusage;    // process rusage statistics
    struct rusage ki_rusage_ch; // rusage of children processes
    struct pcb *ki_pcb;         // kernel virtual addr of pcb
    void *ki_kstack;            // kernel virtual addr of stack
    void *ki_udata;             // user convenience pointer
    struct thread *ki_tdaddr;   // address of thread
    struct pwddesc *ki_pd;      // pointer to process paths info
    void *ki_spareptrs[KI_NSPARE_PTR];   // spare room for growth
    long ki_sparelongs[KI_NSPARE_LONG];  // spare room for growth
    long ki_sflag;              // PS_* flags
    long ki_tdflags;            // kthread flag
};
static_assert(sizeof(struct kinfo_proc) == KINFO_PROC_SIZE);
static_assert(offsetof(struct kinfo_proc, ki_pid) == 72);
static_assert(offsetof(struct kinfo_proc, ki_comm) == 447);
static_assert(offsetof(struct kinfo_proc, ki_rusage) == 608);

// ki_kiflag bits.
#define KI_CTTY 0x00000001     // controlling tty vnode active
#define KI_SLEADER 0x00000002  // session leader
#define KI_LOCKBLOCK 0x00000004 // proc blocked on lock ki_lockname

// <sys/proc.h>: process states (ki_stat).
#define SIDL 1   // being created by fork
#define SRUN 2   // currently runnable
#define SSLEEP 3 // sleeping on an address
#define SSTOP 4  // debugging or suspension
#define SZOMB 5  // awaiting collection by parent
#define SWAIT 6  // waiting for interrupt
#define SLOCK 7  // blocked on a lock

#define NOCPU (-1)       // for when we aren't on a CPU
#define NOCPU_OLD (255)

// Process flags (ki_flag).
#define P_ADVLOCK 0x00000001
#define P_CONTROLT 0x00000002
#define P_KPROC 0x00000004
#define P_UNUSED3 0x00000008
#define P_PPWAIT 0x00000010
#define P_PROFIL 0x00000020
#define P_STOPPROF 0x00000040
#define P_HADTHREADS 0x00000080
#define P_SUGID 0x00000100
#define P_SYSTEM 0x00000200
#define P_SINGLE_EXIT 0x00000400
#define P_TRACED 0x00000800
#define P_WAITED 0x00001000
#define P_WEXIT 0x00002000
#define P_EXEC 0x00004000
#define P_WKILLED 0x00008000
#define P_CONTINUED 0x00010000
#define P_STOPPED_SIG 0x00020000
#define P_STOPPED_TRACE 0x00040000
#define P_STOPPED_SINGLE 0x00080000
#define P_PROTECTED 0x00100000
#define P_SIGEVENT 0x00200000
#define P_SINGLE_BOUNDARY 0x00400000
#define P_HWPMC 0x00800000
#define P_JAILED 0x01000000
#define P_TOTAL_STOP 0x02000000
#define P_INEXEC 0x04000000
#define P_STATCHILD 0x08000000
#define P_INMEM 0x10000000
#define P_SWAPPINGOUT 0x20000000
#define P_SWAPPINGIN 0x40000000
#define P_PPTRACE 0x80000000
#define P_STOPPED (P_STOPPED_SIG | P_STOPPED_SINGLE | P_STOPPED_TRACE)

// ki_flag2 (p_flag2): tracing disabled by procctl(PROC_TRACE_CTL), and kept
// across execve().
#define P2_NOTRACE 0x00000002
#define P2_NOTRACE_EXEC 0x00000004
