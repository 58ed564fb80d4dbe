"""The module object: registration, constants, exception class, switches."""

import ctypes
import pickle
import sys
import sysconfig

import pytest

import _morvex_bsd as m
from fakebsd import C, fault, proc

from conftest import run_python

FIRST_TABLE = [
    "proc_cmdline", "proc_cwd", "proc_environ", "proc_name", "proc_num_fds",
    "proc_oneshot_info", "proc_open_files", "proc_threads", "proc_num_threads",
    "proc_cpu_affinity_get", "proc_cpu_affinity_set", "proc_exe", "proc_getrlimit",
    "proc_memory_maps", "proc_net_connections", "proc_setrlimit", "boot_time",
    "cpu_count_logical", "cpu_stats", "cpu_times", "disk_io_counters", "disk_partitions",
    "net_connections", "net_io_counters", "per_cpu_times", "pids", "swap_mem", "heap_info",
    "heap_trim", "virtual_mem", "cpu_freq", "cpu_topology", "sensors_battery",
    "sensors_cpu_temperature", "check_pid_range", "set_debug",
]
GROUP_A = [
    ("AF_LINK", 18), ("RLIMIT_AS", 10), ("RLIMIT_CORE", 4), ("RLIMIT_CPU", 0),
    ("RLIMIT_DATA", 2), ("RLIMIT_FSIZE", 1), ("RLIMIT_MEMLOCK", 6), ("RLIMIT_NOFILE", 8),
    ("RLIMIT_NPROC", 7), ("RLIMIT_RSS", 5), ("RLIMIT_STACK", 3), ("RLIMIT_SWAP", 12),
    ("RLIMIT_SBSIZE", 9), ("RLIMIT_NPTS", 11), ("RLIM_INFINITY", 2**63 - 1),
]
SECOND_TABLE = [
    "getpagesize", "net_if_addrs", "net_if_flags", "net_if_is_running", "net_if_mtu",
    "proc_priority_get", "proc_priority_set", "net_if_duplex_speed", "users", "proc_is_zombie",
]
GROUP_B = [
    ("version", 722), ("SIDL", 1), ("SRUN", 2), ("SSLEEP", 3), ("SSTOP", 4), ("SZOMB", 5),
    ("SWAIT", 6), ("SLOCK", 7), ("TCPS_CLOSED", 0), ("TCPS_CLOSING", 7),
    ("TCPS_CLOSE_WAIT", 5), ("TCPS_LISTEN", 1), ("TCPS_ESTABLISHED", 4), ("TCPS_SYN_SENT", 2),
    ("TCPS_SYN_RECEIVED", 3), ("TCPS_FIN_WAIT_1", 6), ("TCPS_FIN_WAIT_2", 9),
    ("TCPS_LAST_ACK", 8), ("TCPS_TIME_WAIT", 10), ("MORVEX_CONN_NONE", 128),
]


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                    reason="an interpreter built with the GIL")
def test_gil_stays_off():
    # In a fresh interpreter, which has imported nothing of the module's yet:
    # a module that does not declare itself free of the GIL turns the GIL on
    # when it is imported, with a RuntimeWarning (an error here).
    code = """if 1:
        import sys
        assert sys._is_gil_enabled() is False, "the GIL is on before the import"
        import _morvex_bsd, _fakebsd
        assert sys._is_gil_enabled() is False, "importing the modules turned the GIL on"
        print(sys.version)
    """
    r = run_python(code, env={"PYTHONWARNINGS": "error::RuntimeWarning", "PYTHON_GIL": ""})
    assert r.returncode == 0, r.stderr
    assert sys._is_gil_enabled() is False


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED") or sys.version_info < (3, 14),
                    reason="deferred reference counts: free-threaded 3.14 and newer")
def test_functions_have_deferred_refcounts():
    # Threads calling a function of either table leave its count alone: the
    # interpreter defers the first table's, the module the second's. A
    # deferred count reads as a huge one.
    counts = {n: sys.getrefcount(getattr(m, n)) for n in FIRST_TABLE + SECOND_TABLE if hasattr(m, n)}
    assert {n for n, c in counts.items() if c < 2**40} == set(), counts


