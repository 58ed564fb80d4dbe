"""A short report of the machine, made through _morvex_bsd's own functions.

Off FreeBSD the module runs on its stand-in platform, so this describes one of
the stand-in's machine profiles: the built-in default server, or the one named
as the first argument or by PROFILE in the environment (default,
unprivileged, jail, vm, large), installed for the whole process first; or
a capture of a FreeBSD machine's answers (CAPTURE in the environment, or
--capture PATH), replayed.

    python tools/demo.py [PROFILE]
    python tools/demo.py --capture PATH
"""

import os
import sys
import time

import _morvex_bsd as m

MAX_LINES = 25  # longest list printed in full


def section(title):
    print()
    print(title)
    print("-" * len(title))


def line(label, value):
    print(f"  {label:<22} {value}")


def attempt(fn, *args):
    """Call a module function; report its exception instead of stopping."""
    try:
        return fn(*args)
    except (OSError, RuntimeError, NotImplementedError) as e:
        return f"({type(e).__name__}: {e})"


def exists(pid):
    try:
        m.proc_name(pid)
    except (OSError, RuntimeError):
        return False
    return True


def has(*names):
    return all(hasattr(m, n) for n in names)


def frame():
    section("Module")
    line("version", m.version)
    line("GIL enabled", sys._is_gil_enabled())
    line("page size", f"{m.getpagesize()} bytes")
    line("AF_LINK", m.AF_LINK)
    line("RLIM_INFINITY", m.RLIM_INFINITY)
    line("no-TCP-state status", m.MORVEX_CONN_NONE)


def cpu_memory():
    import time

    def size(n):
        for unit in ("B", "KiB", "MiB", "GiB"):
            if n < 1024:
                break
            n /= 1024
        else:
            unit = "TiB"
        return f"{n} B" if unit == "B" else f"{n:.1f} {unit}"

    section("CPU and memory")
    line("logical CPUs", m.cpu_count_logical())
    times = attempt(m.cpu_times)
    if isinstance(times, tuple):
        names = ("user", "nice", "system", "idle", "interrupt")
        times = ", ".join(f"{n} {t:.0f} s" for n, t in zip(names, times))
    line("CPU time", times)
    per_cpu = attempt(m.per_cpu_times)
    if isinstance(per_cpu, list):
        more = f", ... {len(per_cpu) - 16} more" if len(per_cpu) > 16 else ""
        per_cpu = ", ".join(f"{100 * (1 - c[3] / (sum(c) or 1)):.1f}%" for c in per_cpu[:16]) + more
    line("busy per CPU", per_cpu)
    stats = attempt(m.cpu_stats)
    if isinstance(stats, tuple):
        stats = "switches {}, interrupts {}, soft {}, syscalls {}, traps {}".format(*stats)
    line("events", stats)
    freq = attempt(m.cpu_freq, 0)
    if isinstance(freq, tuple):
        freq = f"{freq[0]} MHz, levels {' '.join(lv.split('/')[0] for lv in freq[1].split()) or '-'}"
    line("CPU 0 frequency", freq)
    topology = attempt(m.cpu_topology)
    if isinstance(topology, str):
        topology = f"{topology.count('<group ')} scheduler groups"
    line("topology", topology)
    boot = attempt(m.boot_time)
    if isinstance(boot, float):
        boot = time.strftime("%Y-%m-%d %H:%M:%S UTC", time.gmtime(boot))
    line("booted", boot)
    vm = attempt(m.virtual_mem)
    if isinstance(vm, tuple):
        labels = ("total", "free", "active", "inactive", "wired", "cached", "buffers", "shared")
        parts = [f"{size(v)} {k}" for k, v in zip(labels, vm)]
        line("memory", ", ".join(parts[:4]))
        line("", ", ".join(parts[4:]))
    else:
        line("memory", vm)
    swap = attempt(m.swap_mem)
    if isinstance(swap, tuple):
        swap = (f"{size(swap[0])} total, {size(swap[1])} used, {size(swap[2])} free; "
                f"pages swapped {swap[3]}, vnode pages {swap[4]}")
    line("swap", swap)
    heap = attempt(m.heap_info)
    if isinstance(heap, tuple):
        heap = f"{size(heap[0])} allocated, {size(heap[1])} mapped"
    line("this process's heap", heap)


