"""What differs between FreeBSD releases, on the live kernel: which build of
the module loads on which release, whether the kernel still swaps processes
out, and the descriptor types 15 adds (inotify, jail descriptors). Each test
runs on every release; what a release lacks is skipped there."""

import glob
import json
import os
import subprocess
import sys

import pytest

import _morvex_bsd as m
from descriptors import inotify, jail_descriptor

ME = os.getpid()
MAJOR = int(os.uname().release.split(".")[0])
FAMILIES, TYPES = [2, 28, 1], [1, 2]
# The libutil a build for each major release needs: 15.0 bumped its major
# number (and versioned its functions FBSD_1.8) and left no libutil.so.9.
LIBUTIL = {14: "libutil.so.9", 15: "libutil.so.10"}
# sys/proc.h
P_SYSTEM, P_INMEM = 0x200, 0x10000000


def _load(path):
    """Import a build of the module from its file in a fresh interpreter:
    (exit status, stderr)."""
    code = ("import importlib.util, sys\n"
            "found = importlib.util.spec_from_file_location('_morvex_bsd', sys.argv[1])\n"
            "mod = importlib.util.module_from_spec(found)\n"
            "found.loader.exec_module(mod)\n"
            "print(len(mod.pids()))\n")
    r = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True)
    return r.returncode, r.stderr


# -- which build loads where ------------------------------------------------------

OTHER_BUILDS = sorted(glob.glob("/morvex/builds/*/_morvex_bsd.*.so"))


def test_own_build_loads():
    assert MAJOR in LIBUTIL, os.uname().release
    assert os.path.exists("/lib/" + LIBUTIL[MAJOR])
    rc, err = _load(m.__file__)
    assert rc == 0, err
    print(subprocess.run(["ldd", m.__file__], capture_output=True, text=True).stdout)


@pytest.mark.parametrize("path", OTHER_BUILDS or [pytest.param("", marks=pytest.mark.skip(
    reason="no other release's build in the image"))])
def test_other_release_build_refused_by_the_loader(path):
    """A build for another major release names that release's libutil, which
    this one's base system does not have: the loader refuses it before any
    of its code runs, and the import fails with the loader's message."""
    release = path.split("/")[3]
    want = LIBUTIL[int(release.split(".")[0])]
    if want == LIBUTIL[MAJOR]:
        pytest.skip(f"the build for {release} needs this release's {want}")
    assert not os.path.exists("/lib/" + want) and not os.path.exists("/usr/lib/" + want)
    rc, err = _load(path)
    print(f"the build for FreeBSD {release}: exit {rc}\n{err.strip().splitlines()[-1]}")
    print(subprocess.run(["ldd", path], capture_output=True, text=True).stdout)
    assert rc != 0
    assert f'ImportError: Shared object "{want}" not found, required by "{os.path.basename(path)}"' in err


# -- resident processes --------------------------------------------------------------

def _procstat_env(pid):
    """The environment procstat(1) reads (kern.proc.env), or None when the
    process is gone or refuses it."""
    r = subprocess.run(["procstat", "--libxo", "json", "-e", str(pid)], capture_output=True, text=True)
    if r.returncode != 0:
        return None
    try:
        doc = json.loads(r.stdout)
    except ValueError:
        return None
    found = []

    def walk(x):
        if isinstance(x, dict):
            for k, v in x.items():
                if k == "environment" and isinstance(v, list):
                    found.append(v)
                else:
                    walk(v)
        elif isinstance(x, list):
            for v in x:
                walk(v)
    walk(doc)
    if not found:
        return {}
    return dict(e.split("=", 1) for e in found[0] if "=" in e)


def test_resident_processes_and_their_environment():
    """FreeBSD 15 swaps no process out: P_INMEM is set on every process.
    The module reads a user process's environment only while it is resident
    and returns it whole, as procstat reads it."""
    lines = subprocess.run(["ps", "-ax", "-o", "pid=", "-o", "flags="], capture_output=True, text=True,
                           check=True).stdout.split("\n")
    flags = {int(p): int(f, 16) for p, f in (l.split() for l in lines if l.strip())}
    out = {pid for pid, f in flags.items() if not f & P_INMEM}
    print(f"FreeBSD {os.uname().release}: {len(flags)} processes, without P_INMEM: {sorted(out)}")
    if MAJOR >= 15:
        assert out == set()
    differ = {}
    unreadable = []
    for pid, f in sorted(flags.items()):
        if f & P_SYSTEM or not f & P_INMEM:
            continue
        try:
            got = m.proc_environ(pid)
        except ProcessLookupError:
            continue
        except PermissionError as e:
            # kern.proc.env answering ENOMEM: the kernel could not read the
            # process's memory (seen on 15.1 for devd); any other refusal of
            # root is a fault.
            if "ENOMEM" not in str(e):
                raise
            unreadable.append(pid)
            continue
        want = _procstat_env(pid)
        if want is not None and got != want and pid in m.pids():
            differ[pid] = (got, want)
    print(f"environments the kernel could not read (ENOMEM): {unreadable}")
    assert differ == {}


# -- descriptor types 15 adds --------------------------------------------------------

def _procstat_fd(pid, fd):
    """procstat -f's line for one descriptor."""
    for line in subprocess.run(["procstat", "-f", str(pid)], capture_output=True,
                               text=True).stdout.split("\n"):
        cols = line.split()
        if len(cols) > 3 and cols[2] == str(fd):
            return line.strip()
    return None


@pytest.mark.skipif(MAJOR < 15, reason="FreeBSD 14 has neither inotify(2) nor jail descriptors")
@pytest.mark.parametrize("make", [inotify, jail_descriptor], ids=["inotify", "jaildesc"])
def test_new_descriptor_types(make):
    """An inotify descriptor (KF_TYPE_INOTIFY) and a jail descriptor
    (KF_TYPE_JAILDESC) are open descriptors: proc_num_fds counts them;
    neither is a file with a path nor a socket."""
    before = m.proc_num_fds(ME)
    files = m.proc_open_files(ME)
    fd, cleanup = make()
    try:
        print(make.__name__, fd, _procstat_fd(ME, fd))
        assert m.proc_num_fds(ME) == before + 1
        assert m.proc_open_files(ME) == files
        assert fd not in {c[0] for c in m.proc_net_connections(ME, FAMILIES, TYPES)}
        assert not [c for c in m.net_connections(FAMILIES, TYPES) if c[0] == fd and c[-1] == ME]
    finally:
        os.close(fd)
        cleanup()
    assert m.proc_num_fds(ME) == before
