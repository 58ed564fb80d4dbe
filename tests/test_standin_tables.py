"""The stand-in's kernel tables as FreeBSD 14 builds them: the entries the
kernel adds to a descriptor table, packed descriptor tables and memory maps
with libutil's unpacking, size queries that over-estimate, the protocol lists
(syncache entries, header counts, fresh trailers, the seqpacket list), the
PID-hash order of the process table and thread IDs standing for their
process."""

import errno

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import C, answers, fault, fd_table, kinfo_file, proc, vmentry
from fakebsd.socks import Sockets

FILEDESC = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_FILEDESC)
VMMAP = (C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_VMMAP)
KF = fakebsd.sizeof("kinfo_file")
KVE = fakebsd.sizeof("kinfo_vmentry")
KF_PATH = next(f[1] for f in fakebsd.fields("kinfo_file") if f[0] == "kf_path")
KVE_PATH = next(f[1] for f in fakebsd.fields("kinfo_vmentry") if f[0] == "kve_path")


def split(raw, size):
    return [raw[i:i + size] for i in range(0, len(raw), size)]


def fds(records):
    return [fakebsd.unpack("kinfo_file", r)["kf_fd"] for r in records]


def packed_sizes(raw):
    """Walk a packed answer by each record's own size."""
    sizes, pos = [], 0
    while pos < len(raw):
        sizes.append(int.from_bytes(raw[pos:pos + 4], "little", signed=True))
        pos += sizes[-1]
    return sizes


def packed(record, size):
    """A whole record packed to `size` bytes, its first field saying so."""
    return size.to_bytes(4, "little", signed=True) + record[4:size]


# --- descriptor tables ------------------------------------------------------------

def test_default_tables_start_with_the_kernels_entries(machine):
    machine()
    table = [fakebsd.unpack("kinfo_file", r) for r in split(answers.kinfo_getfile(1310), KF)]
    assert [r["kf_fd"] for r in table] == [C.KF_FD_TYPE_TEXT, C.KF_FD_TYPE_CTTY, C.KF_FD_TYPE_CWD, C.KF_FD_TYPE_ROOT,
                   *range(11)]
    own = table[:4]
    assert all(r["kf_type"] == C.KF_TYPE_VNODE and r["kf_ref_count"] == -1 and r["kf_offset"] == -1
               for r in own)
    assert [r["kf_vnode_type"] for r in own] == [C.KF_VTYPE_VREG, C.KF_VTYPE_VCHR, C.KF_VTYPE_VDIR,
                                                 C.KF_VTYPE_VDIR]
    assert own[0]["kf_path"].rstrip(b"\0") == b"/usr/local/bin/python3.13"
    assert own[1]["kf_path"].rstrip(b"\0") == b"/dev/pts/0"
    # A daemon has no terminal; a kernel process has no text either.
    assert fds(split(answers.kinfo_getfile(701), KF))[:3] == [-5, -1, -2]
    assert fds(split(answers.kinfo_getfile(12), KF)) == [-1, -2]


def test_helpers_build_the_kernels_order():
    table = fd_table(kinfo_file(7, b"/b"), kinfo_file(2, b"/a"), text=b"/bin/sh", cwd=b"/home",
                     ctty=b"/dev/ttyv0", trace=b"/tmp/ktrace.out", jail=b"/jails/www")
    assert fds(table) == [-4, -5, -6, -1, -2, -3, 2, 7]
    assert fds(proc(42, path=b"/bin/sh\0")["files"]) == [-5, -1, -2]
    assert proc(43, stat=C.SZOMB)["files"] == []
    assert len(proc(44, flag=C.P_SYSTEM, path=b"")["files"]) == 2


