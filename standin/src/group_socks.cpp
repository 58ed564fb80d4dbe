// Stand-in platform: the socks group (tables, sysctl nodes, calls, default machine).
#include "providers.h"

namespace fakebsd {

const std::vector<Provider> &providers_socks() {
    static const std::vector<Provider> list;
    return list;
}

void default_socks(Machine &) {}

}  // namespace fakebsd
