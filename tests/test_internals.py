"""The frame's internal operations, called through their exported C names:
bounded strings, the debug line, testing mode and the error operations."""

import ctypes
import errno
import os
import re

import pytest

import _morvex_bsd as m
import fakebsd

from conftest import run_python

LIB = ctypes.CDLL(m.__file__, use_errno=True)
PYLIB = ctypes.PyDLL(m.__file__, use_errno=True)
# The function objects are made and typed once, here: tests run in several
# threads at once, and ctypes (3.13) is not safe against one thread changing
# a function object's result type while another calls it.
for _name in ("str_format", "str_copy", "str_append"):
    getattr(LIB, _name)
for _name in ("morvex_oserror", "morvex_oserror_wsyscall", "morvex_oserror_nsp",
              "morvex_oserror_ad", "morvex_runtime_error"):
    getattr(PYLIB, _name).restype = ctypes.py_object
PYLIB.morvex_badargs.restype = ctypes.c_int
PYLIB.convert_kvm_err.restype = None


def fmt(size, f, *args):
    buf = ctypes.create_string_buffer(b"\xff" * max(size, 1))
    r = LIB.str_format(buf, ctypes.c_size_t(size), f, *args)
    return r, buf.raw


@pytest.mark.parametrize("size,text,ret,kept", [
    (1, b"", 0, b""),
    (1, b"x", -1, b""),
    (4, b"abc", 3, b"abc"),      # exactly size - 1 bytes fit
    (4, b"abcd", -1, b"abc"),    # one more is cut
    (512, b"a" * 600, -1, b"a" * 511),
])
def test_str_format(size, text, ret, kept):
    r, raw = fmt(size, b"%s", text)
    assert r == ret
    assert raw[:len(kept) + 1] == kept + b"\0"


def test_str_copy():
    buf = ctypes.create_string_buffer(b"\xff" * 8, 8)
    assert LIB.str_copy(buf, ctypes.c_size_t(1), b"abc") == 0 and buf.raw[0] == 0
    assert LIB.str_copy(buf, ctypes.c_size_t(8), b"abcdefghij") == 0
    assert buf.raw == b"abcdefg\0"
    assert LIB.str_copy(buf, ctypes.c_size_t(8), b"ab") == 0
    assert buf.raw == b"ab\0\0\0\0\0\0"  # the rest is NUL-filled


@pytest.mark.parametrize("start,add,ret,result", [
    (b"ab", b"cd", 0, b"abcd"),     # 4 bytes in a 5-byte room
    (b"ab", b"cde", -1, b"abcd"),   # one more: cut, reported
    (b"", b"", 0, b""),
])
def test_str_append(start, add, ret, result):
    buf = ctypes.create_string_buffer(start, 5)
    assert LIB.str_append(buf, ctypes.c_size_t(5), add) == ret
    assert buf.value == result


def test_str_append_invalid_args():
    buf = ctypes.create_string_buffer(4)
    assert LIB.str_append(buf, ctypes.c_size_t(0), b"x") == -1
    assert LIB.str_append(None, ctypes.c_size_t(4), b"x") == -1
    assert LIB.str_append(buf, ctypes.c_size_t(4), None) == -1


CALL = """
import ctypes, _morvex_bsd as m
lib = ctypes.CDLL(m.__file__)
buf = ctypes.create_string_buffer(8)
{}
print("returned", flush=True)
"""


@pytest.mark.parametrize("call,message", [
    ("lib.str_format(buf, ctypes.c_size_t(0), b'x')", "str_format: invalid arg 'size' = 0"),
    ("lib.str_copy(buf, ctypes.c_size_t(0), b'x')", "str_copy: invalid arg 'dst_size' = 0"),
    ("lib.str_append(buf, ctypes.c_size_t(0), b'x')", "str_append: invalid arg"),
    ("lib.str_append(buf, ctypes.c_size_t(3), b'abc')", "str_append: truncated"),
])
def test_misuse_modes(call, message):
    # Testing mode: one line, then exit status 1 (the debug switch changes nothing).
    for env in ({"MORVEX_TESTING": ""}, {"MORVEX_TESTING": "", "MORVEX_DEBUG": "1"}):
        r = run_python(CALL.format(call), env)
        assert (r.returncode, r.stdout, r.stderr) == (1, "", f"CRITICAL: {message}\n")
    # Debug mode: a debug line carrying the text unchanged, and the call returns.
    r = run_python(CALL.format(call), {"MORVEX_DEBUG": ""})
    assert r.returncode == 0 and r.stdout == "returned\n"
    assert re.fullmatch(r"morvex-debug \[arch/all/str\.cpp:\d+\]> " + re.escape(message) + "\n",
                        r.stderr)
    # Neither: silent.
    r = run_python(CALL.format(call))
    assert (r.returncode, r.stdout, r.stderr) == (0, "returned\n", "")


