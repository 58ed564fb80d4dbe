"""The module's speed on a live FreeBSD kernel, as ratios taken in one run
(the guest is emulated, so only ratios mean anything):

  floor    the module's time over the floor's: a C program (floor.c) making
           the same platform calls and decoding the same fields into C
           structs, without Python;
  tool     the time of the FreeBSD tool a user would otherwise run, through
           subprocess and parsed into the same values, over the module's;
  threads  the calls two threads complete in the same time over one
           thread's, each thread calling its own callable; "cpu" is the same
           per CPU second the threads got, times two (what two idle CPUs
           would give: it leaves out other programs holding a CPU).

A scene process holds about 2,000 TCP sockets (1,000 connections over the
loopback, both ends), a few UDP and UNIX sockets and regular files; the
per-process functions look at it.

    python bench_guest.py FLOOR OUT.json [--seconds S] [--rounds R] [name ...]
"""

import argparse
import functools
import json
import os
import platform
import re
import socket
import subprocess
import sys
import threading
import time

import _morvex_bsd as m

FAMILIES = [socket.AF_INET, socket.AF_INET6, socket.AF_UNIX]
TYPES = [socket.SOCK_STREAM, socket.SOCK_DGRAM]

# -- the scene ----------------------------------------------------------------

SCENE = r"""
import os, resource, socket, sys, tempfile
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
n = int(sys.argv[1])
keep = []
for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
    lst = socket.socket(family, socket.SOCK_STREAM)
    lst.bind((host, 0)); lst.listen(1024); keep.append(lst)
    for _ in range(n if family == socket.AF_INET else n // 20):
        c = socket.create_connection(lst.getsockname()[:2]); a, _ = lst.accept()
        keep += [c, a]
for _ in range(8):
    u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.1", 0)); keep.append(u)
keep += list(socket.socketpair())
for i in range(8):
    keep.append(tempfile.TemporaryFile(dir="/tmp"))
    keep.append(open("/etc/services" if i % 2 else "/etc/protocols", "rb"))
print(len(keep), flush=True)
sys.stdin.read()
"""


def start_scene(connections):
    p = subprocess.Popen([sys.executable, "-c", SCENE, str(connections)], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True,
                         env=dict(os.environ, MORVEX_BENCH="a value for the environment"))
    held = int(p.stdout.readline())
    return p, held


# -- the tools, parsed into the module's values ---------------------------------

def run(*argv):
    return subprocess.run(argv, capture_output=True, text=True, check=True).stdout


PS_FIELDS = ("pid,ppid,state,ruid,uid,svuid,rgid,gid,svgid,tdev,start,nvcsw,nivcsw,inblk,oublk,"
             "usertime,systime,rss,vsz,tsiz,dsiz,ssiz,cpu,comm")


def cpu_seconds(text):
    # [[dd-]hh:]mm:ss.ss
    total = 0.0
    for part in text.replace("-", ":").split(":"):
        total = total * 60 + float(part)
    return total


def tool_pids(_):
    return [int(x) for x in run("ps", "-ax", "-o", "pid=").split()]


def tool_oneshot(_):
    out = []
    for line in run("ps", "-axww", "-o", ",".join(f + "=" for f in PS_FIELDS.split(","))).splitlines():
        f = line.split(None, 23)
        if len(f) < 24:
            continue
        out.append((int(f[1]), f[2], int(f[3]), int(f[4]), int(f[5]), int(f[6]), int(f[7]),
                    int(f[8]), f[9], f[10], int(f[11]), int(f[12]), int(f[13]), int(f[14]),
                    cpu_seconds(f[15]), cpu_seconds(f[16]), int(f[17]) * 1024, int(f[18]) * 1024,
                    int(f[19]) * 1024, int(f[20]) * 1024, int(f[21]) * 1024, int(f[22]), f[23]))
    return out


