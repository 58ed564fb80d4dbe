// Hardware sensors by sysctl name: the ACPI battery, and one CPU's temperature
// with its maximum junction temperature. A machine without the sensor has no
// such name (ENOENT), which is reported as NotImplementedError.
#include "../../module/functions.h"

namespace {

// Room for "dev.cpu.%d.coretemp.tjmax" (the longer name) with any int index:
// the fixed text, up to ten digits and a sign, and the NUL.
constexpr size_t kNameSize = sizeof("dev.cpu..coretemp.tjmax") + 11;
static_assert(sizeof("dev.cpu.-2147483648.coretemp.tjmax") <= kNameSize, "the lowest index fits");

// Kernel values in tenths of a kelvin to whole degrees Celsius, truncated
// toward zero. (Widened first, so that no value overflows the subtraction.)
int decikelvin_to_celsius(int value) {
    return static_cast<int>((static_cast<long long>(value) - 2731) / 10);
}

// Replace the exception of a failed sensor read: no such name means no such
// sensor; anything else is an OSError from errno. An over-long answer is no
// failed call (errno says nothing about it): its RuntimeError stands.
PyObject *sensor_read_failed(const char *missing) {
    if (PyErr_ExceptionMatches(PyExc_RuntimeError))
        return nullptr;
    int err = errno;
    PyErr_Clear();
    errno = err;
    if (err == ENOENT) {
        PyErr_SetString(PyExc_NotImplementedError, missing);
        return nullptr;
    }
    return morvex_oserror();
}

}  // namespace

extern "C" {

PyObject *morvex_sensors_battery(PyObject *, PyObject *) {
    int life = 0, time = 0, acline = 0;
    if (morvex_sysctlbyname("hw.acpi.battery.life", &life, sizeof life) != 0 ||
        morvex_sysctlbyname("hw.acpi.battery.time", &time, sizeof time) != 0 ||
        morvex_sysctlbyname("hw.acpi.acline", &acline, sizeof acline) != 0)
        return sensor_read_failed("no battery");
    return Py_BuildValue("iii", life, time, acline);
}

PyObject *morvex_sensors_cpu_temperature(PyObject *, PyObject *args) {
    int cpu;
    if (!PyArg_ParseTuple(args, "i", &cpu))
        return nullptr;
    char name[kNameSize];
    int value = 0;
    str_format(name, sizeof name, "dev.cpu.%d.temperature", cpu);
    if (morvex_sysctlbyname(name, &value, sizeof value) != 0)
        return sensor_read_failed("no temperature sensors");
    int current = decikelvin_to_celsius(value);

    // A CPU without a coretemp maximum (another temperature driver) still
    // has a temperature: report the maximum as -273.
    int maximum = -273;
    value = 0;
    str_format(name, sizeof name, "dev.cpu.%d.coretemp.tjmax", cpu);
    if (morvex_sysctlbyname(name, &value, sizeof value) != 0)
        PyErr_Clear();
    else
        maximum = decikelvin_to_celsius(value);
    return Py_BuildValue("ii", current, maximum);
}

}  // extern "C"
