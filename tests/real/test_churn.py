"""Processes that come and go: for CHURN_SECONDS (30 by default), short-lived
processes (forks, and fork+exec so that walks meet processes in execve),
threads started and ended, and TCP connections opened and closed, while four
threads call every per-process reader for every pid the table lists and
every system-wide function, in a loop. Every call must answer with its
documented shape or raise one of its documented exceptions; the count of
each outcome per function is printed and saved. Afterwards the module's own
descriptors and memory are back at their baseline."""

import collections
import os
import subprocess
import sys
import threading
import time

import allcalls as calls
import guestlib as g

import _morvex_bsd as m

SECONDS = float(os.environ.get("CHURN_SECONDS", "30"))
ME = os.getpid()

THREADS = r"""
import sys, threading, time
end = time.monotonic() + float(sys.argv[1])
n = 0
while time.monotonic() < end:
    ts = [threading.Thread(target=time.sleep, args=(0.01,)) for _ in range(4)]
    for t in ts: t.start()
    for t in ts: t.join()
    n += 4
print(n)
"""
CONNECTIONS = r"""
import socket, sys, time
end = time.monotonic() + float(sys.argv[1])
srv = socket.socket(); srv.bind(("127.0.0.1", 0)); srv.listen(64)
n = 0
while time.monotonic() < end:
    c = socket.create_connection(srv.getsockname()); a, _ = srv.accept()
    c.close(); a.close(); n += 1
print(n)
"""


FLAG = "/tmp/morvex-churn.run"


def _generators(seconds):
    """Started at a higher priority than the walkers (nice -10), so that on
    an emulated machine the walks do not starve them: processes (fork and
    exit; fork, exec and exit), threads and TCP connections, until FLAG goes."""
    s = str(int(seconds))
    with open(FLAG, "w"):
        pass
    sh = lambda body: subprocess.Popen(  # noqa: E731
        ["nice", "-n", "-10", "sh", "-c", f"while [ -e {FLAG} ]; do {body}; done"])
    return [
        # fork + exec: processes caught in execve now and then
        sh("/usr/bin/true; /usr/bin/true; /usr/bin/true; /usr/bin/true"),
        sh("/usr/bin/true; /usr/bin/true; /usr/bin/true; /usr/bin/true"),
        # fork only (subshells), the cheap, fast kind
        sh("(:); (:); (:); (:); (:); (:); (:); (:)"),
        sh("(:); (:); (:); (:); (:); (:); (:); (:)"),
        subprocess.Popen(["nice", "-n", "-10", sys.executable, "-c", THREADS, s],
                         stdout=subprocess.PIPE, text=True),
        subprocess.Popen(["nice", "-n", "-10", sys.executable, "-c", CONNECTIONS, s],
                         stdout=subprocess.PIPE, text=True),
    ]


def _one_round(count, faults, seen):
    """Every per-process reader for every listed pid, then every
    system-wide function; the setters on this process only."""
    for pid in m.pids():
        for name, args in calls.reader_calls(m, pid):
            word, ans = calls.outcome(name, getattr(m, name), args)
            count[name][word] += 1
            if word not in calls.ALLOWED[name]:
                faults.append((name, args, word, repr(ans)[:300]))
            elif word != "ok" and word not in seen.setdefault(name, {}):
                seen[name][word] = repr(ans)[:200]
    for name, args in calls.setter_calls(m, ME, {}) + calls.system_calls(m):
        word, ans = calls.outcome(name, getattr(m, name), args)
        count[name][word] += 1
        if word not in calls.ALLOWED[name]:
            faults.append((name, args, word, repr(ans)[:300]))


def _fds():
    return m.proc_num_fds(ME)


def test_walks_under_churn():
    count = collections.defaultdict(collections.Counter)
    faults, seen = [], {}
    # a first round warms up what the interpreter and the module allocate once
    _one_round(count, faults, seen)
    fds0, heap0 = _fds(), m.heap_info()[0]
    lastpid0 = int(g.sysctl("kern.lastpid"))
    gens = _generators(SECONDS)
    stop = time.monotonic() + SECONDS
    rounds = [0] * 4
    counts = [collections.defaultdict(collections.Counter) for _ in range(4)]

    def worker(k):
        try:
            while time.monotonic() < stop:
                _one_round(counts[k], faults, seen)
                rounds[k] += 1
        except BaseException as e:  # noqa: BLE001 - a fault of the test itself, reported
            faults.append(("worker", k, type(e).__name__, repr(e)))

    workers = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    t0 = time.monotonic()
    for w in workers:
        w.start()
    # processes made during the window itself
    time.sleep(max(0.0, stop - time.monotonic()))
    forks = int(g.sysctl("kern.lastpid")) - lastpid0
    window = time.monotonic() - t0
    for w in workers:
        w.join(SECONDS + 300)
    hung = [w.name for w in workers if w.is_alive()]
    os.unlink(FLAG)
    made = {}
    for p, what in zip(gens, ("exec", "exec", "fork", "fork", "threads", "connections")):
        out, _ = p.communicate(timeout=120)
        if out:
            made[what] = int(out.strip() or 0)
    elapsed = time.monotonic() - t0
    # the module's own descriptors and memory, back at the baseline
    fds1, heap1 = _fds(), m.heap_info()[0]
    for c in counts:
        for name, words in c.items():
            count[name].update(words)

    table = {name: dict(sorted(c.items())) for name, c in sorted(count.items())}
    width = max(map(len, table))
    lines = [f"churn {window:.0f} s (walks until {elapsed:.0f} s): {forks} processes "
             f"({forks / window:.0f}/s), "
             f"{made.get('threads', 0)} threads, {made.get('connections', 0)} TCP connections; "
             f"rounds per worker {rounds}"]
    lines += [f"  {name:<{width}}  " + "  ".join(f"{w} {n}" for w, n in c.items())
              for name, c in table.items()]
    print("\n".join(lines))
    print("first exception of each kind:", seen)
    g.save("churn.json", {"elapsed": elapsed, "forks": forks, "made": made, "rounds": rounds,
                          "outcomes": table, "faults": faults[:50], "examples": seen,
                          "fds": [fds0, fds1], "heap": [heap0, heap1]})
    with open(os.path.join(g.OUT, "churn.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    assert not hung
    assert faults == []
    assert set(table) == set(calls.ALL_NAMES)
    assert min(rounds) >= 1
    assert fds1 == fds0
    assert heap1 - heap0 < 1 << 20, (heap0, heap1)
