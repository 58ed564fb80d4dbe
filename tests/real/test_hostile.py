"""What other users can do to a root monitor: name things with bytes that are
not UTF-8, and fork while the module's locks are taken. Each text comes back
decoded as file names are, so os.fsencode gives the kernel's bytes again."""

import os
import pickle
import signal
import subprocess
import sys
import tempfile
import threading
import time
import warnings

import pytest

import _morvex_bsd as m

ME = os.getpid()


def run(*args):
    return subprocess.run(list(args), capture_output=True)


def test_environment_name_not_utf8():
    env = {b"N\xff": b"1", b"PATH": os.environb.get(b"PATH", b"/bin")}
    # A child whose environment the kernel cannot read at all (15.1, see
    # guestlib.env_unreadable) is replaced by another.
    for tries_left in (2, 1, 0):
        child = subprocess.Popen([sys.executable, "-c", "import sys; sys.stdin.read()"],
                                 stdin=subprocess.PIPE, env=env)
        try:
            time.sleep(1)
            try:
                got = m.proc_environ(child.pid)
            except PermissionError as e:
                if "ENOMEM" not in str(e) or not tries_left:
                    raise
                continue
            assert os.fsencode("N\udcff") in {os.fsencode(k) for k in got}
            assert got["N\udcff"] == "1"
            return
        finally:
            child.communicate(b"")


def test_mount_point_not_utf8():
    path = os.path.join(tempfile.mkdtemp().encode(), b"mnt\xe9")
    os.mkdir(path)
    if run("mount", "-t", "tmpfs", "tmpfs", path).returncode != 0:
        pytest.skip("no tmpfs in this kernel")
    try:
        mounts = {os.fsencode(p[1]): p for p in m.disk_partitions()}
        assert path in mounts and mounts[path][2] == "tmpfs"
    finally:
        run("umount", path)
        os.rmdir(path)


def test_interface_name_not_utf8():
    made = run("ifconfig", "lo", "create")
    if made.returncode != 0:
        pytest.skip("cannot create a loopback interface")
    created = made.stdout.strip()
    name = b"lo\xff9"
    assert run("ifconfig", created, "name", name).returncode == 0
    try:
        assert run("ifconfig", name, "inet", "10.99.0.1/32", "up").returncode == 0
        text = os.fsdecode(name)
        assert text in m.net_io_counters()
        assert text in {a[0] for a in m.net_if_addrs()}
        assert m.net_if_mtu(text) == 16384
        assert "up" in m.net_if_flags(text)
    finally:
        run("ifconfig", name, "destroy")


def test_zombie_process_error_pickles():
    e = m.ZombieProcessError("")
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is m.ZombieProcessError and back.args == e.args


def test_forks_while_another_thread_holds_the_locks():
    warnings.simplefilter("ignore", DeprecationWarning)  # fork with a thread running
    stop = threading.Event()
    errors = []

    def calls():
        try:
            m.proc_environ(ME)
        except PermissionError as e:    # 15.1 may not read it at all: guestlib.env_unreadable
            if "ENOMEM" not in str(e):
                raise
        m.swap_mem()
        m.users()

    def loop():
        try:
            while not stop.is_set():
                calls()
        except BaseException as e:
            errors.append(repr(e))

    t = threading.Thread(target=loop)
    t.start()
    failed = []
    try:
        for i in range(200):
            pid = os.fork()
            if pid == 0:
                signal.alarm(5)
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
