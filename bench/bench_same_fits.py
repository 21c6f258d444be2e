"""The same fits, before and after a change: every shape, tie and background kind.

Fits a fixed set of simulated spectra with the package's public calls only (``velmora.fit``,
``velmora.fit_many``, ``Peak``, ``doublet``, ``kalpha2``, ``guess_peaks``), so that two source
trees can be compared side by side, and records for every fit its log-likelihood, iterations,
status and every estimate with its standard error:

* every shape (Gaussian, Lorentzian, pseudo-Voigt, Voigt, Doniach-Sunjic, TSDC) without a
  background and with a uniform and a linear one;
* every background kind (sqrt, spline, Shirley and Tougaard on binding and kinetic energy,
  Tougaard's three-parameter cross-section);
* ties: Au 4f doublets placed from a given centre and from a guessed one, a doublet sharing
  nothing, Kα2 partners by Bragg's law (given and guessed reflections);
* fixed values given and guessed from the data, bounds of every peak, a window, a fit started
  from another;
* batches with both warm-start modes, on 1 and 2 workers: an untied map, a doublet map placed
  from a given centre and from guessed ones, a map with a fixed value guessed per spectrum.

    python bench/bench_same_fits.py record OUT.json
    python bench/bench_same_fits.py compare BEFORE.json AFTER.json

``compare`` prints the largest relative difference of the log-likelihoods (target: at most
1e-9) and of the estimates, and how many fits agree to the bit.  Run ``record`` under each
tree, e.g. ``PYTHONPATH=/path/to/old/python python bench/bench_same_fits.py record old.json``.
"""
import json
import math
import sys
import warnings

import numpy as np

import velmora
import velmora_core

GRID = np.linspace(0.0, 10.0, 401)
BE = np.linspace(78.0, 95.0, 481)
TWO_THETA = np.linspace(36.0, 48.0, 601)


def poisson(rate, seed):
    return np.random.default_rng(seed).poisson(rate).astype(np.float64)


def two_peaks(shape, seed):
    """Two peaks of ``shape`` on a level of 20 counts (TSDC: a thermogram)."""
    x = GRID
    lo, hi = x[0], x[-1]
    step = x[1] - x[0]
    if shape == "tsdc":
        x = np.linspace(150.0, 350.0, 801)
        step, beta, kb = x[1] - x[0], 0.1, 8.61733034e-5
        rate = np.full(x.size, 20.0)
        for ea, tp, area in ((0.8, 245.0, 200000.0), (1.1, 290.0, 120000.0)):
            u = kb * tp
            tau0 = np.exp(-ea / u) * ((tp * u) / (beta * ea))
            rate += area * step * velmora_core.tsdc_predict(x, ea, tau0, beta)
        return x, poisson(rate, seed)
    density = {
        "gaussian": lambda c, w: velmora_core.gaussian_predict(x, c, w),
        "lorentzian": lambda c, w: velmora_core.lorentzian_predict(x, c, w, lo, hi),
        "pseudo_voigt": lambda c, w: velmora_core.pseudo_voigt_predict(x, c, 2 * w, 0.6, lo, hi),
        "voigt": lambda c, w: velmora_core.voigt_predict(x, c, 0.7 * w, 0.3 * w, lo, hi),
        "doniach_sunjic": lambda c, w: velmora_core.doniach_sunjic_predict(x, c, w, 0.08),
    }[shape]
    rate = 20.0 + 0.8 * x + 20000.0 * step * density(3.5, 0.3) + 12000.0 * step * density(5.0, 0.4)
    return x, poisson(rate, seed)


def au4f(seed, kinetic=False, x0=84.0):
    """An Au 4f doublet (Voigt lines, 4 : 3) on a Shirley-like background."""
    x = BE
    step = x[1] - x[0]
    lines = 30000.0 * step * (velmora_core.voigt_predict(x, x0, 0.3, 0.1, x[0], x[-1])
                              + 0.75 * velmora_core.voigt_predict(x, x0 + 3.67, 0.3, 0.1, x[0],
                                                                  x[-1]))
    rate = lines + 40.0 + 0.003 * (np.cumsum(lines) - 0.5 * lines)
    counts = poisson(rate, seed)
    if kinetic:
        return 1486.6 - x, counts
    return x, counts


