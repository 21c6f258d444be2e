"""Honest results: a peak without signal is no detection, values that are not finite never
come with ``converged``, and reports and JSON never print NaN for a number."""
import json
import math
import tracemalloc

import numpy as np
import pytest
import velmora_core

import velmora

X = np.arange(10.0, 20.0 + 1e-9, 0.05)


def one_voigt(seed):
    rate = 20000 * 0.05 * velmora_core.voigt_predict(X, 13.0, 0.15, 0.1, 10.0, 20.0) + 40.0
    return np.random.default_rng(seed).poisson(rate).astype(float)


def test_a_peak_started_where_there_is_nothing_is_no_detection():
    # One Voigt line of 20 000 counts on 40 counts per channel; a second Voigt peak is started
    # where there is nothing.  It ends on noise: collapsed below a grid step, or with an area
    # within three standard errors of zero.  Either way the result says so, and gives none of
    # its shape's standard errors.
    detected = 0
    for seed in range(20):
        r = velmora.fit(X, one_voigt(seed), [velmora.Peak("voigt", x0=13.0),
                                             velmora.Peak("voigt", x0=15.0)],
                        background="uniform")
        assert r.converged
        real, empty = r.peaks
        assert real.detected and abs(real["x0"].value - 13.0) < 4 * real["x0"].stderr
        if empty.detected:
            detected += 1
            # What is left is a fluctuation of more than three standard errors, wider than a
            # grid step: reported as what it is.
            assert empty["area"].value >= 3 * empty["area"].stderr
            assert empty["fwhm"].value >= 0.05
            continue
        assert any(w.startswith("p1:") and "not" in w for w in r.warnings)
        assert "not a detection" in r.report()
        for name in ("x0", "sigma", "gamma", "fwhm", "height"):
            assert math.isnan(empty[name].stderr), (seed, name, empty[name])
    assert detected <= 2


def test_a_collapsed_peak_gives_no_standard_errors_at_all():
    # A Gaussian peak started on a one-channel spike narrows onto it.
    x = np.linspace(0.0, 10.0, 201)
    counts = np.random.default_rng(0).poisson(300 * np.exp(-0.5 * ((x - 5) / 0.5) ** 2) + 5)
    counts = counts.astype(float)
    counts[150] += 400.0
    r = velmora.fit(x, counts, [velmora.Peak("gaussian", x0=5.0),
                                velmora.Peak("gaussian", x0=7.5, sigma=0.1)],
                    background="uniform")
    spike = r.peaks[1]
    assert not spike.detected and spike["fwhm"].value < x[1] - x[0]
    assert all(math.isnan(e.stderr) for e in spike.values())
    assert any("collapsed" in w for w in r.warnings)
    assert all(math.isfinite(r.peaks[0][n].stderr) for n in ("x0", "sigma", "area"))


def test_a_tsdc_peak_with_a_small_activation_energy_has_its_height_and_width():
    t = np.linspace(300.0, 500.0, 401)
    ea, tp, beta = 0.76, 406.0, 1.0
    k_t = 8.61733034e-5 * tp
    tau0 = math.exp(-ea / k_t) * (tp * k_t / (beta * ea))
    rate = 50000 * (t[1] - t[0]) * velmora_core.tsdc_predict(t, ea, tau0, beta) + 10.0
    counts = np.random.default_rng(0).poisson(rate).astype(float)
    r = velmora.fit(t, counts, [velmora.Peak("tsdc", beta=beta)], background="uniform")
    assert r.converged
    p = r.peaks[0]
    for name in ("ea", "tp", "area", "height", "fwhm", "tau0"):
        assert math.isfinite(p[name].value) and math.isfinite(p[name].stderr), name
    assert 30.0 < p["fwhm"].value < 60.0
    assert abs(p["ea"].value - ea) < 4 * p["ea"].stderr


