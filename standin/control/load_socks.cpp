// _fakebsd: the socks part of a machine description.
#include "control.h"

namespace fakebsd {

int load_socks(Machine &, PyObject *) { return 0; }

}  // namespace fakebsd
