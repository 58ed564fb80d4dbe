"""libkvm keeps state for the whole process: kvm_getenvv's vector and strings
live in the library's own buffers, and kvm_getswapinfo counts devices in a
variable of its own. Threads calling proc_environ and swap_mem at once must
each get the answer a lone call gets."""

import threading

import _morvex_bsd as m
import fakebsd
from fakebsd import C, proc, swapdev

THREADS = 4
ROUNDS = 2000

# Environments of different lengths, some with more strings than libkvm's
# vector first holds, so that it grows while other threads read it.
PIDS = list(range(2000, 2012))
DESC = {
    "procs": [proc(pid, flag=C.P_INMEM, env=[b"P%d_%d=%s" % (pid, i, b"x" * (pid % 7)) for i in range(1 + (pid % 6) * 17)])
              for pid in PIDS],
    "swap": [swapdev(f"ada{i}p3", nblks=1000 * (i + 1) + 32, used=10 * i) for i in range(16)],
}


def hammer(work):
    """Run work(thread_index) in THREADS threads at once; the errors seen."""
    start = threading.Barrier(THREADS)
    errors = []

    def run(t):
        with fakebsd.machine(DESC):
            start.wait()
            try:
                work(t)
            except Exception as e:  # noqa: BLE001 - reported below
                errors.append(repr(e))

    threads = [threading.Thread(target=run, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    return errors


def test_environ_in_threads_at_once():
    with fakebsd.machine(DESC):
        expected = {pid: m.proc_environ(pid) for pid in PIDS}
    assert len({len(e) for e in expected.values()}) == 6

    def work(t):
        for r in range(ROUNDS):
            pid = PIDS[(r * (t + 1) + t) % len(PIDS)]
            got = m.proc_environ(pid)
            assert got == expected[pid], f"pid {pid}: {len(got)} entries, {len(expected[pid])} expected"

    assert hammer(work) == []


def test_swap_mem_in_threads_at_once():
    with fakebsd.machine(DESC):
        expected = m.swap_mem()
    assert expected[0] == sum(1000 * (i + 1) for i in range(16)) * 4096

    def work(t):
        for _ in range(ROUNDS):
            got = m.swap_mem()
            assert got == expected, f"{got} != {expected}"

    assert hammer(work) == []
