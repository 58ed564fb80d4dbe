"""Every function with RLIMIT_NOFILE exhausted, then again with the limit
raised (run as its own process by test_nofile.py; prints JSON):

    python3 nofile.py PID...

Calls everything once for a baseline, lowers the soft limit, opens
/dev/null until EMFILE, calls everything (on this process and the given
pids), raises the limit, calls everything again, then closes what it opened
and reports the descriptor count and the allocator's figure at each step.
"""

import errno
import json
import os
import resource
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import allcalls as calls  # noqa: E402
import record  # noqa: E402

import _morvex_bsd as m  # noqa: E402


def everything(pids):
    got = {}
    for pid in pids:
        for name, args in calls.reader_calls(m, pid):
            word, ans = calls.outcome(name, getattr(m, name), args)
            got[record.key(name, *args)] = [word, str(ans)[:300] if word != "ok" else None]
    for name, args in calls.setter_calls(m, os.getpid(), {}) + calls.system_calls(m):
        word, ans = calls.outcome(name, getattr(m, name), args)
        got[record.key(name, *args)] = [word, str(ans)[:300] if word != "ok" else repr(ans)[:300]]
    return got


def open_fds():
    n = 0
    for fd in range(resource.getrlimit(resource.RLIMIT_NOFILE)[0]):
        try:
            os.fstat(fd)
            n += 1
        except OSError:
            pass
    return n


def main():
    pids = [os.getpid(), *map(int, sys.argv[1:])]
    users_before = m.users()
    base = everything(pids)
    fds0, heap0 = open_fds(), m.heap_info()[0]
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (64, hard))
    held = []
    try:
        while True:
            held.append(os.open("/dev/null", os.O_RDONLY))
    except OSError as e:
        assert e.errno == errno.EMFILE, e
    exhausted = everything(pids)
    resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
    again = everything(pids)
    for fd in held:
        os.close(fd)
    fds1, heap1 = open_fds(), m.heap_info()[0]
    json.dump({"users_before": users_before, "users_exhausted": exhausted["users()"], "base": base, "exhausted": exhausted,
               "again": again, "fds": [fds0, fds1], "heap": [heap0, heap1], "held": len(held)},
              sys.stdout)


if __name__ == "__main__":
    main()
