"""How the socket tables scale: net_connections and proc_net_connections at
n and 4n sockets (n = 5,000 by default), each machine holding its sockets
among four times as many open descriptors of one server process.

Both functions join two kernel tables (sockets with the descriptors holding
them, TCP connections with their states). Linear work grows about 4 times
from n to 4n; a scan of one table for every entry of the other would grow
about 16 times.

Each timed call starts with cold caches: at n the tables (a few MB) would
otherwise stay in the processor's cache between calls while at 4n they do
not, which measures the cache rather than the work.

The simulated kernel hands out the whole descriptor table (111 MB at 4n) on
every proc_net_connections call. glibc gives allocations above 32 MB back to
the kernel on free, so each call at 4n, but none at n, would pay page faults
for it; FreeBSD's allocator keeps freed memory for reuse. The script runs with
glibc told to do the same (_malloc.py, as every benchmark here), unless
--system-malloc is given.

    python bench/connections.py [n] [--repeat R] [--rounds K] [--system-malloc]
"""

import argparse
import gc
import random
import time

import _morvex_bsd as m
import fakebsd
from _malloc import keep_memory
from fakebsd import C, Sockets

PID = 4242
# Written one byte per cache line before each timed call: twice the size of a
# large processor cache.
_EVICT = bytearray(64 << 20)
_LINES = b"\1" * len(_EVICT[::64])


def build(n, seed=1):
    """A machine description: n sockets (3/4 TCP, 1/8 UDP, 1/8 UNIX) among
    4n descriptors of one process. The lists are in creation order, the file
    table and the descriptor table in descriptor order, so the orders are
    unrelated."""
    rng = random.Random(seed)
    fds = list(range(4 * n))
    rng.shuffle(fds)
    w = Sockets()
    for i in range(n):
        fd = fds[i]
        port = 1024 + i % 60000
        kind = i % 8
        if kind < 6:
            if i % 2:
                laddr, raddr = ("2001:db8::1", 443), (f"2001:db8:1::{i >> 16:x}:{i & 0xffff:x}", port)
            else:
                laddr, raddr = ("192.0.2.1", 443), (f"10.{(i >> 16) & 255}.{(i >> 8) & 255}.{i & 255}", port)
            state = C.TCPS_ESTABLISHED if i % 3 else C.TCPS_CLOSE_WAIT
            w.tcp(laddr, raddr, state, holders=[(PID, fd)])
        elif kind == 6:
            w.udp(("192.0.2.1", port), holders=[(PID, fd)])
        else:
            w.unix("stream", f"/var/run/app/{i}.sock".encode(), holders=[(PID, fd)])
    for fd in fds[n:]:
        w.file(PID, fd, b"/var/db/app/data")
    # Entry j holds descriptor fds[j]; the kernel lists descriptors by number.
    order = sorted(range(4 * n), key=fds.__getitem__)
    w.files = [w.files[j] for j in order]
    w.proc_files = {PID: [w.proc_files[PID][j] for j in order]}
    return w.desc()


def best(fn, *args, repeat):
    """The shortest of `repeat` calls, and the result of the last. As timeit
    does, the cyclic garbage collector is off while the calls are timed."""
    times = []
    result = None
    gc.collect()
    gc.disable()
    try:
        for _ in range(repeat):
            result = None       # the previous result is freed outside the timing
            _EVICT[::64] = _LINES  # each call starts with cold caches
            t = time.perf_counter()
            result = fn(*args)
            times.append(time.perf_counter() - t)
    finally:
        gc.enable()
    return min(times), result


def measure(desc, n, repeat):
    fakebsd.install(desc, "thread")
    try:
        fams, types = [C.AF_UNIX, C.AF_INET, C.AF_INET6], [C.SOCK_STREAM, C.SOCK_DGRAM]
        t_all, r_all = best(m.net_connections, fams, types, repeat=repeat)
        t_proc, r_proc = best(m.proc_net_connections, PID, fams, types, repeat=repeat)
    finally:
        fakebsd.uninstall()
    # Every socket found its owner, every connection its state.
    assert len(r_all) == n and len(r_proc) == n, (len(r_all), len(r_proc))
    tcp = [sorted(e[5] for e in r if e[2] == C.SOCK_STREAM and e[1] != C.AF_UNIX) for r in (r_all, r_proc)]
    assert tcp[0] == tcp[1] and m.MORVEX_CONN_NONE not in tcp[1]
    return t_all, t_proc


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("n", nargs="?", type=int, default=5000)
    ap.add_argument("--repeat", type=int, default=10, help="calls timed per round (default 10)")
    ap.add_argument("--rounds", type=int, default=3, help="rounds over both sizes (default 3)")
    ap.add_argument("--system-malloc", action="store_true",
                    help="leave glibc's malloc as it is (see above)")
    args = ap.parse_args()
    malloc = keep_memory(args.system_malloc)

    sizes = (args.n, 4 * args.n)
    descs = {k: build(k) for k in sizes}
    times = {k: [float("inf"), float("inf")] for k in sizes}
    for _ in range(args.rounds):            # alternate sizes, keep each one's best
        for k in sizes:
            a, p = measure(descs[k], k, args.repeat)
            times[k] = [min(times[k][0], a), min(times[k][1], p)]

    print(f"Socket tables: one process holding n sockets among 4n descriptors ({malloc})")
    print(f"  {'sockets':>8} {'descriptors':>12} {'net_connections':>17} {'proc_net_connections':>21}")
    for k in sizes:
        a, p = times[k]
        print(f"  {k:>8} {4 * k:>12} {a * 1e3:>14.1f} ms {p * 1e3:>18.1f} ms")
    (a1, p1), (a4, p4) = times[sizes[0]], times[sizes[1]]
    print(f"  {'ratio 4n/n':>21} {a4 / a1:>17.2f} {p4 / p1:>21.2f}   (linear ~4, quadratic ~16)")


if __name__ == "__main__":
    main()
