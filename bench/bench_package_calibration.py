"""Are velmora's standard errors calibrated?  Coverage over many simulated spectra.

For each shape (Gaussian, Voigt, full-optimisation pseudo-Voigt), N seeded spectra hold three
overlapping peaks on a flat background with Poisson noise, drawn from the core's own profile
functions.  Each is fitted by ``velmora.fit`` and by lmfit's default least-squares fit of the
same model (1/sqrt(counts) weights, same starting values).  Printed per quantity: the share of
estimates with |estimate - truth| <= 1.96 stderr (the target for velmora is [0.92, 0.98] for
centres, widths and areas), for both, and the median standard errors side by side.

    python bench/bench_package_calibration.py [--spectra 200] [--shape voigt ...]

lmfit is a benchmark dependency only (requirements-bench.txt); without it only velmora runs.
"""
import argparse
import time

import numpy as np

import velmora
import velmora_core

X = np.linspace(0.0, 10.0, 401)
LO, HI = X[0], X[-1]
STEP = X[1] - X[0]
BACKGROUND = 20.0  # counts per channel
AREAS = (40000.0, 25000.0, 15000.0)
TRUTH = {
    # Neighbours about 1.3 widths (FWHM) apart: overlapping, with a shallow valley between.
    "gaussian": [dict(x0=4.0, sigma=0.30), dict(x0=4.9, sigma=0.35), dict(x0=5.9, sigma=0.25)],
    "voigt": [dict(x0=4.0, sigma=0.20, gamma=0.15), dict(x0=4.9, sigma=0.18, gamma=0.18),
              dict(x0=5.9, sigma=0.15, gamma=0.12)],
    "pseudo_voigt": [dict(x0=4.0, gamma=0.70, eta=0.50), dict(x0=4.9, gamma=0.80, eta=0.60),
                     dict(x0=5.9, gamma=0.60, eta=0.40)],
}
WIDTHS = {"gaussian": ("sigma",), "voigt": ("sigma", "gamma"), "pseudo_voigt": ("gamma",)}


def density(shape, p):
    if shape == "gaussian":
        return velmora_core.gaussian_predict(X, p["x0"], p["sigma"])
    if shape == "voigt":
        return velmora_core.voigt_predict(X, p["x0"], p["sigma"], p["gamma"], LO, HI)
    return velmora_core.pseudo_voigt_predict(X, p["x0"], p["gamma"], p["eta"], LO, HI)


def starts(shape):
    out = []
    for p, area in zip(TRUTH[shape], AREAS):
        s = {k: (v + 0.05 if k == "x0" else v if k == "eta" else 1.15 * v) for k, v in p.items()}
        out.append((s, 1.1 * area))
    return out


def fit_lmfit(shape, counts):
    import lmfit

    model = lmfit.models.ConstantModel(prefix="bg_")
    params = model.make_params(c=BACKGROUND)
    for k, (s, area) in enumerate(starts(shape)):
        prefix = f"p{k}_"
        if shape == "gaussian":
            m = lmfit.models.GaussianModel(prefix=prefix)
            p = m.make_params(center=s["x0"], sigma=s["sigma"], amplitude=area * STEP)
        elif shape == "voigt":
            m = lmfit.models.VoigtModel(prefix=prefix)
            p = m.make_params(center=s["x0"], sigma=s["sigma"], amplitude=area * STEP)
            p[f"{prefix}gamma"].set(value=s["gamma"], vary=True, expr="", min=0)
        else:
            m = lmfit.models.PseudoVoigtModel(prefix=prefix)
            p = m.make_params(center=s["x0"], sigma=s["gamma"] / 2, amplitude=area * STEP,
                              fraction=1 - s["eta"])
        params.update(p)
        model = model + m
    out = model.fit(counts, params, x=X, weights=1.0 / np.sqrt(np.maximum(counts, 1.0)))
    est = []
    for k in range(3):
        pr = out.params
        row = {"x0": (pr[f"p{k}_center"].value, pr[f"p{k}_center"].stderr),
               "area": (pr[f"p{k}_amplitude"].value / STEP,
                        (pr[f"p{k}_amplitude"].stderr or np.nan) / STEP)}
        if shape == "pseudo_voigt":
            row["gamma"] = (2 * pr[f"p{k}_sigma"].value, 2 * (pr[f"p{k}_sigma"].stderr or np.nan))
        else:
            for w in WIDTHS[shape]:
                row[w] = (pr[f"p{k}_{w}"].value, pr[f"p{k}_{w}"].stderr)
        est.append(row)
    return est


