"""The library writes nothing to standard output, even when its minimiser meets a search
direction that is not a descent direction (the reference L-BFGS-B prints a line then)."""
from conftest import run_python

# A pseudo-Voigt mixture whose full optimisation meets such directions.
SCRIPT = """
import sys
sys.path.insert(0, {tests!r})
import test_pseudo_voigt as t
t.test_em_recovers_overlapping_raman_bands(2, 1, 1, True)
t.test_em_recovers_overlapping_raman_bands(6, 1, 5, True)
"""


def test_minimiser_failures_print_nothing():
    import pathlib
    out = run_python(SCRIPT.format(tests=str(pathlib.Path(__file__).parent)))
    assert out == ""
