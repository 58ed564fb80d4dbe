// State of the simulated machine for one capability group (see tables.h).
#pragma once

#include <string>
#include <vector>

namespace fakebsd {

struct SockTable {};

}  // namespace fakebsd
