// Stand-in platform: the procs_detail group (tables, sysctl nodes, calls, default machine).
#include "providers.h"

namespace fakebsd {

const std::vector<Provider> &providers_procs_detail() {
    static const std::vector<Provider> list;
    return list;
}

void default_procs_detail(Machine &) {}

}  // namespace fakebsd
