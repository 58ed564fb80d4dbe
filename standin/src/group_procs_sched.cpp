// Stand-in platform: the procs_sched group (tables, sysctl nodes, calls, default machine).
#include "providers.h"

namespace fakebsd {

const std::vector<Provider> &providers_procs_sched() {
    static const std::vector<Provider> list;
    return list;
}

void default_procs_sched(Machine &) {}

}  // namespace fakebsd
