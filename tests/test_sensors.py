"""Battery state and CPU temperatures from the kernel's sensor nodes."""

import errno
import os

import pytest

import _morvex_bsd as m
import fakebsd
from fakebsd import battery, fault, temperatures

BATTERY_NAMES = ["hw.acpi.battery.life", "hw.acpi.battery.time", "hw.acpi.acline"]


def sysctl_reads():
    return [k for c, k in fakebsd.calls() if c == "sysctlbyname"]


@pytest.mark.parametrize("decikelvin,celsius", [
    (3232, 50), (2731, 0),
    (2725, 0),     # -0.6 truncates toward zero
    (2721, -1), (2631, -10), (0, -273), (2732, 0), (2741, 1),
    (2**31 - 1, 214748091), (-2**31, -214748637),  # no overflow at the ends
])
def test_temperature_conversion(machine, decikelvin, celsius):
    machine({"sysctl": temperatures({0: (decikelvin, decikelvin)})})
    assert m.sensors_cpu_temperature(0) == (celsius, celsius)


def test_temperature_reads_this_cpus_nodes(machine):
    machine({"sysctl": temperatures({2: (3000, 3731)})})
    assert m.sensors_cpu_temperature(2) == (26, 100)
    assert sysctl_reads() == ["dev.cpu.2.temperature", "dev.cpu.2.coretemp.tjmax"]


@pytest.mark.parametrize("cpu", [100, 1023, 65535, 2**31 - 1, -2**31])
def test_temperature_of_any_cpu_index(machine, cpu):
    machine({"sysctl": temperatures({cpu: (3232, 3731)})})
    assert m.sensors_cpu_temperature(cpu) == (50, 100)
    assert sysctl_reads() == [f"dev.cpu.{cpu}.temperature", f"dev.cpu.{cpu}.coretemp.tjmax"]


@pytest.mark.parametrize("tjmax_fault", [
    None,                                                   # another driver: no coretemp node
    fault("sysctlbyname", "dev.cpu.1.coretemp.tjmax", errno=errno.EACCES),
    fault("sysctlbyname", "dev.cpu.1.coretemp.tjmax", answer=b"\0" * 8),  # too long an answer
])
def test_missing_maximum(machine, tjmax_fault):
    machine({"sysctl": temperatures({1: (3232, None if tjmax_fault is None else 3731)}),
             "faults": [tjmax_fault] if tjmax_fault else []})
    assert m.sensors_cpu_temperature(1) == (50, -273)


@pytest.mark.parametrize("cpu", [4, -1, 100])
def test_no_such_cpu(machine, cpu):
    machine()
    with pytest.raises(NotImplementedError, match="^no temperature sensors$"):
        m.sensors_cpu_temperature(cpu)
    assert sysctl_reads() == [f"dev.cpu.{cpu}.temperature"]


@pytest.mark.parametrize("err,cls", [(errno.EACCES, PermissionError), (errno.EIO, OSError),
                                     (errno.ENOMEM, OSError)])
def test_temperature_read_fails(machine, err, cls):
    machine({"faults": [fault("sysctlbyname", "dev.cpu.0.temperature", errno=err)]})
    with pytest.raises(OSError) as e:
        m.sensors_cpu_temperature(0)
    # errno and its text only, without the sysctl name
    assert type(e.value) is cls and e.value.args == (err, fakebsd.strerror(err))
    assert sysctl_reads() == ["dev.cpu.0.temperature"]


@pytest.mark.parametrize("arg,exc", [("0", TypeError), (2**31, OverflowError), (1.5, TypeError)])
def test_temperature_bad_argument(machine, arg, exc):
    machine()
    with pytest.raises(exc):
        m.sensors_cpu_temperature(arg)
    assert fakebsd.calls() == []


@pytest.mark.parametrize("values", [(80, 95, 0), (100, -1, 1), (0, 0, 0)])
def test_battery(machine, values):
    machine({"sysctl": battery(*values)})
    assert m.sensors_battery() == values
    assert sysctl_reads() == BATTERY_NAMES


def test_no_battery_on_the_default_machine(machine):
    machine()
    with pytest.raises(NotImplementedError, match="^no battery$"):
        m.sensors_battery()
    assert sysctl_reads() == BATTERY_NAMES[:1]


@pytest.mark.parametrize("missing", range(3))
def test_battery_name_missing(machine, missing):
    nodes = battery(80, 95, 1)
    nodes[BATTERY_NAMES[missing]] = None
    machine({"sysctl": nodes})
    with pytest.raises(NotImplementedError, match="^no battery$"):
        m.sensors_battery()
    # the first failure ends the reading
    assert sysctl_reads() == BATTERY_NAMES[:missing + 1]


@pytest.mark.parametrize("err,cls", [(errno.EPERM, PermissionError), (errno.EIO, OSError)])
def test_battery_read_fails(machine, err, cls):
    machine({"sysctl": battery(80, 95, 1),
             "faults": [fault("sysctlbyname", "hw.acpi.battery.time", errno=err)]})
    with pytest.raises(OSError) as e:
        m.sensors_battery()
    assert type(e.value) is cls and e.value.args == (err, fakebsd.strerror(err))


@pytest.mark.parametrize("call,name", [
    (lambda: m.sensors_battery(), "hw.acpi.battery.life"),
    (lambda: m.sensors_cpu_temperature(0), "dev.cpu.0.temperature"),
])
def test_overlong_answer_keeps_its_size_mismatch(machine, call, name):
    # An answer longer than the 4-byte value is no failed call: a stale errno
    # must not turn it into an OSError or a NotImplementedError.
    machine({"sysctl": {name: b"\x01" * 4}, "faults": [fakebsd.fault("sysctlbyname", name, report=8)]})
    with pytest.raises(RuntimeError, match="size mismatch: returned 8, expected 4"):
        call()
