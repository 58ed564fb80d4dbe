// _fakebsd: the mount table and the device statistics of a machine description.
//
//   "mounts":       [bytes]   struct statfs records, in mount order
//   "mounts_added": [bytes]   records mounted after the base machine's (or
//                             the "mounts" given)
//   "mounts_later": [bytes]   the mount table every getfsstat call after the
//                             first one sees (a mount or unmount in between)
//   "devices":      [bytes]   struct devstat records, in device order
//   "devstat_generation": int the device list's generation number
//
// Each given list replaces the base machine's.
#include "control.h"

namespace fakebsd {

int load_disks(Machine &m, PyObject *desc) {
    PyObject *v;
    if ((v = item(desc, "mounts")) && !as_bytes_list(v, m.disks.mounts))
        return -1;
    if ((v = item(desc, "mounts_added"))) {
        std::vector<std::string> added;
        if (!as_bytes_list(v, added))
            return -1;
        m.disks.mounts.insert(m.disks.mounts.end(), added.begin(), added.end());
    }
    if ((v = item(desc, "mounts_later"))) {
        std::vector<std::string> later;
        if (!as_bytes_list(v, later))
            return -1;
        m.disks.mounts_later = std::move(later);
        m.disks.fsstat_calls = std::make_shared<std::atomic<long>>(0);
    }
    if ((v = item(desc, "devices")) && !as_bytes_list(v, m.disks.devices))
        return -1;
    if ((v = item(desc, "devstat_generation"))) {
        long long n;
        if (!as_long(v, n))
            return -1;
        m.disks.generation = static_cast<long>(n);
    }
    return PyErr_Occurred() ? -1 : 0;
}

}  // namespace fakebsd
