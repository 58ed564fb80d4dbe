#!/bin/sh
# The test suite with the module and the stand-in built under AddressSanitizer
# (leak detection on) and UndefinedBehaviorSanitizer. Any report fails the run.
# Arguments, if any, replace the test paths (and may add pytest options):
#   sh tools/check-asan.sh tests/gates/test_fuzz.py
#
# The free-threaded interpreter keeps its own allocator (it refuses
# PYTHONMALLOC=malloc), so the sanitizers watch the allocations of the module
# and of the stand-in, which is what this check is about.
set -eu
cd "$(dirname "$0")/.."
CACHE="${MORVEX_CACHE:-$HOME/.cache/morvex}"
PYTHON_FT="$(sh tools/cache.sh path python3.13t)/bin/python3.13t"
VENV=.venv-asan
VPY=$VENV/bin/python

[ -x "$PYTHON_FT" ] || MORVEX_CACHE="$CACHE" sh tools/bootstrap-python.sh
# A venv of another interpreter (an older entry of the cache) is made again.
if [ ! -f $VENV/.ready ] || [ requirements-dev.txt -nt $VENV/.ready ] ||
        [ "$(readlink -f $VENV/bin/python)" != "$(readlink -f "$PYTHON_FT")" ]; then
    rm -rf $VENV
    "$PYTHON_FT" -m venv $VENV
    $VPY -m pip install -q --disable-pip-version-check -r requirements-dev.txt
    touch $VENV/.ready
fi
$VPY -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
    -C build-dir=build/asan -C cmake.define.MORVEX_SANITIZE=address .

ASAN_LIB=$(gcc -print-file-name=libasan.so)
UBSAN_LIB=$(gcc -print-file-name=libubsan.so)
REPORTS=$(mktemp -d)
trap 'rm -rf "$REPORTS"' EXIT

export LD_PRELOAD="$ASAN_LIB $UBSAN_LIB"
# An allocation no memory can satisfy fails as malloc fails on FreeBSD (a null
# pointer), so the module's answer to it is what gets tested.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=97:log_path=$REPORTS/asan:detect_odr_violation=0:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=98:log_path=$REPORTS/ubsan"
export LSAN_OPTIONS="suppressions=$(pwd)/tools/lsan.supp:print_suppressions=0"
export MORVEX_SANITIZED=1

[ $# -gt 0 ] || set -- tests
status=0
$VPY -m pytest -q -p no:cacheprovider "$@" || status=$?
unset LD_PRELOAD

# With allocator_may_return_null, a refused huge allocation (a malformed
# length the module turns into MemoryError) leaves only a "failed to
# allocate" warning in the log; every real report carries "ERROR:".
if ls "$REPORTS"/* >/dev/null 2>&1 && grep -q -e "ERROR:" -e "runtime error" "$REPORTS"/*; then
    cat "$REPORTS"/*
    echo "check-asan: sanitizer reports above" >&2
    exit 1
fi
if [ $status -ne 0 ]; then
    echo "check-asan: the test suite failed under the sanitizers (status $status)" >&2
    exit $status
fi
echo "check-asan: no sanitizer reports"