def test_tables_are_packed_and_unpacked(machine):
    paths = [b"", b"/", b"/var/log/messages", b"/" + b"x" * 1022, b"/" + b"y" * 1023]
    files = [kinfo_file(i, p) for i, p in enumerate(paths)]
    maps = [vmentry(0x1000 * i, 0x1000 * (i + 1), path=p) for i, p in enumerate(paths)]
    machine({"procs": [proc(42, files=files, vmmap=maps)]})
    for mib, whole, path_at, size in ((FILEDESC, files, KF_PATH, KF), (VMMAP, maps, KVE_PATH, KVE)):
        raw = answers.sysctl(mib + (42,))
        # offset of the path + the path + its NUL, rounded up to 8; a path
        # without its NUL keeps the whole record
        expected = [min((path_at + len(p) + 1 + 7) // 8 * 8, size) for p in paths]
        assert packed_sizes(raw) == expected and len(raw) == sum(expected)
        assert answers.measure(mib + (42,)) == len(raw)
    # libutil hands the whole records back, each with the whole size.
    assert answers.kinfo_getfile(42) == b"".join(files)
    assert answers.kinfo_getvmmap(42) == b"".join(maps)


REC = kinfo_file(3, b"/var/log/messages")  # packs to 392 bytes
R1 = packed(REC, 392)


@pytest.mark.parametrize("raw,sizes", [
    (R1 + R1, [392, 392]),
    (b"", []),
    # A size of 0 ends the walk; what follows is not looked at.
    (R1 + bytes(8) + R1, [392]),
    (packed(REC, 0) + R1, []),
    # A record claiming more than is left is one record; the bytes past the
    # answer read as zeros (libutil itself reads on into its buffer).
    (R1 + packed(REC, 4000)[:100], [392, 100]),
    (R1 + packed(REC, 1 << 30)[:100], [392, 100]),
    # Sizes that are no multiple of 8 are walked as they are.
    (packed(REC, 390) + R1, [390, 392]),
    # Bytes of a size field cut short: the rest reads as zeros.
    (R1 + b"\x10", [392, 1]),
    # A size bigger than a whole record copies a whole record only.
    (packed(REC + bytes(8), KF + 8) + R1, [KF + 8, 392]),
    # A negative size ends the walk.
    (R1 + packed(REC, -392) + R1, [392]),
])
def test_libutil_walks_packed_records_by_their_size(machine, raw, sizes):
    machine({"procs": [proc(42)], "faults": [fault("sysctl", FILEDESC + (42,), answer=raw)]})
    got = split(answers.kinfo_getfile(42), KF)
    assert len(got) == len(sizes)
    pos = 0
    for record, size in zip(got, sizes):
        assert record[:4] == KF.to_bytes(4, "little")            # the whole size
        chunk = raw[pos + 4:pos + min(max(size, 4), KF)]
        assert record[4:4 + len(chunk)] == chunk
        assert record[4 + len(chunk):] == bytes(KF - 4 - len(chunk))
        pos += size


@pytest.mark.parametrize("grown,ok", [(3, True), (4, False), (40, False)])
def test_libutil_allows_a_third_more(machine, grown, ok):
    # Measured at 9 records, read with room for 12 (a third more).
    answers_ = [R1 * 9, R1 * (9 + grown)]
    machine({"procs": [proc(42)], "faults": [fault("sysctl", FILEDESC + (42,), answers=answers_)]})
    if ok:
        assert len(answers.kinfo_getfile(42)) == (9 + grown) * KF
    else:
        with pytest.raises(OSError) as e:
            answers.kinfo_getfile(42)
        assert e.value.errno == errno.ENOMEM
    # Measured once, read once: no second try.
    log = [k for c, k in fakebsd.calls() if c == "sysctl"]
    assert log == ["1.14.33.42 (measure)", "1.14.33.42"]


@pytest.mark.parametrize("nth,err", [(1, errno.ESRCH), (2, errno.EPERM)])
def test_libutil_fails_with_the_kernels_errno(machine, nth, err):
    machine({"procs": [proc(42)],
             "faults": [fault("sysctl", VMMAP + (42,), errno=err, nth=nth, times=1)]})
    with pytest.raises(OSError) as e:
        answers.kinfo_getvmmap(42)
    assert e.value.errno == err


def test_tables_of_a_missing_process(machine):
    machine({"procs": [proc(42)]})
    for read in (answers.kinfo_getfile, answers.kinfo_getvmmap):
        with pytest.raises(OSError) as e:
            read(4242)
        assert e.value.errno == errno.ESRCH


# --- size queries ------------------------------------------------------------------

def test_process_table_size_query_has_five_spare_records(machine):
    machine()
    table = answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0))
    assert len(table) == 35 * 1088
    assert answers.measure((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0)) == 40 * 1088
    machine({"procs": [proc(1), proc(2, listed=False)]})
    assert answers.measure((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC)) == 6 * 1088
    for mib in ((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0, 0),):
        with pytest.raises(OSError) as e:
            answers.sysctl(mib)
        assert e.value.errno == errno.EINVAL


