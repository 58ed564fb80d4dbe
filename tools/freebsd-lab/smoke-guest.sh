#!/bin/sh
# The lab's own check that the guest works, for when no real-kernel suite is
# there: the interpreter, the module against the live kernel, pytest.
# Usage: sh smoke-guest.sh OUTDIR; writes OUTDIR/status (0 when all went well).
OUT=$1
uname -a >"$OUT/uname.txt"
# What the guest is, for comparing with what the module says.
{ sysctl kern.osrelease kern.clockrate hw.ncpu hw.physmem hw.pagesize kern.boottime
  ifconfig -a; mount -p; id nobody; id labuser; } >"$OUT/machine.txt" 2>&1
python3 -c 'import sys, sysconfig; print(sys.version, sys.platform, sysconfig.get_config_var("SOABI"), sys._is_gil_enabled())'
python3 -c 'import ctypes, zlib, gzip, json, base64, socket, select, resource, subprocess, threading, pytest; print("modules ok, pytest", pytest.__version__)' &&
python3 -c 'import _morvex_bsd as m; print(m.pids()[:5]); print(m.cpu_count_logical(), m.boot_time(), m.net_if_mtu("lo0"))'
rc=$?
# The capture command against the real libraries.
python3 /morvex/capture.py "$OUT/capture.jsonl.gz" || rc=1
echo $rc >"$OUT/status"