def xrd(seed):
    """Two reflections with their Kα2 partners (Cu), on a sloping background."""
    x = TWO_THETA
    step = x[1] - x[0]
    q = 1.5444260 / 1.5405980
    rate = 30.0 + 0.5 * (x - x[0])
    for centre, area in ((38.2, 30000.0), (44.4, 18000.0)):
        partner = 2 * np.degrees(np.arcsin(q * np.sin(np.radians(centre / 2))))
        rate += area * step * (velmora_core.pseudo_voigt_predict(x, centre, 0.15, 0.6, x[0], x[-1])
                               + 0.5 * velmora_core.pseudo_voigt_predict(x, partner, 0.15, 0.6,
                                                                         x[0], x[-1]))
    return x, poisson(rate, seed)


def single_cases():
    """(name, x, counts, peaks, options) of every single fit."""
    out = []
    for shape in ("gaussian", "lorentzian", "pseudo_voigt", "voigt", "doniach_sunjic", "tsdc"):
        x, counts = two_peaks(shape, seed=1)
        options = {"beta": 0.1} if shape == "tsdc" else {}
        for background in ((None, "uniform") if shape == "tsdc" else (None, "uniform", "linear")):
            out.append((f"{shape}/{background}", x, counts,
                        lambda s=shape, o=options: [velmora.Peak(s, **o), velmora.Peak(s, **o)],
                        {"background": background}))
    x, counts = two_peaks("gaussian", seed=2)
    out += [
        ("gaussian/sqrt", x + 1.0, counts, lambda: [velmora.Peak("gaussian"),
                                                    velmora.Peak("gaussian")],
         {"background": "sqrt"}),
        ("gaussian/spline", x, counts, lambda: [velmora.Peak("gaussian"),
                                                velmora.Peak("gaussian")],
         {"background": "spline", "knots": 3}),
        ("gaussian/fixed-given", x, counts,
         lambda: [velmora.Peak("gaussian", x0=3.5, fix="x0"), velmora.Peak("gaussian")],
         {"background": "linear"}),
        ("gaussian/fixed-guessed", x, counts,
         lambda: [velmora.Peak("gaussian", fix="sigma"), velmora.Peak("gaussian")],
         {"background": "linear"}),
        ("gaussian/bounds-window", x, counts,
         lambda: [velmora.Peak("gaussian", bounds={"x0": (3.0, 4.0)}), velmora.Peak("gaussian")],
         {"background": "uniform", "window": (1.0, 8.0), "bounds": {"sigma": (0.05, 1.0)}}),
        ("voigt/fixed-gamma-guessed", x, counts,
         lambda: [velmora.Peak("voigt", fix="gamma"), velmora.Peak("voigt", fix=("gamma",))],
         {"background": "uniform"}),
    ]
    for seed, (name, kwargs) in enumerate((
            ("shirley", {"background": "shirley"}),
            ("tougaard", {"background": "tougaard"}),
            ("tougaard-CD", {"background": velmora.Tougaard(C=551.0, D=436.0)}))):
        x, counts = au4f(seed=10 + seed)
        out.append((f"au4f-given/{name}", x, counts,
                    lambda: velmora.doublet("voigt", "Au4f", x0=84.0), kwargs))
    x, counts = au4f(seed=20)
    out += [
        ("au4f-guessed/shirley", x, counts, lambda: velmora.doublet("voigt", "Au4f"),
         {"background": "shirley"}),
        ("au4f-share-none/shirley", x, counts,
         lambda: velmora.doublet("voigt", "Au4f", x0=84.0, share=()), {"background": "shirley"}),
        ("au4f-ds/shirley", x, counts, lambda: velmora.doublet("doniach_sunjic", "Au4f"),
         {"background": "shirley"}),
    ]
    xk, counts = au4f(seed=21, kinetic=True)
    out += [
        ("au4f-kinetic/shirley", xk, counts,
         lambda: [velmora.Peak("voigt", name="a", x0=1402.6),
                  velmora.Peak("voigt", name="b", x0="a.x0 - 3.67", area="0.75 * a.area",
                               sigma="a.sigma", gamma="a.gamma")],
         {"background": "shirley", "energy": "kinetic"}),
        ("au4f-kinetic/tougaard", xk, counts,
         lambda: [velmora.Peak("voigt", name="a", x0=1402.6),
                  velmora.Peak("voigt", name="b", x0="a.x0 - 3.67", area="0.75 * a.area",
                               sigma="a.sigma", gamma="a.gamma")],
         {"background": "tougaard", "energy": "kinetic"}),
    ]
    x, counts = xrd(seed=30)
    out += [
        ("kalpha2-given/linear", x, counts,
         lambda: [p for c in (38.2, 44.4) for p in (
             velmora.Peak("pseudo_voigt", name=f"r{int(c)}", x0=c),
             velmora.kalpha2(velmora.Peak("pseudo_voigt", name=f"r{int(c)}", x0=c), "Cu"))],
         {"background": "linear"}),
        ("kalpha2-guessed/linear", x, counts,
         lambda: velmora.guess_peaks(TWO_THETA, xrd(seed=30)[1], 2, "pseudo_voigt",
                                     kalpha2="Cu"),
         {"background": "linear"}),
        ("kalpha2-tied-guessed/linear", x, counts,
         lambda: [velmora.Peak("pseudo_voigt", name="r0", bounds={"x0": (37.5, 39.0)}),
                  velmora.kalpha2(velmora.Peak("pseudo_voigt", name="r0"), "Cu")],
         {"background": "linear", "window": (36.0, 41.0)}),
    ]
    return out