def test_namespace_order_and_values():
    own = [k for k in vars(m) if not k.startswith("__")]
    built = set(own)
    # Functions whose capability is not built yet are simply absent; the order
    # of what is there is the registration order.
    expected = ([n for n in FIRST_TABLE if n in built] + [n for n, _ in GROUP_A]
                + [n for n in SECOND_TABLE if n in built] + ["ZombieProcessError"]
                + [n for n, _ in GROUP_B])
    assert own == expected
    for name, value in GROUP_A + GROUP_B:
        assert getattr(m, name) == value and type(getattr(m, name)) is int, name


def test_bound_self():
    for name in FIRST_TABLE:
        if hasattr(m, name):
            assert getattr(m, name).__self__ is m, name
    for name in SECOND_TABLE:
        if hasattr(m, name):
            assert getattr(m, name).__self__ is None, name


def test_zombie_process_error():
    cls = m.ZombieProcessError
    assert (cls.__module__, cls.__name__) == ("_morvex_bsd", "ZombieProcessError")
    assert issubclass(cls, Exception) and cls.__bases__ == (Exception,)


def _raised(call):
    try:
        call()
    except Exception as e:
        return e
    raise AssertionError("no exception")


def _raise_for_pid(pid):
    lib = ctypes.PyDLL(m.__file__)
    lib.morvex_raise_for_pid.restype = ctypes.py_object
    ctypes.set_errno(0)
    lib.morvex_raise_for_pid(pid, b"kinfo_getfile()")


# An exception raised in a worker process reaches its parent pickled.
@pytest.mark.parametrize("make", [
    lambda: m.ZombieProcessError(""),
    lambda: m.ZombieProcessError("pid 50", 50),
    lambda: _raised(lambda: _raise_for_pid(50)),    # ZombieProcessError
    lambda: _raised(lambda: m.proc_name(70)),       # ProcessLookupError(errno, text)
    lambda: _raised(lambda: m.proc_name(1.5)),      # TypeError
    lambda: _raised(lambda: m.check_pid_range(-1)),  # ValueError
], ids=["zombie", "zombie-args", "zombie-raised", "oserror", "typeerror", "valueerror"])
def test_exceptions_pickle(machine, make):
    machine({"procs": [proc(1, comm=b"init"), proc(50, comm=b"zomb", stat=C.SZOMB)]})
    e = make()
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is type(e) and back.args == e.args
    if isinstance(e, OSError):
        assert (back.errno, back.strerror) == (e.errno, e.strerror)


@pytest.mark.parametrize("pid", [0, 1, 2**31 - 1])
def test_check_pid_range_accepts(pid):
    assert m.check_pid_range(pid) is None


def test_check_pid_range_rejects():
    with pytest.raises(ValueError, match="^pid must be a positive integer$"):
        m.check_pid_range(-1)
    with pytest.raises(OverflowError):
        m.check_pid_range(2**31)
    with pytest.raises(TypeError):
        m.check_pid_range("1")


def test_debug_switch_from_environment_and_set_debug():
    # Run in a child: the switch is process-wide and read at import.
    code = r"""
import ctypes, _morvex_bsd as m
flag = ctypes.c_int.in_dll(ctypes.CDLL(m.__file__), "MORVEX_DEBUG")
seen = [flag.value]
for v in (False, [1], 0.0, "x", ""):
    m.set_debug(v); seen.append(flag.value)
class Bad:
    def __bool__(self): raise ZeroDivisionError
m.set_debug(1)
for args in ((), (1, 2)):
    try: m.set_debug(*args)
    except TypeError: pass
try: m.set_debug(Bad())
except ZeroDivisionError: pass
seen.append(flag.value)
print(seen)
"""
    r = run_python(code, {"MORVEX_DEBUG": ""})
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[1, 0, 1, 0, 1, 0, 1]"
    r = run_python("import ctypes, _morvex_bsd as m; "
                   "print(ctypes.c_int.in_dll(ctypes.CDLL(m.__file__), 'MORVEX_DEBUG').value, "
                   "ctypes.c_int.in_dll(ctypes.CDLL(m.__file__), 'MORVEX_TESTING').value)",
                   {"MORVEX_TESTING": "0"})
    assert r.stdout.split() == ["0", "1"]
