"""A fork copies the module's two locks as they stand at that moment. While
another thread keeps calling the functions that take them, every child of a
fork must still be able to make the same calls."""

import textwrap

import pytest

from conftest import run_python

FORKS = textwrap.dedent("""
    import os, signal, threading, warnings
    import _morvex_bsd as m, fakebsd
    from fakebsd import C, proc, swapdev, utmpx

    warnings.simplefilter("ignore", DeprecationWarning)  # fork with a thread running
    DESC = {
        "procs": [proc(1, comm=b"init"),
                  proc(900, flag=C.P_INMEM, env=[b"A%d=%s" % (i, b"v" * i) for i in range(40)])],
        "swap": [swapdev("ada0p3", nblks=5000, used=70)],
        "utmpx": [utmpx(b"alice", b"pts/%d" % i, b"192.0.2.7", sec=1765184410, pid=1200 + i)
                  for i in range(20)],
    }

    def calls():
        env, users = m.proc_environ(900), m.users()
        assert len(env) == 40 and len(users) == 20, (len(env), len(users))
        m.swap_mem()

    stop = threading.Event()
    errors = []

    def loop():
        fakebsd.install(DESC, "thread")
        try:
            while not stop.is_set():
                calls()
        except BaseException as e:
            errors.append(repr(e))
        finally:
            fakebsd.uninstall()

    fakebsd.install(DESC, "thread")  # the forking thread's, which its children keep
    t = threading.Thread(target=loop)
    t.start()
    failed = []
    try:
        for i in range(200):
            pid = os.fork()
            if pid == 0:
                signal.alarm(5)  # a lock copied held would wait for ever
                try:
                    calls()
                except BaseException:
                    os._exit(1)
                os._exit(0)
            _, status = os.waitpid(pid, 0)
            if status != 0:
                failed.append((i, os.waitstatus_to_exitcode(status)))
    finally:
        stop.set()
        t.join()
    assert not failed and not errors, (failed, errors)
    print("ok")
""")


@pytest.mark.thread_unsafe(reason="forks its own interpreter 200 times")
def test_forks_while_another_thread_holds_the_locks():
    r = run_python(FORKS)
    assert r.returncode == 0 and r.stdout == "ok\n", r.stderr
