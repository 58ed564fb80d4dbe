"""A small caller of the module, checked with mypy --strict against the stubs."""

import _morvex_bsd as m


def report() -> list[str]:
    lines: list[str] = []
    for pid in m.pids():
        info = m.proc_oneshot_info(pid)
        name = info[24] if info[24] is not None else "?"
        start: float = info[9]
        lines.append(f"{pid} {name} rss={info[18]} started={start:.0f}")
        try:
            lines.extend(m.proc_cmdline(pid))
        except (OSError, m.ZombieProcessError):
            pass
    user, nice, system, idle, intr = m.cpu_times()
    lines.append(f"cpu {user + nice + system:.1f} busy, {idle:.1f} idle, {intr:.1f} irq")
    for fd, family, kind, laddr, raddr, status, pid in m.net_connections([2, 28, 1], [1, 2]):
        where = laddr if isinstance(laddr, str) else f"{laddr[0]}:{laddr[1]}"
        lines.append(f"{pid}/{fd} {family} {kind} {where} {raddr!r} {status}")
    for ifname, family, addr, mask, bcast, ptp in m.net_if_addrs():
        lines.append(f"{ifname} {family} {addr} {mask} {bcast or ptp}")
    duplex, speed = m.net_if_duplex_speed("em0")
    soft, hard = m.proc_getrlimit(1, m.RLIMIT_NOFILE)
    lines.append(f"{duplex} {speed} {soft} {hard} {m.RLIM_INFINITY}")
    for user_name, tty, host, when, upid in m.users():
        lines.append(f"{user_name} {tty} {host} {when:.0f} {upid}")
    freq, levels = m.cpu_freq(0)
    lines.append(f"{freq} MHz ({levels})")
    m.set_debug(False)
    return lines
