"""The active Shirley background on a simulated XPS doublet whose true background is a Shirley
step: a constant plus a step proportional to the peak area at lower binding energy."""
import numpy as np
import pytest

import velmora
import velmora_core

PHOTON = 1486.6                      # Al K-alpha, eV: kinetic = PHOTON - binding
BE = np.linspace(280.0, 292.0, 481)  # binding energy, eV
PEAKS = [(284.6, 0.45, 30000.0), (286.2, 0.55, 12000.0)]  # centre, sigma, area
OFFSET, JUMP = 40.0, 50.0            # counts per channel below the peaks, and the step height


def doublet(seed=6):
    step = BE[1] - BE[0]
    peaks = sum(area * step * velmora_core.gaussian_predict(BE, c, s) for c, s, area in PEAKS)
    cumulative = np.concatenate([[0.0], np.cumsum(0.5 * (peaks[1:] + peaks[:-1]))])
    shirley = OFFSET + JUMP * cumulative / cumulative[-1]
    counts = np.random.default_rng(seed).poisson(peaks + shirley).astype(float)
    return counts, shirley


def test_shirley_recovers_the_doublet_and_its_step():
    counts, shirley = doublet()
    result = velmora.fit(BE, counts, [velmora.Peak("gaussian"), velmora.Peak("gaussian")],
                         background="shirley")
    assert result.converged
    for peak, (centre, sigma, area) in zip(sorted(result.peaks, key=lambda p: p["x0"].value),
                                           PEAKS):
        for name, want in (("x0", centre), ("sigma", sigma), ("area", area)):
            assert abs(peak[name].value - want) < 4 * peak[name].stderr, (name, peak[name])
    bg = result.background
    assert abs(bg["offset"].value - OFFSET * BE.size) < 4 * bg["offset"].stderr
    assert abs(bg["step"].value - (shirley - OFFSET).sum()) < 4 * bg["step"].stderr
    # The fitted background curve follows the true one channel by channel.
    curve = result.eval_components()["background"]
    assert np.max(np.abs(curve - shirley)) < 0.1 * JUMP


def test_kinetic_energy_axis_mirrors_binding_energy():
    counts, _ = doublet(seed=8)
    binding = velmora.fit(BE, counts, [velmora.Peak("gaussian")] * 2, background="shirley")
    kinetic = velmora.fit(PHOTON - BE, counts, [velmora.Peak("gaussian")] * 2,
                          background=velmora.Shirley(energy="kinetic"))
    areas = sorted(p["area"].value for p in binding.peaks)
    assert sorted(p["area"].value for p in kinetic.peaks) == pytest.approx(areas, rel=1e-4)
    assert kinetic.background["step"].value == pytest.approx(
        binding.background["step"].value, rel=1e-4)
    # The wrong axis puts the step on the wrong side, and the data say so.
    wrong = velmora.fit(BE, counts, [velmora.Peak("gaussian")] * 2, background="shirley",
                        energy="kinetic")
    assert wrong.log_likelihood < binding.log_likelihood - 10.0
