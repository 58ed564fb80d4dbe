#!/bin/sh
# The test suite under ThreadSanitizer, every test run in 4 threads at once
# (the thread stress test included), with the module and the stand-in built
# with -fsanitize=thread and run by a free-threaded interpreter that is itself
# built with ThreadSanitizer: TSan has to see every memory access and every
# lock of the process, the interpreter's included, or it reports races that
# are not there and misses those that are. Any report fails the run; the
# suppressions (tools/tsan.supp) cover only the interpreter's own races.
#
#   tools/check-tsan.sh [test files or pytest arguments]
# With arguments, they replace the whole suite (`make check-tsan-ci` names
# the concurrency tests).
set -eu
cd "$(dirname "$0")/.."
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
# The free-threaded 3.14 (from the release sources in CPYTHON_SOURCES, as
# `make PY=3.14t` builds it), the release free-threaded users run.
PYTHON_TSAN="$(sh tools/cache.sh path python3.14t-tsan)/bin/python3.14t"
VENV=.venv-tsan
VPY=$VENV/bin/python

[ -x "$PYTHON_TSAN" ] || TSAN=1 VERSION=3.14 MORVEX_CACHE="$CACHE" sh tools/bootstrap-python.sh
# A venv made by another interpreter (3.13t's TSan build, before) is made again.
if [ ! -f $VENV/.ready ] || [ requirements-dev.txt -nt $VENV/.ready ] ||
        [ "$(readlink -f $VENV/bin/python)" != "$(readlink -f "$PYTHON_TSAN")" ]; then
    rm -rf $VENV
    "$PYTHON_TSAN" -m venv $VENV
    $VPY -m pip install -q --disable-pip-version-check -r requirements-dev.txt
    touch $VENV/.ready
fi
# Rebuild only when a source changed (pip under TSan is slow).
if [ ! -f $VENV/.built ] || [ -n "$(find src standin CMakeLists.txt pyproject.toml -newer $VENV/.built \
        -type f ! -name '*.pyc' 2>/dev/null | head -n1)" ]; then
    $VPY -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
        -C "build-dir=build/tsan/{wheel_tag}" -C cmake.define.MORVEX_SANITIZE=thread .
    touch $VENV/.built
fi

REPORTS=$(mktemp -d)
trap 'rm -rf "$REPORTS"' EXIT

# Child interpreters the tests start inherit these and report too.
export TSAN_OPTIONS="halt_on_error=0:exitcode=66:allocator_may_return_null=1:log_path=$REPORTS/tsan:suppressions=$(pwd)/tools/tsan.supp:print_suppressions=0:second_deadlock_stack=1"
export MORVEX_SANITIZED=1

status=0
[ $# -gt 0 ] || set -- tests
$VPY -m pytest -q -p no:cacheprovider --parallel-threads=4 "$@" || status=$?

# A refused huge allocation (a malformed length the module turns into
# MemoryError) leaves only a warning without "ThreadSanitizer:" or "ERROR:";
# every real report carries one of them.
if ls "$REPORTS"/* >/dev/null 2>&1 && grep -q -e "WARNING: ThreadSanitizer" -e "ERROR:" "$REPORTS"/*; then
    cat "$REPORTS"/*
    echo "check-tsan: ThreadSanitizer reports above" >&2
    exit 1
fi
if [ $status -ne 0 ]; then
    echo "check-tsan: the test suite failed under ThreadSanitizer (status $status)" >&2
    exit $status
fi
echo "check-tsan: no ThreadSanitizer reports"