def test_truncated_format_is_only_a_debug_line():
    code = CALL.format("lib.str_format(buf, ctypes.c_size_t(4), b'%s-%d', b'abcdef', 7)")
    r = run_python(code, {"MORVEX_TESTING": "", "MORVEX_DEBUG": ""})
    assert r.returncode == 0
    assert re.fullmatch(r"morvex-debug \[arch/all/str\.cpp:\d+\]> "
                        r"str_format: error in format '%s-%d'\n", r.stderr)
    assert run_python(code, {"MORVEX_TESTING": ""}).stderr == ""


def error_op(name, *args):
    return getattr(PYLIB, name)(*args)


def test_oserror_forced_forms():
    with pytest.raises(ProcessLookupError) as e:
        error_op("morvex_oserror_nsp", b"sysctl(kinfo_proc), size = 0")
    assert e.value.errno == errno.ESRCH
    assert e.value.strerror == "force no such process (originated from sysctl(kinfo_proc), size = 0)"
    with pytest.raises(PermissionError) as e:
        error_op("morvex_oserror_ad", b"x")
    assert (e.value.errno, e.value.strerror) == (errno.EACCES, "force permission denied (originated from x)")


@pytest.mark.parametrize("err,cls", [(errno.ENOMEM, MemoryError.__mro__[0]), (0, OSError),
                                     (errno.ESRCH, ProcessLookupError)])
def test_oserror_wsyscall_uses_errno_and_keeps_it(err, cls):
    ctypes.set_errno(err)
    with pytest.raises(OSError) as e:
        error_op("morvex_oserror_wsyscall", b"sysctl()")
    assert e.value.errno == err and type(e.value) is (cls if cls is not MemoryError else OSError)
    assert e.value.strerror == f"{fakebsd.strerror(err)} (originated from sysctl())"
    assert ctypes.get_errno() == err


# The platform's own texts, formatted into the caller's buffer: FreeBSD words
# ENXIO and an unknown number otherwise than the interpreter's C library does.
@pytest.mark.parametrize("err,cls,text", [
    (errno.EACCES, PermissionError, "Permission denied"),
    (errno.ENXIO, OSError, "Device not configured"),
    (9999, OSError, "Unknown error: 9999"),
])
def test_oserror_from_errno(err, cls, text):
    ctypes.set_errno(err)
    with pytest.raises(OSError) as e:
        error_op("morvex_oserror")
    assert type(e.value) is cls and (e.value.errno, e.value.strerror) == (err, text)
    assert e.value.args == (err, text) and ctypes.get_errno() == err


# A message carrying a text that is not UTF-8, or cut inside a character, is
# still the OSError, its text decoded as file names are.
@pytest.mark.parametrize("name", [b"kvm_getenvv(N\xff)", "\u00e9".encode() * 300])
def test_oserror_message_any_bytes(name):
    ctypes.set_errno(errno.EIO)
    with pytest.raises(OSError) as e:
        error_op("morvex_oserror_wsyscall", name)
    whole = f"{fakebsd.strerror(errno.EIO)} (originated from ".encode() + name + b")"
    assert e.value.errno == errno.EIO and os.fsencode(e.value.strerror) == whole[:511]


def test_message_is_cut_at_511_bytes():
    with pytest.raises(OSError) as e:
        error_op("morvex_oserror_nsp", b"n" * 600)
    assert len(e.value.strerror) == 511


def test_runtime_error_and_badargs():
    with pytest.raises(RuntimeError, match=r"^sysctl\(\) size mismatch 7$"):
        error_op("morvex_runtime_error", b"sysctl() size mismatch %d", ctypes.c_int(7))
    try:
        assert PYLIB.morvex_badargs(b"morvex_sysctl") == -1
    except RuntimeError as e:  # ctypes raises the pending exception
        assert str(e) == "morvex_sysctl() invalid args passed to function"
    else:
        pytest.fail("no exception")


@pytest.mark.parametrize("text,cls,message", [
    (b"kvm: Operation not permitted", PermissionError,
     "force permission denied (originated from (originated from kvm_openfiles: kvm: Operation not permitted))"),
    (b"/dev/mem: Permission denied", PermissionError,
     "force permission denied (originated from (originated from kvm_openfiles: /dev/mem: Permission denied))"),
    (b"cannot open 100% of it", RuntimeError, "(originated from kvm_openfiles: cannot open 100% of it)"),
])
def test_convert_kvm_err(text, cls, message):
    with pytest.raises(cls) as e:
        PYLIB.convert_kvm_err(b"kvm_openfiles", ctypes.create_string_buffer(text))
    got = e.value.strerror if cls is PermissionError else str(e.value)
    assert got == message
    if cls is PermissionError:
        assert e.value.errno == errno.EACCES
