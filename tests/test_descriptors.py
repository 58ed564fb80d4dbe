"""Every function with the caller's descriptors used up (RLIMIT_NOFILE
reached: EMFILE; the system's file table full: ENFILE): the ones that need
a descriptor (a socket for the interface ioctls, a libkvm handle, the
user-accounting database) raise the error their definition gives, every
other one answers as before; nothing is left open, and every function
answers again once descriptors are there."""

import errno

import pytest

import _morvex_bsd as m
import fakebsd
from calls import CALLS, call

SOCKET = (OSError, "socket(SOCK_DGRAM)")
# function -> (exception class, a text the message holds), or the errno's
# own text alone for the plain OSErrors; every other function answers.
NEEDS_A_DESCRIPTOR = {
    "net_if_flags": SOCKET,
    "net_if_mtu": (OSError, None),
    "net_if_is_running": (OSError, None),
    "net_if_duplex_speed": (OSError, None),
    "users": (OSError, "getutxent()"),
    "proc_environ": (RuntimeError, "(originated from kvm_openfiles: /dev/null: {text})"),
    "swap_mem": (RuntimeError, "kvm_open() syscall failed ({text})"),
}
TEXT = {errno.EMFILE: "Too many open files", errno.ENFILE: "Too many open files in system"}
# The allocator's figures are the test process's own; they move.
MOVING = {"heap_info", "heap_trim"}


def answer(name, args):
    got = call(name, args)
    return (type(got), str(got)) if isinstance(got, Exception) else got


def answers():
    return {name: answer(name, args) for name, args in CALLS}


@pytest.mark.parametrize("limit,err", [(0, errno.EMFILE), (0, errno.ENFILE),
                                       (1, errno.EMFILE)])
def test_descriptors_used_up(machine, limit, err):
    machine()
    before = answers()
    machine({"nofile": {"limit": limit, "errno": err}})
    for name, args in CALLS:
        # A socket takes one descriptor, a libkvm handle two.
        needs = name in NEEDS_A_DESCRIPTOR and not (limit == 1 and name not in (
            "proc_environ", "swap_mem"))
        if not needs:
            got = answer(name, args)
            assert name in MOVING or got == before[name], name
            continue
        kind, text = NEEDS_A_DESCRIPTOR[name]
        with pytest.raises(kind) as e:
            call(name, args)
        assert type(e.value) is kind, name
        if kind is OSError:
            assert e.value.errno == err, name
            assert TEXT[err] in e.value.strerror, name
            if text:
                assert text in e.value.strerror, name
        else:
            assert text.format(text=TEXT[err]) in str(e.value), name
        assert not {k: v for k, v in fakebsd.resources().items() if v}, name
    machine({"nofile": None})
    after = answers()
    assert {n: a for n, a in after.items() if n not in MOVING} == \
        {n: a for n, a in before.items() if n not in MOVING}


def test_every_function_is_in_the_table():
    names = {n for n, _ in CALLS}
    assert len(names) == 46 and set(NEEDS_A_DESCRIPTOR) <= names