def test_a_spline_over_a_window_wider_than_the_data_fits_the_data():
    x = np.linspace(2.0, 8.0, 241)
    counts = np.random.default_rng(1).poisson(
        500 * np.exp(-0.5 * ((x - 5) / 0.3) ** 2) + 30 + 5 * x).astype(float)
    r = velmora.fit(x, counts, [velmora.Peak("gaussian")], background="spline", knots=3,
                    window=(0.0, 10.0))
    assert r.converged and np.isfinite(r.log_likelihood)
    assert abs(r.peaks[0]["x0"].value - 5.0) < 4 * r.peaks[0]["x0"].stderr
    with pytest.raises(ValueError, match="knots"):
        velmora.fit(x, counts, [velmora.Peak("gaussian")], background="spline",
                    knots=[1.0, 5.0], window=(0.0, 10.0))


def test_a_spline_basis_as_large_as_the_data_is_refused_before_it_is_built():
    x = np.linspace(0.0, 10.0, 40)
    counts = np.random.default_rng(2).poisson(
        200 * np.exp(-0.5 * ((x - 5) / 0.5) ** 2) + 20).astype(float)
    peaks = [velmora.Peak("gaussian", x0=5.0)]
    assert velmora.fit(x, counts, peaks, background="spline", knots=35).converged  # 39 < 40
    with pytest.raises(ValueError, match="make 40 basis functions, not fewer than the 40 data"):
        velmora.fit(x, counts, peaks, background="spline", knots=36)
    # Refused before the basis exists: 9004 functions over 2000 points would take 144 MB.
    x = np.linspace(0.0, 10.0, 2000)
    tracemalloc.start()
    try:
        with pytest.raises(ValueError, match="9004 basis functions"):
            velmora.fit(x, np.full(x.size, 5.0), peaks, background="spline", knots=9000)
        assert tracemalloc.get_traced_memory()[1] < 2**20
    finally:
        tracemalloc.stop()
    # Counts no grid is offered for, refused at once.
    velmora.Spline(velmora.Spline.MAX_BASIS - 4)
    for knots in (velmora.Spline.MAX_BASIS - 3, 10**6, 10**18):
        with pytest.raises(ValueError, match="basis functions; a spline background takes at"):
            velmora.Spline(knots)
    with pytest.raises(ValueError, match="at most"):
        velmora.fit(x, np.full(x.size, 5.0), peaks, background="spline", knots=10**18)


def test_reports_and_json_never_hold_nan_for_a_number():
    # A narrow peak and no background: far channels expect nothing (mu = 0 with no counts),
    # and the second peak's errors are not determined.
    x = np.linspace(0.0, 40.0, 801)
    counts = np.random.default_rng(2).poisson(
        2000 * 0.05 * velmora_core.gaussian_predict(x, 5.0, 0.2)).astype(float)
    r = velmora.fit(x, counts, [velmora.Peak("gaussian", x0=5.0),
                                velmora.Peak("gaussian", x0=30.0, sigma=1.0)])
    assert math.isfinite(r.chi_square)
    text = r.report()
    assert "nan" not in text.lower() and "inf" not in text.lower()
    json.loads(json.dumps(r.to_dict(), allow_nan=False))


def test_fit_many_names_its_bad_arguments():
    x = np.linspace(0.0, 10.0, 50)
    Y = np.ones((2, 3, 50))
    peaks = [velmora.Peak("gaussian", x0=5.0)]
    for chunks, error in ((2.5, TypeError), ("rows", TypeError), ((1, 2.5), TypeError),
                          ((0, 1), ValueError), ((1,), ValueError)):
        with pytest.raises(error, match="chunks"):
            velmora.fit_many(x, Y, peaks, chunks=chunks)
    with pytest.raises(ValueError, match="workers"):
        velmora.fit_many(x, Y, peaks, workers=0)
    with pytest.raises(TypeError, match="method"):
        velmora.fit_many(x, Y, peaks, method="full")
