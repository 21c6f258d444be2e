"""The starts the core reads from spectra are the package's own, and a batch whose starts the
core reads gives the same fits however its spectra are cut into calls."""
import numpy as np
import pytest
import velmora
import velmora_core
from velmora.axis import Axis
from velmora.shapes import SHAPES

from simulated import CASES, simulate
from test_package_engine import BE, au4f, au4f_peaks


def core_and_package_starts(x, Y, peaks, **options):
    grid = velmora.Model(peaks, **options).grid(x, Axis())
    assert grid.start_rule is not None
    counts, _, _ = grid.window_rows(Y)
    ours = grid.read_starts(counts)
    core = velmora_core._engine_starts(grid.engine_model(), counts.ravel())
    m = counts.shape[0]
    usable = np.array([p is None for p in ours.problems])
    assert np.array_equal(core["usable"] == 1, usable)
    return core["theta"].reshape(m, -1), core["values"].reshape(m, -1), ours


# The core forms its sums and percentiles as NumPy 2 does; NumPy 1 rounds some of those steps
# differently in the last digit, which moves a width read by an ulp.
EXACT = np.lib.NumpyVersion(np.__version__) >= "2.0.0"


def same(core, ours):
    if EXACT:
        return np.array_equal(core, ours, equal_nan=True)
    return np.allclose(core, ours, rtol=1e-13, atol=0, equal_nan=True)


def test_the_core_reads_the_starts_the_package_reads():
    for shape, (x, _, _, options) in CASES.items():
        Y = np.array([simulate(shape, seed=s)[1] for s in range(12)])
        kw = {"beta": options["beta"]} if "beta" in options else {}
        spec = SHAPES[shape]
        far, near = (CASES[shape][1][k][0][spec.location] for k in (1, 0))
        width = spec.widths[0] if spec.widths else None
        models = [
            ([velmora.Peak(shape, **kw)], dict(background="uniform")),
            ([velmora.Peak(shape, **{spec.location: far}, **kw),
              velmora.Peak(shape, **{spec.location: near}, **kw)], dict(background="linear")),
        ]
        if width:
            models += [([velmora.Peak(shape, fix=(width,), **kw)], dict(background=None)),
                       ([velmora.Peak(shape, bounds={width: (0.01, 0.05)}, **kw)],
                        dict(background="spline", window=(x[20], x[-30])))]
        # A full width given as a start, and the fwhm variant (fwhm bounded).
        fwhm = 0.07 * (x[-1] - x[0])
        models += [([velmora.Peak(shape, fwhm=fwhm, **kw)], dict(background="uniform")),
                   ([velmora.Peak(shape, bounds={"fwhm": (0.5 * fwhm, 2 * fwhm)}, **kw)],
                    dict(background="uniform"))]
        for peaks, opts in models:
            theta, values, ours = core_and_package_starts(x, Y, peaks, **opts)
            # One peak, or peaks read at given positions: the same numbers to the bit.
            assert same(theta, ours.theta), (shape, opts)
            assert same(values, ours.values), (shape, opts)
    Y = np.array([au4f(seed=s) for s in range(12)])
    doublet = [velmora.Peak("doniach_sunjic", name="a"),
               velmora.Peak("doniach_sunjic", name="b", x0="a.x0 + 3.67", area="0.75 * a.area")]
    for peaks, energy in [(au4f_peaks(), "binding"), (au4f_peaks(), "kinetic"),
                          (doublet, "binding"),
                          # a tie that puts the centre outside the window: no usable start
                          ([velmora.Peak("gaussian", name="a"),
                            velmora.Peak("gaussian", x0="a.x0 + 30")], "binding")]:
        theta, values, ours = core_and_package_starts(BE, Y, peaks, background="shirley",
                                                      energy=energy)
        # Peaks read after others were taken off: NumPy's vectorised exp may differ from the
        # C library's in the last digit.
        assert np.allclose(theta, ours.theta, rtol=1e-13, atol=0, equal_nan=True)
        assert np.allclose(values, ours.values, rtol=1e-13, atol=0, equal_nan=True)


def test_a_batch_read_in_the_core_is_the_same_in_calls_of_any_length(monkeypatch):
    from velmora import grid as grid_module

    x, _, _, _ = CASES["gaussian"]
    Y = np.array([[simulate("gaussian", seed=3 * r + c)[1] for c in range(5)] for r in range(3)])
    Y[1, 2] = 0.0
    peaks = [velmora.Peak("gaussian", fix=("sigma",)), velmora.Peak("gaussian")]
    for warm in ("none", "previous"):
        whole = velmora.fit_many(x, Y, peaks, background="linear", warm_start=warm,
                                 workers=2, chunks=(3, 5), progress=False)
        with monkeypatch.context() as m:
            # Calls of two spectra: paths and fixed values read per path carry across calls.
            m.setattr(grid_module, "CALL_SPECTRA", 2)
            m.setattr(grid_module, "BURST", 2)
            cut = velmora.fit_many(x, Y, peaks, background="linear", warm_start=warm,
                                   workers=1, chunks=(3, 5), progress=False)
        for name in whole.names:
            assert np.array_equal(whole.values[name], cut.values[name], equal_nan=True)
            assert np.array_equal(whole.stderr[name], cut.stderr[name], equal_nan=True)
        assert whole.summary() == cut.summary() == {"ok": 14, "no counts": 1}
        alone = velmora.fit(x, Y[0, 0], peaks, background="linear")
        assert alone.evaluations > alone.n_iter > 0
        assert alone.log_likelihood == whole.log_likelihood[0, 0]


def test_a_start_the_core_cannot_fit_from_is_refused_with_the_packages_reason():
    Y = au4f(seed=1)
    with pytest.raises(ValueError, match="outside the fitting window"):
        velmora.fit(BE, Y, [velmora.Peak("gaussian", name="a"),
                            velmora.Peak("gaussian", x0="a.x0 + 30")], background="uniform")
