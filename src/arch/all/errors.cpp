// The module's error operations. Each sets the Python exception itself and
// returns the failure value its caller passes on; errno is left as the failed
// platform call left it, because some callers choose their exception by it.
#include "../../morvex.h"

namespace {

// Keeps errno across interpreter calls that may change it.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    int value() const { return saved_; }

  private:
    int saved_;
};

// OSError(err, msg), built by calling the class so that err picks the
// subclass. The message may carry a kernel text (a path, a library's error
// text) or be cut inside a character, so it is decoded as kernel texts are.
// When the instance cannot be built (no memory for it or its text), that
// failure stands: a bare OSError would hide it.
PyObject *raise_oserror(int err, const char *msg) {
    PyRef text(PyUnicode_DecodeFSDefault(msg));
    if (!text)
        return nullptr;
    PyRef exc(PyObject_CallFunction(PyExc_OSError, "(iO)", err, text.get()));
    if (!exc)
        return nullptr;
    PyErr_SetObject(PyExc_OSError, exc.get());
    return nullptr;
}

}  // namespace

extern "C" {

void morvex_errtext(int err, char *buf, size_t size) {
    // strerror formats into one buffer the whole process shares, which other
    // threads overwrite while this one reads it: the text goes into ours. An
    // unknown number still gets its "Unknown error: N" text there, and a
    // text too long for the buffer comes back cut and terminated.
    if (size == 0)
        return;
    buf[0] = '\0';
    strerror_r(err, buf, size);
}

PyObject *morvex_oserror(void) {
    ErrnoKeeper keep;
    char text[256];
    morvex_errtext(keep.value(), text, sizeof text);
    return raise_oserror(keep.value(), text);
}

PyObject *morvex_oserror_wsyscall(const char *syscall) {
    ErrnoKeeper keep;
    char text[256];
    morvex_errtext(keep.value(), text, sizeof text);
    char msg[512];
    str_format(msg, sizeof msg, "%s (originated from %s)", text, syscall);
    return raise_oserror(keep.value(), msg);
}

PyObject *morvex_oserror_nsp(const char *syscall) {
    ErrnoKeeper keep;
    char msg[512];
    str_format(msg, sizeof msg, "force no such process (originated from %s)", syscall);
    return raise_oserror(ESRCH, msg);
}

PyObject *morvex_oserror_ad(const char *syscall) {
    ErrnoKeeper keep;
    char msg[512];
    str_format(msg, sizeof msg, "force permission denied (originated from %s)", syscall);
    return raise_oserror(EACCES, msg);
}

PyObject *morvex_runtime_error(const char *fmt, ...) {
    ErrnoKeeper keep;
    va_list ap;
    va_start(ap, fmt);
    PyErr_FormatV(PyExc_RuntimeError, fmt, ap);
    va_end(ap);
    return nullptr;
}

int morvex_badargs(const char *funcname) {
    ErrnoKeeper keep;
    PyErr_Format(PyExc_RuntimeError, "%s() invalid args passed to function", funcname);
    return -1;
}

void convert_kvm_err(const char *syscall, char *errbuf) {
    ErrnoKeeper keep;
    char fullmsg[512];
    str_format(fullmsg, sizeof fullmsg, "(originated from %s: %s)", syscall, errbuf);
    if (std::strstr(errbuf, "Permission denied") || std::strstr(errbuf, "Operation not permitted"))
        morvex_oserror_ad(fullmsg);
    else
        PyErr_SetString(PyExc_RuntimeError, fullmsg);
}

}  // extern "C"
