// Stand-in platform: the users group (tables, calls, default machine).
#include "providers.h"

namespace fakebsd {

void default_users(Machine &) {}

}  // namespace fakebsd