def test_file_table_size_query_counts_table_slots(machine):
    machine()
    files = answers.sysctlbyname("kern.file")
    # 34 processes with a table (the zombie has none) of 20 slots each
    assert answers.measure("kern.file") == 34 * 20 * 128 > len(files)
    w = Sockets()
    w.tcp(("192.0.2.1", 22), holders=[(7, 3), (8, 20), (9, 100)])
    machine({**w.desc(), "procs": [proc(7), proc(8), proc(9), proc(10)]})
    # 20 slots; 20 -> 40 -> 64; 20 -> ... -> 320 slots; 20 for the process without descriptors
    assert answers.measure("kern.file") == (20 + 64 + 320 + 20) * 128
    assert len(answers.sysctlbyname("kern.file")) == 3 * 128


LISTS = {"net.inet.tcp.pcblist": (64, 744), "net.inet.udp.pcblist": (64, 400),
         "net.local.stream.pcblist": (32, 904), "net.local.dgram.pcblist": (32, 904),
         "net.local.seqpacket.pcblist": (32, 904)}


def header(raw, name):
    gen, rec = LISTS[name]
    kind = "xinpgen" if gen == 64 else "xunpgen"
    p = "xig_" if gen == 64 else "xug_"
    head, tail = fakebsd.unpack(kind, raw[:gen]), fakebsd.unpack(kind, raw[-gen:])
    return (head[p + "count"], head[p + "gen"]), (tail[p + "count"], tail[p + "gen"]), \
        (len(raw) - 2 * gen) // rec


def test_protocol_lists_of_the_default_machine(machine):
    machine()
    # 12 TCP blocks and 2 syncache entries; 3 UDP; 9 UNIX-domain sockets of
    # all three types, which every UNIX-domain header counts.
    expected = {"net.inet.tcp.pcblist": (14, 14, 14 + 10), "net.inet.udp.pcblist": (3, 3, 3 + 10),
                "net.local.stream.pcblist": (9, 5, 9 + 1), "net.local.dgram.pcblist": (9, 3, 9 + 1),
                "net.local.seqpacket.pcblist": (9, 1, 9 + 1)}
    for name, (count, records, room) in expected.items():
        raw = answers.sysctlbyname(name)
        head, tail, n = header(raw, name)
        assert head == tail == (count, 1) and n == records, name
        gen, rec = LISTS[name]
        assert answers.measure(name) == 2 * gen + room * rec, name
    tcp = split(answers.sysctlbyname("net.inet.tcp.pcblist")[64:-64], 744)
    syn = [fakebsd.unpack("xtcpcb", r) for r in tcp[:2]]
    assert all(s["t_state"] == C.TCPS_SYN_RECEIVED and s["xt_inp.xi_socket.xso_so"] == 0
               and s["xt_inp.xi_socket.so_type"] == C.SOCK_STREAM for s in syn)
    assert [s["xt_inp.inp_vflag"] for s in syn] == [C.INP_IPV4, C.INP_IPV6]
    assert all(fakebsd.unpack("xtcpcb", r)["t_state"] != C.TCPS_SYN_RECEIVED for r in tcp[2:])
    seq = fakebsd.unpack("xunpcb", answers.sysctlbyname("net.local.seqpacket.pcblist")[32:-32])
    assert seq["xu_socket.so_type"] == C.SOCK_SEQPACKET


