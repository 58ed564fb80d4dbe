// Implementing functions of the registered module functions. Each takes the
// module (or null) and the positional-argument tuple, and returns a new
// reference or null with an exception set.
#pragma once

#include "../morvex.h"

#define MORVEX_FUNC(name) PyObject *morvex_##name(PyObject *self, PyObject *args)

extern "C" {
// Frame.
MORVEX_FUNC(check_pid_range);
MORVEX_FUNC(set_debug);
// Processes.
MORVEX_FUNC(pids);
MORVEX_FUNC(proc_oneshot_info);
MORVEX_FUNC(proc_name);
MORVEX_FUNC(proc_num_threads);
MORVEX_FUNC(proc_is_zombie);
MORVEX_FUNC(proc_cmdline);
MORVEX_FUNC(proc_environ);
MORVEX_FUNC(proc_exe);
MORVEX_FUNC(proc_cwd);
MORVEX_FUNC(proc_num_fds);
MORVEX_FUNC(proc_open_files);
MORVEX_FUNC(proc_threads);
MORVEX_FUNC(proc_memory_maps);
MORVEX_FUNC(proc_cpu_affinity_get);
MORVEX_FUNC(proc_cpu_affinity_set);
MORVEX_FUNC(proc_getrlimit);
MORVEX_FUNC(proc_setrlimit);
MORVEX_FUNC(proc_priority_get);
MORVEX_FUNC(proc_priority_set);
// System.
MORVEX_FUNC(boot_time);
MORVEX_FUNC(cpu_count_logical);
MORVEX_FUNC(cpu_stats);
MORVEX_FUNC(cpu_times);
MORVEX_FUNC(per_cpu_times);
MORVEX_FUNC(cpu_freq);
MORVEX_FUNC(cpu_topology);
MORVEX_FUNC(virtual_mem);
MORVEX_FUNC(swap_mem);
MORVEX_FUNC(heap_info);
MORVEX_FUNC(heap_trim);
MORVEX_FUNC(disk_io_counters);
MORVEX_FUNC(disk_partitions);
MORVEX_FUNC(sensors_battery);
MORVEX_FUNC(sensors_cpu_temperature);
MORVEX_FUNC(users);
// Network.
MORVEX_FUNC(net_connections);
MORVEX_FUNC(proc_net_connections);
MORVEX_FUNC(net_io_counters);
MORVEX_FUNC(net_if_addrs);
MORVEX_FUNC(net_if_flags);
MORVEX_FUNC(net_if_is_running);
MORVEX_FUNC(net_if_mtu);
MORVEX_FUNC(net_if_duplex_speed);
}
