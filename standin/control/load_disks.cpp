// _fakebsd: the disks part of a machine description.
#include "control.h"

namespace fakebsd {

int load_disks(Machine &, PyObject *) { return 0; }

}  // namespace fakebsd
