"""One successful call of every module function on the built-in default
machine: (name, args). Shared by the thread, leak and benchmark checks."""

import _morvex_bsd as m

PID = 1310      # the logged-in user's python3.13 (4 threads, files, sockets)
ZOMBIE = 1311
IFACE = "em0"
FAMILIES = [2, 28, 1]
TYPES = [1, 2]

CALLS = [
    ("proc_cmdline", (PID,)),
    ("proc_cwd", (PID,)),
    ("proc_environ", (PID,)),
    ("proc_name", (PID,)),
    ("proc_num_fds", (PID,)),
    ("proc_oneshot_info", (PID,)),
    ("proc_open_files", (PID,)),
    ("proc_threads", (PID,)),
    ("proc_num_threads", (PID,)),
    ("proc_cpu_affinity_get", (PID,)),
    ("proc_cpu_affinity_set", (PID, [0, 1, 2, 3])),
    ("proc_exe", (PID,)),
    ("proc_getrlimit", (PID, m.RLIMIT_NOFILE)),
    ("proc_memory_maps", (PID,)),
    ("proc_net_connections", (PID, FAMILIES, TYPES)),
    ("proc_setrlimit", (PID, m.RLIMIT_CORE, 0, 0)),
    ("boot_time", ()),
    ("cpu_count_logical", ()),
    ("cpu_stats", ()),
    ("cpu_times", ()),
    ("disk_io_counters", ()),
    ("disk_partitions", ()),
    ("net_connections", (FAMILIES, TYPES)),
    ("net_io_counters", ()),
    ("per_cpu_times", ()),
    ("pids", ()),
    ("swap_mem", ()),
    ("heap_info", ()),
    ("heap_trim", ()),
    ("virtual_mem", ()),
    ("cpu_freq", (0,)),
    ("cpu_topology", ()),
    ("sensors_battery", ()),          # the default server has no battery
    ("sensors_cpu_temperature", (0,)),
    ("check_pid_range", (PID,)),
    ("set_debug", (False,)),
    ("getpagesize", ()),
    ("net_if_addrs", ()),
    ("net_if_flags", (IFACE,)),
    ("net_if_is_running", (IFACE,)),
    ("net_if_mtu", (IFACE,)),
    ("proc_priority_get", (PID,)),
    ("proc_priority_set", (PID, 5)),
    ("net_if_duplex_speed", (IFACE,)),
    ("users", ()),
    ("proc_is_zombie", (ZOMBIE,)),
]

# Calls whose answer on the default machine is an exception, by design.
EXPECTED_ERRORS = {"sensors_battery": NotImplementedError}


def call(name, args):
    """Make one call; an expected exception counts as its answer."""
    try:
        return getattr(m, name)(*args)
    except EXPECTED_ERRORS.get(name, ()) as e:
        return e
