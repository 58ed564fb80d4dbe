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


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = [processes]

if __name__ == "__main__":
    main()
