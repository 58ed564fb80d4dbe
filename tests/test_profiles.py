"""The stand-in's machine profiles, as the module reports them.

Each profile must be a host FreeBSD could be: what one part of the machine
says agrees with what another says (a socket in the system-wide table is in
its holder's descriptor table), and each answers as such a host does (no
sensors in a VM, only the caller's own processes with see_other_uids=0,
sparse CPU ids on the large host). The sweep of every function over every
profile is in gates/test_sweep.py.
"""

import os
import subprocess
import sys
import time

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import answers, proc, profiles
from fakebsd.profiles import LARGE_ABSENT_CPUS, LARGE_CPUS

FAMILIES, TYPES = [1, 2, 28], [1, 2]
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
large = pytest.mark.thread_unsafe(reason="a 10,000-process machine per thread is too much memory")


def test_names_and_unknown_profile():
    assert fakebsd.PROFILES == ("default", "unprivileged", "jail", "vm", "large", "freebsd15",
                                "hardened")
    with pytest.raises(ValueError, match="no profile 'mainframe'"):
        fakebsd.profile("mainframe")


def test_machine_with_a_profile_and_changes():
    """A description given with a profile changes that profile's machine."""
    with fakebsd.machine({"sysctl": {"hw.ncpu": fakebsd.i32(6)}}, profile="vm"):
        assert m.cpu_count_logical() == 6
        assert m.net_if_duplex_speed("vtnet0") == [0, 0]
    assert m.cpu_count_logical() == 4


def sockets_agree(pids):
    """Every entry of net_connections is a socket its holder's descriptor
    table has, with the same addresses."""
    system = m.net_connections(FAMILIES, TYPES)
    by_pid = {}
    for fd, fam, typ, laddr, raddr, status, pid in system:
        by_pid.setdefault(pid, set()).add((fd, fam, typ, laddr, raddr))
    checked = 0
    for pid in pids:
        if pid not in by_pid:
            continue
        own = {e[:5] for e in m.proc_net_connections(pid, FAMILIES, TYPES)}
        assert by_pid[pid] <= own, pid
        checked += 1
    return system, checked


@pytest.mark.parametrize("profile", ["default", "unprivileged", "jail", "vm", "freebsd15"])
def test_small_profiles_agree_with_themselves(profile):
    with fakebsd.machine(profile=profile):
        pids = m.pids()
        assert pids == sorted(set(pids), key=pids.index)  # no duplicates
        system, checked = sockets_agree(pids)
        assert checked and system
        holders = {e[6] for e in system}
        assert holders <= set(pids), "a socket held by a process the list does not show"
        for pid in pids:
            info = m.proc_oneshot_info(pid)
            assert info[0] in pids or info[0] in (0, 1, 3099) or profile == "unprivileged"
            if info[1] != m.SZOMB and info[0] != 0:  # not a zombie nor a kernel process
                assert m.proc_cmdline(pid) and m.proc_exe(pid).startswith("/")


def test_unprivileged_sees_only_her_own():
    with fakebsd.machine():
        everyone = fakebsd.table_pids()
    with fakebsd.machine(profile="unprivileged"):
        assert fakebsd.table_pids() == everyone
        mine = m.pids()
        assert sorted(mine) == [1206, 1207, 1310, 1311]
        assert all(m.proc_oneshot_info(p)[2] == 1001 for p in mine)
        for pid in set(everyone) - set(mine):
            for call in (m.proc_name, m.proc_cmdline, m.proc_num_fds, m.proc_priority_get,
                         m.proc_cpu_affinity_get):
                if call is m.proc_priority_get and pid == 0:
                    continue  # getpriority's 0 is the caller itself
                with pytest.raises(ProcessLookupError):
                    call(pid)
            assert not m.proc_is_zombie(pid)
        assert m.proc_priority_get(0) == m.proc_priority_get(1310)
        # Her sockets only: the ssh connection that root's sshd accepted is not
        # in the list, though her sshd-session holds a descriptor of it.
        system = m.net_connections(FAMILIES, TYPES)
        assert {e[6] for e in system} == {1310}
        assert [e[5] for e in m.proc_net_connections(1206, FAMILIES, TYPES)
                if e[1] == 2] == [m.MORVEX_CONN_NONE]


