// Stand-in platform: the disks group. getfsstat(2) over the mount table,
// libdevstat's devstat_checkversion(3) and devstat_getdevs(3) over the device
// statistics, and the default machine's mounts, disks and sensor nodes.
//
// The mount table is the host's; what a caller in a jail sees of it, and
// under which names, is decided per call (caller_view). Faults: "getfsstat"
// (key: the mode, "2" for MNT_NOWAIT; an answer replaces the mount table with
// those statfs records, handed out as they are), "devstat_checkversion" (key ""
// for no kvm handle), "devstat_getdevs" (key "" for no kvm handle; a failure
// comes after the library has allocated its memory, as a failed read of
// kern.devstat.all does; an answer replaces the device records).
#include <dlfcn.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "providers.h"

#include <fakebsd/freebsd.h>

namespace fakebsd {

namespace {

// Whether the calling thread still holds an attached interpreter thread
// state. The interpreter is looked up at run time: libfakebsd does not link
// against it, and outside an interpreter there is nothing to hold.
bool interpreter_attached() {
    using GetFn = void *(*)();
    static const GetFn get = reinterpret_cast<GetFn>(dlsym(RTLD_DEFAULT, "PyThreadState_GetUnchecked"));
    return get && get() != nullptr;
}

// Cut a table (or a raw answer) into whole records of `size` bytes, each
// padded or cut to exactly that size.
std::vector<Bytes> records_of(const std::vector<Bytes> &table, size_t size) {
    std::vector<Bytes> out;
    for (const Bytes &r : table) {
        Bytes b = r.substr(0, size);
        b.resize(size, '\0');
        out.push_back(std::move(b));
    }
    return out;
}

std::vector<Bytes> records_of(const Bytes &blob, size_t size) {
    std::vector<Bytes> out;
    for (size_t at = 0; at + size <= blob.size(); at += size)
        out.push_back(blob.substr(at, size));
    return out;
}

template <class T>
Bytes bytes_of(const T &v) {
    return Bytes(reinterpret_cast<const char *>(&v), sizeof v);
}

// The mount table as kern_getfsstat hands it to the caller: a jailed
// caller sees what prison_canseemount lets it (enforce_statfs 0: every
// mount; 1: the mounts at and below its root; 2: only the one its root
// lies on), with the mount points prison_enforce_statfs makes relative to
// its root; a caller without PRIV_VFS_GENERATION (anyone but root on the
// host) gets the file system ids zeroed.
std::vector<Bytes> caller_view(const Machine &m, std::vector<Bytes> table) {
    const bool host_root = m.caller.privileged && m.caller.jid == 0;
    if (host_root)
        return table;
    const Jail *jail = nullptr;
    if (m.caller.jid != 0)
        if (auto it = m.jails.find(m.caller.jid); it != m.jails.end())
            jail = &it->second;
    const int enforce = jail ? jail->enforce_statfs : 0;
    const std::string path = jail ? jail->path : "/";
    auto mntonname = [](const Bytes &r) {
        const char *p = r.data() + offsetof(struct statfs, f_mntonname);
        return std::string(p, strnlen(p, MNAMELEN));
    };
    auto under = [](const std::string &dir, const std::string &mnt) {
        return mnt == dir || dir == "/" ||
               (mnt.compare(0, dir.size(), dir) == 0 && mnt.size() > dir.size() && mnt[dir.size()] == '/');
    };
    // The mount the jail's root lies on (pr_root->v_mount): the deepest
    // mount point at or above it.
    size_t root_mount = table.size();
    for (size_t i = 0; i < table.size(); i++) {
        std::string mnt = mntonname(table[i]);
        if (under(mnt, path) && (root_mount == table.size() || mnt.size() >= mntonname(table[root_mount]).size()))
            root_mount = i;
    }
    std::vector<Bytes> out;
    for (size_t i = 0; i < table.size(); i++) {
        Bytes r = std::move(table[i]);
        std::string mnt = mntonname(r);
        bool seen = enforce == 0 || i == root_mount ||
                    (enforce == 1 && under(path, mnt));
        if (!seen)
            continue;
        std::memset(r.data() + offsetof(struct statfs, f_fsid), 0, sizeof(fsid_t));
        if (enforce != 0 && path != "/") {
            // the mount point below the jail's root, named from inside it
            // (the root's own mount, or one at the root itself, is "/")
            const char *shown = "/";
            size_t len = 1;
            if (i != root_mount && mnt.size() > path.size()) {
                shown = mnt.data() + path.size();
                len = mnt.size() - path.size();
            }
            char *to = r.data() + offsetof(struct statfs, f_mntonname);
            std::memset(to, 0, MNAMELEN);
            std::memcpy(to, shown, std::min<size_t>(len, MNAMELEN - 1));
        }
        out.push_back(std::move(r));
    }
    return out;
}

}  // namespace

const std::vector<Provider> &providers_disks() {
    static const std::vector<Provider> list;
    return list;
}

// The default machine: ZFS root with /home and /var/log datasets, devfs and a
// tmpfs /tmp; an ATA disk and a CD drive; four CPUs with coretemp sensors and
// no battery (a server).
void default_disks(Machine &m) {
    struct Mount {
        const char *from, *on, *type;
        uint64_t flags;
        uint64_t blocks, bfree;
    };
    static const Mount mounts[] = {
        {"zroot/ROOT/default", "/", "zfs", MNT_LOCAL | MNT_ROOTFS | MNT_NOATIME | MNT_NFS4ACLS,
         112459880, 98311272},
        {"devfs", "/dev", "devfs", MNT_LOCAL | MNT_MULTILABEL, 2, 0},
        {"zroot/home", "/home", "zfs", MNT_LOCAL | MNT_NOATIME | MNT_NOSUID | MNT_NFS4ACLS,
         98455016, 98311272},
        {"zroot/var/log", "/var/log", "zfs",
         MNT_LOCAL | MNT_NOATIME | MNT_NOEXEC | MNT_NOSUID | MNT_NFS4ACLS, 98312608, 98311272},
        {"tmpfs", "/tmp", "tmpfs", MNT_LOCAL | MNT_NOSUID, 1048576, 1046500},
    };
    uint32_t type = 0xde;
    for (const Mount &mt : mounts) {
        struct statfs sf;
        std::memset(&sf, 0, sizeof sf);
        sf.f_version = STATFS_VERSION;
        sf.f_type = type++;
        sf.f_flags = mt.flags;
        sf.f_bsize = 4096;
        sf.f_iosize = 131072;
        sf.f_blocks = mt.blocks;
        sf.f_bfree = mt.bfree;
        sf.f_bavail = static_cast<int64_t>(mt.bfree);
        sf.f_files = mt.bfree / 4;
        sf.f_ffree = static_cast<int64_t>(mt.bfree / 4 - 1000);
        sf.f_namemax = 255;
        std::strncpy(sf.f_fstypename, mt.type, sizeof sf.f_fstypename - 1);
        std::strncpy(sf.f_mntfromname, mt.from, sizeof sf.f_mntfromname - 1);
        std::strncpy(sf.f_mntonname, mt.on, sizeof sf.f_mntonname - 1);
        m.disks.mounts.push_back(bytes_of(sf));
    }

    struct Device {
        const char *name;
        int unit;
        uint64_t reads, writes, rbytes, wbytes;
        struct bintime rtime, wtime, busy;
        devstat_type_flags type;
        devstat_priority priority;
    };
    static const Device devices[] = {
        {"ada", 0, 1523407, 982311, 41874321408, 28911403008,
         {1843, 0x4000000000000000ULL}, {2710, 0xc000000000000000ULL}, {3902, 0x8000000000000000ULL},
         devstat_type_flags(DEVSTAT_TYPE_DIRECT | DEVSTAT_TYPE_IF_IDE), DEVSTAT_PRIORITY_DISK},
        {"cd", 0, 12, 0, 24576, 0, {0, 0x2000000000000000ULL}, {0, 0}, {0, 0x2000000000000000ULL},
         devstat_type_flags(DEVSTAT_TYPE_CDROM | DEVSTAT_TYPE_IF_IDE), DEVSTAT_PRIORITY_CD},
    };
    uint32_t number = 0;
    for (const Device &d : devices) {
        struct devstat ds;
        std::memset(&ds, 0, sizeof ds);
        ds.allocated = 1;
        ds.device_number = number++;
        std::strncpy(ds.device_name, d.name, sizeof ds.device_name - 1);
        ds.unit_number = d.unit;
        ds.operations[DEVSTAT_READ] = d.reads;
        ds.operations[DEVSTAT_WRITE] = d.writes;
        ds.bytes[DEVSTAT_READ] = d.rbytes;
        ds.bytes[DEVSTAT_WRITE] = d.wbytes;
        ds.duration[DEVSTAT_READ] = d.rtime;
        ds.duration[DEVSTAT_WRITE] = d.wtime;
        ds.busy_time = d.busy;
        ds.block_size = 512;
        ds.device_type = d.type;
        ds.priority = d.priority;
        m.disks.devices.push_back(bytes_of(ds));
    }
    m.disks.generation = 3;

    // Temperatures in tenths of a kelvin, under dynamic OIDs of dev.cpu.
    const int kDev = 0x10f, kCpu = 0x1d2, kTemperature = 0x1f4, kCoretemp = 0x1f5, kTjmax = 0x100;
    const int temps[] = {3232, 3281, 3201, 3262};
    for (int cpu = 0; cpu < 4; cpu++) {
        std::string base = "dev.cpu." + std::to_string(cpu);
        m.set(base + ".temperature", {kDev, kCpu, cpu, kTemperature}, bytes_of(temps[cpu]));
        m.set(base + ".coretemp.tjmax", {kDev, kCpu, cpu, kCoretemp, kTjmax}, bytes_of(int{3731}));
    }
}

}  // namespace fakebsd

