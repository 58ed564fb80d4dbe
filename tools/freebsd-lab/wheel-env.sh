#!/bin/sh
# The venv the FreeBSD wheels are built in (venv/), and pip's wheel for the
# guests (pip-wheel/): the cache's entry freebsd-wheel-env. The venv is one of
# the host's build of the guest's CPython version (its interpreter and ABI
# tags are the wheel's), without pip of its own: pip, run from the wheel that
# interpreter carries (ensurepip's), installs the scikit-build-core of
# requirements-dev.txt into it. That same pip wheel installs the project in
# the guests. Skipped when already there.
. "$(dirname "$0")/common.sh"
[ -d "$WHEEL_ENV" ] && exit 0
[ -x "$HOST_PY" ] || lab_die "no host $PYT at $HOST_PY (run.sh bootstraps it)"
make_wheel_env() {
    SKBUILD_REQ=$(grep -E '^scikit-build-core==' "$PROJECT/requirements-dev.txt") ||
        lab_die "requirements-dev.txt pins no scikit-build-core"
    BUNDLED=$("$HOST_PY" -c 'import ensurepip, os; print(os.path.dirname(ensurepip.__file__))')/_bundled
    PIP_WHEEL=$(ls "$BUNDLED"/pip-*.whl 2>/dev/null | head -n1)
    [ -n "$PIP_WHEEL" ] || lab_die "$HOST_PY carries no pip wheel in $BUNDLED"
    mkdir -p "$CACHE_OUT/pip-wheel"
    cp "$PIP_WHEEL" "$CACHE_OUT/pip-wheel/"
    basename "$PIP_WHEEL" >>"$CACHE_OUT.versions"
    "$HOST_PY" -m venv --without-pip "$CACHE_OUT/venv"
    PYTHONDONTWRITEBYTECODE=1 "$CACHE_OUT/venv/bin/python" "$PIP_WHEEL/pip" install -q \
        --disable-pip-version-check --no-cache-dir "$PIP_WHEEL" "$SKBUILD_REQ" ||
        lab_die "cannot install $SKBUILD_REQ"
    echo "$SKBUILD_REQ" >>"$CACHE_OUT.versions"
}
cache_make freebsd-wheel-env make_wheel_env
