// _fakebsd: the user-accounting database of a machine description.
//
//   "utmpx": [bytes]   struct utmpx records, in database order; replaces the
//                      base machine's
#include "control.h"

namespace fakebsd {

int load_users(Machine &m, PyObject *desc) {
    PyObject *v = item(desc, "utmpx");
    if (v && !as_bytes_list(v, m.users.entries))
        return -1;
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace fakebsd