using namespace fakebsd;

extern "C" int fbsd_getfsstat(struct statfs *buf, long bufsize, int mode) {
    const Machine &m = current();
    std::string note = buf ? "" : " (measure)";
    if (interpreter_attached())
        note += " [thread state held]";
    Action a = check(m, "getfsstat", std::to_string(mode), note);
    long nth = m.disks.fsstat_calls ? m.disks.fsstat_calls->fetch_add(1) : 0;
    if (a.fail)
        return fault_failure(a);
    if ((mode != MNT_WAIT && mode != MNT_NOWAIT) || bufsize < 0) {
        errno = EINVAL;
        return -1;
    }
    const std::vector<Bytes> &table = nth > 0 && m.disks.mounts_later ? *m.disks.mounts_later : m.disks.mounts;
    std::vector<Bytes> records = a.raw ? records_of(*a.raw, sizeof(struct statfs))
                                       : caller_view(m, records_of(table, sizeof(struct statfs)));
    if (!buf)
        return static_cast<int>(records.size());
    // The kernel stores what fits and reports how many records it stored.
    size_t room = static_cast<size_t>(bufsize) / sizeof(struct statfs);
    size_t n = std::min(room, records.size());
    for (size_t i = 0; i < n; i++)
        std::memcpy(buf + i, records[i].data(), sizeof(struct statfs));
    return static_cast<int>(n);
}

