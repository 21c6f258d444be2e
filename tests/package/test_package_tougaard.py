"""The active Tougaard background on a simulated XPS doublet whose true background is a
constant plus the inelastic-loss tail of the peaks, computed here from the cross-section by a
fine-grid convolution; its direction on binding and kinetic axes; the engine's score and
information with a loss kernel against differences of its likelihood; the core's kernel of
each form; bad C and D refused."""
import numpy as np
import pytest
import velmora_core

import velmora
from velmora.follows import FOLLOW_KINDS

PHOTON = 1486.6                       # Al K-alpha, eV: kinetic = PHOTON - binding
BE = np.linspace(270.0, 300.0, 401)   # binding energy, eV
DX = BE[1] - BE[0]
LO, HI = BE[0], BE[-1]
PEAKS = [(284.8, 1.2, 0.7, 60000.0), (287.0, 1.5, 0.7, 20000.0)]  # x0, FWHM, Gaussian eta, area
OFFSET = 30.0                         # counts per channel
UNIVERSAL = dict(C=1643.0, D=None, B=2866.0)
POLYMER = dict(C=551.0, D=436.0, B=200.0)  # Tougaard's polymers, B giving a tail of like size


def pseudo_voigt(x, x0, fwhm, eta):
    """The pseudo-Voigt density, its Lorentzian part normalised on the window."""
    sigma = fwhm / (2 * np.sqrt(2 * np.log(2)))
    g = fwhm / 2
    mass = (np.arctan((HI - x0) / g) - np.arctan((LO - x0) / g)) / np.pi
    return (eta * np.exp(-0.5 * ((x - x0) / sigma) ** 2) / (np.sqrt(2 * np.pi) * sigma)
            + (1 - eta) / mass * g / np.pi / ((x - x0) ** 2 + g ** 2))


def peak_density(x):
    return sum(area * pseudo_voigt(x, x0, fwhm, eta) for x0, fwhm, eta, area in PEAKS)


def loss_tail(C, D, B, sub=10):
    """Counts per channel of B * integral_{x' < x} K(x - x') p(x') dx' (binding energy: the
    losses of the peaks at smaller x), by np.convolve on a grid ten times finer than the
    channels, averaged over each channel."""
    h = DX / sub
    fine = LO - DX / 2 + h * (np.arange(BE.size * sub) + 0.5)
    p = peak_density(np.clip(fine, LO, HI))
    t = h * np.arange(fine.size)
    k = t / (C + t * t) ** 2 if D is None else t / ((C - t * t) ** 2 + D * t * t)
    return (B * h * np.convolve(p, k)[:fine.size]).reshape(BE.size, sub).mean(axis=1) * DX


def spectrum(form, seed):
    tail = loss_tail(**form)
    rate = peak_density(BE) * DX + OFFSET + tail
    return np.random.default_rng(seed).poisson(rate).astype(float), tail


def pv_peaks():
    return [velmora.Peak("pseudo_voigt"), velmora.Peak("pseudo_voigt")]


@pytest.mark.parametrize("form", [UNIVERSAL, POLYMER], ids=["universal", "polymer"])
def test_tougaard_recovers_the_peaks_and_B_and_beats_shirley(form):
    counts, tail = spectrum(form, seed=1)
    assert 0.9e5 < counts.sum() < 1.1e5
    background = velmora.Tougaard(C=form["C"], D=form["D"])
    r = velmora.fit(BE, counts, pv_peaks(), background=background)
    assert r.converged
    bg = r.background
    assert list(bg) == ["counts", "offset", "loss", "B"]
    assert abs(bg["B"].value - form["B"]) < 3 * bg["B"].stderr
    assert bg["B"].stderr < 0.05 * form["B"]
    assert abs(bg["offset"].value - OFFSET * BE.size) < 3 * bg["offset"].stderr
    assert abs(bg["loss"].value - tail.sum()) < 3 * bg["loss"].stderr
    for peak, (x0, _, _, area) in zip(sorted(r.peaks, key=lambda p: p["x0"].value), PEAKS):
        assert abs(peak["area"].value - area) < 3 * peak["area"].stderr
        assert abs(peak["x0"].value - x0) < 3 * peak["x0"].stderr
    # The fitted background follows the true one channel by channel.
    curve = r.eval_components()["background"]
    assert np.max(np.abs(curve - (OFFSET + tail))) < 0.05 * tail.max()
    shirley = velmora.fit(BE, counts, pv_peaks(), background="shirley")
    assert shirley.converged
    assert r.log_likelihood > shirley.log_likelihood + 30.0


def test_the_tail_lies_on_the_loss_side_of_binding_and_kinetic_axes_and_batches_agree():
    counts, tail = spectrum(UNIVERSAL, seed=2)
    binding = velmora.fit(BE, counts, pv_peaks(), background="tougaard")
    # On a binding axis the tail rises towards larger x: nothing below the peaks.
    loss = binding.eval_components()["background"] - binding.background["offset"].value / BE.size
    assert loss[:40].max() < 0.01 * loss[-40:].min()
    kinetic = velmora.fit(PHOTON - BE, counts, pv_peaks(), background="tougaard",
                          energy="kinetic")
    assert kinetic.converged
    for name in ("B", "offset", "loss"):
        assert kinetic.background[name].value == pytest.approx(
            binding.background[name].value, rel=1e-5)
        assert kinetic.background[name].stderr == pytest.approx(
            binding.background[name].stderr, rel=1e-3)
    assert sorted(p["area"].value for p in kinetic.peaks) == pytest.approx(
        sorted(p["area"].value for p in binding.peaks), rel=1e-5)
    # The wrong axis puts the tail on the wrong side, and the data say so.
    wrong = velmora.fit(BE, counts, pv_peaks(), background=velmora.Tougaard(energy="kinetic"))
    assert wrong.log_likelihood < binding.log_likelihood - 100.0
    # A batch reports B, with its standard error, as the single fit does.
    batch = velmora.fit_many(BE, np.stack([counts, spectrum(UNIVERSAL, seed=3)[0]]), pv_peaks(),
                             background="tougaard", workers=1)
    assert batch.values["background.B"][0] == binding.background["B"].value
    assert batch.stderr["background.B"][0] == binding.background["B"].stderr
    assert batch.values["background.loss"][0] == binding.background["loss"].value
    assert abs(batch.values["background.B"][1] - UNIVERSAL["B"]) \
        < 3 * batch.stderr["background.B"][1]
    assert [batch.units_of(f"background.{n}") for n in ("offset", "loss", "counts", "B")] \
        == ["counts", "counts", "counts", "eV^2"]


