"""A short report of the machine, made through _morvex_bsd's own functions.

Off FreeBSD the module runs on its stand-in platform, so this describes the
stand-in's built-in default machine.
"""

import sys
import time

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


def storage_sensors_users():
    if not has("disk_partitions", "disk_io_counters", "sensors_battery",
               "sensors_cpu_temperature", "users"):
        return
    section("Mounts")
    parts = attempt(m.disk_partitions)
    if isinstance(parts, str):
        line("mounts", parts)
    else:
        for dev, mnt, fstype, opts in parts:
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
        line(f"CPU {cpu} temperature", f"{now} C (max {tjmax} C)" if tjmax != -273 else f"{now} C")
        cpu += 1

    section("Users")
    users = attempt(m.users)
    if isinstance(users, str) or not users:
        line("logged in", users or "nobody")
    else:
        for name, tty, host, started, pid in users:
            when = time.strftime("%Y-%m-%d %H:%M", time.gmtime(started))
            print(f"  {name:<10} {tty:<8} {host:<16} {when} UTC  pid {pid}")


def main():
    print("Machine report")
    frame()
    for part in PARTS:
        part()


# Each capability adds its own section here.
PARTS = []
PARTS.append(storage_sensors_users)

if __name__ == "__main__":
    main()
