"""The wheel in dist/ installs into a fresh venv with pip alone and runs there on the libraries
it carries.  `make test` runs this when `make wheel` has built a wheel; CI always does.

Set VELMORA_WHEEL to a wheel file to check that one instead of dist/'s.
"""
import json
import os
import pathlib
import re
import subprocess
import sys

import pytest
from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename

try:
    import tomllib
except ImportError:  # Python < 3.11: scikit-build-core brings tomli
    import tomli as tomllib

ROOT = pathlib.Path(__file__).resolve().parents[2]
HERE = pathlib.Path(__file__).resolve().parent
# What the extension links beyond the interpreter, libc, libm and the C++ runtime: libcerf,
# L-BFGS-B with its Fortran runtime and LAPACK/BLAS, oneTBB (libtbbmalloc and libtbbbind are
# loaded by libtbb at run time).  Every copy in the process must come from an installed wheel.
BUNDLED = re.compile(r"lib(cerf|lbfgsb|gfortran|quadmath|lapack|blas|tbb)")
# The venv must find nothing outside itself but the interpreter's own installation.
SCRUBBED = ("LD_LIBRARY_PATH", "LD_PRELOAD", "PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")


def the_wheel():
    if os.environ.get("VELMORA_WHEEL"):
        return pathlib.Path(os.environ["VELMORA_WHEEL"]).resolve()
    tags = set(sys_tags())
    wheels = [w for w in sorted((ROOT / "dist").glob("*.whl"))
              if parse_wheel_filename(w.name)[3] & tags]
    assert len(wheels) == 1, f"want one wheel for this interpreter in dist/, found {wheels}"
    return wheels[0]


def project():
    config = tomllib.loads((ROOT / "pyproject.toml").read_text())
    packages = config["tool"]["scikit-build"].get("wheel", {}).get("packages", [])
    names = packages.keys() if isinstance(packages, dict) else packages
    return config["project"]["name"], [pathlib.PurePosixPath(p).name for p in names]


@pytest.fixture(scope="module")
def report(tmp_path_factory):
    venv = tmp_path_factory.mktemp("venv").resolve()
    env = {k: v for k, v in os.environ.items() if k not in SCRUBBED}
    subprocess.run([sys.executable, "-m", "venv", venv], check=True, env=env)
    python = venv / "bin" / "python"
    done = subprocess.run([python, "-m", "pip", "install", "--quiet", the_wheel()], env=env,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    distribution, packages = project()
    out = venv / "report.json"
    done = subprocess.run([python, HERE / "fit_and_list_maps.py", out, distribution, *packages],
                          env=env, cwd=venv, capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return dict(json.loads(out.read_text()), venv=str(venv), packages_listed=packages)


def test_every_bundled_library_is_loaded_from_the_wheel(report):
    assert report["ld_library_path"] is None
    ours = set(report["files"])
    assert report["module"] in ours
    loaded = [p for p in report["after"] if BUNDLED.match(os.path.basename(p))]
    from_system = [p for p in loaded if not p.startswith(report["venv"] + os.sep)]
    assert not from_system, f"loaded from outside the venv: {from_system}"
    # NumPy's wheel brings its own Fortran runtime; whatever came with velmora_core is ours.
    by_import = [p for p in loaded if p not in report["before"]]
    assert all(os.path.realpath(p) in ours for p in by_import), by_import
    assert len(report["fits"]) == 6
    for name, (n_iter, finite) in report["fits"].items():
        assert n_iter > 0 and finite, name


def test_wheel_carries_the_stubs_and_every_listed_package(report):
    site = pathlib.Path(report["site"])
    for stub in ("velmora_core.pyi", "velmora_core-stubs/__init__.pyi",
                 "velmora_core-stubs/py.typed"):
        assert str(site / stub) in report["files"], stub
    assert sorted(report["packages"]) == sorted(report["packages_listed"])
    for name, package in report["packages"].items():
        init = pathlib.Path(package["file"])
        assert str(init) in report["files"], f"{name} was not imported from the wheel"
        assert str(init.with_name("py.typed")) in report["files"], f"{name} has no py.typed"
        assert package["version"] == report["version"], f"{name}.__version__"
