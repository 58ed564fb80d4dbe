"""What FreeBSD lets a caller see and read where it is deployed: inside a
jail, as a user hidden from the others, against a process that disabled
tracing, and at a raised securelevel. Written once, as data, and run by two
runners: the real-kernel suite in the FreeBSD guest (tests/real) and the
stand-in suite against the matching machine profiles
(tests/test_deployed_rules.py). Standard library only.

A configuration is who calls and with which settings. Its targets are
roles; a runner maps each role to what it set up:

  processes  ``self`` (the caller), ``peer`` (another process the caller may
             see), ``outsider`` (one it may not see), ``notrace`` (one that
             disabled tracing with procctl(PROC_TRACE_CTL)), ``init`` (pid 1),
             ``jailed`` (a process of the jail, seen from the host);
  sockets    a TCP listener held by the role's process (``*_listener``:
             looked for by its local port in net_connections), or a socket
             held by the caller that was made under another credential
             (``foreign_uid_socket``: another uid that shares a group with
             the caller; ``foreign_gid_socket``: the caller's uid, but groups
             none of which the caller has);
  mounts     ``jail_root`` (the file system the jail's root lies on, looked
             for as "/"), ``host_mount`` (a mount point outside the jail,
             looked for by its host path);
  addresses  ``own_address`` (an address given to the jail), ``host_address``
             (an address of the host that is not the jail's).

A runner that cannot set a role up skips its rows and says so; every row it
runs must hold.

Each row is (configuration, target, function, expected), expected being
one of:

  Answer(type_name)          the call answers with a value of that type
  Answer(type_name, inside=True)
                             a path as seen from inside the jail: absolute
                             and not under the jail's root as the host
                             names it
  Refused(exception, errno)  the call raises that exception (its class name)
                             with that errno name
  Refused(exception, errno, naming)
                             the same, its message naming `naming`
  MayRefuse(answer, refused) either of the two: the call answers as the
                             Answer, or, where the kernel may fail the read
                             whatever the caller's rights, is refused as
                             the Refused
  LISTED / NOT_LISTED        for the system-wide functions: whether the
                             target appears in the answer (see listed)

A runner gives each process role a pid, each socket role the local port of
the socket (or a UNIX socket's path), each mount role a mount point and each
address role an address, and checks a row with outcome/holds or listed.
"""

import collections
import errno as _errno

Answer = collections.namedtuple("Answer", "type inside", defaults=(False,))
Refused = collections.namedtuple("Refused", "exception errno naming", defaults=(None,))
MayRefuse = collections.namedtuple("MayRefuse", "answer refused")
Rule = collections.namedtuple("Rule", "config target function expected")

LISTED = "listed"
NOT_LISTED = "not listed"

#: The configurations: who calls, and how the machine is set.
CONFIGS = {
    "jail": "root inside a jail with a root directory of its own (not path=/), "
            "enforce_statfs=2, an IPv4 and an IPv6 address of its own",
    "hidden": "an unprivileged user with security.bsd.see_other_uids=0, "
              "see_other_gids=0 and unprivileged_proc_debug=0",
    "notrace_root": "root on the host; the target, another process of root's, "
                    "disabled tracing (PROC_TRACE_CTL_DISABLE)",
    "notrace_owner": "an unprivileged user (unprivileged_proc_debug=1, the "
                     "default); the target, another process of its own, "
                     "disabled tracing",
    "securelevel": "root on the host with kern.securelevel=1; the target is init",
    "jail_host": "root on the host while the jail of the jail configuration "
                 "runs; the targets are the jail's",
}

#: Per-process functions, with the arguments after the pid. Setters are given
#: back what the matching getter answers (see call_args).
PER_PROCESS = (
    "proc_name", "proc_oneshot_info", "proc_num_threads", "proc_is_zombie", "proc_cmdline",
    "proc_environ", "proc_exe", "proc_cwd", "proc_num_fds", "proc_open_files",
    "proc_threads", "proc_memory_maps", "proc_cpu_affinity_get", "proc_cpu_affinity_set",
    "proc_getrlimit", "proc_setrlimit", "proc_priority_get", "proc_priority_set",
    "proc_net_connections",
)

#: An environment the kernel could not read: kern.proc.env fails with ENOMEM
#: when proc_readmem() of the process's ps_strings, vector or strings fails
#: (get_proc_vector, get_ps_strings in kern_proc.c). FreeBSD 15.1 does so
#: for a few in a hundred processes, from their start to their exit
#: (reading again, up to seconds later, fails the same), whoever reads, the
#: process itself included; the module raises it as the forced
#: permission-denied OSError naming ENOMEM.
ENV_UNREADABLE = Refused("PermissionError", "EACCES", "ENOMEM")

