"""What each per-process function gives an unprivileged caller, as FreeBSD's
checks decide: for her own process, another user's, her zombie, and another
user's process she may not see (security.bsd.see_other_uids=0).

kern.proc.pid, args and pathname find zombies and need only visibility; the
descriptor table, memory map and environment are read with p_candebug and
find no zombie; the CPU mask and priority writes need p_cansched; rlimit
reads and priority reads need visibility and find no zombie."""

import errno

import pytest

import _morvex_bsd as m
from calls import CALLS
from fakebsd import proc

OWN, OTHER, ZOMBIE = 1310, 701, 1311  # alice's python, root's sshd, alice's zombie
ALICE = {"caller": {"uid": 1001, "gid": 1001, "groups": [1001], "privileged": False, "pid": OWN}}
HIDING = {**ALICE, "sysctl": {"security.bsd.see_other_uids": b"\0\0\0\0"}}

ARGS = dict(CALLS)
ARGS.update({"proc_priority_get": (0,), "proc_priority_set": (0, 10)})

ok, EPERM, EACCES, ESRCH = "ok", errno.EPERM, errno.EACCES, errno.ESRCH

#              function                  own  other   zombie  hidden
EXPECTED = [
    *[(f, ok, ok, ok, ESRCH) for f in ("proc_oneshot_info", "proc_name", "proc_num_threads",
                                       "proc_cmdline", "proc_exe", "proc_threads")],
    *[(f, ok, EPERM, ESRCH, ESRCH) for f in ("proc_cwd", "proc_num_fds", "proc_open_files",
                                             "proc_memory_maps", "proc_net_connections",
                                             "proc_setrlimit")],
    ("proc_environ", ok, EACCES, ESRCH, ESRCH),
    *[(f, ok, EPERM, ESRCH, ESRCH) for f in ("proc_cpu_affinity_get", "proc_cpu_affinity_set",
                                             "proc_priority_set")],
    *[(f, ok, ok, ESRCH, ESRCH) for f in ("proc_getrlimit", "proc_priority_get")],
]


def outcome(name, pid):
    try:
        getattr(m, name)(pid, *ARGS[name][1:])
    except OSError as e:
        assert isinstance(e, {EPERM: PermissionError, EACCES: PermissionError,
                              ESRCH: ProcessLookupError}[e.errno]), repr(e)
        return e.errno
    return ok


@pytest.mark.parametrize("name,own,other,zombie,hidden", EXPECTED, ids=[e[0] for e in EXPECTED])
def test_unprivileged_caller(machine, no_leaks, name, own, other, zombie, hidden):
    machine(ALICE)
    assert [outcome(name, pid) for pid in (OWN, OTHER, ZOMBIE)] == [own, other, zombie]
    machine(HIDING)
    assert outcome(name, OTHER) == hidden


def test_every_per_process_function_is_stated():
    per_process = {n for n, a in CALLS if n.startswith("proc_") and a and a[0] == ARGS[n][0]}
    assert per_process - {"proc_is_zombie"} <= {e[0] for e in EXPECTED}


def test_zombie_and_hidden_processes(machine):
    machine(HIDING)
    # A hidden process is no process at all; her zombie is one.
    assert (m.proc_is_zombie(ZOMBIE), m.proc_is_zombie(OTHER)) == (True, False)
    assert OTHER not in m.pids() and ZOMBIE in m.pids()


def test_a_jailed_caller_sees_its_jail_only(machine):
    machine({"caller": {"uid": 0, "jid": 5, "privileged": True, "pid": 4000},
             "procs_changed": [proc(4000, comm=b"sh", jid=5)]})
    # Nothing else of the default machine lives in jail 5.
    assert m.pids() == [4000]
    with pytest.raises(ProcessLookupError):
        m.proc_name(OTHER)
    assert m.net_connections([2, 28, 1], [1, 2]) == []
