// Stand-in platform: the ifs group (tables, sysctl nodes, calls, default machine).
#include "providers.h"

namespace fakebsd {

const std::vector<Provider> &providers_ifs() {
    static const std::vector<Provider> list;
    return list;
}

void default_ifs(Machine &) {}

}  // namespace fakebsd
