"""Gaussian mixtures: Raman bands, and XPS lines on a sloping background.

Two synthetic spectra with a known truth and Poisson counting noise:

1. a Raman-like spectrum of four overlapping Gaussian bands, fitted by ``run_em_loop`` as a
   four-component Gaussian mixture;
2. an XPS-like spectrum of three Gaussian lines on a rising linear background, fitted with the
   triangular background (``bg_type=3``), which also estimates the background's slope.

The script prints true and fitted parameters side by side and writes ``examples/demo_gaussian.png``
with the data, the fitted components and their sum.
"""
import argparse
import pathlib
import time

import numpy as np

import velmora_core

RAMAN = [  # centre (cm^-1), width sigma (cm^-1), area (counts)
    (1325.0, 18.0, 60000.0),
    (1360.0, 14.0, 45000.0),
    (1585.0, 12.0, 80000.0),
    (1610.0, 10.0, 30000.0),
]
XPS = [  # binding energy (eV), width sigma (eV), area (counts)
    (284.8, 0.55, 40000.0),
    (286.3, 0.60, 15000.0),
    (288.9, 0.70, 8000.0),
]
XPS_BACKGROUND = (60.0, 140.0)  # background counts per channel at the two ends of the window


def gaussian_counts(x, peaks):
    step = x[1] - x[0]
    rate = np.zeros_like(x)
    for centre, width, area in peaks:
        rate += area * step * np.exp(-0.5 * ((x - centre) / width) ** 2) / (width * np.sqrt(2 * np.pi))
    return rate


def fit(x, counts, mu, sigma, bg_type=0):
    k = len(mu)
    m = k + (1 if bg_type else 0)
    pi = np.full(m, 1.0 / m)
    start = time.perf_counter()
    n_iter, ll, rel, s_tri = velmora_core.run_em_loop(
        x, counts, mu, sigma, pi, np.ones(m), [False] * k, [False] * k,
        max_iter=5000, r_eps=1e-10, x_min=x[0], x_max=x[-1], bg_type=bg_type)
    elapsed = time.perf_counter() - start
    print(f"{len(x)} points, {int(counts.sum())} counts: {n_iter} EM iterations in "
          f"{elapsed * 1e3:.1f} ms, final log-likelihood {ll[-1]:.3f} "
          f"(last relative change {rel[-1]:.1e})")
    return pi, s_tri, n_iter


def table(truth, mu, sigma, pi, total, unit):
    print(f"{'peak':>4} | {'centre (' + unit + ')':>17} | {'width (' + unit + ')':>15} | "
          f"{'area (counts)':>19}")
    print(f"{'':>4} | {'true':>8} {'fitted':>8} | {'true':>7} {'fitted':>7} | "
          f"{'true':>9} {'fitted':>9}")
    for i, (c, w, a) in enumerate(truth):
        print(f"{i + 1:>4} | {c:8.2f} {mu[i]:8.2f} | {w:7.3f} {sigma[i]:7.3f} | "
              f"{a:9.0f} {pi[i] * total:9.0f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--plot", default=str(pathlib.Path(__file__).with_name("demo_gaussian.png")))
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)

    print("1. Raman bands, Gaussian mixture")
    x1 = np.linspace(1200.0, 1700.0, 1001)
    counts1 = rng.poisson(gaussian_counts(x1, RAMAN)).astype(np.float64)
    mu1 = np.array([1310.0, 1375.0, 1575.0, 1620.0])  # rough guesses read off a plot
    sigma1 = np.full(4, 20.0)
    pi1, _, n1 = fit(x1, counts1, mu1, sigma1)
    table(RAMAN, mu1, sigma1, pi1, counts1.sum(), "cm-1")

    print("\n2. XPS C 1s lines on a rising background, triangular background")
    x2 = np.linspace(280.0, 294.0, 701)
    lo, hi = XPS_BACKGROUND
    background = lo + (hi - lo) * (x2 - x2[0]) / (x2[-1] - x2[0])
    counts2 = rng.poisson(gaussian_counts(x2, XPS) + background).astype(np.float64)
    mu2 = np.array([284.5, 286.0, 289.2])
    sigma2 = np.full(3, 1.0)
    pi2, s_tri, n2 = fit(x2, counts2, mu2, sigma2, bg_type=3)
    table(XPS, mu2, sigma2, pi2, counts2.sum(), "eV")
    true_slope = (hi - lo) / (hi + lo)
    print(f"background: true counts {background.sum():.0f}, fitted {pi2[3] * counts2.sum():.0f}; "
          f"slope true {true_slope:.4f}, fitted {s_tri:.4f}")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\nmatplotlib is not installed; no plot written")
        return
    fig, axes = plt.subplots(1, 2, figsize=(13, 5))
    for ax, x, counts, mu, sigma, pi, n_iter, title, xlabel in (
            (axes[0], x1, counts1, mu1, sigma1, pi1, n1, "Raman bands", "Raman shift (cm$^{-1}$)"),
            (axes[1], x2, counts2, mu2, sigma2, pi2, n2, "XPS C 1s on a sloping background",
             "binding energy (eV)")):
        total, step = counts.sum(), x[1] - x[0]
        ax.plot(x, counts, ".", ms=2.5, color="0.45", label="data (Poisson counts)")
        model = np.zeros_like(x)
        for i in range(len(mu)):
            part = pi[i] * total * gaussian_counts(x, [(mu[i], sigma[i], 1.0)])
            model += part
            ax.fill_between(x, part, alpha=0.35, label=f"peak {i + 1} at {mu[i]:.2f}")
        if len(pi) > len(mu):
            d = x[-1] - x[0]
            density = (1 - s_tri) / d + 2 * s_tri * (x - x[0]) / d**2
            part = pi[-1] * total * step * density
            model += part
            ax.plot(x, part, "--", color="tab:brown", label=f"background (slope {s_tri:.3f})")
        ax.plot(x, model, color="black", lw=1.2, label="total fit")
        ax.set(xlabel=xlabel, ylabel="counts per channel", title=f"{title} ({n_iter} EM iterations)")
        ax.legend(loc="upper right", fontsize=8)
    axes[1].invert_xaxis()  # binding energy is plotted decreasing, as XPS users expect
    fig.tight_layout()
    fig.savefig(args.plot, dpi=110)
    print(f"\nplot written to {args.plot}")


if __name__ == "__main__":
    main()
