import os
import shutil
import subprocess
import sys
import sysconfig

import pytest

import _morvex_bsd as m
import fakebsd

# tests/real runs inside a FreeBSD guest (make check-real-freebsd), against
# the real kernel; here its conftest would shadow this one.
collect_ignore = ["real"]


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


# The interpreter decodes file names with surrogateescape, which takes any
# byte string; only an interpreter configured with strict file-system errors
# can fail. Such an interpreter is embedded in a small launcher.

LAUNCHER = r"""
#include <Python.h>
int main(int argc, char **argv) {
    PyConfig config;
    PyConfig_InitPythonConfig(&config);
    PyStatus st = PyConfig_SetString(&config, &config.filesystem_errors, L"strict");
    if (!PyStatus_Exception(st))
        st = PyConfig_SetBytesString(&config, &config.home, HOME);
    if (!PyStatus_Exception(st))
        st = PyConfig_SetBytesArgv(&config, argc, argv);
    if (!PyStatus_Exception(st))
        st = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(st))
        Py_ExitStatusException(st);
    return Py_RunMain();
}
"""


def _no_sanitizers(env):
    return {k: v for k, v in env.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS",
                                                      "UBSAN_OPTIONS")}


@pytest.fixture(scope="session")
def strict_python(tmp_path_factory):
    """run(code): code run by an embedded interpreter with strict
    file-system errors (the module and the stand-in importable); returns the
    completed process."""
    cc = shutil.which(sysconfig.get_config_var("CC").split()[0]) or shutil.which("cc")
    libdir = sysconfig.get_config_var("LIBDIR")
    lib = f"python{sysconfig.get_config_var('LDVERSION')}"
    if not cc or not libdir or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("no compiler or no shared libpython to embed")
    out = tmp_path_factory.mktemp("strict") / "strict-python"
    src = out.with_suffix(".c")
    src.write_text(LAUNCHER)
    # An interpreter built with a sanitizer needs a launcher built with it too
    # (ThreadSanitizer must be the first library the process loads).
    sanitizers = [f for f in (sysconfig.get_config_var("CFLAGS") or "").split()
                  if f.startswith("-fsanitize")]
    cmd = [cc, *sanitizers, str(src), "-o", str(out), f"-I{sysconfig.get_paths()['include']}",
           f"-DHOME=\"{sys.base_prefix}\"", f"-L{libdir}", f"-Wl,-rpath,{libdir}", f"-l{lib}"]
    r = subprocess.run(cmd, capture_output=True, text=True, env=_no_sanitizers(os.environ))
    if r.returncode != 0:
        pytest.skip(f"cannot build the embedding launcher: {r.stderr[-500:]}")
    paths = sysconfig.get_paths()
    env = {k: v for k, v in os.environ.items() if not k.startswith("MORVEX_")}
    env["PYTHONPATH"] = os.pathsep.join([paths["platlib"], paths["purelib"]])

    def run(code):
        return subprocess.run([str(out), "-c", code], capture_output=True, text=True, env=env,
                              timeout=60)
    return run
