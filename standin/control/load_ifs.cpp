// _fakebsd: the ifs part of a machine description.
#include "control.h"

namespace fakebsd {

int load_ifs(Machine &, PyObject *) { return 0; }

}  // namespace fakebsd