def run(shape, n, use_lmfit):
    rate = BACKGROUND + sum(a * STEP * density(shape, p) for p, a in zip(TRUTH[shape], AREAS))
    peaks = [velmora.Peak(shape, area=a, **s) for s, a in starts(shape)]
    names = ["x0"] + list(WIDTHS[shape]) + ["area"]
    ours = {k: [] for k in names}
    theirs = {k: [] for k in names}
    t_ours = t_lm = 0.0
    failures = 0
    for seed in range(n):
        counts = np.random.default_rng(seed).poisson(rate).astype(float)
        t = time.perf_counter()
        result = velmora.fit(X, counts, peaks, background="uniform")
        t_ours += time.perf_counter() - t
        for k, p in enumerate(TRUTH[shape]):
            for name in names:
                want = AREAS[k] if name == "area" else p[name]
                est = result.peaks[k][name]
                ours[name].append((est.value - want, est.stderr))
        if use_lmfit:
            t = time.perf_counter()
            try:
                est = fit_lmfit(shape, counts)
            except Exception:  # a failed peer fit is counted, not fatal
                failures += 1
                continue
            t_lm += time.perf_counter() - t
            for k, p in enumerate(TRUTH[shape]):
                for name in names:
                    want = AREAS[k] if name == "area" else p[name]
                    value, stderr = est[k][name]
                    theirs[name].append((value - want, np.nan if stderr is None else stderr))

    print(f"== {shape}: {n} spectra x 3 peaks, {X.size} points; velmora {t_ours:.1f} s"
          + (f", lmfit {t_lm:.1f} s" + (f" ({failures} failed)" if failures else "")
             if use_lmfit else ""))
    print(f"{'quantity':>9} | {'velmora coverage':>16} | {'lmfit coverage':>14} | "
          f"{'median stderr: velmora':>22} | {'lmfit':>10} | {'lmfit/velmora':>13}")
    ok = True
    groups = {"centres": ["x0"], "widths": list(WIDTHS[shape]), "areas": ["area"]}
    for label, members in groups.items():
        for name in members:
            d = np.array(ours[name])
            cov = np.mean(np.abs(d[:, 0]) <= 1.96 * d[:, 1])
            med = np.median(d[:, 1])
            ok &= 0.92 <= cov <= 0.98
            if use_lmfit and theirs[name]:
                e = np.array(theirs[name], dtype=float)
                lm_cov = np.mean(np.abs(e[:, 0]) <= 1.96 * e[:, 1])
                lm_med = np.nanmedian(e[:, 1])
                extra = f"{lm_cov:14.3f} | {med:22.4g} | {lm_med:10.4g} | {lm_med / med:13.3f}"
            else:
                extra = f"{'-':>14} | {med:22.4g} | {'-':>10} | {'-':>13}"
            print(f"{label[:-1] + ' ' + name if label != 'areas' else 'area':>9} | "
                  f"{cov:16.3f} | {extra}")
    print(f"  velmora coverage of centres, widths and areas within [0.92, 0.98]: "
          f"{'yes' if ok else 'NO'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--spectra", type=int, default=200)
    parser.add_argument("--shape", choices=sorted(TRUTH), action="append")
    parser.add_argument("--no-lmfit", action="store_true")
    args = parser.parse_args()
    use_lmfit = not args.no_lmfit
    if use_lmfit:
        try:
            import lmfit  # noqa: F401
        except ImportError:
            print("lmfit is not installed (pip install -r requirements-bench.txt): "
                  "velmora only")
            use_lmfit = False
    for shape in args.shape or ["gaussian", "voigt", "pseudo_voigt"]:
        run(shape, args.spectra, use_lmfit)


if __name__ == "__main__":
    main()
