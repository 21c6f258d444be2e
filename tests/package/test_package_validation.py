"""Bad input is refused before any fitting starts, with an error naming the argument, and the
caller's arrays are left as they were."""
import numpy as np
import pytest

import velmora
import velmora_core

X = np.linspace(0.0, 10.0, 201)
COUNTS = np.round(500 * np.exp(-0.5 * ((X - 4.0) / 0.4) ** 2) + 10.0)
G = velmora.Peak("gaussian")


def with_nan(a):
    a = a.copy()
    a[7] = np.nan
    return a


def with_negative(a):
    a = a.copy()
    a[3] = -1.0
    return a


def repeated(a):
    a = a.copy()
    a[5] = a[4]
    return a


BAD_FITS = [
    (dict(x=[str(v) for v in X]), TypeError, "x:"),
    (dict(x=np.vstack([X, X])), ValueError, "x:"),
    (dict(x=X[:-1]), ValueError, "counts:"),
    (dict(counts=with_nan(COUNTS)), ValueError, "counts:"),
    (dict(counts=with_negative(COUNTS)), ValueError, "counts:"),
    (dict(x=with_nan(X)), ValueError, "x:"),
    (dict(x=repeated(X)), ValueError, "x:"),
    (dict(counts=np.zeros_like(COUNTS)), ValueError, "counts:"),
    (dict(peaks=[]), ValueError, "peaks:"),
    (dict(peaks=[G, "gaussian"]), TypeError, "peaks[1]"),
    (dict(peaks=[G, velmora.Peak("tsdc")]), ValueError, "spectral peaks"),
    (dict(peaks=[velmora.Peak("tsdc", beta=1.0), velmora.Peak("tsdc", beta=2.0)]), ValueError,
     "heating rate"),
    (dict(peaks=[velmora.Peak("gaussian", x0=12.0)]), ValueError, "x0=12"),
    (dict(peaks=[velmora.Peak("gaussian", x0=4.0, sigma=0.4, area=100.0,
                              fix=("x0", "sigma", "area"))]), ValueError, "every parameter"),
    (dict(peaks=[velmora.Peak("voigt", sigma=0.3)], bounds={"sigma": (0.5, 1.0)}), ValueError,
     "sigma"),
    # Starting widths no peak can have on this grid: outside the default bounds.
    (dict(peaks=[velmora.Peak("gaussian", sigma=1e300)]), ValueError, "p0.sigma"),
    (dict(peaks=[velmora.Peak("gaussian", sigma=1e-300)]), ValueError, "p0.sigma"),
    (dict(peaks=[velmora.Peak("voigt", gamma=1e-300)]), ValueError, "bounds"),
    # Names and ties.
    (dict(peaks=[velmora.Peak("gaussian", name="a"), velmora.Peak("gaussian", name="a")]),
     ValueError, "'a'"),
    (dict(peaks=[velmora.Peak("gaussian", name="a", x0="b.x0 + 1")]), ValueError, "b"),
    (dict(peaks=[velmora.Peak("gaussian", name="a", x0="a.x0 + 1")]), ValueError, "a.x0"),
    (dict(peaks=[velmora.Peak("gaussian", name="a", x0="b.x0"),
                 velmora.Peak("gaussian", name="b", x0="a.x0")]), ValueError, "a.x0"),
    (dict(peaks=[velmora.Peak("gaussian", name="a", x0="a.gamma")]), ValueError, "gamma"),
    (dict(peaks=[velmora.Peak("gaussian", name="a"),
                 velmora.Peak("gaussian", name="b", area="a.area + 10")]), ValueError, "b.area"),
    (dict(peaks=[velmora.Peak("gaussian", name="a"),
                 velmora.Peak("gaussian", name="b", area="a.sigma * 100")]), ValueError, "b.area"),
    (dict(background="polynomial"), ValueError, "background:"),
    (dict(background=3), TypeError, "background:"),
    (dict(knots=5), ValueError, "knots:"),
    (dict(background="spline", knots=[1.0, 12.0]), ValueError, "knots:"),
    (dict(background="uniform", energy="kinetic"), ValueError, "energy:"),
    (dict(background="shirley", energy="potential"), ValueError, "energy:"),
    (dict(background="sqrt", window=(-5.0, -1.0), x=X - 10.0), ValueError, "sqrt"),
    (dict(window=(6.0, 2.0)), ValueError, "window:"),
    (dict(window="all"), TypeError, "window:"),
    (dict(window=(4.0, 4.02)), ValueError, "window:"),
    (dict(tol=0.0), ValueError, "tol:"),
    (dict(tol="1e-9"), TypeError, "tol:"),
    (dict(max_iter=0), ValueError, "max_iter:"),
    (dict(max_iter=10.5), TypeError, "max_iter:"),
    (dict(bounds={"eta": (0.0, 0.5)}), ValueError, "bounds"),
    (dict(bounds={"sigma": (-1.0, 0.5)}), ValueError, "bounds"),
    (dict(bounds={"sigma": [0.1]}), TypeError, "bounds"),
]


