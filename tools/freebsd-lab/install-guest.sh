#!/bin/sh
# In the guest, before the guest script: the project installed as a user
# installs it, into a fresh virtual environment of the guest's CPython,
# offline: pip (from its wheel, unpacked in /morvex/pip with its bytecode)
# installs the project's wheel and pytest from /morvex/wheels. Nothing is
# compiled to bytecode at install (the guest's disk is a snapshot, and under
# emulation compiling all of pytest's dependencies takes minutes); imports
# compile what they use. Usage: sh install-guest.sh VENV (GUEST_PYTHON from
# /morvex/lab.conf names the interpreter). Exits non-zero when anything fails.
VENV=${1:?usage: install-guest.sh VENV}
WHEELS=/morvex/wheels
. /morvex/lab.conf
set -e
t0=$(date +%s)
rm -rf "$VENV"
"$GUEST_PYTHON" -m venv --without-pip "$VENV"
PIP="env PYTHONPATH=/morvex/pip $VENV/bin/python -m pip"
echo "install-guest: venv made in $(( $(date +%s) - t0 )) s"
$PIP install --no-index --find-links "$WHEELS" --disable-pip-version-check --no-compile --no-cache-dir \
    morvex-bsd pytest
$PIP show -f morvex-bsd
cd /
"$VENV/bin/python" -c 'import sys, sysconfig, _morvex_bsd as m
print("installed:", m.__file__, "platform:", sysconfig.get_platform(), "GIL:", sys._is_gil_enabled())
assert m.__file__.startswith(sys.prefix + "/lib/"), "the module is not the installed one"'
echo "install-guest: $(( $(date +%s) - t0 )) s"