def test_jail_has_its_own_world_only():
    with fakebsd.machine(profile="jail"):
        pids = m.pids()
        assert 0 not in pids and 1 not in pids and min(pids) > 2000
        assert m.proc_is_zombie(2424)
        with pytest.raises(ProcessLookupError):
            m.proc_name(1)
        # enforce_statfs=2: the mount its root lies on, named "/"
        assert [p[:2] for p in m.disk_partitions()] == [("zroot/jails/www", "/")]
        addrs = [a[2] for a in m.net_if_addrs() if a[1] in (2, 28)]
        assert addrs == ["192.168.1.30", "2001:db8:1::30"]
        assert {"em0", "lo0"} <= set(m.net_io_counters())
        for f, arg in ((m.sensors_cpu_temperature, 0), (m.cpu_freq, 0)):
            with pytest.raises(NotImplementedError):
                f(arg)
        # The kernel's own entries (text, working, root and jail directory),
        # then 0-2, the error log, the log socket and the three listeners.
        assert [fd for _, fd in m.proc_open_files(2410)][:1] == [-5]
        assert m.proc_num_fds(2410) == 4 + 3 + 1 + 1 + 3
        local = {e[3][0] for e in m.net_connections([2, 28], [1]) if e[3]}
        assert local == {"192.168.1.30", "2001:db8:1::30"}


@pytest.mark.parametrize("enforce,seen", [
    # every mount, as the host names it
    (0, ["/", "/dev", "/home", "/var/log", "/tmp", "/jails/www", "/jails/www/dev",
         "/jails/www/tmp"]),
    # the mounts at and below its root, named from inside
    (1, ["/", "/dev", "/tmp"]),
    (2, ["/"]),
])
def test_jail_mounts_by_enforce_statfs(enforce, seen):
    jail = dict(fakebsd.profiles.JAIL, enforce_statfs=enforce)
    with fakebsd.machine({"jails": {3: jail}}, profile="jail"):
        assert [p[1] for p in m.disk_partitions()] == seen
    # root on the host sees the jail's mounts where the host has them, and
    # the jail's processes and sockets with theirs
    with fakebsd.machine({"caller": {"uid": 0}}, profile="jail"):
        assert [p[1] for p in m.disk_partitions()][-3:] == ["/jails/www", "/jails/www/dev",
                                                           "/jails/www/tmp"]
        assert {2410, 2424, 701, 1} <= set(m.pids())
        held = {e[6] for e in m.net_connections([2, 28, 1], [1, 2])}
        assert {2410, 2411, 2301, 701, 1310} <= held
        assert {a[2] for a in m.net_if_addrs() if a[1] == 2} == {"192.168.1.20", "192.168.1.30",
                                                                 "127.0.0.1"}


def test_a_jail_made_in_the_jail():
    # prison_check: a jail sees the jails made in it, not the other way round
    inner = proc(2600, ppid=3105, comm=b"sh", jid=4, path=b"/bin/sh\0")
    child = {"jails": {3: fakebsd.profiles.JAIL,
                       4: {"name": "www.inner", "parent": 3, "path": b"/jails/www/inner"}},
             "procs_changed": [inner]}
    with fakebsd.machine(child, profile="jail"):
        assert 2600 in m.pids() and m.proc_name(2600) == "sh"
    with fakebsd.machine({**child, "caller": {"uid": 0, "jid": 4, "pid": 2600}}, profile="jail"):
        assert m.pids() == [2600]
        with pytest.raises(ProcessLookupError):
            m.proc_name(2410)


def test_vm_has_no_sensors_battery_cpufreq_or_media():
    with fakebsd.machine(profile="vm"):
        for f, args, text in ((m.sensors_battery, (), "no battery"),
                              (m.sensors_cpu_temperature, (0,), "no temperature sensors"),
                              (m.cpu_freq, (0,), "unable to read frequency")):
            with pytest.raises(NotImplementedError, match=text):
                f(*args)
        assert m.net_if_duplex_speed("vtnet0") == [0, 0]
        assert "running" in m.net_if_flags("vtnet0")
        assert list(m.disk_io_counters()) == ["vtbd0"]
        assert m.cpu_topology().count("<group ") == 1


def test_swapped_out_process_on_14_and_resident_on_15():
    """14 swaps idle processes out (ki_flag without P_INMEM): there is no
    user environment to read then, and proc_environ answers an empty dict
    without asking libkvm for it (kvm_getenvv). Everything else reads the process record or the
    kernel's tables and answers as for a resident process. 15 swaps nothing
    out: the same getty has P_INMEM and its environment."""
    pid = profiles.GETTY_PID
    with fakebsd.machine(profile="vm"):
        assert pid in m.pids()
        fakebsd.clear_calls()
        assert m.proc_environ(pid) == {}
        assert "kvm_getenvv" not in [c for c, _ in fakebsd.calls()]
        assert m.proc_cmdline(pid) == ["/usr/libexec/getty", "Pc", "ttyv1"]
        assert m.proc_exe(pid) == "/usr/libexec/getty"
        assert m.proc_oneshot_info(pid)[1] == m.SSLEEP
    with fakebsd.machine(profile="freebsd15"):
        assert m.proc_environ(pid) == {"TERM": "xterm", "PATH": "/sbin:/bin"}


