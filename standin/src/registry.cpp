// The registry: every capability group's records and constants, in one place.
#include "registry.h"

#include <algorithm>

namespace fakebsd {

const std::vector<RecordInfo> &records_proc();
const std::vector<ConstInfo> &constants_proc();
const std::vector<RecordInfo> &records_file();
const std::vector<ConstInfo> &constants_file();
const std::vector<RecordInfo> &records_socket();
const std::vector<ConstInfo> &constants_socket();
const std::vector<RecordInfo> &records_pcb();
const std::vector<ConstInfo> &constants_pcb();
const std::vector<RecordInfo> &records_net();
const std::vector<ConstInfo> &constants_net();
const std::vector<RecordInfo> &records_mount();
const std::vector<ConstInfo> &constants_mount();
const std::vector<RecordInfo> &records_devstat();
const std::vector<ConstInfo> &constants_devstat();
const std::vector<RecordInfo> &records_vm();
const std::vector<ConstInfo> &constants_vm();
const std::vector<RecordInfo> &records_kvm();
const std::vector<ConstInfo> &constants_kvm();
const std::vector<RecordInfo> &records_cpuset();
const std::vector<ConstInfo> &constants_cpuset();
const std::vector<RecordInfo> &records_resource();
const std::vector<ConstInfo> &constants_resource();
const std::vector<RecordInfo> &records_utmpx();
const std::vector<ConstInfo> &constants_utmpx();
const std::vector<RecordInfo> &records_signal();
const std::vector<ConstInfo> &constants_signal();
const std::vector<RecordInfo> &records_malloc_np();
const std::vector<ConstInfo> &constants_malloc_np();
const std::vector<RecordInfo> &records_sysctl();
const std::vector<ConstInfo> &constants_sysctl();

namespace {

using RecordGroup = const std::vector<RecordInfo> &(*)();
using ConstGroup = const std::vector<ConstInfo> &(*)();

const RecordGroup record_groups[] = {
    records_proc,
    records_file,
    records_socket,
    records_pcb,
    records_net,
    records_mount,
    records_devstat,
    records_vm,
    records_kvm,
    records_cpuset,
    records_resource,
    records_utmpx,
    records_signal,
    records_malloc_np,
    records_sysctl,
};

const ConstGroup const_groups[] = {
    constants_proc,
    constants_file,
    constants_socket,
    constants_pcb,
    constants_net,
    constants_mount,
    constants_devstat,
    constants_vm,
    constants_kvm,
    constants_cpuset,
    constants_resource,
    constants_utmpx,
    constants_signal,
    constants_malloc_np,
    constants_sysctl,
};

}  // namespace

const std::vector<RecordInfo> &all_records() {
    static const std::vector<RecordInfo> records = [] {
        std::vector<RecordInfo> all;
        for (RecordGroup group : record_groups) {
            const std::vector<RecordInfo> &part = group();
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }();
    return records;
}

const RecordInfo *find_record(std::string_view name) {
    const std::vector<RecordInfo> &records = all_records();
    auto it = std::find_if(records.begin(), records.end(),
                           [name](const RecordInfo &r) { return r.name == name; });
    return it == records.end() ? nullptr : &*it;
}

const std::vector<ConstInfo> &all_constants() {
    static const std::vector<ConstInfo> constants = [] {
        std::vector<ConstInfo> all;
        for (ConstGroup group : const_groups) {
            const std::vector<ConstInfo> &part = group();
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }();
    return constants;
}

}  // namespace fakebsd
