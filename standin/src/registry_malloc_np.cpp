// Reflection tables of the stand-in platform: the allocator control interface
// (<malloc_np.h>).
#include "registry.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

const std::vector<RecordInfo> &records_malloc_np() {
    static const std::vector<RecordInfo> records;
    return records;
}

const std::vector<ConstInfo> &constants_malloc_np() {
    static const std::vector<ConstInfo> constants = {
        FBSD_CONST(MALLCTL_ARENAS_ALL),
        FBSD_CONST(MALLCTL_ARENAS_DESTROYED),
    };
    return constants;
}

}  // namespace fakebsd
