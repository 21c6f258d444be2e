"""A Raman map: 100 x 100 spectra fitted with velmora.fit_many.

A simulated silicon wafer under stress: the 520 cm-1 band shifts, broadens and changes in
height across the map, beside a weaker band at 470 cm-1, on a sloping background.  Every
spectrum is fitted with two pseudo-Voigt bands and a linear background, warm-started from its
neighbour along a serpentine path, on the worker threads, with a progress bar.  The plot
shows the fitted centre, width and area maps of the main band beside the true ones
(examples/demo_batch_map.png).

    python examples/demo_batch_map.py
"""
import os
import time

import numpy as np

import velmora

HERE = os.path.dirname(os.path.abspath(__file__))
SIDE = 100
X = np.linspace(420.0, 620.0, 201)  # Raman shift, 1 cm-1 per channel
ETA = 0.9


def pseudo_voigt(x, centre, fwhm, eta):
    gauss = np.exp(-4.0 * np.log(2.0) * ((x - centre) / fwhm) ** 2)
    lorentz = 1.0 / (1.0 + 4.0 * ((x - centre) / fwhm) ** 2)
    return eta * gauss + (1.0 - eta) * lorentz


def simulate(seed=11):
    rng = np.random.default_rng(seed)
    r, c = np.meshgrid(np.linspace(-1, 1, SIDE), np.linspace(-1, 1, SIDE), indexing="ij")
    stress = np.exp(-((r - 0.2) ** 2 + (c + 0.3) ** 2) / 0.3)
    centre = 520.0 - 4.0 * stress + 0.5 * c
    fwhm = 8.0 + 3.0 * stress
    height = 400.0 * (1.0 - 0.4 * stress) + 50.0 * r
    rate = (height[..., None] * pseudo_voigt(X, centre[..., None], fwhm[..., None], ETA)
            + 60.0 * pseudo_voigt(X, 470.0, 14.0, ETA) + 15.0 + 0.03 * (X - 420.0))
    # The area of a pseudo-Voigt of unit height: eta Gaussian + (1 - eta) Lorentzian areas.
    unit_area = fwhm * (ETA * 0.5 * np.sqrt(np.pi / np.log(2.0)) + (1 - ETA) * 0.5 * np.pi)
    return rng.poisson(rate).astype(np.float64), centre, fwhm, height * unit_area


def main():
    Y, centre, fwhm, area = simulate()
    peaks = [velmora.Peak("pseudo_voigt", x0=520.0, gamma=9.0, eta=ETA),
             velmora.Peak("pseudo_voigt", x0=470.0, gamma=14.0, eta=ETA)]
    t0 = time.perf_counter()
    # The progress bar shows on a terminal (progress=True would force it).
    batch = velmora.fit_many(X, Y, peaks, background="linear", tol=1e-7)
    seconds = time.perf_counter() - t0
    print(f"{SIDE * SIDE} spectra in {seconds:.1f} s ({SIDE * SIDE / seconds:.0f} spectra/s); "
          f"status: {batch.summary()}; mean iterations {batch.n_iter.mean():.1f}")
    for name, fitted, true in (("centre", batch.values["p0.x0"], centre),
                               ("FWHM", batch.values["p0.gamma"], fwhm),
                               ("area", batch.values["p0.area"], area)):
        err = fitted - true
        print(f"{name:7s} error: median {np.median(err):+.4f}, 95% within "
              f"{np.percentile(np.abs(err), 95):.4f}")
    z = batch.values["p0.x0"] - centre
    se = batch.stderr["p0.x0"]
    print(f"centre errors within 1.96 stderr: {np.mean(np.abs(z) <= 1.96 * se):.3f}")

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    fig, axes = plt.subplots(2, 3, figsize=(11, 7), constrained_layout=True)
    for col, (title, fitted, true, unit) in enumerate((
            ("centre", batch.values["p0.x0"], centre, "cm$^{-1}$"),
            ("FWHM", batch.values["p0.gamma"], fwhm, "cm$^{-1}$"),
            ("area", batch.values["p0.area"], area, "counts"))):
        lo, hi = np.nanpercentile(true, [0, 100])
        for row, (label, image) in enumerate((("true", true), ("fitted", fitted))):
            ax = axes[row, col]
            im = ax.imshow(image, vmin=lo, vmax=hi, origin="lower", cmap="viridis")
            ax.set_title(f"{label} {title}")
            ax.set_xticks([])
            ax.set_yticks([])
            fig.colorbar(im, ax=ax, shrink=0.8, label=unit)
    out = os.path.join(HERE, "demo_batch_map.png")
    fig.savefig(out, dpi=90)
    print(f"plot written to {out}")


if __name__ == "__main__":
    main()
