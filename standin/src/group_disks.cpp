// Stand-in platform: the disks group (tables, sysctl nodes, calls, default machine).
#include "providers.h"

namespace fakebsd {

const std::vector<Provider> &providers_disks() {
    static const std::vector<Provider> list;
    return list;
}

void default_disks(Machine &) {}

}  // namespace fakebsd
