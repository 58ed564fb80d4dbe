// _fakebsd: the user-accounting database of a machine description.
//
//   "utmpx": [bytes]   struct utmpx records, in database order; replaces the
//                      base machine's
//   "utmpx_open_errno": int   the errno opening the database fails with
//                      (ENOENT: there is no database), 0: it opens
#include "control.h"

namespace fakebsd {

int load_users(Machine &m, PyObject *desc) {
    PyObject *v = item(desc, "utmpx");
    if (v && !as_bytes_list(v, m.users.entries))
        return -1;
    long long n;
    if ((v = item(desc, "utmpx_open_errno"))) {
        if (!as_long(v, n))
            return -1;
        m.users.open_errno = static_cast<int>(n);
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace fakebsd