@pytest.mark.parametrize("background", [velmora.Tougaard(),
                                        velmora.Tougaard("kinetic", C=551.0, D=436.0)],
                         ids=["universal binding", "polymer kinetic"])
def test_score_and_information_are_those_of_the_likelihood(background):
    # Away from the optimum (every free parameter moved by a standard error) the score is not
    # zero and every term of the information counts, the loss kernel's included.
    counts, _ = spectrum(UNIVERSAL, seed=4)
    x = PHOTON - BE if background.energy == "kinetic" else BE
    r = velmora.fit(x, counts, pv_peaks(), background=background)
    assert r.background["B"].value > 10 * r.background["B"].stderr
    model = r.setup.engine_model(r.state.values)

    def loglik(theta):
        return velmora_core._engine_loglik(model, r.counts, theta)

    sd = np.sqrt(np.diag(r.covariance)) / r.setup.scale[r.setup.free]
    theta = r.state.theta + sd * np.where(np.arange(sd.size) % 2, 1.0, -1.0)
    report = velmora_core._engine_report(model, r.counts, theta)
    n = theta.size
    info = report["information"].reshape(n, n)
    h = 0.02 * sd
    grad, hess = np.zeros(n), np.zeros((n, n))
    f0 = loglik(theta)
    for a in range(n):
        ea = np.eye(n)[a] * h[a]
        grad[a] = (loglik(theta + ea) - loglik(theta - ea)) / (2 * h[a])
        hess[a, a] = (loglik(theta + ea) - 2 * f0 + loglik(theta - ea)) / h[a] ** 2
        for b in range(a):
            eb = np.eye(n)[b] * h[b]
            hess[a, b] = hess[b, a] = (
                loglik(theta + ea + eb) - loglik(theta + ea - eb)
                - loglik(theta - ea + eb) + loglik(theta - ea - eb)) / (4 * h[a] * h[b])
    scale = np.sqrt(np.outer(np.diag(-hess), np.diag(-hess)))
    assert np.max(np.abs((info + hess) / scale)) < 3e-4
    assert np.max(np.abs((report["score"] - grad) / np.sqrt(np.diag(-hess)))) < 3e-4
    # B's standard error is that of the share in the covariance.
    share = r.param_names.index("bg_loss")
    assert r.background["B"].stderr == pytest.approx(np.sqrt(r.covariance[share, share]),
                                                     rel=1e-12)


def test_each_form_takes_the_cores_kernel_of_its_kind():
    # The kind, its parameters and its kernel come from the core's registry; the kernel the
    # start of B is read with is Tougaard's cross-section of the form, C and D in their places.
    t = np.linspace(0.0, 80.0, 161)
    for form in (UNIVERSAL, POLYMER):
        C, D = form["C"], form["D"]
        expected = t / (C + t * t) ** 2 if D is None else t / ((C - t * t) ** 2 + D * t * t)
        assert np.array_equal(velmora.Tougaard(C=C, D=D).kernel(t), expected)
    with pytest.raises(ValueError, match="no loss kernel"):
        velmora_core._follow_kernel(FOLLOW_KINDS["shirley"].code, t, np.zeros(0))
    with pytest.raises(ValueError, match="takes 2, got 3"):
        velmora_core._follow_kernel(FOLLOW_KINDS["tougaard"].code, t, np.ones(3))
    with pytest.raises(ValueError, match="no term"):
        velmora_core._follow_kernel(len(FOLLOW_KINDS), t, np.ones(2))


def test_bad_cross_sections_and_axes_are_refused():
    for kwargs, words in [(dict(C=0.0), "C"), (dict(C=-1643.0), "C"), (dict(C=np.nan), "C"),
                          (dict(C=np.inf), "C"), (dict(D=0.0), "D"), (dict(D=-436.0), "D"),
                          (dict(D=np.nan), "D"), (dict(energy="sideways"), "energy")]:
        with pytest.raises(ValueError, match=f"^{words}: "):
            velmora.Tougaard(**kwargs)
    for kwargs in (dict(C="1643"), dict(D=True)):
        with pytest.raises(TypeError, match="^[CD]: expected a number"):
            velmora.Tougaard(**kwargs)
    counts, _ = spectrum(UNIVERSAL, seed=5)
    original = counts.copy()
    with pytest.raises(ValueError, match="energy"):
        velmora.fit(BE, counts, pv_peaks(), background="uniform", energy="binding")
    with pytest.raises(ValueError, match="energy"):
        velmora.fit(BE, counts, pv_peaks(), background=velmora.Tougaard(), energy="kinetic")
    # A start from a fit with another cross-section is another model.
    r = velmora.fit(BE, counts, pv_peaks(), background="tougaard")
    with pytest.raises(ValueError, match="start: its background"):
        velmora.fit(BE, counts, pv_peaks(), background=velmora.Tougaard(C=551.0, D=436.0),
                    start=r)
    assert np.array_equal(counts, original)
