#!/bin/sh
# In the guest, before the guest script: the project installed as a user
# installs it, offline, into a fresh virtual environment of the guest's
# CPython: pip (from its wheel, unpacked in /morvex/pip) installs the
# project's wheel from /morvex/wheels. The venv sees the system's
# site-packages, where the image put pytest; the module is only in the venv.
# Usage: sh install-guest.sh VENV (GUEST_PYTHON from /morvex/lab.conf names
# the interpreter). Exits non-zero when anything fails.
VENV=${1:?usage: install-guest.sh VENV}
. /morvex/lab.conf
set -e
t0=$(date +%s)
rm -rf "$VENV"
"$GUEST_PYTHON" -m venv --without-pip --system-site-packages "$VENV"
PIP="env PYTHONPATH=/morvex/pip $VENV/bin/python -m pip"
$PIP install --no-index --find-links /morvex/wheels --disable-pip-version-check --no-cache-dir morvex-bsd
echo "install-guest: pip done at $(( $(date +%s) - t0 )) s"
cd /
# (What pip installed, from its record: a second pip run would cost as much
# as the install under emulation.)
"$VENV/bin/python" -c 'import sys, sysconfig, importlib.metadata as md, _morvex_bsd as m
d = md.distribution("morvex-bsd")
print(d.metadata["Name"], d.version, "files:", *sorted(str(f) for f in d.files))
print("installed:", m.__file__, "platform:", sysconfig.get_platform(), "GIL:", sys._is_gil_enabled())
assert m.__file__.startswith(sys.prefix + "/lib/"), "the module is not the installed one"'
# The module only in the venv: an interpreter that imports it on its own (a
# stale build of the guest's CPython) would let a check that runs it instead
# of the venv's pass.
if "$GUEST_PYTHON" -c 'import _morvex_bsd' 2>/dev/null; then
    echo "install-guest: $GUEST_PYTHON imports _morvex_bsd without the venv" >&2
    exit 1
fi
echo "install-guest: $(( $(date +%s) - t0 )) s"
