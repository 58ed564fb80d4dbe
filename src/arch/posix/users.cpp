// Logged-in users, from the user-accounting database. FreeBSD's libc keeps
// the iterator, and the record getutxent returns, per thread, so walks in
// different threads do not disturb each other; the module still serialises
// its walks with utxent_lock, which guards only the walk itself (setutxent
// to endutxent and the copies of the records), never the building of
// Python objects.
#include "../../module/functions.h"
#include "../all/mutex_guard.h"

static_assert(sizeof(((struct utmpx *)nullptr)->ut_type) == 2, "utmpx ut_type size");
static_assert(sizeof(((struct utmpx *)nullptr)->ut_user) == 32, "utmpx ut_user size");
static_assert(sizeof(((struct utmpx *)nullptr)->ut_line) == 16, "utmpx ut_line size");
static_assert(sizeof(((struct utmpx *)nullptr)->ut_host) == 128, "utmpx ut_host size");

extern "C" {
PyMutex utxent_lock = {};
}

namespace {

// One walk of the database: rewound at the start, closed at the end.
//
// getutxent answers none both at the end of the database and when it could
// not open or read it; libc tells them apart only by errno, which the end
// of the file leaves alone (fread stops without an error) and a failed
// fopen or read sets. So errno is cleared before each call. A database that
// does not exist (ENOENT) holds nobody; any other failure (EMFILE or ENFILE
// with the descriptors used up, EACCES, EIO, EFTYPE) is not an empty
// database.
class UtmpxWalk {
  public:
    UtmpxWalk() { setutxent(); }
    ~UtmpxWalk() { endutxent(); }
    UtmpxWalk(const UtmpxWalk &) = delete;
    UtmpxWalk &operator=(const UtmpxWalk &) = delete;
    // The next record, or none with `failed` set to the errno of a walk that
    // could not go on (0 at the end of the database).
    struct utmpx *next(int &failed) {
        errno = 0;
        struct utmpx *ut = getutxent();
        failed = ut == nullptr && errno != ENOENT ? errno : 0;
        return ut;
    }
};

// The user-process records of one walk, copied out of libc's record (which
// the next getutxent overwrites) into a block of our own, grown as it fills.
class Logins {
  public:
    // False when there is no memory for one more record.
    bool push(const struct utmpx &ut) {
        if (count_ == capacity_) {
            size_t capacity = capacity_ > 0 ? capacity_ * 2 : 16;
            void *grown = std::realloc(records_.get(), capacity * sizeof ut);
            if (grown == nullptr)
                return false;
            (void)records_.release();  // realloc has moved or kept it
            records_.reset(static_cast<struct utmpx *>(grown));
            capacity_ = capacity;
        }
        records_.get()[count_++] = ut;
        return true;
    }
    size_t size() const { return count_; }
    const struct utmpx &operator[](size_t i) const { return records_.get()[i]; }

  private:
    KernelBuf<struct utmpx> records_;
    size_t count_ = 0;
    size_t capacity_ = 0;
};

// A fixed-size text field of the record, up to its first NUL or its end.
template <size_t N>
PyObject *decode_field(const char (&field)[N]) {
    return PyUnicode_DecodeFSDefaultAndSize(field, static_cast<Py_ssize_t>(strnlen(field, N)));
}

// Logins on the local display (no host, ":0" or ":0.0") report "localhost";
// any other host as it stands.
bool local_display(const char *host, size_t len) {
    return len == 0 || (len == 2 && host[0] == ':' && host[1] == '0') || std::strcmp(host, ":0.0") == 0;
}

}  // namespace

extern "C" PyObject *morvex_users(PyObject *, PyObject *) {
    PyRef list(PyList_New(0));
    if (!list)
        return nullptr;
    // The walk only copies the records, under the lock; the Python objects
    // are built after the walk is closed and the lock given back.
    Logins logins;
    int failed = 0;
    bool nomem = false;
    {
        MutexGuard lock(utxent_lock);
        UtmpxWalk walk;
        while (struct utmpx *ut = walk.next(failed)) {
            if (ut->ut_type == USER_PROCESS && !logins.push(*ut)) {
                nomem = true;
                break;
            }
        }
    }
    if (failed) {
        errno = failed;
        return morvex_oserror_wsyscall("getutxent()");
    }
    if (nomem)
        return PyErr_NoMemory();

    for (size_t i = 0; i < logins.size(); i++) {
        const struct utmpx &ut = logins[i];
        PyRef user(decode_field(ut.ut_user));
        if (!user)
            return nullptr;
        PyRef line(decode_field(ut.ut_line));
        if (!line)
            return nullptr;
        char hostbuf[sizeof ut.ut_host + 1];
        size_t len = strnlen(ut.ut_host, sizeof ut.ut_host);
        std::memcpy(hostbuf, ut.ut_host, len);
        hostbuf[len] = '\0';
        PyRef host(PyUnicode_DecodeFSDefault(local_display(hostbuf, len) ? "localhost" : hostbuf));
        if (!host)
            return nullptr;
        PyRef entry(Py_BuildValue("OOOdi", user.get(), line.get(), host.get(),
                                  static_cast<double>(ut.ut_tv.tv_sec), static_cast<int>(ut.ut_pid)));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
    }
    return list.release();
}