def processes():
    if not has("pids", "proc_oneshot_info", "proc_name", "proc_num_threads"):
        return
    section("Processes")
    pids = attempt(m.pids)
    if not isinstance(pids, list):
        line("processes", pids)
        return
    line("processes", len(pids))
    states = {getattr(m, s): s[1:].lower() for s in
              ("SIDL", "SRUN", "SSLEEP", "SSTOP", "SZOMB", "SWAIT", "SLOCK")}
    print(f"  {'PID':>6} {'PPID':>6} {'NAME':<14} {'STATE':<6} {'THR':>3} {'RSS':>9}"
          f" {'USER s':>8} {'SYS s':>8}")
    # init and a couple after it, then the newest.
    chosen = dict.fromkeys([p for p in pids if p > 0][:3] + pids[-5:])
    for pid in chosen:
        info = attempt(m.proc_oneshot_info, pid)
        if not isinstance(info, tuple):
            print(f"  {pid:>6} {info}")
            continue
        name = info[24] if info[24] is not None else "?"
        threads = attempt(m.proc_num_threads, pid)
        print(f"  {pid:>6} {info[0]:>6} {name:<14} {states.get(info[1], info[1]):<6}"
              f" {threads:>3} {info[18] // 1024:>7}Ki {info[14]:>8.2f} {info[15]:>8.2f}")


def chosen_pid():
    """A process worth a closer look: the default machine's Python program,
    else the newest process of a logged-in user, else the newest one with
    arguments that is no zombie."""
    pids = attempt(m.pids)
    if not isinstance(pids, list):
        return 1310
    if 1310 in pids:
        return 1310
    fallback = None
    for pid in reversed(pids):
        info = attempt(m.proc_oneshot_info, pid)
        if not isinstance(info, tuple) or info[1] == m.SZOMB:
            continue
        if not isinstance(attempt(m.proc_num_fds, pid), int):
            continue
        if info[2] >= 1000:
            return pid
        if fallback is None and attempt(m.proc_cmdline, pid):
            fallback = pid
    return fallback if fallback is not None else pids[-1]


def process_files():
    if not has("proc_cmdline", "proc_exe", "proc_cwd", "proc_environ", "proc_num_fds",
               "proc_open_files"):
        return
    pid = PID
    section(f"Process {pid}: command line and files")
    line("command line", attempt(lambda: " ".join(m.proc_cmdline(pid))))
    line("executable", attempt(m.proc_exe, pid))
    line("working directory", attempt(m.proc_cwd, pid))
    env = attempt(m.proc_environ, pid)
    if isinstance(env, dict):
        env = ", ".join(f"{k}={env[k]}" for k in ("USER", "SHELL", "VIRTUAL_ENV") if k in env)
    line("environment", env)
    line("descriptors", attempt(m.proc_num_fds, pid))
    files = attempt(m.proc_open_files, pid)
    if isinstance(files, list):
        for path, fd in files[:MAX_LINES]:
            line(f"  fd {fd}", path)
        if len(files) > MAX_LINES:
            line("", f"... {len(files) - MAX_LINES} more")
    else:
        line("open files", files)


def threads_and_scheduling(pid=None):
    pid = PID if pid is None else pid
    if not has("proc_threads", "proc_memory_maps", "proc_cpu_affinity_get", "proc_priority_get"):
        return
    section(f"Threads, memory and scheduling of process {pid}")
    threads = attempt(m.proc_threads, pid)
    if isinstance(threads, list):
        line("threads", len(threads))
        for tid, user, system in threads[:MAX_LINES]:
            line(f"  thread {tid}", f"user {user:.3f} s, system {system:.3f} s")
    else:
        line("threads", threads)
    maps = attempt(m.proc_memory_maps, pid)
    if isinstance(maps, list):
        line("memory maps", f"{len(maps)} mappings, first and last:")
        for addr, perms, path, rss, *_ in maps[:3] + maps[-2:]:
            print(f"    {addr:<32} {perms} {rss:>6} pages  {path}")
    else:
        line("memory maps", maps)
    line("CPU affinity", attempt(m.proc_cpu_affinity_get, pid))
    line("nice", attempt(m.proc_priority_get, pid))
    if has("RLIMIT_NOFILE"):
        line("open files limit", attempt(m.proc_getrlimit, pid, m.RLIMIT_NOFILE))


