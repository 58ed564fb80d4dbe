// Signals of the stand-in platform: <signal.h>'s kill(2) and FreeBSD's
// signal numbers, which differ from Linux's from SIGBUS on. The host's
// <signal.h> is not visible here; the names are cleared first in case a
// translation unit pulled it in.
#pragma once

#include "types.h"

#undef SIGHUP
#undef SIGINT
#undef SIGQUIT
#undef SIGILL
#undef SIGTRAP
#undef SIGABRT
#undef SIGEMT
#undef SIGFPE
#undef SIGKILL
#undef SIGBUS
#undef SIGSEGV
#undef SIGSYS
#undef SIGPIPE
#undef SIGALRM
#undef SIGTERM
#undef SIGURG
#undef SIGSTOP
#undef SIGTSTP
#undef SIGCONT
#undef SIGCHLD
#undef SIGTTIN
#undef SIGTTOU
#undef SIGIO
#undef SIGXCPU
#undef SIGXFSZ
#undef SIGVTALRM
#undef SIGPROF
#undef SIGWINCH
#undef SIGINFO
#undef SIGUSR1
#undef SIGUSR2
#undef SIGTHR
#undef SIGLIBRT
#undef SIGRTMIN
#undef SIGRTMAX
#undef NSIG

#define SIGHUP 1
#define SIGINT 2
#define SIGQUIT 3
#define SIGILL 4
#define SIGTRAP 5
#define SIGABRT 6
#define SIGEMT 7
#define SIGFPE 8
#define SIGKILL 9
#define SIGBUS 10
#define SIGSEGV 11
#define SIGSYS 12
#define SIGPIPE 13
#define SIGALRM 14
#define SIGTERM 15
#define SIGURG 16
#define SIGSTOP 17
#define SIGTSTP 18
#define SIGCONT 19
#define SIGCHLD 20
#define SIGTTIN 21
#define SIGTTOU 22
#define SIGIO 23
#define SIGXCPU 24
#define SIGXFSZ 25
#define SIGVTALRM 26
#define SIGPROF 27
#define SIGWINCH 28
#define SIGINFO 29
#define SIGUSR1 30
#define SIGUSR2 31
#define SIGTHR 32
#define SIGLIBRT 33
#define SIGRTMIN 65
#define SIGRTMAX 126
#define NSIG 32

extern "C" {
int fbsd_kill(pid_t pid, int sig);
}
#define kill fbsd_kill