def estimates(result):
    """{name: [value, stderr]} of a FitResult, as a batch names them."""
    out = {}
    for peak in result.peaks:
        for name, est in peak.items():
            out[f"{peak.name}.{name}"] = [est.value, math.nan if est.stderr is None
                                          else est.stderr]
    for name, est in result.background.items():
        out[f"background.{name}"] = [est.value, math.nan if est.stderr is None else est.stderr]
    return out


def record_single():
    out = {}
    for name, x, counts, peaks, options in single_cases():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = velmora.fit(x, counts, peaks(), **options)
            out[name] = {"log_likelihood": r.log_likelihood, "n_iter": r.n_iter,
                         "status": r.status, "estimates": estimates(r)}
            # A fit started from it, on the next spectrum of the same kind.
            if name in ("gaussian/linear", "au4f-given/shirley", "gaussian/fixed-guessed"):
                other = counts + np.random.default_rng(5).poisson(3.0, counts.size)
                s = velmora.fit(x, other, peaks(), start=r, **options)
                out[name + " +start"] = {"log_likelihood": s.log_likelihood, "n_iter": s.n_iter,
                                         "status": s.status, "estimates": estimates(s)}
    return out


def batch_cases():
    """(name, x, Y, peaks, options) of every batch."""
    rows, cols = 3, 8
    raman = []
    for i in range(rows * cols):
        x, counts = two_peaks("pseudo_voigt", seed=100 + i)
        raman.append(counts)
    raman = np.array(raman).reshape(rows, cols, -1)
    au_given = np.array([au4f(seed=200 + i, x0=84.0 + 0.02 * i)[1]
                         for i in range(rows * cols)]).reshape(rows, cols, -1)
    return [
        ("pv-map/linear", GRID, raman,
         lambda: [velmora.Peak("pseudo_voigt", x0=3.5), velmora.Peak("pseudo_voigt", x0=5.0)],
         {"background": "linear"}),
        ("pv-map-guessed/linear", GRID, raman,
         lambda: [velmora.Peak("pseudo_voigt"), velmora.Peak("pseudo_voigt")],
         {"background": "linear"}),
        ("au4f-map-given/shirley", BE, au_given,
         lambda: velmora.doublet("voigt", "Au4f", x0=84.0, sigma=0.3, gamma=0.1),
         {"background": "shirley"}),
        ("au4f-map-guessed/shirley", BE, au_given, lambda: velmora.doublet("voigt", "Au4f"),
         {"background": "shirley"}),
        ("au4f-map-guessed/tougaard", BE, au_given[:1], lambda: velmora.doublet("voigt", "Au4f"),
         {"background": "tougaard"}),
        ("pv-map-fixed-guessed/linear", GRID, raman,
         lambda: [velmora.Peak("pseudo_voigt", x0=3.5, fix="eta"),
                  velmora.Peak("pseudo_voigt", x0=5.0)],
         {"background": "linear"}),
    ]


def record_batches():
    out = {}
    for name, x, Y, peaks, options in batch_cases():
        for warm in ("none", "previous"):
            for workers in (1, 2):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    b = velmora.fit_many(x, Y, peaks(), warm_start=warm, workers=workers,
                                         progress=False, **options)
                flat = int(np.prod(b.shape))
                for i in range(flat):
                    index = np.unravel_index(i, b.shape)
                    out[f"{name} warm={warm} workers={workers} #{i}"] = {
                        "log_likelihood": float(b.log_likelihood[index]),
                        "n_iter": int(b.n_iter[index]), "status": int(b.status[index]),
                        "estimates": {n: [float(b.values[n][index]), float(b.stderr[n][index])]
                                      for n in b.names}}
    return out