def storage_sensors_users():
    if not has("disk_partitions", "disk_io_counters", "sensors_battery",
               "sensors_cpu_temperature", "users"):
        return
    section("Mounts")
    parts = attempt(m.disk_partitions)
    if isinstance(parts, str):
        line("mounts", parts)
    else:
        for dev, mnt, fstype, opts in parts[:MAX_LINES]:
            print(f"  {mnt:<12} {fstype:<7} {dev:<22} {opts}")

    section("Disk I/O")
    counters = attempt(m.disk_io_counters)
    if isinstance(counters, str):
        line("devices", counters)
    else:
        print(f"  {'device':<8} {'reads':>10} {'writes':>10} {'read MiB':>10} {'written MiB':>12}"
              f" {'read ms':>10} {'write ms':>10} {'busy ms':>10}")
        for name, (r, w, rb, wb, rt, wt, bt) in sorted(counters.items()):
            print(f"  {name:<8} {r:>10} {w:>10} {rb // 2**20:>10} {wb // 2**20:>12}"
                  f" {rt:>10} {wt:>10} {bt:>10}")

    section("Sensors")
    line("battery", attempt(m.sensors_battery))
    cpu = 0
    while True:
        temp = attempt(m.sensors_cpu_temperature, cpu)
        if isinstance(temp, str):
            if cpu == 0:
                line("CPU temperature", temp)
            break
        now, tjmax = temp
        if cpu < 8:
            line(f"CPU {cpu} temperature", f"{now} C (max {tjmax} C)" if tjmax != -273 else f"{now} C")
        cpu += 1
    if cpu > 8:
        line("", f"... {cpu - 8} more CPUs with a sensor before the first without")

    section("Users")
    users = attempt(m.users)
    if isinstance(users, str) or not users:
        line("logged in", users or "nobody")
    else:
        for name, tty, host, started, pid in users[:MAX_LINES]:
            when = time.strftime("%Y-%m-%d %H:%M", time.gmtime(started))
            print(f"  {name:<10} {tty:<8} {host:<16} {when} UTC  pid {pid}")


def interfaces():
    section("Network interfaces")
    if not has("net_if_addrs", "net_if_flags", "net_if_mtu", "net_if_duplex_speed",
               "net_io_counters"):
        line("(not available)", "")
        return
    families = {2: "inet", 28: "inet6", m.AF_LINK: "link"}
    addrs = attempt(m.net_if_addrs)
    counters = attempt(m.net_io_counters)
    addr_list = addrs if isinstance(addrs, list) else []
    io_map = counters if isinstance(counters, dict) else {}
    names = list(dict.fromkeys([a[0] for a in addr_list] + list(io_map)))
    duplex_names = {0: "unknown", 1: "half", 2: "full"}
    for name in names:
        print(f"  {name}")
        flags = attempt(m.net_if_flags, name)
        line("  flags", ",".join(flags) if isinstance(flags, list) else flags)
        line("  running", attempt(m.net_if_is_running, name))
        line("  MTU", attempt(m.net_if_mtu, name))
        ds = attempt(m.net_if_duplex_speed, name)
        if isinstance(ds, list):
            ds = f"{ds[1]} Mbit/s, {duplex_names.get(ds[0], ds[0])} duplex" if ds[1] else "unknown"
        line("  speed", ds)
        for _, fam, address, netmask, broadcast, ptp in (a for a in addr_list if a[0] == name):
            text = address + (f" netmask {netmask}" if netmask else "")
            text += f" broadcast {broadcast}" if broadcast else ""
            text += f" peer {ptp}" if ptp else ""
            line(f"  {families.get(fam, fam)}", text)
        io = io_map.get(name)
        if io:
            line("  sent", f"{io[0]} bytes, {io[2]} packets, {io[5]} errors")
            line("  received", f"{io[1]} bytes, {io[3]} packets, {io[4]} errors, {io[6]} drops")
    if addrs is not addr_list:
        line("addresses", addrs)
    if counters is not io_map:
        line("counters", counters)


