"""The shipped type stubs describe the module as it is."""

import ast
import os
import subprocess
import sys

import pytest

import _morvex_bsd as m

STUB = os.path.join(os.path.dirname(m.__file__), "_morvex_bsd-stubs", "__init__.pyi")


def stub_names():
    tree = ast.parse(open(STUB).read())
    names = set()
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
    return names


def test_stub_is_installed_beside_the_module():
    assert os.path.exists(STUB)


def test_stub_and_module_list_the_same_names():
    public = {k for k in vars(m) if not k.startswith("__")}
    assert stub_names() - {"Address", "Connection", "ProcConnection", "CpuTimes",
                           "OneshotInfo"} == public


@pytest.mark.parallel_threads(1)
def test_sample_caller_passes_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    sample = os.path.join(os.path.dirname(__file__), "typing", "sample_caller.py")
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                        "--cache-dir", str(tmp_path), sample],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