def relative(a, b):
    if a == b or (math.isnan(a) and math.isnan(b)):
        return 0.0
    if math.isnan(a) or math.isnan(b) or math.isinf(a) or math.isinf(b):
        return math.inf
    return abs(a - b) / max(abs(a), abs(b), 1e-300)


# Estimates whose meaning changed on purpose, and the conversion that gives the new value from
# the old: a Lorentzian or pseudo-Voigt gamma became the half width (old / 2); a Gaussian's
# area became its counts inside the window, and the old whole-line area is the new area_total;
# areas normalised over the grid (Doniach-Sunjic, TSDC) became window integrals (a change of
# the channel rule's order).
CONVERSIONS = {
    "gamma halved": lambda name, old, new: (new.get(name), old[name][0] / 2, name),
    "old area = new area_total": lambda name, old, new: (
        new.get(name[:-len("area")] + "area_total"), old[name][0], name),
}


def conversions(key, old, new, changed):
    """Sorts the estimates of one fit that changed by more than 1e-6 (values only) into the
    conversions above (the one they follow to 1e-6, with its worst residual) or `other`."""
    for name, (v, _) in old.items():
        nv = new.get(name, [math.nan])[0]
        if relative(v, nv) <= 1e-6 or not math.isfinite(v):
            continue
        for label, rule in CONVERSIONS.items():
            got, want, _ = rule(name, old, new)
            got = got[0] if got is not None else math.nan
            if (label == "gamma halved") != name.endswith(".gamma"):
                continue
            if label.startswith("old area") and not name.endswith(".area"):
                continue
            e = relative(got, want)
            if e <= 1e-6:
                count, worst = changed.get(label, (0, 0.0))
                changed[label] = (count + 1, max(worst, e))
                break
        else:
            count, worst = changed.get("other", (0, 0.0))
            changed["other"] = (count + 1, max(worst, relative(v, nv)))
            changed.setdefault("other examples", []).append(f"{key} {name}")


def compare(before, after):
    worst_ll, worst_est, identical, missing = (0.0, ""), (0.0, ""), 0, []
    changed = {}
    for key, old in before.items():
        new = after.get(key)
        if new is None:
            missing.append(key)
            continue
        d = relative(old["log_likelihood"], new["log_likelihood"])
        if d > worst_ll[0]:
            worst_ll = (d, key)
        same = d == 0.0 and old["n_iter"] == new["n_iter"] and old["status"] == new["status"]
        for name, (v, s) in old["estimates"].items():
            nv, ns = new["estimates"].get(name, [math.nan, math.nan])
            for what, a, b in (("value", v, nv), ("stderr", s, ns)):
                e = relative(a, b)
                same = same and e == 0.0
                if e > worst_est[0]:
                    worst_est = (e, f"{key} {name} {what}")
        identical += same
        conversions(key, old["estimates"], new["estimates"], changed)
    print(f"{len(before)} fits compared ({len(missing)} missing from the second record)")
    print(f"largest relative log-likelihood difference {worst_ll[0]:.3g} (<= 1e-9) "
          f"{worst_ll[1]}")
    print(f"largest relative estimate difference {worst_est[0]:.3g} {worst_est[1]}")
    print(f"identical to the bit (log-likelihood, iterations, status, every estimate and "
          f"standard error): {identical} of {len(before) - len(missing)}")
    for key in missing[:10]:
        print(f"missing: {key}")
    for label in list(CONVERSIONS) + ["other"]:
        if label in changed:
            count, worst = changed[label]
            print(f"changed estimates, {label}: {count} (largest residual {worst:.3g})")
    for example in changed.get("other examples", [])[:15]:
        print(f"  changed otherwise: {example}")
    return worst_ll[0] <= 1e-9 and not missing


def main(argv):
    if len(argv) == 3 and argv[1] == "record":
        data = {"single": record_single(), "batch": record_batches()}
        with open(argv[2], "w") as f:
            json.dump(data, f, indent=0)
        print(f"{len(data['single'])} single fits and {len(data['batch'])} batch fits recorded "
              f"in {argv[2]} (velmora from {velmora.__file__})")
        return 0
    if len(argv) == 4 and argv[1] == "compare":
        with open(argv[2]) as f:
            before = json.load(f)
        with open(argv[3]) as f:
            after = json.load(f)
        ok = True
        for part in ("single", "batch"):
            print(f"[{part}]")
            ok = compare(before[part], after[part]) and ok
        return 0 if ok else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
