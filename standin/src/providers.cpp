#include "providers.h"

#include <cstring>

namespace fakebsd {

const std::vector<Provider> &all_providers() {
    static const std::vector<Provider> all = [] {
        std::vector<Provider> v;
        for (auto *group : {&providers_procs, &providers_procs_detail, &providers_procs_env,
                            &providers_procs_sched, &providers_cpumem,
                            &providers_socks, &providers_ifs, &providers_disks})
            for (const Provider &p : group())
                v.push_back(p);
        return v;
    }();
    return all;
}

const Provider *find_provider(const int *mib, unsigned len) {
    const Provider *best = nullptr;
    for (const Provider &p : all_providers()) {
        if (p.mib.empty() || len < p.mib.size() || (!p.prefix && len != p.mib.size()))
            continue;
        if (std::memcmp(mib, p.mib.data(), p.mib.size() * sizeof(int)) != 0)
            continue;
        if (!best || p.mib.size() > best->mib.size())
            best = &p;
    }
    return best;
}

const Provider *find_provider(std::string_view name) {
    for (const Provider &p : all_providers())
        if (p.name && name == p.name)
            return &p;
    return nullptr;
}

void build_default(Machine &m) {
    default_base(m);
    default_procs(m);
    default_procs_detail(m);
    default_procs_sched(m);
    default_cpumem(m);
    default_socks(m);
    default_ifs(m);
    default_disks(m);
    default_users(m);
}

}  // namespace fakebsd
