// Owned and borrowed references to Python objects.
//
// PyRef owns exactly one strong reference and gives it back when it goes out
// of scope, so every exit path of a function releases what it holds. It is
// move-only: handing the reference on is explicit (release()).
#pragma once

#include <Python.h>

#include <utility>

class PyRef {
  public:
    PyRef() noexcept = default;
    // Takes over a new reference (possibly null, as returned by a failed API call).
    explicit PyRef(PyObject *owned) noexcept : obj_(owned) {}
    PyRef(const PyRef &) = delete;
    PyRef &operator=(const PyRef &) = delete;
    PyRef(PyRef &&other) noexcept : obj_(other.release()) {}
    PyRef &operator=(PyRef &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~PyRef() { Py_XDECREF(obj_); }

    // A new strong reference to a borrowed object.
    static PyRef borrow(PyObject *borrowed) noexcept { return PyRef(Py_XNewRef(borrowed)); }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hand the reference on (to a caller, or to a stealing API).
    PyObject *release() noexcept { return std::exchange(obj_, nullptr); }
    void reset(PyObject *owned = nullptr) noexcept {
        PyObject *old = std::exchange(obj_, owned);
        Py_XDECREF(old);
    }

  private:
    PyObject *obj_ = nullptr;
};

// Marks a function object that every thread calls, made by the module
// itself: on 3.14 and newer its reference count is deferred, as the
// interpreter defers those of the functions it makes from a module's own
// table, so that threads holding it on their stacks do not all write its
// count (free-threaded; nothing happens with the GIL). 3.13 has no such call.
#if PY_VERSION_HEX >= 0x030E0000
inline void defer_refcount(PyObject *shared) noexcept { (void)PyUnstable_Object_EnableDeferredRefcount(shared); }
#else
inline void defer_refcount(PyObject *) noexcept {}
#endif
