// _fakebsd: the cpumem part of a machine description.
#include "control.h"

namespace fakebsd {

int load_cpumem(Machine &, PyObject *) { return 0; }

}  // namespace fakebsd
