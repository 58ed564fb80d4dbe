// libkvm keeps state of its own for the whole process, whatever the handle:
// kvm_getenvv builds its vector and strings in buffers static to the library,
// rewritten (and reallocated) by the next call from any thread, and
// kvm_getswapinfo counts the swap devices in a file-static variable. kvm_lock
// serialises those two calls: held from kvm_getenvv until its vector has
// been copied into Python objects, and around kvm_getswapinfo.
#include "kvm.h"

extern "C" {
PyMutex kvm_lock = {};
}
