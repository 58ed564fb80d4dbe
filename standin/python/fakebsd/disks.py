"""Mounts, disks, sensors and logins for machine descriptions.

Description keys (each list replaces the base machine's):

    mounts        [statfs(...)]   the mount table, in mount order
    mounts_later  [statfs(...)]   the table every getfsstat after the first sees
    devices       [devstat(...)]  libdevstat's devices, in order
    devstat_generation int        the device list's generation
    utmpx         [utmpx(...)]    the active-logins database, in order
    sysctl        battery(...), temperatures(...) give the sensor nodes

    {"mounts": [statfs(b"/dev/ada0p2", b"/", b"ufs", C.MNT_RDONLY)],
     "devices": [devstat(b"da", 12, reads=5, read_time=(1, 2**63))],
     "sysctl": {**battery(80, 95, 1), **temperatures({0: (3232, 3731)})},
     "utmpx": [utmpx(b"alice", b"pts/0", b"192.0.2.7", sec=100)]}

Keyword arguments that name a field of the record go into it as they are.
"""

from _fakebsd import constants as _constants
from _fakebsd import pack

_C = _constants()


def statfs(mntfrom, mnton, fstype, flags=0, **fields):
    """A struct statfs record of one mounted file system."""
    values = {"f_version": _C["STATFS_VERSION"], "f_flags": flags, "f_fstypename": fstype,
              "f_mntfromname": mntfrom, "f_mntonname": mnton, "f_bsize": 4096,
              "f_namemax": 255}
    values.update(fields)
    return pack("statfs", values)


def bintime(sec, frac=0):
    """A struct bintime: seconds and a fraction in units of 2**-64 s."""
    return int(sec).to_bytes(8, "little", signed=True) + int(frac).to_bytes(8, "little")


def devstat(name, unit, *, reads=0, writes=0, bytes_read=0, bytes_written=0,
            read_time=(0, 0), write_time=(0, 0), busy_time=(0, 0), **fields):
    """A struct devstat record; the times are (sec, frac) bintimes."""
    ops = [0, reads, writes, 0]
    nbytes = [0, bytes_read, bytes_written, 0]
    duration = bintime(0) + bintime(*read_time) + bintime(*write_time) + bintime(0)
    values = {"device_name": name, "unit_number": unit, "allocated": 1, "operations": ops,
              "bytes": nbytes, "duration": duration, "busy_time": bintime(*busy_time),
              "block_size": 512}
    values.update(fields)
    return pack("devstat", values)


def battery(life, time, acline):
    """The ACPI battery's sysctl nodes (charge %, minutes left, on mains)."""
    return {"hw.acpi.battery.life": _i32(life), "hw.acpi.battery.time": _i32(time),
            "hw.acpi.acline": _i32(acline)}


def temperatures(cpus):
    """Temperature nodes by CPU index: {cpu: (temperature, tjmax or None)},
    in tenths of a kelvin; None for a node removes it (no such sensor)."""
    nodes = {}
    for cpu, (temp, tjmax) in cpus.items():
        nodes[f"dev.cpu.{cpu}.temperature"] = None if temp is None else _i32(temp)
        nodes[f"dev.cpu.{cpu}.coretemp.tjmax"] = None if tjmax is None else _i32(tjmax)
    return nodes


def utmpx(user, line, host=b"", *, sec=0, usec=0, pid=0, type=None, **fields):
    """A struct utmpx record; a login (USER_PROCESS) unless type= says otherwise."""
    values = {"ut_type": _C["USER_PROCESS"] if type is None else type, "ut_user": user,
              "ut_line": line, "ut_host": host, "ut_tv.tv_sec": sec, "ut_tv.tv_usec": usec,
              "ut_pid": pid}
    values.update(fields)
    return pack("utmpx", values)


def _i32(v):
    return int(v).to_bytes(4, "little", signed=True)
