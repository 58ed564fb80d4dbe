"""Machine profiles: whole FreeBSD 14 hosts, chosen by name.

    fakebsd.profile("vm")                    -> a machine description
    with fakebsd.machine(profile="jail"): ...   this thread, for a block
    fakebsd.install(fakebsd.profile("large"), "global")

Every profile is a description on the built-in default machine (base
"default"); "default" itself is the empty description.

    default       the built-in server: sshd, nginx, PostgreSQL, a logged-in
                  user's shell and her Python program, a zombie
    unprivileged  the same server as its user alice (uid 1001) sees it with
                  security.bsd.see_other_uids=0: only her own processes, their
                  descriptors and the sockets she created
    jail          inside the jail "www" (jid 3, root /jails/www,
                  enforce_statfs=2, 192.168.1.30 and 2001:db8:1::30 on em0):
                  nginx, php-fpm, syslogd, cron, sshd, a shell from jexec and
                  a zombie, beside the host's processes, sockets, mounts and
                  addresses; the machine's credential checks leave the
                  jail's (its processes, the sockets made in it, the mount
                  its root lies on as "/", its own addresses on every
                  interface), paths as seen from inside; no temperature
                  sensors, no cpufreq
    hardened      the default server locked down, as its user alice (uid
                  1001, groups 1001 and staff, 1000) sees it:
                  security.bsd.see_other_uids=0, see_other_gids=0,
                  unprivileged_proc_debug=0 and kern.securelevel=1. She runs
                  a web server (pid 1330, 127.0.0.1:8000) that also holds a
                  socket bob (uid 1002, also in staff) passed her
                  (127.0.0.1:8001) and one made as alice by a service that
                  had only group 2000 (127.0.0.1:8002); ssh-agents of hers
                  (1320) and of root's (1402) disabled tracing
                  (procctl PROC_TRACE_CTL, P2_NOTRACE)
    vm            a KVM guest: no temperature sensors, no battery, no
                  cpufreq, a vtnet0 without media, a virtio disk, a flat CPU
                  topology
    large         a busy 128-CPU web and database host: 10,000 processes,
                  100,000 sockets, CPU ids with gaps (kern.cp_times has a
                  record of zeros for each absent id), counters above 2**32
                  (64-bit vm.stats counters, interface and disk counters)
    freebsd15     the default server on FreeBSD 15: what 15 changes that the
                  module sees. The kernel no longer swaps processes out, so
                  P_INMEM is set on every process (the getty the vm profile
                  has swapped out is resident here); descriptor tables hold
                  the two new descriptor types, KF_TYPE_INOTIFY (15, an
                  inotify(2) descriptor) and KF_TYPE_JAILDESC (16, a jail
                  descriptor from jail_set/jail_get with JAIL_GET_DESC/
                  JAIL_OWN_DESC), held by a file watcher (pid 1420); the
                  root file system has MNT_NAMEDATTR (0x20000000000), a
                  mount flag 15 adds.
                  Every record the module reads keeps 14's size and layout.

On FreeBSD 14 the kernel still swaps out idle processes: the vm profile
holds one (ki_flag without P_INMEM), the idle getty on ttyv1 (pid 1410).

A profile's description is built once per process and shared: copy it
before changing it.
"""

import threading

from _fakebsd import constants as _constants
from _fakebsd import fields as _fields
from _fakebsd import sizeof as _sizeof

from .cpumem import clockinfo, cp_time, cpus as cpu_nodes, swapdev, timeval, vmtotal
from .disks import devstat, statfs, temperatures, utmpx
from .files import argv, fd_table, kinfo_file
from .ifs import iface, inet, inet6
from .procs import proc
from .sched import rlimit, thread, vmentry
from .socks import Sockets

_C = _constants()

NAMES = ("default", "unprivileged", "jail", "vm", "large", "freebsd15", "hardened")

#: Descriptor types FreeBSD 15 adds to struct kinfo_file's kf_type (sys/user.h).
KF_TYPE_INOTIFY = 15
KF_TYPE_JAILDESC = 16
#: A mount flag FreeBSD 15 adds (sys/mount.h).
MNT_NAMEDATTR = 0x0000020000000000

_cache = {}
_lock = threading.Lock()


def profile(name):
    """The machine description of a profile (see NAMES)."""
    if name not in NAMES:
        raise ValueError(f"no profile {name!r}; the profiles are {', '.join(NAMES)}")
    with _lock:
        if name not in _cache:
            _cache[name] = _BUILDERS[name]()
        return _cache[name]


def _i32(v):
    return int(v).to_bytes(4, "little", signed=True)


def _u32(v):
    return int(v).to_bytes(4, "little", signed=False)