def tool_open_files(pid):
    out = []
    for line in run("procstat", "-f", str(pid)).splitlines()[1:]:
        f = line.split(None, 9)
        if len(f) == 10 and f[3] == "v" and f[4] == "r":
            fd = {"text": -1, "cwd": -1, "root": -1, "jail": -1}.get(f[2])
            out.append((f[9], int(f[2]) if fd is None else fd))
    return out


def tool_memory_maps(pid):
    out = []
    for line in run("procstat", "-v", str(pid)).splitlines()[1:]:
        f = line.split()
        if len(f) < 10:
            continue
        out.append((f"{f[1]}-{f[2]}", f[3], f[10] if len(f) > 10 else f"[{f[9]}]",
                    int(f[4]), int(f[5]), int(f[6]), int(f[7])))
    return out


def tool_environ(pid):
    lines = run("procstat", "-e", str(pid)).splitlines()[1:]
    env = {}
    for line in lines:
        for item in line.split()[2:]:
            name, eq, value = item.partition("=")
            if eq:
                env[name] = value
    return env


ADDR = re.compile(r"^(.*)[:.](\d+|\*)$")


def split_addr(text):
    if text == "*:*":
        return ()
    match = ADDR.match(text)
    if not match:
        return text
    port = 0 if match.group(2) == "*" else int(match.group(2))
    return (match.group(1), port)


def sockstat():
    out = []
    for line in run("sockstat", "-46u").splitlines()[1:]:
        f = line.split()
        if len(f) < 6 or not f[2].isdigit():
            continue
        proto = f[4]
        family = socket.AF_UNIX if proto.startswith("stream") or proto.startswith("dgram") else (
            socket.AF_INET6 if proto.endswith("6") else socket.AF_INET)
        kind = socket.SOCK_STREAM if proto.startswith(("tcp", "stream")) else socket.SOCK_DGRAM
        fd = int(f[3]) if f[3].isdigit() else -1
        local = f[5]
        remote = f[6] if len(f) > 6 else ""
        if family != socket.AF_UNIX:
            local, remote = split_addr(local), split_addr(remote)
        out.append((fd, family, kind, local, remote, int(f[2])))
    return out


def tool_net_connections(_):
    return sockstat()


def tool_proc_net_connections(pid):
    return [c for c in sockstat() if c[5] == pid]


def tool_net_if_addrs(_):
    out, name = [], None
    for line in run("ifconfig", "-a").splitlines():
        if not line.startswith(("\t", " ")):
            name = line.split(":", 1)[0]
            continue
        f = line.split()
        if f[0] in ("inet", "inet6", "ether"):
            mask = f[f.index("netmask") + 1] if "netmask" in f else (
                f[f.index("prefixlen") + 1] if "prefixlen" in f else None)
            bcast = f[f.index("broadcast") + 1] if "broadcast" in f else None
            out.append((name, f[0], f[1], mask, bcast, None))
    return out


def tool_net_io_counters(_):
    out = {}
    for line in run("netstat", "-ibn").splitlines()[1:]:
        f = line.split()
        if len(f) >= 11 and f[2].startswith("<Link#"):
            # Name Mtu Network [Address] Ipkts Ierrs Idrop Ibytes Opkts Oerrs Obytes Coll
            n = f[-8:]
            out[f[0]] = (int(n[6]), int(n[3]), int(n[4]), int(n[0]), int(n[1]), int(n[5]),
                         int(n[2]), 0)
    return out


def tool_disk_partitions(_):
    return [tuple(line.split()[:4]) for line in run("mount", "-p").splitlines()]


def tool_disk_io_counters(_):
    out = {}
    for line in run("iostat", "-Idx").splitlines()[2:]:
        f = line.split()
        if len(f) >= 5:
            out[f[0]] = tuple(float(x) for x in f[1:])
    return out


def tool_swap_mem(_):
    total = used = 0
    for line in run("swapinfo", "-k").splitlines()[1:]:
        f = line.split()
        total += int(f[1]) * 1024
        used += int(f[2]) * 1024
    return (total, used, max(total - used, 0))


