// _fakebsd: the users part of a machine description.
#include "control.h"

namespace fakebsd {

int load_users(Machine &, PyObject *) { return 0; }

}  // namespace fakebsd