def _u64(v):
    return int(v).to_bytes(8, "little", signed=False)


def _offset(record, path):
    return next(f[1] for f in _fields(record) if f[0] == path)


def _field(data, record, path, size, signed=False):
    off = _offset(record, path)
    return int.from_bytes(data[off:off + size], "little", signed=signed)


# ---- unprivileged ------------------------------------------------------------

def _unprivileged():
    # alice, without privilege, from her python3.13 (1310); the machine's
    # credential checks do the rest: other users' processes are hidden
    # (ESRCH, left out of kern.proc.proc and kern.file), and the protocol
    # lists show only the sockets made with her credential (not the ssh
    # connection root's sshd accepted, though her session holds it).
    return {
        "caller": {"uid": 1001, "gid": 1001, "groups": [1001], "privileged": False, "pid": 1310},
        "sysctl": {"security.bsd.see_other_uids": _i32(0),
                   "security.bsd.see_other_gids": _i32(1),
                   "security.bsd.unprivileged_proc_debug": _i32(1)},
    }


# ---- hardened ----------------------------------------------------------------

ALICE_GROUPS = [1001, 1000]
HARDENED_WEB = 1330
ALICE_AGENT = 1320
ROOT_AGENT = 1402


def _hardened():
    start = 1765180800 + 7200
    w = Sockets(base=0xfffff80041000000)
    w.tcp(("127.0.0.1", 8000), holders=[(HARDENED_WEB, 3)], uid=1001,
          cred={"groups": ALICE_GROUPS})
    w.tcp(("127.0.0.1", 8001), holders=[(HARDENED_WEB, 4)], uid=1002,
          cred={"groups": [1002, 1000]})
    w.tcp(("127.0.0.1", 8002), holders=[(HARDENED_WEB, 5)], uid=1001, cred={"groups": [2000]})
    w.unix("stream", b"/tmp/ssh-agent.1207/agent.1207", holders=[(ALICE_AGENT, 3)], uid=1001,
           cred={"groups": ALICE_GROUPS})
    w.unix("stream", b"/root/.ssh/agent.sock", holders=[(ROOT_AGENT, 3)])
    notrace = _C["P2_NOTRACE"]

    def process(pid, ppid, comm, uid, args, exe, flag2=0):
        gid = 1001 if uid else 0
        groups = ALICE_GROUPS if uid else [0]
        return proc(pid, ppid=ppid, pgid=pid, sid=1207 if uid else pid, comm=comm, uid=uid,
                    ruid=uid, svuid=uid, rgid=gid, svgid=gid, ngroups=len(groups), groups=groups,
                    stat=_C["SSLEEP"], flag=_C["P_INMEM"], flag2=flag2,
                    login=b"alice" if uid else b"root", rssize=600, size=24 * 2**20,
                    numthreads=1, **{"start.tv_sec": start + pid}, args=args,
                    path=exe + b"\0", env=[b"PATH=/bin:/usr/bin", b"HOME=/"],
                    files=fd_table(*w.proc_files.get(pid, []), text=exe),
                    threads=[thread(pid, 100000 + pid, comm=comm, uid=uid, ruid=uid,
                                    stat=_C["SSLEEP"], numthreads=1)])

    procs = [
        process(HARDENED_WEB, 1207, b"python3.13", 1001,
                argv(b"python3.13", b"-m", b"http.server", b"8000"),
                b"/usr/local/bin/python3.13"),
        # OpenSSH's ssh-agent disables tracing of itself.
        process(ALICE_AGENT, 1, b"ssh-agent", 1001, argv(b"ssh-agent"), b"/usr/bin/ssh-agent",
                notrace),
        process(ROOT_AGENT, 1, b"ssh-agent", 0, argv(b"ssh-agent", b"-a", b"/root/.ssh/agent.sock"),
                b"/usr/bin/ssh-agent", notrace),
    ]
    return {
        "caller": {"uid": 1001, "gid": 1001, "groups": ALICE_GROUPS, "privileged": False,
                   "pid": 1310},
        "sysctl": {"security.bsd.see_other_uids": _i32(0),
                   "security.bsd.see_other_gids": _i32(0),
                   "security.bsd.unprivileged_proc_debug": _i32(0),
                   "kern.securelevel": _i32(1)},
        "procs_changed": procs,
        "socks": w.socks(append=True),
    }


# ---- jail --------------------------------------------------------------------

_JID = 3
_JAIL_IP = "192.168.1.30"
_JAIL_IP6 = "2001:db8:1::30"
#: The jail profile's jail, as its "jails" entry gives it.
JAIL = {"name": "www", "path": b"/jails/www", "enforce_statfs": 2,
        "ip4": [_JAIL_IP], "ip6": [_JAIL_IP6]}


