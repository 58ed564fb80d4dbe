// Holds a PyMutex for the life of this object. A thread waiting for the mutex
// detaches from the interpreter, so it holds up none of its other threads.
#pragma once

#include <Python.h>

class MutexGuard {
  public:
    explicit MutexGuard(PyMutex &m) : m_(m) { PyMutex_Lock(&m_); }
    ~MutexGuard() { PyMutex_Unlock(&m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

  private:
    PyMutex &m_;
};