def connections():
    section("Connections")
    if not has("net_connections", "proc_net_connections"):
        return
    unix, inet, inet6, stream, dgram = 1, 2, 28, 1, 2  # FreeBSD's values
    states = {getattr(m, n): n[5:] for n in dir(m) if n.startswith("TCPS_")}
    states[m.MORVEX_CONN_NONE] = ""
    entries = attempt(m.net_connections, [unix, inet, inet6], [stream, dgram])
    if isinstance(entries, str):
        line("sockets", entries)
        return

    def where(a):
        if isinstance(a, str) or not a:
            return a or "-"
        return f"[{a[0]}]:{a[1]}" if ":" in a[0] else f"{a[0]}:{a[1]}"

    print(f"  {'proto':<6} {'local':<26} {'remote':<26} {'state':<12} {'pid':>5} {'fd':>3}")
    for fd, fam, typ, laddr, raddr, status, pid in entries[:MAX_LINES]:
        proto = ("unix" if fam == unix else "tcp" if typ == stream else "udp") + ("6" if fam == inet6 else "")
        print(f"  {proto:<6} {where(laddr):<26} {where(raddr):<26} {states.get(status, status):<12} {pid:>5} {fd:>3}")
    if len(entries) > MAX_LINES:
        line("", f"... {len(entries) - MAX_LINES} more")
    for pid in dict.fromkeys(p for p in (802, PID) if exists(p)):
        mine = attempt(m.proc_net_connections, pid, [unix, inet, inet6], [stream, dgram])
        line(f"pid {pid}", mine if isinstance(mine, str) else
             ", ".join(f"fd {e[0]} {where(e[3])} {states.get(e[5], e[5])}".rstrip()
                       for e in mine[:MAX_LINES]))


def install_profile(name):
    """Install a machine profile of the stand-in for the whole process (off
    FreeBSD only; on FreeBSD the report is of the machine itself)."""
    try:
        import fakebsd
    except ImportError:
        if name != "default":
            sys.exit(f"no stand-in platform here: the profile {name!r} cannot be installed")
        return
    if name not in fakebsd.PROFILES:
        sys.exit(f"no profile {name!r}; the profiles are: {', '.join(fakebsd.PROFILES)}")
    fakebsd.install(fakebsd.profile(name), "global")


def install_capture(path):
    """Replay a capture (made by python3 -m fakebsd.capture) for the whole process."""
    try:
        import fakebsd
        from fakebsd import replay
    except ImportError:
        sys.exit("no stand-in platform here: a capture cannot be replayed")
    try:
        header, records = replay.read(path)
    except replay.CaptureError as e:
        sys.exit(str(e))
    fakebsd.install(replay.description(header, records), "global", "empty")
    return (f"capture {os.path.basename(path)}: FreeBSD {header.get('freebsd') or '?'}, "
            f"{header['source']}, secrets {header['secrets']}")


PID = 1310


def main():
    global PID
    args = sys.argv[1:]
    capture = os.environ.get("CAPTURE")
    if args[:1] == ["--capture"] and len(args) > 1:
        capture, args = args[1], args[2:]
    if capture:
        name = install_capture(capture)
    else:
        name = (args[0] if args else os.environ.get("PROFILE")) or "default"
        install_profile(name)
    PID = chosen_pid()
    print(f"Machine report ({name})")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = [cpu_memory, processes, process_files, threads_and_scheduling, storage_sensors_users, interfaces, connections]

if __name__ == "__main__":
    main()
