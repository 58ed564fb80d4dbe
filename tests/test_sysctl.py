"""sysctl queries: fixed-size reads, growing reads and the page size."""

import ctypes
import errno
import re

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import fault

from conftest import run_python

PYLIB = ctypes.PyDLL(m.__file__, use_errno=True)
for _name in ("morvex_sysctl", "morvex_sysctlbyname", "morvex_sysctl_malloc",
              "morvex_sysctlbyname_malloc", "morvex_sysctl_argmax"):
    getattr(PYLIB, _name).restype = ctypes.c_int
MIB = (1, 200, 5, 0)  # a plain node, not one computed from the process table
NAME = b"test.table"


def mib_arg(mib=MIB):
    return (ctypes.c_int * len(mib))(*mib), ctypes.c_uint(len(mib))


def call(fn, *args):
    """Call an internal operation; return (result, exception or None)."""
    try:
        return fn(*args), None
    except Exception as e:  # ctypes raises the exception the operation set
        return None, e


def grow(by_name=False):
    out, n = ctypes.c_char_p(), ctypes.c_size_t()
    if by_name:
        r, exc = call(PYLIB.morvex_sysctlbyname_malloc, NAME, ctypes.byref(out), ctypes.byref(n))
    else:
        r, exc = call(PYLIB.morvex_sysctl_malloc, *mib_arg(), ctypes.byref(out), ctypes.byref(n))
    data = ctypes.string_at(out, n.value) if r == 0 else None
    if r == 0:
        ctypes.CDLL(None).free(out)
    return r, exc, data


# A table the kernel keeps measuring at 8 bytes while it holds far more: every
# fetch meets ENOMEM, whatever room is added.
BIG = b"x" * 100000


def counts(call_name):
    log = [k for c, k in fakebsd.calls() if c == call_name]
    return sum(k.endswith("(measure)") for k in log), sum(not k.endswith("(measure)") for k in log)


# The answer of each invocation in turn (measure, fetch, measure, ...): the
# buffer has an eighth of the measured size more, and at least 4096 bytes.
@pytest.mark.parametrize("by_name", [False, True])
@pytest.mark.parametrize("sizes,calls", [
    ((10, 20), (1, 1)),                       # grown within the page added
    ((10, 4106), (1, 1)),                     # to the last byte of it
    ((80000, 90000), (1, 1)),                 # within the eighth added
    ((10, 4107, 4107, 4107), (2, 2)),         # past it: ENOMEM, measured again
    ((80000, 90001, 95000, 95000), (2, 2)),
])
def test_growing_fetch_success_after_growth(machine, by_name, sizes, calls):
    key = NAME.decode() if by_name else MIB
    answers = [bytes([97 + i]) * n for i, n in enumerate(sizes)]
    machine({"sysctl": {NAME.decode(): b"", MIB: b""},
             "faults": [fault("sysctlbyname" if by_name else "sysctl", key, answers=answers)]})
    r, exc, data = grow(by_name)
    assert (r, exc, data) == (0, None, answers[-1])
    assert counts("sysctlbyname" if by_name else "sysctl") == calls


@pytest.mark.parametrize("by_name", [False, True])
def test_growing_fetch_empty_answer(machine, by_name):
    machine({"sysctl": {NAME.decode(): b"", MIB: b""}})
    r, exc, data = grow(by_name)
    assert (r, exc, data) == (0, None, b"")


@pytest.mark.parametrize("by_name,text", [
    (False, "sysctl() buffer allocation retry limit exceeded"),
    (True, "sysctlbyname('test.table') buffer allocation retry limit exceeded"),
])
def test_growing_fetch_retry_limit(machine, by_name, text):
    call_name = "sysctlbyname" if by_name else "sysctl"
    machine({"sysctl": {NAME.decode(): b"", MIB: b""},
             "faults": [fault(call_name, None, answer=BIG, report=8)]})
    r, exc, _ = grow(by_name)
    assert type(exc) is RuntimeError and str(exc) == text
    assert counts(call_name) == (11, 10)


@pytest.mark.parametrize("nth", [2, 4])  # the first fetch, or the fetch after one retry
@pytest.mark.parametrize("by_name,origin", [
    (False, "sysctl() malloc 3/3"), (True, "sysctlbyname('test.table') malloc 3/3")])
def test_growing_fetch_other_errno_stops(machine, nth, by_name, origin):
    call_name = "sysctlbyname" if by_name else "sysctl"
    machine({"sysctl": {NAME.decode(): b"", MIB: b""},
             "faults": [fault(call_name, None, errno=errno.EACCES, nth=nth, times=1),
                        fault(call_name, None, answer=BIG, report=8)]})
    r, exc, _ = grow(by_name)
    assert type(exc) is PermissionError and exc.errno == errno.EACCES
    assert exc.strerror == f"{fakebsd.strerror(errno.EACCES)} (originated from {origin})"
    assert sum(counts(call_name)) == nth


@pytest.mark.parametrize("nth,origin", [(1, "malloc 1/3"), (3, "malloc 2/3")])
def test_growing_fetch_measure_fails(machine, nth, origin):
    machine({"sysctl": {MIB: b""},
             "faults": [fault("sysctl", MIB, errno=errno.EPERM, nth=nth, times=1),
                        fault("sysctl", MIB, answer=BIG, report=8)]})
    r, exc, _ = grow()
    assert isinstance(exc, PermissionError) and exc.strerror.endswith(f"(originated from sysctl() {origin})")


