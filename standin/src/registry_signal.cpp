// Reflection tables of the stand-in platform: signals (<signal.h>).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_signal() {
    static const std::vector<RecordInfo> records;
    return records;
}

const std::vector<ConstInfo> &constants_signal() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(SIGHUP),
        FBSD_CONST(SIGINT),
        FBSD_CONST(SIGQUIT),
        FBSD_CONST(SIGILL),
        FBSD_CONST(SIGTRAP),
        FBSD_CONST(SIGABRT),
        FBSD_CONST(SIGEMT),
        FBSD_CONST(SIGFPE),
        FBSD_CONST(SIGKILL),
        FBSD_CONST(SIGBUS),
        FBSD_CONST(SIGSEGV),
        FBSD_CONST(SIGSYS),
        FBSD_CONST(SIGPIPE),
        FBSD_CONST(SIGALRM),
        FBSD_CONST(SIGTERM),
        FBSD_CONST(SIGURG),
        FBSD_CONST(SIGSTOP),
        FBSD_CONST(SIGTSTP),
        FBSD_CONST(SIGCONT),
        FBSD_CONST(SIGCHLD),
        FBSD_CONST(SIGTTIN),
        FBSD_CONST(SIGTTOU),
        FBSD_CONST(SIGIO),
        FBSD_CONST(SIGXCPU),
        FBSD_CONST(SIGXFSZ),
        FBSD_CONST(SIGVTALRM),
        FBSD_CONST(SIGPROF),
        FBSD_CONST(SIGWINCH),
        FBSD_CONST(SIGINFO),
        FBSD_CONST(SIGUSR1),
        FBSD_CONST(SIGUSR2),
        FBSD_CONST(SIGTHR),
        FBSD_CONST(SIGLIBRT),
        FBSD_CONST(SIGRTMIN),
        FBSD_CONST(SIGRTMAX),
        FBSD_CONST(NSIG),
    };
    return constants;
}

}  // namespace fakebsd
