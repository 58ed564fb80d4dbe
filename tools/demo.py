"""A short report of the machine, made through _morvex_bsd's own functions.

Off FreeBSD the module runs on its stand-in platform, so this describes the
stand-in's built-in default machine.
"""

import sys

import _morvex_bsd as m


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
def threads_and_scheduling(pid=1310):
    if not has("proc_threads", "proc_memory_maps", "proc_cpu_affinity_get", "proc_priority_get"):
    section(f"Threads, memory and scheduling of process {pid}")
    threads = attempt(m.proc_threads, pid)
    if isinstance(threads, list):
        line("threads", len(threads))
        for tid, user, system in threads:
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
def process_files():
    if not has("proc_cmdline", "proc_exe", "proc_cwd", "proc_environ", "proc_num_fds",
               "proc_open_files"):
    pid = 1310
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
        for path, fd in files:
            line(f"  fd {fd}", path)
        line("open files", files)


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = [processes]
PARTS.append(threads_and_scheduling)
PARTS = []
PARTS.append(process_files)

if __name__ == "__main__":
    main()
