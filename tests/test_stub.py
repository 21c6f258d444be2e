"""The installed type stub describes the module as it is."""
import ast
import pathlib
import subprocess
import sys

import pytest

import velmora_core


def test_stub_agrees_with_the_module_and_mypy_finds_it():
    pytest.importorskip("mypy.stubtest")
    # stubtest finds the stub the way mypy does, then compares every function's parameters,
    # kinds and defaults with the running module.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "velmora_core"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr

    beside = pathlib.Path(velmora_core.__file__).with_name("velmora_core.pyi")
    package = beside.with_name("velmora_core-stubs")
    assert (package / "__init__.pyi").read_bytes() == beside.read_bytes()
    assert (package / "py.typed").exists()
    functions = [f for f in ast.parse(beside.read_text()).body if isinstance(f, ast.FunctionDef)]
    assert {f.name for f in functions} == set(velmora_core.__all__) | {"_status_line",
                                                                  "_on_calling_thread"}
    assert all(ast.get_docstring(f) for f in functions)