#: What each per-process function answers when the kernel lets it read.
_ANSWERS = {
    "proc_name": Answer("str"), "proc_oneshot_info": Answer("tuple"),
    "proc_num_threads": Answer("int"), "proc_is_zombie": Answer("bool"),
    "proc_cmdline": Answer("list"), "proc_environ": MayRefuse(Answer("dict"), ENV_UNREADABLE),
    "proc_exe": Answer("str"), "proc_cwd": Answer("str"), "proc_num_fds": Answer("int"),
    "proc_open_files": Answer("list"), "proc_threads": Answer("list"),
    "proc_memory_maps": Answer("list"), "proc_cpu_affinity_get": Answer("list"),
    "proc_cpu_affinity_set": Answer("NoneType"), "proc_getrlimit": Answer("tuple"),
    "proc_setrlimit": Answer("NoneType"), "proc_priority_get": Answer("int"),
    "proc_priority_set": Answer("NoneType"), "proc_net_connections": Answer("list"),
}

#: The reads the kernel guards with p_candebug (kern.proc.env, .filedesc,
#: .vmmap, and writes of .rlimit): refused with EPERM where debugging is.
#: The environment comes through libkvm, whose refusal the module raises as
#: the forced permission-denied OSError (EACCES).
CANDEBUG = ("proc_environ", "proc_cwd", "proc_num_fds", "proc_open_files",
            "proc_memory_maps", "proc_net_connections", "proc_setrlimit")

_ESRCH = Refused("ProcessLookupError", "ESRCH")
_EPERM = Refused("PermissionError", "EPERM")
_EACCES = Refused("PermissionError", "EACCES")


def _all_answer(**changed):
    out = dict(_ANSWERS)
    out.update(changed)
    return out


def _hidden():
    """A process the caller may not see: every lookup is ESRCH, as if it
    did not exist, and proc_is_zombie says no."""
    out = {name: _ESRCH for name in PER_PROCESS}
    out["proc_is_zombie"] = Answer("bool")
    return out


def _no_debug():
    """A process the caller may see but not debug: p_candebug's reads are
    refused with EPERM (the environment with the forced EACCES)."""
    out = dict(_ANSWERS)
    for name in CANDEBUG:
        out[name] = _EPERM
    out["proc_environ"] = _EACCES
    return out


# (configuration, target) -> {function: expected}
_PER_PROCESS_RULES = {
    # Inside the jail: its own processes answer in full, with paths as seen
    # from inside; the host's are not there (prison_check: ESRCH).
    ("jail", "self"): _all_answer(proc_exe=Answer("str", inside=True),
                                  proc_cwd=Answer("str", inside=True)),
    ("jail", "peer"): _all_answer(proc_exe=Answer("str", inside=True),
                                  proc_cwd=Answer("str", inside=True)),
    ("jail", "outsider"): _hidden(),
    # A hidden user sees its own processes, but may not debug even those
    # (unprivileged_proc_debug=0) other than itself; another user's are
    # not there.
    ("hidden", "self"): _all_answer(),
    ("hidden", "peer"): _no_debug(),
    # With unprivileged_proc_debug=0, p_candebug refuses an unprivileged
    # caller (EPERM) before it looks whether the caller may see the process:
    # the reads that look the process up by p_candebug alone (the descriptor
    # table for its sockets, a limit write) answer EPERM for a process it
    # may not see; the others look it up with p_cansee first (ESRCH).
    ("hidden", "outsider"): {**_hidden(), "proc_net_connections": _EPERM,
                             "proc_setrlimit": _EPERM},
    # No-trace: the owner may not debug it.
    ("notrace_owner", "notrace"): _no_debug(),
    # Root passes p_candebug's P2_NOTRACE check with privilege
    # (PRIV_DEBUG_DENIED).
    ("notrace_root", "notrace"): _all_answer(),
    # At securelevel 1 nobody may debug init, root included. Its environment
    # is not read at all: init is a system process (P_SYSTEM), whose
    # environment the module answers empty (as the FreeBSD 14.2 guest shows).
    ("securelevel", "init"): {**_no_debug(), "proc_environ": Answer("dict")},
    # The host sees into its jails.
    ("jail_host", "jailed"): _all_answer(),
}

