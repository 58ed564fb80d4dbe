"""Throughput of 1 versus 2 threads calling the module at once.

The module declares itself free of the GIL, so on a machine with two cores or
more two threads should complete close to twice the calls one thread does in
the same time. Prints the ratio per function.
"""

import argparse
import os
import threading
import time

import _morvex_bsd as m

CASES = [
    ("proc_oneshot_info", (1310,)),
    ("pids", ()),
    ("net_connections", ([2, 28, 1], [1, 2])),
]


def throughput(fn, args, threads, seconds):
    """Calls per second of `threads` threads calling fn(*args) for `seconds`."""
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def worker(i):
        start.wait()
        n = 0
        while not stop.is_set():
            for _ in range(50):
                fn(*args)
            n += 50
        counts[i] = n

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in pool:
        t.join()
    return sum(counts) / (time.perf_counter() - t0)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--seconds", type=float, default=1.0, help="time per measurement")
    p.add_argument("--rounds", type=int, default=3, help="best of this many")
    args = p.parse_args(argv)
    print(f"threads: 2 vs 1 thread ({os.cpu_count()} CPUs; ~2.0 is ideal on 2 or more)")
    for name, call_args in CASES:
        fn = getattr(m, name)
        fn(*call_args)
        one = max(throughput(fn, call_args, 1, args.seconds) for _ in range(args.rounds))
        two = max(throughput(fn, call_args, 2, args.seconds) for _ in range(args.rounds))
        print(f"  {name:<20} 1 thread {one:>10.0f}/s   2 threads {two:>10.0f}/s   ratio {two / one:.2f}")


if __name__ == "__main__":
    main()