def tool_per_cpu_times(_):
    ticks = [int(x) for x in run("sysctl", "-n", "kern.cp_times").split()]
    rate = int(re.search(r"stathz = (\d+)", run("sysctl", "-n", "kern.clockrate")).group(1))
    return [tuple(t / rate for t in ticks[i:i + 5]) for i in range(0, len(ticks), 5)]


VM_NAMES = ("hw.physmem", "vm.stats.vm.v_free_count", "vm.stats.vm.v_active_count",
            "vm.stats.vm.v_inactive_count", "vm.stats.vm.v_wire_count", "vm.stats.vm.v_cache_count",
            "vfs.bufspace")


def tool_virtual_mem(_):
    return tuple(int(x) for x in run("sysctl", "-n", *VM_NAMES).split())


def tool_users(_):
    out = []
    for line in run("who").splitlines():
        f = line.split()
        out.append((f[0], f[1], f[-1].strip("()") if f[-1].startswith("(") else "localhost"))
    return out


# -- what is measured -------------------------------------------------------------

def module_calls(target, own=False):
    """name -> (a callable making the module's calls once, the tool's label and
    function); every call builds fresh argument objects of its own, and with
    `own` the per-pid loop calls through a partial of its own."""
    # Over the pids of one listing, as the floor walks its own.
    pids = m.pids()

    def oneshot_all(oneshot=functools.partial(m.proc_oneshot_info) if own else m.proc_oneshot_info):
        for pid in pids:
            try:
                oneshot(pid)
            except (ProcessLookupError, PermissionError):
                pass
    oneshot_all.calls = len(pids)
    return {
        "pids": (m.pids, "ps -ax -o pid", tool_pids),
        "proc_oneshot_info": (oneshot_all, "ps -axww -o (23 fields)", tool_oneshot),
        "proc_open_files": (functools.partial(m.proc_open_files, target), "procstat -f", tool_open_files),
        "proc_memory_maps": (functools.partial(m.proc_memory_maps, target), "procstat -v",
                             tool_memory_maps),
        "proc_environ": (functools.partial(m.proc_environ, target), "procstat -e", tool_environ),
        "net_connections": (functools.partial(m.net_connections, list(FAMILIES), list(TYPES)),
                            "sockstat -46u", tool_net_connections),
        "proc_net_connections": (functools.partial(m.proc_net_connections, target, list(FAMILIES),
                                                   list(TYPES)), "sockstat -46u (its pid)",
                                 tool_proc_net_connections),
        "net_if_addrs": (m.net_if_addrs, "ifconfig -a", tool_net_if_addrs),
        "net_io_counters": (m.net_io_counters, "netstat -ibn", tool_net_io_counters),
        "disk_partitions": (m.disk_partitions, "mount -p", tool_disk_partitions),
        "disk_io_counters": (m.disk_io_counters, "iostat -Idx", tool_disk_io_counters),
        "swap_mem": (m.swap_mem, "swapinfo -k", tool_swap_mem),
        "per_cpu_times": (m.per_cpu_times, "sysctl kern.cp_times", tool_per_cpu_times),
        "virtual_mem": (m.virtual_mem, "sysctl (7 names)", tool_virtual_mem),
        "users": (m.users, "who", tool_users),
    }


def fresh_callable(name, target):
    """A callable of its own for one thread: no argument object shared, and
    called through a partial of its own, since a call from Python code
    writes the reference count of the object it calls (two threads calling
    one builtin would measure the interpreter taking turns at that count)."""
    return functools.partial(module_calls(target, own=True)[name][0])


def time_per_call(fn, seconds, rounds):
    """Best seconds per call over `rounds` runs of about `seconds` each."""
    fn()
    best = float("inf")
    for _ in range(rounds):
        n, t0 = 0, time.perf_counter()
        while True:
            fn()
            n += 1
            t = time.perf_counter() - t0
            if t >= seconds:
                break
        best = min(best, t / n)
    return best


def floor_per_call(floor, name, target, module_s, seconds, rounds):
    iterations = max(3, int(seconds / max(module_s, 1e-7)))
    best = float("inf")
    for _ in range(rounds):
        out = run(floor, name, str(iterations), str(target)).split()
        best = min(best, float(out[1]) / 1e9)
    return best


