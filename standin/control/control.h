// The control module _fakebsd: how tests build and install simulated machines.
#pragma once

#include <Python.h>

#include <string>

#include "../src/machine.h"
#include "../src/providers.h"
#include "../src/registry.h"
#include "pyref.h"

namespace fakebsd {

// Converters shared by the group loaders. Each returns false with a Python
// exception set when the value has the wrong type.
bool as_bytes(PyObject *o, std::string &out);              // bytes, bytearray or str (UTF-8)
bool as_long(PyObject *o, long long &out);
bool as_mib(PyObject *o, Mib &out);                       // sequence of int
bool as_bytes_list(PyObject *o, std::vector<std::string> &out);
// Look up an optional key of a description dict (borrowed, or null).
PyObject *item(PyObject *desc, const char *key);

// Group loaders: read their own keys of the description into the machine.
// Each returns 0, or -1 with an exception set.
int load_creds(Machine &m, PyObject *desc);
int load_busy_host(Machine &m, PyObject *desc);  // load_busy.cpp
int load_procs(Machine &m, PyObject *desc);
int load_cpumem(Machine &m, PyObject *desc);
int load_socks(Machine &m, PyObject *desc);
int load_ifs(Machine &m, PyObject *desc);
int load_disks(Machine &m, PyObject *desc);
int load_users(Machine &m, PyObject *desc);

}  // namespace fakebsd
