import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import velmora_core

# tests/wheel installs the built wheel into a venv of its own; `make test-wheel` runs it.
collect_ignore = ["wheel"]


def internal_error_type():
    """The extension's internal-error class (deliberately not a module attribute)."""
    x = np.zeros(3)
    try:
        velmora_core.run_em_loop(x, x, x, x, x, x, [False] * 3, [False] * 3, 0, 0.0, 0.0, 1.0)
    except BaseException as exc:  # noqa: B036 - the class derives from BaseException
        return type(exc)
    raise AssertionError("the same array in two in-place roles was accepted")


InternalError = internal_error_type()


def run_python(code, threads=None, timeout=300):
    """Runs `code` in a fresh interpreter (optionally with a pool size); returns stdout."""
    env = dict(os.environ)
    env.pop("RAYON_RS_NUM_CPUS", None)
    # The script may import the test helpers that live beside this file.
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (here, env.get("PYTHONPATH")) if p)
    if threads is None:
        env.pop("RAYON_NUM_THREADS", None)
    else:
        env["RAYON_NUM_THREADS"] = str(threads)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, done.stderr
    return done.stdout


def interrupt(code, args=(), after=0.15, env=None, timeout=120):
    """Runs `code` in a fresh interpreter that prints "go" just before a long call and
    "interrupted <time.monotonic()>" once KeyboardInterrupt reaches it; sends SIGINT `after`
    seconds past "go".  Returns the delay from the signal to the exception (None when the
    call was not interrupted), the child's further output lines, and its stderr."""
    child = subprocess.Popen([sys.executable, "-c", code, *args], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        if child.stdout.readline() != "go\n":
            return None, [], child.communicate(timeout=timeout)[1]
        time.sleep(after)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=timeout)
    finally:
        child.kill()
    first, *rest = out.split("\n")
    if not first.startswith("interrupted "):
        return None, [first, *rest], err
    return float(first.split()[1]) - sent, rest, err


def spectrum(n=400, centres=(3.0, 5.0, 7.5), widths=(0.6, 0.9, 0.4), heights=(300, 200, 250),
             lo=0.0, hi=10.0, seed=1):
    """A grid and Poisson counts from a sum of Gaussian peaks."""
    rng = np.random.default_rng(seed)
    x = np.linspace(lo, hi, n)
    rate = sum(h * np.exp(-0.5 * ((x - c) / w) ** 2) for c, w, h in zip(centres, widths, heights))
    return x, rng.poisson(rate + 1.0).astype(np.float64)


@pytest.fixture
def small_fit():
    """Arguments of a small, well-posed three-peak run_em_loop call."""
    x, intensity = spectrum(n=120)
    return dict(x=x, intensity=intensity, mu=np.array([2.5, 5.5, 7.0]),
                sigma=np.array([1.0, 1.0, 1.0]), pi=np.full(3, 1 / 3),
                dirichlet_alpha=np.ones(3), fix_mu=[False] * 3, fix_sigma=[False] * 3,
                max_iter=20, r_eps=1e-12, x_min=0.0, x_max=10.0)


_REPO = Path(__file__).resolve().parents[1]


def vendor_folder():
    """The folder of real instrument files from public repositories (its README gives each
    file's source, licence and values read by hand), or None when this checkout has none."""
    for candidate in (os.environ.get("VELMORA_VENDOR_DATA"),
                      _REPO.parent / "shared" / "data" / "vendor",
                      "/work/shared/data/vendor"):
        if candidate and Path(candidate, "README.md").is_file():
            return Path(candidate)
    return None


@pytest.fixture(scope="session")
def vendor():
    """The folder of real instrument files (see :func:`vendor_folder`)."""
    folder = vendor_folder()
    if folder is None:
        pytest.skip("no folder of real instrument files: set VELMORA_VENDOR_DATA")
    return folder