def test_freebsd15_descriptor_types_inotify_and_jaildesc():
    """KF_TYPE_INOTIFY (15) and KF_TYPE_JAILDESC (16): counted as open
    descriptors, neither a file with a path nor a socket."""
    pid = profiles.WATCHER_PID
    with fakebsd.machine(profile="freebsd15"):
        # The kernel's own entries (text, cwd, root) count as well.
        assert m.proc_num_fds(pid) == 6
        assert m.proc_open_files(pid) == [("/usr/local/sbin/watcher", -5),
                                          ("/var/log/watcher.log", 3)]
        assert m.proc_net_connections(pid, FAMILIES, TYPES) == []
        assert pid not in {c[6] for c in m.net_connections(FAMILIES, TYPES)}


def test_freebsd15_mount_flag_named_attributes():
    """MNT_NAMEDATTR (bit 41 of f_flags, new in 15) is no option the module
    names: the options show the flags it knows, nothing else."""
    with fakebsd.machine(profile="freebsd15"):
        root = next(p for p in m.disk_partitions() if p[1] == "/")
        assert root[3] == "rw,noatime,nfs4acls"


@large
def test_large_host():
    start = time.perf_counter()
    with fakebsd.machine(profile="large"):
        installed = time.perf_counter() - start
        pids = m.pids()
        assert len(pids) == len(set(pids)) == 10000
        assert max(pids) > 90000  # spread over the whole PID range
        assert sum(m.proc_is_zombie(p) for p in pids) == 25
        # 100,000 records in the four protocol lists, between each list's
        # header and trailer (the headers' counts are the kernel's: the TCP
        # one counts the syncache too, the UNIX ones every UNIX socket).
        counts = 0
        for name, gen, rec in (("net.inet.tcp.pcblist", "xinpgen", "xtcpcb"),
                               ("net.inet.udp.pcblist", "xinpgen", "xinpcb"),
                               ("net.local.stream.pcblist", "xunpgen", "xunpcb"),
                               ("net.local.dgram.pcblist", "xunpgen", "xunpcb")):
            answer = answers.sysctlbyname(name)
            counts += (len(answer) - 2 * fakebsd.sizeof(gen)) // fakebsd.sizeof(rec)
        assert counts == 100000
        # The servers (nginx's master and workers come first in the table,
        # which is in creation order), then a spread.
        table = fakebsd.table_pids()
        system, checked = sockets_agree(table[:24] + table[24::400])
        assert checked > 20 and len(system) > 80000
        # 128 CPUs, ids up to 135: every mask and thread names present CPUs.
        assert m.cpu_count_logical() == 128
        assert m.proc_cpu_affinity_get(1) == list(LARGE_CPUS)
        assert len(answers.sysctlbyname("kern.cp_times")) == 136 * 40
        for cpu in LARGE_ABSENT_CPUS:
            with pytest.raises(NotImplementedError):
                m.cpu_freq(cpu)
        assert m.cpu_freq(135)[0] > 0
        # Counters above 2**32 come through whole where the module reads 64 bits.
        assert m.net_io_counters()["ix0"][0] > 2**40
        assert min(v[2] for v in m.disk_io_counters().values()) > 2**44
    print(f"\nlarge profile installed in {installed:.2f}s")


@large
def test_large_host_cpus_and_counters():
    """CPU ids past hw.ncpu: one entry per present CPU; the 64-bit counters
    come whole."""
    with fakebsd.machine(profile="large"):
        per_cpu = m.per_cpu_times()
        assert len(per_cpu) == 128 and all(sum(t) > 0 for t in per_cpu)
        assert min(m.cpu_stats()) > 2**32
        assert m.swap_mem()[3] > 2**33


@pytest.mark.parametrize("profile", [p if p != "large" else pytest.param(p, marks=large)
                                     for p in fakebsd.PROFILES])
def test_demo_reports_each_profile(profile):
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVEX_")}
    env["PROFILE"] = profile
    done = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "demo.py")],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(f"Machine report ({profile})")
    assert "Traceback" not in done.stderr and "Connections" in done.stdout
