#!/bin/sh
# pytest and its dependencies for the guests: pure-Python wheels of the
# version requirements-dev.txt pins, for the guest's CPython version, fetched
# once into the cache's entry freebsd-pytest-wheels. Skipped when already
# there.
. "$(dirname "$0")/common.sh"
[ -d "$WHEELS" ] && exit 0
make_pytest_wheels() {
    PYTEST_REQ=$(grep -E '^pytest==' "$PROJECT/requirements-dev.txt") ||
        lab_die "requirements-dev.txt pins no pytest"
    lab_say "fetching $PYTEST_REQ wheels"
    # (any interpreter with pip fetches them: the host builds have none)
    PIP_PY=""
    for py in "$PROJECT/.venv/bin/python" python3; do
        "$py" -m pip --version >/dev/null 2>&1 && { PIP_PY=$py; break; }
    done
    [ -n "$PIP_PY" ] || lab_die "no interpreter with pip to fetch the pytest wheels"
    mkdir -p "$CACHE_OUT"
    "$PIP_PY" -m pip download -q --disable-pip-version-check --only-binary=:all: \
        --platform any --python-version "$GUEST_PYVER" --implementation py --dest "$CACHE_OUT" "$PYTEST_REQ" ||
        lab_die "cannot download the pytest wheels"
    (cd "$CACHE_OUT" && ls *.whl) >>"$CACHE_OUT.versions"
}
cache_make freebsd-pytest-wheels make_pytest_wheels
