"""Threads, memory maps, CPU masks and resource limits for machine descriptions.

    proc(42, threads=[thread(42, 100101, utime=1.5), thread(42, 100102)],
         vmmap=[vmentry(0x1000, 0x3000, prot=5, path=b"/bin/sh")],
         cpuset=cpuset([0, 2]), rlimits={C.RLIMIT_NOFILE: rlimit(1024, 4096)},
         nice=-1)

A process without "threads" answers the thread query with its own record;
one without "cpuset" may run on all four CPUs of the machine; a limit not in
"rlimits" is RLIM_INFINITY for both members.
"""

from _fakebsd import pack

from .procs import kinfo

KVMENTRY_SIZE = 1160


def _timeval(seconds):
    usec = round(seconds * 1_000_000)
    return divmod(usec, 1_000_000)


def thread(pid, tid, utime=0.0, stime=0.0, **fields):
    """One thread record (struct kinfo_proc) with its ID and CPU times in seconds."""
    us, uus = _timeval(utime)
    ss, sus = _timeval(stime)
    fields.update({
        "ki_tid": tid,
        "ki_rusage.ru_utime.tv_sec": us, "ki_rusage.ru_utime.tv_usec": uus,
        "ki_rusage.ru_stime.tv_sec": ss, "ki_rusage.ru_stime.tv_usec": sus,
    })
    return kinfo(pid, **fields)


def vmentry(start, end, prot=0, type=2, path=b"", resident=0, private_resident=0,
            ref_count=1, shadow_count=0, **fields):
    """One struct kinfo_vmentry; type is a KVME_TYPE_* value (2: a vnode)."""
    values = {
        "kve_structsize": KVMENTRY_SIZE, "kve_start": start, "kve_end": end,
        "kve_protection": prot, "kve_type": type, "kve_path": path,
        "kve_resident": resident, "kve_private_resident": private_resident,
        "kve_ref_count": ref_count, "kve_shadow_count": shadow_count,
    }
    values.update(fields)
    return pack("kinfo_vmentry", values)


def cpuset(cpus):
    """A cpuset_t (128 bytes) with the given CPU numbers (0 to 1023) set."""
    mask = 0
    for cpu in cpus:
        mask |= 1 << cpu
    return mask.to_bytes(128, "little")


def rlimit(cur, max):
    """A struct rlimit: soft then hard limit, signed 64-bit each."""
    return pack("rlimit", {"rlim_cur": cur, "rlim_max": max})