@pytest.fixture
def no_core_fits(monkeypatch):
    """Every mixture fit of the core fails the test if it is reached."""
    def refuse(*args, **kwargs):
        raise AssertionError("a fit started before the input was checked")
    for name in velmora_core.__all__ + ["_engine_fit", "_engine_spectra"]:
        if name.startswith("run_") or name.startswith("_engine"):
            monkeypatch.setattr(velmora_core, name, refuse)


@pytest.mark.parametrize("change, error, words", BAD_FITS)
def test_bad_fit_input_is_refused_up_front(change, error, words, no_core_fits):
    args = dict(x=X.copy(), counts=COUNTS.copy(), peaks=[G])
    args.update(change)
    kept = {k: np.array(v, copy=True) for k, v in args.items() if isinstance(v, np.ndarray)}
    x, counts, peaks = args.pop("x"), args.pop("counts"), args.pop("peaks")
    with pytest.raises(error) as info:
        velmora.fit(x, counts, peaks, **args)
    assert words in str(info.value)
    for name, before in kept.items():
        now = {"x": x, "counts": counts}.get(name, args.get(name))
        assert np.array_equal(now, before, equal_nan=True)


@pytest.mark.parametrize("make, error, words", [
    (lambda: velmora.Peak("gausian"), ValueError, "shape:"),
    (lambda: velmora.Peak(3), TypeError, "shape:"),
    (lambda: velmora.Peak("lorentzian", sigma=1.0), TypeError, "sigma"),
    (lambda: velmora.Peak("gaussian", sigma=-1.0), ValueError, "sigma"),
    (lambda: velmora.Peak("gaussian", x0=b"4"), TypeError, "x0"),
    (lambda: velmora.Peak("gaussian", x0="a.x0 +"), ValueError, "x0"),
    (lambda: velmora.Peak("gaussian", x0="__import__('os').system('ls')"), ValueError, "x0"),
    (lambda: velmora.Peak("gaussian", x0=np.nan), ValueError, "x0"),
    (lambda: velmora.Peak("gaussian", fix="height"), ValueError, "fix:"),
    (lambda: velmora.Peak("gaussian", fix=("gamma",)), ValueError, "fix:"),
    (lambda: velmora.Peak("gaussian", x0="a.x0", fix="x0"), ValueError, "fix:"),
    (lambda: velmora.Peak("gaussian", x0="a.x0", bounds={"x0": (0, 1)}), ValueError, "bounds"),
    (lambda: velmora.Peak("gaussian", bounds={"gamma": (0.1, 1.0)}), ValueError, "bounds"),
    (lambda: velmora.Peak("gaussian", bounds={"area": (-1.0, 1.0)}), ValueError, "bounds"),
    (lambda: velmora.Peak("gaussian", name="sqrt"), ValueError, "name:"),
    (lambda: velmora.Peak("gaussian", name="Au 4f"), ValueError, "name:"),
    (lambda: velmora.Peak("voigt", bounds={"sigma": (1.0, 0.1)}), ValueError, "bounds"),
    (lambda: velmora.Peak("voigt", sigma=2.0, bounds={"sigma": (0.1, 1.0)}), ValueError, "sigma"),
    (lambda: velmora.Peak("pseudo_voigt", method="exact"), ValueError, "method:"),
    (lambda: velmora.Peak("gaussian", method="full"), ValueError, "method:"),
    (lambda: velmora.Peak("tsdc", beta=0.0), ValueError, "beta:"),
    (lambda: velmora.Peak("gaussian", area=-5.0), ValueError, "area:"),
    (lambda: velmora.guess_peaks(X, COUNTS, 0), ValueError, "n:"),
    (lambda: velmora.guess_peaks(X, COUNTS, 2.0), TypeError, "n:"),
    (lambda: velmora.guess_peaks(X, COUNTS, 1, "triangle"), ValueError, "shape:"),
    (lambda: velmora.guess_peaks(X, COUNTS[:-1], 1), ValueError, "counts:"),
    # A number of peaks the data cannot hold is refused before anything is allocated.
    (lambda: velmora.guess_peaks(X, COUNTS, 10 ** 9), ValueError, "n:"),
    (lambda: velmora.guess_peaks(X, COUNTS, 2, window=(20.0, 30.0)), ValueError, "window:"),
])
def test_bad_peaks_are_refused(make, error, words):
    with pytest.raises(error) as info:
        make()
    assert words in str(info.value)
