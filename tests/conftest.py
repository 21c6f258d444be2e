import os
import subprocess
import sys

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
