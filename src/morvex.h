// Shared declarations of the module: the frame's globals, the bounded string
// operations, the debug line, the error operations and the kernel query layer.
// Every function here keeps C linkage under its own name.
#pragma once

#include "platform.h"
#include "arch/all/pyref.h"

extern "C" {

// Debug and testing switches, set at import (and by set_debug).
extern int MORVEX_DEBUG;
extern int MORVEX_TESTING;
// Status of a socket without a TCP state.
extern int MORVEX_CONN_NONE;
// The module's exception class for zombie processes (borrowed; the module owns it).
extern PyObject *ZombieProcessError;
// The module's two locks. utxent_lock serialises walks of the user-accounting
// database (the walk and the copies of its records). kvm_lock serialises the
// libkvm calls that share the library's process-wide state (kvm_getenvv with
// the copy of its answer, and kvm_getswapinfo). No Python object is built
// while either is held, and no other path takes a lock.
extern PyMutex utxent_lock;
extern PyMutex kvm_lock;

// Bounded strings.
int str_format(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int str_copy(char *dst, size_t dst_size, const char *src);
int str_append(char *dst, size_t dst_size, const char *src);

// One diagnostic line on standard error when MORVEX_DEBUG is set.
void debug_line(const char *file, int line, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// Error operations: each sets the exception and returns the failure value.
// morvex_errtext puts the platform's text for an errno into the caller's
// buffer (never a buffer shared between threads); it sets no exception.
void morvex_errtext(int err, char *buf, size_t size);
PyObject *morvex_oserror(void);
PyObject *morvex_oserror_wsyscall(const char *syscall);
PyObject *morvex_oserror_nsp(const char *syscall);
PyObject *morvex_oserror_ad(const char *syscall);
PyObject *morvex_runtime_error(const char *fmt, ...);
int morvex_badargs(const char *funcname);
void convert_kvm_err(const char *syscall, char *errbuf);

// Module start-up pieces. morvex_fork_setup has both locks start free in
// the child of a fork.
int morvex_setup(void);
int morvex_fork_setup(void);
int morvex_posix_add_constants(PyObject *mod);
int morvex_posix_add_methods(PyObject *mod);

// Kernel queries.
int morvex_sysctl(int *mib, u_int miblen, void *buf, size_t buflen);
int morvex_sysctl_malloc(int *mib, u_int miblen, char **buf, size_t *buflen);
int morvex_sysctlbyname(const char *name, void *buf, size_t buflen);
int morvex_sysctlbyname_malloc(const char *name, char **buf, size_t *buflen);
int morvex_sysctl_argmax(void);
long morvex_getpagesize(void);
PyObject *morvex_getpagesize_pywrapper(PyObject *self, PyObject *args);

// One process's kernel record, and what failed calls about a process mean.
int morvex_kinfo_proc(pid_t pid, struct kinfo_proc *proc);
int is_zombie(pid_t pid);
int morvex_pid_exists(pid_t pid);
PyObject *morvex_raise_for_pid(pid_t pid, const char *syscall);
// A read refused with EBUSY while the process is in execve(): 1 after a
// pause when it is to be made again (attempt counts them, from 0), 0 when
// the error is another or the retries are used up. morvex_exec_busy raises
// for a process still in exec.
#define MORVEX_EXEC_RETRIES 4
int morvex_exec_retry(int err, int *attempt);
PyObject *morvex_exec_busy(const char *syscall);

// The PID of every process, in kernel order: a malloc'ed array the caller frees.
int _morvex_pids(pid_t **pids, int *count);

}  // extern "C"

// Debug line from the current source position.
#define morvex_debug(...) debug_line(__FILE__, __LINE__, __VA_ARGS__)

// Relaxed access to the switches: other threads may flip them at any time.
static inline int morvex_debug_on() { return __atomic_load_n(&MORVEX_DEBUG, __ATOMIC_RELAXED); }

// A kernel buffer from the growing queries or the platform libraries.
struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <class T>
using KernelBuf = std::unique_ptr<T, FreeDeleter>;
