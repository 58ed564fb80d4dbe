// Stand-in platform: the cpumem group (tables, sysctl nodes, calls, default machine).
#include "providers.h"

namespace fakebsd {

const std::vector<Provider> &providers_cpumem() {
    static const std::vector<Provider> list;
    return list;
}

void default_cpumem(Machine &) {}

}  // namespace fakebsd
