"""Throughput of 1 versus 2 threads calling each module function at once.

The module declares itself free of the GIL and keeps no state between calls,
so on a machine with two idle cores two threads should complete close to
twice the calls one thread does in the same time. Every one of the 46
functions is called with the arguments of tests/calls.py on the built-in
default machine; each thread makes its own copies of the argument objects
and calls through its own functools.partial of the function. Two threads
touching the reference count of one object measure the interpreter, not the
module: in 3.13 every call from Python code writes the reference count of
the function object (and of a shared argument list), and when two cores take
turns at that cache line a call of a microsecond or two costs a good part
more (--shared-callable shows it).
Prints calls per second and the ratio per function; ratios below --flag are
marked.

The functions that change the machine's state (WRITERS) run with each
thread on its own copy of the default machine. The stand-in keeps a machine
immutable and applies a change by copying all of it (tens of microseconds)
under one process-wide lock, so two threads changing the one process-wide
machine would measure that copy, one thread at a time; FreeBSD holds the
target process's lock for a moment.

The machine this runs on may be shared: each figure is the best of --rounds
measurements, 1 and 2 threads taken in turn, so that a moment when another
program holds a core spoils one round and not the result. A second column,
"cpu", leaves the other programs out altogether: the calls per second of CPU
time each thread got, 2 threads against 1, times 2. It is what the ratio
would be with two cores to spare as long as the threads never wait for each
other (the module takes no lock); when it too stays below 2.0, the two
threads slow each other down, each call costing more CPU time. Threads slow
each other down only while both run, so "busy" says how much they did: the
CPU seconds the two threads got per second (2.0: both all the time). The
load average at the start is printed. glibc keeps freed memory as FreeBSD's
allocator does (_malloc.py) unless --system-malloc.

    python bench/threads.py [name ...] [--seconds S] [--rounds R] [--system-malloc]
                            [--pause P] [--shared-callable]
"""

import argparse
import functools
import os
import pathlib
import sys
import threading
import time

from _malloc import keep_memory

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

import _morvex_bsd as m  # noqa: E402
import fakebsd  # noqa: E402
from calls import CALLS, EXPECTED_ERRORS  # noqa: E402

WRITERS = {"proc_cpu_affinity_set", "proc_setrlimit", "proc_priority_set"}


def fresh(value):
    """A copy of an argument that shares no object with the original (small
    ints and booleans are immortal and shared by every thread anyway)."""
    if isinstance(value, bool):
        return value
    if isinstance(value, int):
        return int(str(value))
    if isinstance(value, str):
        return "".join(list(value))
    if isinstance(value, list):
        return [fresh(v) for v in value]
    if isinstance(value, tuple):
        return tuple(fresh(v) for v in value)
    raise TypeError(f"no fresh copy of {value!r}")


def throughput(name, args, threads, seconds, shared_callable=False):
    """Calls per second of `threads` threads calling name(*args) for
    `seconds`, and calls per second of the CPU time the threads got."""
    counts = [0] * threads
    cpu = [0.0] * threads
    spans = [1.0] * threads  # each thread's own wall time: the main thread may start late
    start = threading.Barrier(threads + 1)
    stop = threading.Event()
    expected = EXPECTED_ERRORS.get(name, ())

    def worker(i):
        fn = getattr(m, name)
        if not shared_callable:
            fn = functools.partial(fn)
        own = fresh(args)
        if name in WRITERS:
            fakebsd.install(None, "thread", "default")
        start.wait()
        c0 = time.thread_time()
        w0 = time.perf_counter()
        n = 0
        while not stop.is_set():
            for _ in range(50):
                try:
                    fn(*own)
                except expected:
                    pass
            n += 50
        cpu[i] = time.thread_time() - c0
        spans[i] = time.perf_counter() - w0
        counts[i] = n
        if name in WRITERS:
            fakebsd.uninstall()

    pool = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    time.sleep(seconds)
    stop.set()
    for t in pool:
        t.join()
    return (sum(n / w for n, w in zip(counts, spans)), sum(counts) / sum(cpu),
            sum(c / w for c, w in zip(cpu, spans)))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("names", nargs="*", help="functions to measure (default: all)")
    p.add_argument("--seconds", type=float, default=0.3, help="time per measurement")
    p.add_argument("--rounds", type=int, default=3, help="best of this many")
    p.add_argument("--flag", type=float, default=1.8, help="mark ratios below this")
    p.add_argument("--system-malloc", action="store_true", help="leave glibc's malloc as it is")
    p.add_argument("--pause", type=float, default=0.0,
                   help="seconds to sleep after each measurement (leaves a shared machine to others)")
    p.add_argument("--shared-callable", action="store_true",
                   help="every thread calls the module's function object itself")
    args = p.parse_args(argv)
    malloc = keep_memory(args.system_malloc)

    cases = [(n, a) for n, a in CALLS if not args.names or n in args.names]
    unknown = set(args.names) - {n for n, _ in cases}
    if unknown:
        p.error(f"no such function: {', '.join(sorted(unknown))}")
    print(f"Threads: calls per second of 1 and 2 threads ({os.cpu_count()} CPUs, load average"
          f" {os.getloadavg()[0]:.1f}, {malloc}; ~2.0 is ideal)")
    print(f"  {'function':<24} {'1 thread':>11} {'2 threads':>11} {'ratio':>6} {'busy':>6} {'cpu':>6}")
    below = []
    for name, call_args in cases:
        try:
            getattr(m, name)(*call_args)
        except EXPECTED_ERRORS.get(name, ()):
            pass
        one = two = one_cpu = two_cpu = busy = 0.0
        for _ in range(args.rounds):
            wall, cpu, _ = throughput(name, call_args, 1, args.seconds, args.shared_callable)
            one, one_cpu = max(one, wall), max(one_cpu, cpu)
            time.sleep(args.pause)
            wall, cpu, both = throughput(name, call_args, 2, args.seconds, args.shared_callable)
            time.sleep(args.pause)
            if wall > two:
                two, busy = wall, both
            two_cpu = max(two_cpu, cpu)
        ratio = two / one
        mark = "  <" if ratio < args.flag else ""
        if mark:
            below.append(name)
        print(f"  {name:<24} {one:>11.0f} {two:>11.0f} {ratio:>6.2f} {busy:>6.2f} {2 * two_cpu / one_cpu:>6.2f}{mark}",
              flush=True)
    print(f"  {len(cases) - len(below)} of {len(cases)} at {args.flag} or more"
          + (f"; below: {', '.join(below)}" if below else ""))


if __name__ == "__main__":
    main()