def tool_per_call(fn, target, rounds):
    fn(target)
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn(target)
        best = min(best, time.perf_counter() - t0)
    return best


def throughput(name, target, threads, seconds):
    """Calls per wall second and per CPU second of `threads` threads."""
    calls = [functools.partial(python_loop) if name is None else fresh_callable(name, target)
             for _ in range(threads)]
    counts = [0] * threads
    cpu = [0.0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def worker(i):
        fn = calls[i]
        fn()
        start.wait()
        c0 = time.thread_time()
        n = 0
        while not stop.is_set():
            fn()
            n += 1
        cpu[i] = time.thread_time() - c0
        counts[i] = n

    ts = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for t in ts:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for t in ts:
        t.join()
    wall = time.perf_counter() - t0
    total = sum(counts)
    return total / wall, total / max(sum(cpu), 1e-9)


def python_loop():
    """The control: pure Python, no module, no allocation shared."""
    n = 0
    for i in range(200):
        n += i
    return n


def thread_ratio(name, target, seconds, rounds):
    best1 = best2 = cpu1 = cpu2 = 0.0
    for _ in range(rounds):
        w1, c1 = throughput(name, target, 1, seconds)
        w2, c2 = throughput(name, target, 2, seconds)
        best1, cpu1 = max(best1, w1), max(cpu1, c1)
        best2, cpu2 = max(best2, w2), max(cpu2, c2)
    return best2 / best1, 2 * cpu2 / cpu1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("floor")
    ap.add_argument("out")
    ap.add_argument("names", nargs="*")
    ap.add_argument("--seconds", type=float, default=0.5)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--connections", type=int, default=1000)
    args = ap.parse_args()

    scene, held = start_scene(args.connections)
    target = scene.pid
    results = {"release": platform.release(), "python": sys.version.split()[0],
               "gil": sys._is_gil_enabled(), "ncpu": os.cpu_count(), "scene_descriptors": held,
               "sockets": len(m.net_connections([socket.AF_INET, socket.AF_INET6], [socket.SOCK_STREAM])),
               "date": time.strftime("%Y-%m-%d", time.gmtime()), "rows": []}
    print(f"bench: FreeBSD {results['release']}, Python {results['python']}, scene pid {target} "
          f"holding {held} descriptors, {results['sockets']} TCP sockets", flush=True)
    # What any call from Python costs here: a function that makes one cheap
    # libc call (sysconf) and returns an int.
    results["call_s"] = time_per_call(m.getpagesize, args.seconds, args.rounds)
    results["loadavg"] = os.getloadavg()
    # What two threads can do here at all: the same measurement of a loop of
    # pure Python that touches no shared object (the emulator's and the
    # host's share, not the module's).
    results["control_threads"], results["control_threads_cpu"] = thread_ratio(
        None, target, args.seconds, max(1, args.rounds - 1))
    try:
        calls = module_calls(target)
        for name, (fn, label, tool) in calls.items():
            if args.names and name not in args.names:
                continue
            row = {"name": name, "tool": label, "calls": getattr(fn, "calls", 1)}
            row["module_s"] = time_per_call(fn, args.seconds, args.rounds)
            try:
                row["floor_s"] = floor_per_call(args.floor, name, target, row["module_s"], args.seconds,
                                                args.rounds)
            except (subprocess.CalledProcessError, OSError, ValueError, IndexError) as e:
                row["floor_error"] = str(e)
            try:
                row["tool_s"] = tool_per_call(tool, target, args.rounds)
            except (subprocess.CalledProcessError, OSError, ValueError, IndexError) as e:
                row["tool_error"] = f"{e} {getattr(e, 'stderr', '') or ''}".strip()
            row["threads"], row["threads_cpu"] = thread_ratio(name, target, args.seconds, max(1, args.rounds - 1))
            results["rows"].append(row)
            print(json.dumps(row), flush=True)
    finally:
        scene.stdin.close()
        scene.wait()
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