def _jail():
    daemon_env = [b"PATH=/sbin:/bin:/usr/sbin:/usr/bin:/usr/local/sbin:/usr/local/bin", b"HOME=/",
                  b"PWD=/", b"JAIL=www"]
    start = 1765180800 + 3600

    def dirs(cwd, exe, tty=None):
        """The entries the kernel puts before the descriptors; paths as the
        jailed caller sees them (relative to the jail's root)."""
        out = [kinfo_file(_C["KF_FD_TYPE_TEXT"], exe, ref_count=-1, offset=-1, flags=1)]
        if tty:
            out.append(kinfo_file(_C["KF_FD_TYPE_CTTY"], tty, vtype=_C["KF_VTYPE_VCHR"],
                                  ref_count=-1, offset=-1, flags=3))
        out += [kinfo_file(fd, path, vtype=_C["KF_VTYPE_VDIR"], ref_count=-1, offset=-1, flags=1)
                for fd, path in ((_C["KF_FD_TYPE_CWD"], cwd), (_C["KF_FD_TYPE_ROOT"], b"/"),
                                 (_C["KF_FD_TYPE_JAIL"], b"/"))]
        std = tty or b"/dev/null"
        return out + [kinfo_file(fd, std, vtype=_C["KF_VTYPE_VCHR"], flags=3) for fd in (0, 1, 2)]

    # pid: (ppid, comm, uid, stat, args, exe, cwd, tty, extra descriptors, nice)
    table = {
        2301: (1, b"syslogd", 0, _C["SSLEEP"], argv(b"/usr/sbin/syslogd", b"-ss"),
               b"/usr/sbin/syslogd", b"/", None,
               [kinfo_file(4, b"/var/log/messages", flags=3)], 0),
        2344: (1, b"cron", 0, _C["SSLEEP"], argv(b"/usr/sbin/cron", b"-s"), b"/usr/sbin/cron",
               b"/var/cron", None, [], 0),
        2320: (1, b"sshd", 0, _C["SSLEEP"], argv(b"/usr/sbin/sshd"), b"/usr/sbin/sshd", b"/", None,
               [], 0),
        2410: (1, b"nginx", 0, _C["SSLEEP"], argv(b"nginx: master process /usr/local/sbin/nginx"),
               b"/usr/local/sbin/nginx", b"/", None,
               [kinfo_file(3, b"/var/log/nginx/error.log", flags=3)], 0),
        2411: (2410, b"nginx", 80, _C["SSLEEP"], argv(b"nginx: worker process"),
               b"/usr/local/sbin/nginx", b"/", None,
               [kinfo_file(3, b"/var/log/nginx/error.log", flags=3)], 0),
        2412: (2410, b"nginx", 80, _C["SRUN"], argv(b"nginx: worker process"),
               b"/usr/local/sbin/nginx", b"/", None,
               [kinfo_file(3, b"/var/log/nginx/error.log", flags=3)], 0),
        2420: (1, b"php-fpm", 0, _C["SSLEEP"],
               argv(b"php-fpm: master process (/usr/local/etc/php-fpm.conf)"),
               b"/usr/local/sbin/php-fpm", b"/", None,
               [kinfo_file(3, b"/var/log/php-fpm.log", flags=3)], 0),
        2421: (2420, b"php-fpm", 80, _C["SSLEEP"], argv(b"php-fpm: pool www"),
               b"/usr/local/sbin/php-fpm", b"/usr/local/www/app", None, [], 0),
        2422: (2420, b"php-fpm", 80, _C["SSLEEP"], argv(b"php-fpm: pool www"),
               b"/usr/local/sbin/php-fpm", b"/usr/local/www/app", None, [], 0),
        2423: (2420, b"php-fpm", 80, _C["SRUN"], argv(b"php-fpm: pool www"),
               b"/usr/local/sbin/php-fpm", b"/usr/local/www/app", None, [], 5),
        # A shell from jexec (its parent, jexec, is on the host) and what it runs.
        3100: (3099, b"sh", 0, _C["SSLEEP"], argv(b"/bin/sh"), b"/bin/sh", b"/root",
               b"/dev/pts/2", [], 0),
        3105: (3100, b"top", 0, _C["SRUN"], argv(b"top", b"-S"), b"/usr/bin/top", b"/root",
               b"/dev/pts/2", [], 0),
    }
    zombie = 2424

    # Every socket made in the jail carries its jail in its credential.
    w = Sockets(base=0xfffff80031000000, cred={"jid": _JID, "groups": [0, 5]})
    nginx = [(2410, 6), (2411, 6), (2412, 6)]
    w.tcp((_JAIL_IP, 80), holders=nginx)
    w.tcp((_JAIL_IP, 443), holders=[(pid, 7) for pid, _ in nginx])
    w.tcp((_JAIL_IP6, 443), holders=[(pid, 8) for pid, _ in nginx])
    w.tcp((_JAIL_IP, 22), holders=[(2320, 3)])
    w.tcp((_JAIL_IP, 443), ("203.0.113.45", 51234), _C["TCPS_ESTABLISHED"], holders=[(2411, 10)])
    w.tcp((_JAIL_IP6, 443), ("2001:db8:2::77", 60022), _C["TCPS_ESTABLISHED"],
          holders=[(2412, 10)])
    w.tcp((_JAIL_IP, 443), ("203.0.113.7", 50112), _C["TCPS_TIME_WAIT"], so=0)
    w.tcp((_JAIL_IP, 443), ("198.51.100.9", 40022), _C["TCPS_CLOSE_WAIT"], holders=[(2411, 11)])
    w.unix("stream", b"/var/run/php-fpm.sock", holders=[(2420, 4), (2421, 4), (2422, 4),
                                                          (2423, 4)])
    w.unix("stream", b"/var/run/php-fpm.sock", holders=[(2421, 5)])
    w.unix("stream", None, holders=[(2411, 12)])
    w.unix("dgram", b"/var/run/log", sun_len=106, holders=[(2301, 5)])
    w.unix("dgram", b"/var/run/logpriv", sun_len=106, holders=[(2301, 6)])
    for pid, fd in ((2344, 3), (2320, 4), (2410, 5), (2420, 5)):
        w.unix("dgram", None, holders=[(pid, fd)])

    def address_space(exe, rss):
        r, w, x = _C["KVME_PROT_READ"], _C["KVME_PROT_WRITE"], _C["KVME_PROT_EXEC"]
        swap, vnode = _C["KVME_TYPE_SWAP"], _C["KVME_TYPE_VNODE"]
        return [vmentry(0x200000, 0x230000, r | x, vnode, exe, resident=40, ref_count=4,
                        shadow_count=1),
                vmentry(0x230000, 0x232000, r | w, vnode, exe, resident=2, private_resident=2),
                vmentry(0x800400000, 0x800600000, r | x, vnode, b"/lib/libc.so.7",
                        resident=300, ref_count=40, shadow_count=1),
                vmentry(0x801000000, 0x801000000 + rss * 4096, r | w, swap, resident=rss // 2,
                        private_resident=rss // 2),
                vmentry(0x7fffdfffe000, 0x7ffffffdf000, 0, 9),  # the stack's guard
                vmentry(0x7ffffffdf000, 0x7ffffffff000, r | w, swap, resident=6,
                        private_resident=6),
                vmentry(0x7ffffffff000, 0x800000000000, r | x, _C["KVME_TYPE_PHYS"], resident=1,
                        ref_count=60)]

    procs = []
    tid = 100900
    for pid, (ppid, comm, uid, stat, args, exe, cwd, tty, extra, nice) in table.items():
        files = dirs(cwd, exe, tty) + sorted(extra + w.proc_files.get(pid, []),
                                             key=lambda r: _field(r, "kinfo_file", "kf_fd", 4))
        env = daemon_env if tty is None else [b"USER=root", b"HOME=/root", b"SHELL=/bin/sh",
                                              b"TERM=xterm", b"PWD=/root"]
        rss = 900 if comm != b"php-fpm" else 9000
        tid += 1
        procs.append(proc(
            pid, ppid=ppid, pgid=pid if ppid in (1, 3099) else ppid, sid=pid, comm=comm,
            uid=uid, ruid=uid, svuid=uid, rgid=uid, svgid=uid, ngroups=1, groups=[uid],
            stat=stat, jid=_JID, flag=_C["P_INMEM"], login=b"root",
            rssize=rss, size=64 * 2**20, tsize=120, dsize=400,
            ssize=32, numthreads=1, nice=nice,
            tdev=0xa3 if tty else 2**64 - 1,
            **{"start.tv_sec": start + pid, "rusage.ru_utime.tv_sec": pid % 97,
               "rusage.ru_stime.tv_sec": pid % 13},
            args=args, path=exe + b"\0", env=env, files=files, vmmap=address_space(exe, rss),
            threads=[thread(pid, tid, utime=pid % 97 + 0.25, stime=pid % 13 + 0.5, jid=_JID,
                            comm=comm, uid=uid, ruid=uid, stat=stat, numthreads=1)],
            rlimits={_C["RLIMIT_NOFILE"]: rlimit(58576, 58576)}))
    # A zombie keeps its last thread until it is reaped.
    procs.append(proc(zombie, ppid=2420, pgid=2420, sid=2420, comm=b"php-fpm", uid=80, ruid=80,
                      svuid=80, stat=_C["SZOMB"], jid=_JID, login=b"root", path=b"",
                      numthreads=1, **{"start.tv_sec": start + 5000},
                      threads=[thread(zombie, 100999, jid=_JID, comm=b"php-fpm", uid=80, ruid=80,
                                      stat=_C["SZOMB"], numthreads=1)]))

    # The jail's sockets join the host's; what a caller in jail 3 sees of
    # them is its credential checks' doing (prison_check on each socket's
    # credential), as the host's processes stay in the table out of its
    # sight (p_cansee).
    socks = w.socks(append=True)
    no_sensors = temperatures({cpu: (None, None) for cpu in range(4)})
    no_cpufreq = {}
    for cpu in range(4):
        no_cpufreq[f"dev.cpu.{cpu}.freq"] = None
        no_cpufreq[f"dev.cpu.{cpu}.freq_levels"] = None
    return {
        "caller": {"uid": 0, "gid": 0, "groups": [0, 5], "jid": _JID, "privileged": True, "pid": 3105},
        "sysctl": {**no_sensors, **no_cpufreq, "security.jail.jailed": _i32(1),
                   "kern.hostname": b"www.example.org\0"},
        "procs_changed": procs,
        "socks": socks,
        "jails": {_JID: JAIL},
        # The jail's file systems, mounted on the host under its root; the
        # jail sees the one its root lies on (enforce_statfs=2).
        "mounts_added": [
            statfs(b"zroot/jails/www", b"/jails/www", b"zfs",
                   _C["MNT_LOCAL"] | _C["MNT_NOATIME"] | _C["MNT_NFS4ACLS"],
                   f_blocks=98455016, f_bfree=97311272, f_bavail=97311272),
            statfs(b"devfs", b"/jails/www/dev", b"devfs", _C["MNT_LOCAL"] | _C["MNT_MULTILABEL"],
                   f_blocks=2),
            statfs(b"tmpfs", b"/jails/www/tmp", b"tmpfs", _C["MNT_LOCAL"] | _C["MNT_NOSUID"],
                   f_blocks=262144, f_bfree=262000, f_bavail=262000),
        ],
        # The host's interfaces and addresses, the jail's on em0.
        "ifs": [
            iface("em0", index=1, flags=0x8843, mtu=1500, media=_C["IFM_ETHER"] | _C["IFM_1000_T"]
                  | _C["IFM_FDX"], media_status=_C["IFM_AVALID"] | _C["IFM_ACTIVE"],
                  lladdr=b"\x58\x9c\xfc\x0a\x1b\x2c",
                  addrs=[inet("192.168.1.20", "255.255.255.0", dst="192.168.1.255"),
                         inet6("fe80::5a9c:fcff:fe0a:1b2c", 64, scope=1),
                         inet6("2001:db8:1::20", 64),
                         inet(_JAIL_IP, "255.255.255.255", dst=_JAIL_IP),
                         inet6(_JAIL_IP6, 128)],
                  ibytes=987654321, obytes=123456789, ipackets=1234567, opackets=654321),
            iface("lo0", index=2, flags=0x8049, mtu=16384, type=24,
                  addrs=[inet("127.0.0.1", "255.0.0.0"), inet6("::1", 128),
                         inet6("fe80::1", 64, scope=2)],
                  ibytes=5242880, obytes=5242880, ipackets=40960, opackets=40960),
            iface("usbus0", index=3, flags=0, mtu=0, type=0xa0),
        ],
        "utmpx": [utmpx(b"webadmin", b"pts/3", b"192.0.2.44", sec=start + 7200, pid=3120)],
    }


# ---- vm ----------------------------------------------------------------------

def _vm():
    no_sensors = temperatures({cpu: (None, None) for cpu in range(4)})
    nodes = dict(no_sensors)
    for cpu in range(4):
        nodes[f"dev.cpu.{cpu}.freq"] = None
        nodes[f"dev.cpu.{cpu}.freq_levels"] = None
    nodes["hw.acpi.battery.life"] = None
    nodes["hw.acpi.battery.time"] = None
    nodes["hw.acpi.acline"] = None
    nodes["kern.vm_guest"] = b"kvm\0"
    # A guest's kernel runs its clock at 100 Hz; the statistics clock stays
    # at 127 ticks a second.
    nodes["kern.clockrate"] = clockinfo(hz=100)
    nodes["hw.hv_vendor"] = b"KVMKVMKVM\0"
    # A guest sees its vCPUs as one flat group, no shared caches.
    nodes["kern.sched.topology_spec"] = (
        b'<groups>\n <group level="1" cache-level="0">\n'
        b'  <cpu count="4" mask="f,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0">0, 1, 2, 3</cpu>\n'
        b' </group>\n</groups>\n\0')
    return {
        "sysctl": nodes,
        "ifs": [
            # virtio-net answers no media request.
            iface("vtnet0", index=1, flags=0x8843, mtu=1500, media=None,
                  lladdr=b"\x52\x54\x00\x12\x34\x56",
                  addrs=[inet("192.168.1.20", "255.255.255.0", dst="192.168.1.255"),
                         inet6("fe80::5054:ff:fe12:3456", 64, scope=1),
                         inet6("2001:db8:1::20", 64)],
                  ibytes=87654321, obytes=12345678, ipackets=234567, opackets=154321),
            iface("lo0", index=2, flags=0x8049, mtu=16384, type=24,
                  addrs=[inet("127.0.0.1", "255.0.0.0"), inet6("::1", 128),
                         inet6("fe80::1", 64, scope=2)],
                  ibytes=5242880, obytes=5242880, ipackets=40960, opackets=40960),
        ],
        "devices": [
            devstat(b"vtbd", 0, reads=523407, writes=282311, bytes_read=11874321408,
                    bytes_written=8911403008, read_time=(843, 2**62), write_time=(710, 2**63),
                    busy_time=(1302, 2**63),
                    device_type=_C["DEVSTAT_TYPE_DIRECT"] | _C["DEVSTAT_TYPE_IF_OTHER"],
                    priority=_C["DEVSTAT_PRIORITY_DISK"]),
        ],
        "swap": [swapdev("vtbd0p3", nblks=524288, used=0)],
    }


# ---- large -------------------------------------------------------------------

#: The large host's CPU ids: 0 to 135 without eight that firmware left out.
LARGE_ABSENT_CPUS = (6, 7, 38, 39, 70, 71, 102, 103)
LARGE_CPUS = tuple(c for c in range(136) if c not in LARGE_ABSENT_CPUS)


def _mask_words(cpus):
    """A cpuset as topology_spec prints it: 16 comma-separated hex words."""
    m = 0
    for c in cpus:
        m |= 1 << c
    return ",".join(f"{(m >> (64 * i)) & (2**64 - 1):x}" for i in range(16))


def _topology(cpus):
    """Two packages of 64 CPUs (L3 shared), cores of two threads (L2)."""
    def group(level, cache, members, children=""):
        ids = ", ".join(str(c) for c in members)
        inner = f'  <cpu count="{len(members)}" mask="{_mask_words(members)}">{ids}</cpu>\n'
        if children:
            inner += f"  <children>\n{children}  </children>\n"
        return f' <group level="{level}" cache-level="{cache}">\n{inner} </group>\n'

    packages = [cpus[:64], cpus[64:]]
    pkgs = ""
    for pkg in packages:
        cores = "".join(group(3, 1, pkg[i:i + 2]) for i in range(0, len(pkg), 2))
        pkgs += group(2, 3, pkg, cores)
    return ("<groups>\n" + group(1, 0, cpus, pkgs) + "</groups>\n").encode() + b"\0"


def _large():
    cpus = LARGE_CPUS
    uptime = 9 * 86400 + 7200
    hz = 128
    per = {}
    for c in cpus:
        user = uptime * hz * (30 + c % 7) // 100
        sys_ = uptime * hz * (12 + c % 5) // 100
        intr = uptime * hz * (2 if c else 6) // 100
        nice = uptime * hz * (c % 3) // 1000
        per[c] = (user, nice, sys_, intr, uptime * hz - user - sys_ - intr - nice)
    nodes = {
        # hw.ncpu 128; kern.cp_times answers (max id + 1) records, zeros for
        # an absent id, as the kernel does.
        **cpu_nodes({c: cp_time(*per[c]) for c in cpus}),
        "kern.boottime": timeval(1764547200, 120044),
        "kern.sched.topology_spec": _topology(cpus),
        "hw.physmem": _u64(1099511627776 - 2**30),
        "vfs.bufspace": _u64(16 * 2**30),
        "vm.stats.vm.v_page_count": _u32(267911168),
        "vm.stats.vm.v_active_count": _u32(71235412),
        "vm.stats.vm.v_inactive_count": _u32(98123456),
        "vm.stats.vm.v_wire_count": _u32(60234567),
        "vm.stats.vm.v_laundry_count": _u32(1234567),
        "vm.stats.vm.v_free_count": _u32(267911168 - 71235412 - 98123456 - 60234567 - 1234567),
        "vm.vmtotal": vmtotal(t_vm=2**30 + 12345, t_avm=2**28, t_rm=2**26, t_arm=2**25,
                              t_vmshr=2**24, t_avmshr=2**22, t_rmshr=2**23, t_armshr=2**21,
                              t_free=267911168 - 71235412 - 98123456 - 60234567 - 1234567,
                              t_rq=97, t_dw=3, t_pw=1, t_sl=9800, t_sw=0),
    }
    # Event counters past 2**32, as a busy 128-CPU host has them after nine
    # days. The kernel keeps them in 64 bits (a 4-byte read gets them cut to
    # 32 bits under COMPAT_FREEBSD11, as GENERIC has it).
    for name, value in (("vm.stats.sys.v_swtch", 0x4_1234_5678_9ABC),
                        ("vm.stats.sys.v_trap", 0x2_0000_0000 + 777),
                        ("vm.stats.sys.v_syscall", 0x9_8765_4321_0FED),
                        ("vm.stats.sys.v_intr", 0x1_2345_6789_ABCD),
                        ("vm.stats.sys.v_soft", 0x1_0000_0001),
                        ("vm.stats.vm.v_swapin", 2**32 + 5),
                        ("vm.stats.vm.v_swapout", 2**32 + 11),
                        ("vm.stats.vm.v_vnodein", 3 * 2**32 + 1),
                        ("vm.stats.vm.v_vnodeout", 2**33 + 2)):
        nodes[name] = _u64(value)
    for c in range(4):  # the default machine's frequency and sensor nodes
        nodes[f"dev.cpu.{c}.freq"] = None
        nodes[f"dev.cpu.{c}.freq_levels"] = None
    nodes.update(temperatures({c: (None, None) for c in range(4)}))
    levels = b"2900/205000 2600/180000 2300/155000 2000/130000 1700/110000 1400/90000 1100/70000\0"
    for c in cpus:
        nodes[f"dev.cpu.{c}.freq"] = _i32(2600 if c % 9 else 2900)
        nodes[f"dev.cpu.{c}.freq_levels"] = levels
    nodes.update(temperatures({c: (3181 + (c * 13) % 170, 3781) for c in cpus}))

    ether = _C["IFM_ETHER"] | _C["IFM_FDX"]
    up = _C["IFM_AVALID"] | _C["IFM_ACTIVE"]
    disks = [devstat(b"nda", unit, reads=2**33 + 1000 * unit, writes=2**32 + 77 * unit,
                     bytes_read=2**45 + unit * 2**33, bytes_written=2**44 + unit * 2**31,
                     read_time=(86400 + unit, 2**63), write_time=(172800 + unit, 2**62),
                     busy_time=(259200 + unit, 2**61),
                     device_type=_C["DEVSTAT_TYPE_DIRECT"] | _C["DEVSTAT_TYPE_IF_OTHER"],
                     priority=_C["DEVSTAT_PRIORITY_DISK"])
             for unit in range(8)]
    zfs = _C["MNT_LOCAL"] | _C["MNT_NOATIME"] | _C["MNT_NFS4ACLS"]
    big = dict(f_blocks=2**34, f_bfree=2**33, f_bavail=2**33, f_files=2**32 + 5,
               f_ffree=2**32)
    mounts = [statfs(b"zroot/ROOT/default", b"/", b"zfs", zfs | _C["MNT_ROOTFS"], **big),
              statfs(b"devfs", b"/dev", b"devfs", _C["MNT_LOCAL"] | _C["MNT_MULTILABEL"],
                     f_blocks=2)]
    for ds in (b"home", b"tmp", b"usr/local", b"var/db/postgres", b"var/log", b"var/tmp",
               b"usr/local/www"):
        mounts.append(statfs(b"zroot/" + ds, b"/" + ds, b"zfs", zfs | _C["MNT_NOSUID"], **big))
    mounts.append(statfs(b"fdescfs", b"/dev/fd", b"fdescfs", _C["MNT_LOCAL"], f_blocks=1))
    mounts.append(statfs(b"procfs", b"/proc", b"procfs", _C["MNT_LOCAL"], f_blocks=1))

    return {
        "busy_host": {"procs": 10000, "sockets": 100000, "cpus": list(cpus)},
        "sysctl": nodes,
        "ifs": [
            iface("ix0", index=1, flags=0x8843, mtu=9000,
                  media=ether | _C["IFM_10G_SR"], media_status=up,
                  lladdr=b"\xac\x1f\x6b\x01\x02\x03",
                  addrs=[inet("198.51.100.10", "255.255.255.0", dst="198.51.100.255"),
                         inet6("fe80::ae1f:6bff:fe01:203", 64, scope=1),
                         inet6("2001:db8:1::10", 64)],
                  ibytes=3 * 2**40 + 12345, obytes=11 * 2**40 + 678, ipackets=2**36 + 1,
                  opackets=2**37 + 3, ierrors=12, oerrors=0, iqdrops=2**32 + 9,
                  imcasts=12345, omcasts=321),
            iface("ix1", index=2, flags=0x8843, mtu=9000,
                  media=ether | _C["IFM_10G_SR"], media_status=up,
                  lladdr=b"\xac\x1f\x6b\x01\x02\x04",
                  addrs=[inet("10.20.0.10", "255.255.0.0", dst="10.20.255.255")],
                  ibytes=2**41, obytes=2**39, ipackets=2**34, opackets=2**33),
            iface("lo0", index=3, flags=0x8049, mtu=16384, type=24,
                  addrs=[inet("127.0.0.1", "255.0.0.0"), inet6("::1", 128),
                         inet6("fe80::1", 64, scope=3)],
                  ibytes=2**42 + 1, obytes=2**42 + 1, ipackets=2**35, opackets=2**35),
        ],
        "devices": disks,
        "devstat_generation": 41,
        "mounts": mounts,
        "swap": [swapdev("nda0p3", nblks=16777216, used=123456),
                 swapdev("nda1p3", nblks=16777216, used=120001)],
    }


# ---- a swapped-out process, and FreeBSD 15 -----------------------------------

GETTY_PID = 1410
WATCHER_PID = 1420


def _getty(flag):
    """getty on ttyv1, idle since boot: on 14 the kernel may have swapped it
    out (flag without P_INMEM); on 15 it is resident like every process."""
    return proc(GETTY_PID, ppid=1, pgid=GETTY_PID, sid=GETTY_PID, comm=b"getty", flag=flag,
                stat=_C["SSLEEP"], login=b"root", rssize=0 if not flag else 220,
                size=14 * 2**20, numthreads=1, **{"start.tv_sec": 1765180800 + 40},
                args=argv(b"/usr/libexec/getty", b"Pc", b"ttyv1"),
                path=b"/usr/libexec/getty\0", env=[b"TERM=xterm", b"PATH=/sbin:/bin"])


def _freebsd15():
    watcher = proc(
        WATCHER_PID, ppid=1, pgid=WATCHER_PID, sid=WATCHER_PID, comm=b"watcher",
        flag=_C["P_INMEM"], login=b"root", rssize=800, size=20 * 2**20, numthreads=1,
        **{"start.tv_sec": 1765180800 + 120},
        args=argv(b"/usr/local/sbin/watcher", b"/var/db"), path=b"/usr/local/sbin/watcher\0",
        env=[b"PATH=/sbin:/bin:/usr/sbin:/usr/bin"],
        files=fd_table(kinfo_file(3, b"/var/log/watcher.log", flags=_C["KF_FLAG_WRITE"]),
                       # opened read-only and read-write, as FreeBSD 15.1
                       # records them: no path, no vnode
                       kinfo_file(4, type=KF_TYPE_INOTIFY, flags=_C["KF_FLAG_READ"]),
                       kinfo_file(5, type=KF_TYPE_JAILDESC,
                                  flags=_C["KF_FLAG_READ"] | _C["KF_FLAG_WRITE"]),
                       text=b"/usr/local/sbin/watcher"))
    # The root file system has named attributes enabled (MNT_NAMEDATTR, a
    # flag 15 adds, above bit 32 of f_flags).
    mounts = [
        statfs(b"zroot/ROOT/default", b"/", b"zfs",
               _C["MNT_LOCAL"] | _C["MNT_NOATIME"] | _C["MNT_NFS4ACLS"] | MNT_NAMEDATTR,
               f_blocks=98455016, f_bfree=61311272, f_bavail=61311272),
        statfs(b"devfs", b"/dev", b"devfs", _C["MNT_LOCAL"] | _C["MNT_MULTILABEL"], f_blocks=2),
    ]
    return {"procs_changed": [_getty(_C["P_INMEM"]), watcher], "mounts": mounts}


def _swapped_out(build):
    """A FreeBSD 14 profile's builder with the swapped-out getty added."""
    def builder():
        desc = build()
        desc["procs_changed"] = list(desc.get("procs_changed", [])) + [_getty(0)]
        return desc
    return builder


_BUILDERS = {
    "default": dict,
    "unprivileged": _unprivileged,
    "jail": _jail,
    "vm": _swapped_out(_vm),
    "large": _large,
    "freebsd15": _freebsd15,
    "hardened": _hardened,
}