#: System-wide views: (configuration, target, function) -> LISTED / NOT_LISTED.
_VIEW_RULES = {
    ("jail", "self", "pids"): LISTED,
    ("jail", "peer", "pids"): LISTED,
    ("jail", "outsider", "pids"): NOT_LISTED,
    ("jail", "peer_listener", "net_connections"): LISTED,
    ("jail", "outsider_listener", "net_connections"): NOT_LISTED,
    ("jail", "jail_root", "disk_partitions"): LISTED,
    ("jail", "host_mount", "disk_partitions"): NOT_LISTED,
    ("jail", "own_address", "net_if_addrs"): LISTED,
    ("jail", "host_address", "net_if_addrs"): NOT_LISTED,
    ("hidden", "self", "pids"): LISTED,
    ("hidden", "peer", "pids"): LISTED,
    ("hidden", "outsider", "pids"): NOT_LISTED,
    ("hidden", "self_listener", "net_connections"): LISTED,
    ("hidden", "outsider_listener", "net_connections"): NOT_LISTED,
    ("hidden", "foreign_uid_socket", "net_connections"): NOT_LISTED,
    ("hidden", "foreign_gid_socket", "net_connections"): NOT_LISTED,
    ("notrace_owner", "notrace", "pids"): LISTED,
    ("securelevel", "init", "pids"): LISTED,
    ("jail_host", "jailed", "pids"): LISTED,
    ("jail_host", "jailed_listener", "net_connections"): LISTED,
}


def _rows():
    rows = []
    for (config, target), table in _PER_PROCESS_RULES.items():
        for name in PER_PROCESS:
            rows.append(Rule(config, target, name, table[name]))
    for (config, target, name), expected in _VIEW_RULES.items():
        rows.append(Rule(config, target, name, expected))
    return tuple(rows)


#: Every rule, one row each.
RULES = _rows()


def rules(config):
    """The rows of one configuration."""
    return [r for r in RULES if r.config == config]


FAMILIES = (2, 28, 1)
TYPES = (1, 2)


def call_args(m, name, pid):
    """The arguments of a per-process call on `pid` (module `m`): the setters
    are given what the getters answer (a value the target already has), or a
    harmless one where the getter is refused."""
    if name == "proc_getrlimit":
        return (pid, m.RLIMIT_CORE)
    if name == "proc_setrlimit":
        try:
            soft, hard = m.proc_getrlimit(pid, m.RLIMIT_CORE)
        except OSError:
            soft = hard = 0
        return (pid, m.RLIMIT_CORE, soft, hard)
    if name == "proc_priority_set":
        try:
            nice = m.proc_priority_get(pid)
        except OSError:
            nice = 0
        return (pid, nice)
    if name == "proc_cpu_affinity_set":
        try:
            cpus = m.proc_cpu_affinity_get(pid)
        except OSError:
            cpus = [0]
        return (pid, cpus)
    if name == "proc_net_connections":
        return (pid, list(FAMILIES), list(TYPES))
    return (pid,)


def outcome(m, name, pid):
    """Make the call and describe what happened the way the table does:
    ("answer", type name, value) or ("refused", class name, errno name,
    message)."""
    try:
        value = getattr(m, name)(*call_args(m, name, pid))
    except OSError as e:
        return ("refused", type(e).__name__, _errno.errorcode.get(e.errno, str(e.errno)), str(e))
    return ("answer", type(value).__name__, value)


def holds(expected, got, jail_root=None):
    """Whether an outcome (see outcome) is what a per-process row expects;
    `jail_root` is the jail's root as the host names it (for inside paths)."""
    if isinstance(expected, MayRefuse):
        return holds(expected.answer, got, jail_root) or holds(expected.refused, got, jail_root)
    if isinstance(expected, Refused):
        return (got[0] == "refused" and got[1:3] == tuple(expected[:2])
                and (expected.naming is None or expected.naming in got[3]))
    if got[0] != "answer" or got[1] != expected.type:
        return False
    if expected.inside:
        path = got[2]
        if not path.startswith("/"):
            return False
        if jail_root and jail_root != "/" and (path == jail_root
                                                or path.startswith(jail_root.rstrip("/") + "/")):
            return False
    return True


def listed(m, function, key):
    """Whether a system-wide answer holds the target: a pid (pids), a local
    port or UNIX path (net_connections), a mount point (disk_partitions), an
    address (net_if_addrs)."""
    if function == "pids":
        return key in m.pids()
    if function == "net_connections":
        for entry in m.net_connections(list(FAMILIES), list(TYPES)):
            laddr = entry[3]
            if (laddr == key if isinstance(key, str) else laddr and laddr[1] == key):
                return True
        return False
    if function == "disk_partitions":
        return any(p[1] == key for p in m.disk_partitions())
    if function == "net_if_addrs":
        return any(a[2] and a[2].split("%")[0] == key for a in m.net_if_addrs())
    raise ValueError(f"no view rule for {function}")
