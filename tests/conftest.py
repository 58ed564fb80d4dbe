import os
import subprocess
import sys

import pytest

import _morvex_bsd as m
import fakebsd


@pytest.fixture
def machine():
    """Install a machine for this test's thread: machine(desc, base=...).

    Each call replaces the previous one; the thread's machine is dropped when
    the test ends, so tests running in parallel threads never see each other's.
    """
    def install(desc=None, base="default"):
        fakebsd.install(desc, "thread", base)
        fakebsd.clear_calls()

    yield install
    fakebsd.uninstall()


@pytest.fixture
def no_leaks():
    """Fails the test when a platform handle is left open by the module."""
    yield
    left = {k: v for k, v in fakebsd.resources().items() if v}
    assert not left, f"handles left open: {left}"


def run_python(code, env=None):
    """Run code in a fresh interpreter; returns the completed process."""
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("MORVEX_")}
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=full_env, timeout=60)
