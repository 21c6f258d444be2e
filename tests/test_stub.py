"""The installed type stub describes the module as it is, where mypy finds it."""
import pathlib
import subprocess
import sys

import pytest

import velmora_core


def test_stub_agrees_with_the_module_and_mypy_finds_it():
    pytest.importorskip("mypy.stubtest")
    # stubtest finds the stub the way mypy does (the stub package), then compares every
    # function's parameters, kinds and defaults with the running module.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "velmora_core"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    beside = pathlib.Path(velmora_core.__file__).with_name("velmora_core.pyi")
    assert beside.read_bytes() == beside.with_name("velmora_core-stubs").joinpath(
        "__init__.pyi").read_bytes()
