// libkvm keeps state of its own for the whole process, whatever the handle:
// kvm_getenvv builds its vector and strings in buffers static to the library,
// rewritten (and reallocated) by the next call from any thread, and
// kvm_getswapinfo counts the swap devices in a file-static variable. kvm_lock
// serialises those two calls: held from kvm_getenvv until its vector has
// been copied into memory of the module's own (the Python objects are built
// from that copy after the lock is given back), and around kvm_getswapinfo.
#include "kvm.h"

extern "C" {
PyMutex kvm_lock = {};
}
