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
        per_cpu = ", ".join(f"{100 * (1 - c[3] / (sum(c) or 1)):.1f}%" for c in per_cpu)
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


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = []
PARTS.append(cpu_memory)

if __name__ == "__main__":
    main()