def test_growing_fetch_debug_lines():
    code = r"""
import ctypes, _morvex_bsd as m, fakebsd
lib = ctypes.PyDLL(m.__file__)
mib = (ctypes.c_int * 4)(1, 200, 5, 0)
out, n = ctypes.c_char_p(), ctypes.c_size_t()
fakebsd.install({"sysctl": {(1, 200, 5, 0): b""}})
lib.morvex_sysctl_malloc(mib, 4, ctypes.byref(out), ctypes.byref(n))
ctypes.CDLL(None).free(out)
fakebsd.install({"faults": [fakebsd.fault("sysctl", None, answer=b"x" * 100000, report=8)]})
try:
    lib.morvex_sysctl_malloc(mib, 4, ctypes.byref(out), ctypes.byref(n))
except RuntimeError:
    pass
"""
    r = run_python(code, {"MORVEX_DEBUG": "1"})
    lines = [re.sub(r":\d+\]", ":N]", ln) for ln in r.stderr.splitlines()]
    assert lines == (["morvex-debug [arch/posix/sysctl.cpp:N]> morvex_sysctl_malloc() size = 0"]
                     + ["morvex-debug [arch/posix/sysctl.cpp:N]> morvex_sysctl_malloc() retry"] * 10)
    assert run_python(code).stderr == ""


def test_fixed_query(machine):
    machine({"sysctl": {MIB: b"\x01\x02", NAME.decode(): b"\x07" * 8}})
    buf = ctypes.create_string_buffer(b"\xee" * 4, 4)
    assert call(PYLIB.morvex_sysctl, *mib_arg(), buf, ctypes.c_size_t(4)) == (0, None)
    assert buf.raw == b"\x01\x02\xee\xee"  # a short answer leaves the tail alone
    r, exc = call(PYLIB.morvex_sysctlbyname, NAME, buf, ctypes.c_size_t(4))
    assert type(exc) is OSError and exc.errno == errno.ENOMEM  # the kernel refuses a short buffer


@pytest.mark.parametrize("fn,args_ok", [("morvex_sysctl", True), ("morvex_sysctlbyname", False)])
def test_fixed_query_size_mismatch(machine, fn, args_ok):
    machine({"sysctl": {MIB: b"\x01\x02", NAME.decode(): b"\x01\x02"},
             "faults": [fault("sysctl", MIB, report=9), fault("sysctlbyname", NAME.decode(), report=9)]})
    buf = ctypes.create_string_buffer(4)
    args = mib_arg() if args_ok else (NAME,)
    r, exc = call(getattr(PYLIB, fn), *args, buf, ctypes.c_size_t(4))
    expected = ("sysctl() size mismatch" if args_ok else
                "sysctlbyname('test.table') size mismatch: returned 9, expected 4")
    assert type(exc) is RuntimeError and str(exc) == expected


@pytest.mark.parametrize("by_name,text", [
    (False, "sysctl() size mismatch"),
    (True, "sysctlbyname('test.table') size mismatch: returned 8192, expected 4112"),
])
def test_growing_fetch_rejects_an_overlong_report(machine, by_name, text):
    # A kernel answer that claims more bytes than the block holds is refused
    # rather than handed on for callers to read past.
    call_name = "sysctlbyname" if by_name else "sysctl"
    key = NAME.decode() if by_name else MIB
    machine({"sysctl": {NAME.decode(): b"x" * 16, MIB: b"x" * 16},
             "faults": [fault(call_name, key, report=8192, nth=2)]})
    r, exc, data = grow(by_name)
    assert type(exc) is RuntimeError and str(exc) == text


def test_fixed_query_unknown_name_keeps_errno(machine):
    machine()
    buf = ctypes.create_string_buffer(4)
    ctypes.set_errno(0)
    r, exc = call(PYLIB.morvex_sysctlbyname, b"no.such.node", buf, ctypes.c_size_t(4))
    assert type(exc) is FileNotFoundError and exc.errno == errno.ENOENT
    assert exc.strerror == f"{fakebsd.strerror(errno.ENOENT)} (originated from sysctlbyname('no.such.node'))"
    assert ctypes.get_errno() == errno.ENOENT


@pytest.mark.parametrize("fn,args", [
    ("morvex_sysctl", lambda buf: (*mib_arg(), buf, ctypes.c_size_t(0))),
    ("morvex_sysctl", lambda buf: (None, ctypes.c_uint(4), buf, ctypes.c_size_t(4))),
    ("morvex_sysctl", lambda buf: (mib_arg()[0], ctypes.c_uint(0), buf, ctypes.c_size_t(4))),
    ("morvex_sysctlbyname", lambda buf: (None, buf, ctypes.c_size_t(4))),
    ("morvex_sysctlbyname", lambda buf: (NAME, None, ctypes.c_size_t(4))),
    ("morvex_sysctl_malloc", lambda buf: (*mib_arg(), None, None)),
    ("morvex_sysctlbyname_malloc", lambda buf: (NAME, None, None)),
])
def test_misuse_never_reaches_the_kernel(machine, fn, args):
    machine()
    r, exc = call(getattr(PYLIB, fn), *args(ctypes.create_string_buffer(4)))
    assert type(exc) is RuntimeError and str(exc) == f"{fn}() invalid args passed to function"
    assert fakebsd.calls() == []


def test_argmax(machine):
    machine()
    assert call(PYLIB.morvex_sysctl_argmax) == (524288, None)
    machine({"sysctl": {"kern.argmax": fakebsd.i32(-5)}})
    r, exc = call(PYLIB.morvex_sysctl_argmax)
    assert type(exc) is RuntimeError and str(exc) == "sysctl(KERN_ARGMAX) return <= 0"


def test_getpagesize(machine):
    machine()
    assert m.getpagesize() == 4096 == m.getpagesize(1, 2)
    machine({"pagesize": 16384})
    assert m.getpagesize() == 16384