def test_protocol_list_padding_grows_by_an_eighth(machine):
    w = Sockets()
    for i in range(160):
        w.tcp(("192.0.2.1", 1000 + i))
        w.unix("dgram", b"/s%d" % i)
    w.syn(("192.0.2.1", 22), ("198.51.100.1", 4000))
    machine(w.desc())
    assert answers.measure("net.inet.tcp.pcblist") == 128 + (161 + 20) * 744
    assert answers.measure("net.local.stream.pcblist") == 64 + (160 + 20) * 904
    head, tail, n = header(answers.sysctlbyname("net.inet.tcp.pcblist"), "net.inet.tcp.pcblist")
    assert head == tail == (161, 1) and n == 161


def test_changed_lists_have_fresh_trailers(machine):
    w = Sockets()
    w.tcp(("192.0.2.1", 22))
    w.unix("seqpacket", b"/s")
    machine(w.desc(gen=7, gen_mismatch={"tcp": 2, "unix_seqpacket": 1}))
    name = "net.inet.tcp.pcblist"
    answers.measure(name)                     # a size query reads nothing
    assert header(answers.sysctlbyname(name), name)[:2] == ((1, 7), (2, 8))
    assert header(answers.sysctlbyname(name), name)[:2] == ((1, 7), (2, 8))
    assert header(answers.sysctlbyname(name), name)[:2] == ((1, 7), (1, 7))
    name = "net.local.seqpacket.pcblist"
    assert header(answers.sysctlbyname(name), name)[:2] == ((1, 7), (2, 8))
    assert header(answers.sysctlbyname(name), name)[:2] == ((1, 7), (1, 7))


# --- process lookups -----------------------------------------------------------------

def test_process_table_walks_the_pid_hash(machine):
    # procinit: maxproc / 4 rounded down to a power of two buckets (here
    # 4096), one lock for every 64 buckets; the locks in turn, each one's
    # buckets in turn, a bucket's newest process first.
    pids = [4096 + 65, 0, 65, 1, 64, 4096 + 1, 3 * 4096 + 1]
    machine({"procs": [proc(p) for p in pids]})
    assert [fakebsd.unpack("kinfo_proc", r)["ki_pid"]
            for r in split(answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0)), 1088)] \
        == [0, 64, 3 * 4096 + 1, 4096 + 1, 1, 65, 4096 + 65]
    # A small machine: 64 buckets under one lock.
    machine({"maxproc": 300, "procs": [proc(p) for p in (130, 1, 66, 2)]})
    assert [fakebsd.unpack("kinfo_proc", r)["ki_pid"]
            for r in split(answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0)), 1088)] \
        == [1, 2, 66, 130]


def test_thread_id_stands_for_its_process(machine):
    machine()
    threads = split(answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID | C.KERN_PROC_INC_THREAD,
                                    1310)), 1088)
    tid = fakebsd.unpack("kinfo_proc", threads[-1])["ki_tid"]
    assert tid > 99999
    record = answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, tid))
    assert record == answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, 1310))
    assert answers.kinfo_getfile(tid) == answers.kinfo_getfile(1310)
    # So the module, given a thread ID, answers for the process.
    assert m.proc_name(tid) == "python3.13" and m.proc_num_fds(tid) == m.proc_num_fds(1310)
    for pid in (99999 + 100000, 99998):
        with pytest.raises(OSError) as e:
            answers.sysctl((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PID, pid))
        assert e.value.errno == errno.ESRCH