extern "C" int fbsd_devstat_checkversion(kvm_t *kd) {
    const Machine &m = current();
    Action a = check(m, "devstat_checkversion", kd ? "kvm" : "");
    if (a.fail)
        return fault_failure(a);
    return 0;
}

extern "C" int fbsd_devstat_getdevs(kvm_t *kd, struct statinfo *stats) {
    const Machine &m = current();
    Action a = check(m, "devstat_getdevs", kd ? "kvm" : "");
    if (!stats || !stats->dinfo) {
        errno = EINVAL;
        return -1;
    }
    std::vector<Bytes> records = a.raw ? records_of(*a.raw, sizeof(struct devstat))
                                       : records_of(m.disks.devices, sizeof(struct devstat));
    // Like kern.devstat.all, the library's buffer holds the generation number
    // followed by the records; it keeps the buffer in mem_ptr, allocating or
    // growing it as needed, and the caller frees it.
    struct devinfo *d = stats->dinfo;
    size_t need = sizeof(long) + records.size() * sizeof(struct devstat);
    void *mem = std::realloc(d->mem_ptr, need);
    if (!mem) {
        errno = ENOMEM;
        return -1;
    }
    d->mem_ptr = static_cast<u_int8_t *>(mem);
    if (a.fail)
        return fault_failure(a);
    long generation = m.disks.generation;
    std::memcpy(d->mem_ptr, &generation, sizeof generation);
    for (size_t i = 0; i < records.size(); i++)
        std::memcpy(d->mem_ptr + sizeof(long) + i * sizeof(struct devstat), records[i].data(),
                    sizeof(struct devstat));
    d->devices = reinterpret_cast<struct devstat *>(d->mem_ptr + sizeof(long));
    d->numdevs = static_cast<int>(records.size());
    bool changed = d->generation != generation;
    d->generation = generation;
    stats->snap_time = 1765184400.0L;
    return changed ? 1 : 0;
}
