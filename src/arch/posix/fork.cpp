// The module's two locks across fork(). The interpreter stops its attached
// threads before it forks, and no lock is held while Python code runs, but a
// thread can still own one while detached: PyMutex hands a contended lock
// straight to the thread waiting for it, which then owns it while it waits to
// attach again (for the GIL, or for the end of the fork's stop of the world).
// No such thread exists in the child, so both locks start free there.
#include "../../morvex.h"

namespace {

void locks_free_in_child() {
    kvm_lock = PyMutex{};
    utxent_lock = PyMutex{};
}

}  // namespace

extern "C" int morvex_fork_setup(void) {
    int err = pthread_atfork(nullptr, nullptr, locks_free_in_child);
    if (err != 0) {
        errno = err;
        morvex_oserror_wsyscall("pthread_atfork()");
        return -1;
    }
    return 0;
}