def test_socket_tables_given_as_plain_nodes(machine):
    # A description's "sysctl" entry replaces the composed table, or removes it.
    table = fakebsd.socks.pcblist([fakebsd.socks.xtcpcb(0x1000, ("192.0.2.1", 22))])
    machine({"sysctl": {"net.inet.tcp.pcblist": table, "kern.file": None}})
    assert answers.sysctlbyname("net.inet.tcp.pcblist") == table
    assert answers.measure("net.inet.tcp.pcblist") == len(table)
    with pytest.raises(OSError) as e:
        answers.sysctlbyname("kern.file")
    assert e.value.errno == errno.ENOENT


# --- who the caller is -----------------------------------------------------------------

def test_zombies_have_no_tables(machine):
    # kern.proc.filedesc and kern.proc.vmmap look the process up with
    # PGET_NOTWEXIT: a zombie is ESRCH, which the module raises as it is.
    machine()
    for read in (answers.kinfo_getfile, answers.kinfo_getvmmap):
        with pytest.raises(OSError) as e:
            read(1311)
        assert e.value.errno == errno.ESRCH
    for fn, args, call in ((m.proc_cwd, (1311,), "kinfo_getfile()"),
                           (m.proc_num_fds, (1311,), "kinfo_getfile()"),
                           (m.proc_open_files, (1311,), "kinfo_getfile()"),
                           (m.proc_net_connections, (1311, [1, 2, 28], [1, 2]), "kinfo_getfile()"),
                           (m.proc_memory_maps, (1311,), "kinfo_getvmmap()")):
        with pytest.raises(ProcessLookupError) as e:
            fn(*args)
        assert e.value.errno == errno.ESRCH and e.value.strerror.endswith(f"(originated from {call})")


def test_a_zombie_keeps_its_record_and_last_thread(machine):
    # As a FreeBSD 14.2 kernel answers for a zombie: the process keeps its
    # last thread (one thread record, a thread id of its own) until it is
    # reaped, and its sizes read 0, the stack's included.
    machine()
    (tid, user, system), = m.proc_threads(1311)
    assert tid >= 100000 and m.proc_num_threads(1311) == 1
    assert (user, system) == tuple(m.proc_oneshot_info(1311)[14:16])
    assert m.proc_oneshot_info(1311)[18:23] == (0, 0, 0, 0, 0)   # rss, vms, text, data, stack
    assert m.proc_exe(1311) == ""                                  # no text vnode left


def test_hidden_processes_leave_the_system_wide_tables(machine):
    # An unprivileged user who may not see other users' processes: the
    # process table and the open-file table leave them out without a word,
    # so their sockets have no holder either.
    machine({"caller": {"uid": 1001, "gid": 1001},
             "sysctl": {"security.bsd.see_other_uids": fakebsd.i32(0)}})
    assert sorted(m.pids()) == [1206, 1207, 1310, 1311]
    pids = {fakebsd.unpack("xfile", r)["xf_pid"] for r in split(answers.sysctlbyname("kern.file"), 128)}
    assert pids == {1206, 1207, 1310}
    # The protocol lists show only the sockets whose credential is hers: the
    # ssh connection root's sshd accepted is root's, though her session
    # holds it (cr_canseeinpcb).
    assert {e[6] for e in m.net_connections([1, 2, 28], [1, 2])} == {1310}
    # The process table's size query counts what the caller sees (and five
    # more); the file table's counts every process's table.
    assert answers.measure((C.CTL_KERN, C.KERN_PROC, C.KERN_PROC_PROC, 0)) == (4 + 5) * 1088
    assert answers.measure("kern.file") == 34 * 20 * 128


def test_other_users_tables_need_the_right_to_debug(machine):
    machine({"caller": {"uid": 1001, "gid": 1001}})
    for fn in (m.proc_cwd, m.proc_num_fds, m.proc_open_files, m.proc_memory_maps):
        with pytest.raises(PermissionError) as e:
            fn(701)
        assert e.value.errno == errno.EPERM
    assert m.proc_num_fds(1207) == 12
