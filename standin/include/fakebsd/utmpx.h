// The user-accounting database of the stand-in platform: <utmpx.h> as
// FreeBSD 14 amd64 has it. The host's <utmpx.h> is not visible here, and its
// record differs anyway (glibc's struct utmpx is 384 bytes).
#pragma once

#include "types.h"

struct utmpx {
    short ut_type;          // type of entry
    struct timeval ut_tv;   // time entry was made
    char ut_id[8];          // record identifier
    pid_t ut_pid;           // process ID
    char ut_user[32];       // user login name
    char ut_line[16];       // device name
    char ut_host[128];      // remote hostname
    char __ut_spare[64];
};
static_assert(sizeof(struct utmpx) == 280);

// ut_type.
#define EMPTY 0          // no valid user accounting information
#define BOOT_TIME 1      // time of system boot
#define OLD_TIME 2       // time when system clock changed
#define NEW_TIME 3       // time after system clock changed
#define USER_PROCESS 4   // a process
#define INIT_PROCESS 5   // a process spawned by the init process
#define LOGIN_PROCESS 6  // the session leader of a logged-in user
#define DEAD_PROCESS 7   // a session leader who has exited
#define SHUTDOWN_TIME 8  // time of system shutdown

#define UTXDB_ACTIVE 0     // active login sessions
#define UTXDB_LASTLOGIN 1  // last login sessions
#define UTXDB_LOG 2        // log indexed by time

extern "C" {
void fbsd_endutxent(void);
struct utmpx *fbsd_getutxent(void);
void fbsd_setutxent(void);
}
#define endutxent fbsd_endutxent
#define getutxent fbsd_getutxent
#define setutxent fbsd_setutxent
