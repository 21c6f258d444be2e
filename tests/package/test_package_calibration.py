"""Standard errors are calibrated: about 95% of estimates lie within 1.96 standard errors of
the truth (a small version of bench/bench_package_calibration.py, with a wider band)."""
import numpy as np

import velmora
import velmora_core

X = np.linspace(0.0, 10.0, 301)
TRUTH = [(4.0, 0.35, 6000.0), (4.8, 0.4, 4000.0), (6.0, 0.3, 3000.0)]  # centre, sigma, area


def test_coverage_of_centres_widths_and_areas():
    step = X[1] - X[0]
    rate = 15.0 + sum(a * step * velmora_core.gaussian_predict(X, c, s) for c, s, a in TRUTH)
    starts = [velmora.Peak("gaussian", x0=c + 0.1, sigma=1.2 * s, area=a) for c, s, a in TRUTH]
    hits = {"x0": [], "sigma": [], "area": []}
    for seed in range(40):
        counts = np.random.default_rng(seed).poisson(rate).astype(float)
        result = velmora.fit(X, counts, starts, background="uniform")
        for peak, (c, s, a) in zip(result.peaks, TRUTH):
            for name, want in (("x0", c), ("sigma", s), ("area", a)):
                hits[name].append(abs(peak[name].value - want) <= 1.96 * peak[name].stderr)
    for name, h in hits.items():
        assert 0.85 <= np.mean(h) <= 1.0, (name, np.mean(h))
