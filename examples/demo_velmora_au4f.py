"""The velmora package on XPS: an Au 4f doublet, and a C 1s envelope with Tougaard and Shirley
backgrounds side by side.

Au 4f: ``velmora.doublet`` gives the 4f7/2 and 4f5/2 lines (Voigt shapes) tied as the
spin-orbit splitting has them: 3.67 eV apart, areas 4 : 3, one pair of widths; fitted on an
active Shirley background.

C 1s: three chemical states whose true background is an offset plus the Tougaard tail of the
peaks (the universal inelastic cross-section, B T / (C + T^2)^2), drawn with Poisson noise;
the same peaks fitted once with ``background="tougaard"`` and once with ``"shirley"``: the log-
likelihoods and the areas say which background describes the losses.

Prints both fits beside the truth and writes ``examples/demo_velmora_au4f.png``.
"""
import argparse
import pathlib

import numpy as np
from scipy.special import voigt_profile

import velmora

AU4F = dict(x0=84.0, sigma=0.25, gamma=0.15, area=80000.0, splitting=3.67)
C1S = [("C-C", 284.8, 0.35, 0.12, 60000.0), ("C-O", 286.3, 0.40, 0.12, 18000.0),
       ("C=O", 288.6, 0.40, 0.12, 9000.0)]  # name, binding energy (eV), sigma, gamma, area
TOUGAARD_B, TOUGAARD_C = 2866.0, 1643.0  # eV^2: Tougaard's universal cross-section
OFFSET = 80.0


def tougaard_tail(energy, peaks):
    """The loss tail of ``peaks`` on a binding-energy grid: at every energy, the peak counts at
    lower binding energy weighted by the universal cross-section of the energy lost."""
    step = energy[1] - energy[0]
    loss = energy[:, None] - energy[None, :]
    kernel = np.where(loss > 0, TOUGAARD_B * loss / (TOUGAARD_C + loss * loss) ** 2, 0.0)
    return kernel @ peaks * step


def au4f(rng):
    energy = np.linspace(80.0, 92.0, 481)
    step = energy[1] - energy[0]
    d = AU4F
    first = d["area"] * step * voigt_profile(energy - d["x0"], d["sigma"], d["gamma"])
    peaks = first + 0.75 * d["area"] * step * voigt_profile(
        energy - d["x0"] - d["splitting"], d["sigma"], d["gamma"])
    shirley = 0.004 * (np.cumsum(peaks) - 0.5 * peaks)
    counts = rng.poisson(peaks + 120.0 + shirley).astype(float)
    lines = velmora.doublet("voigt", name="Au4f", x0=83.9, splitting=d["splitting"],
                            orbital="f", sigma=0.3, gamma=0.1)
    result = velmora.fit(energy, counts, lines, background="shirley")
    print(result.report())
    truth = first.sum()
    first, second = result.peaks["Au4f7"], result.peaks["Au4f5"]
    print(f"\nAu 4f7/2 at {first['x0'].value:.3f} +/- {first['x0'].stderr:.3f} eV (true "
          f"{d['x0']}), 4f5/2 at {second['x0'].value:.3f} (tied: +{d['splitting']} eV); area "
          f"{first['area'].value:.0f} +/- {first['area'].stderr:.0f} (true, inside the window: "
          f"{truth:.0f}), "
          f"ratio {second['area'].value / first['area'].value:.4f} (tied: 0.75)")
    return result


def c1s(rng):
    energy = np.linspace(280.0, 310.0, 751)
    step = energy[1] - energy[0]
    lines = [a * step * voigt_profile(energy - e, s, g) for _, e, s, g, a in C1S]
    peaks = sum(lines)
    counts = rng.poisson(peaks + OFFSET + tougaard_tail(energy, peaks)).astype(float)
    results = {}
    for background in ("tougaard", "shirley"):
        start = [velmora.Peak("voigt", name=name.replace("-", "_").replace("=", "_d"), x0=e,
                              sigma=0.3, gamma=0.1) for name, e, _, _, _ in C1S]
        results[background] = velmora.fit(energy, counts, start, background=background)
    print(f"\nC 1s, true background: offset {OFFSET:g} counts per channel and a Tougaard tail "
          f"(B = {TOUGAARD_B:g} eV^2, C = {TOUGAARD_C:g} eV^2)")
    print("true areas: the peaks' counts inside the window")
    print(f"{'state':>5} | {'true area':>9} | {'Tougaard fit':>18} | {'Shirley fit':>18}")
    for k, (name, line) in enumerate(zip((c[0] for c in C1S), lines)):
        t, s = (results[b].peaks[k]["area"] for b in ("tougaard", "shirley"))
        print(f"{name:>5} | {line.sum():9.0f} | {t.value:8.0f} +/- {t.stderr:5.0f} | "
              f"{s.value:8.0f} +/- {s.stderr:5.0f}")
    for b, r in results.items():
        extra = ""
        if b == "tougaard":
            extra = f"; B = {r.background['B'].value:.0f} +/- {r.background['B'].stderr:.0f} eV^2"
        print(f"{b:>8}: log-likelihood {r.log_likelihood:.1f}{extra}")
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--plot",
                        default=str(pathlib.Path(__file__).with_name("demo_velmora_au4f.png")))
    args = parser.parse_args()
    rng = np.random.default_rng(args.seed)
    doublet = au4f(rng)
    c1s_fits = c1s(rng)

    from matplotlib.figure import Figure

    fig = Figure(figsize=(13, 4.5))
    axes = fig.subplots(1, 3)
    panels = [(doublet, "Au 4f doublet, Shirley"), (c1s_fits["tougaard"], "C 1s, Tougaard"),
              (c1s_fits["shirley"], "C 1s, Shirley")]
    for ax, (r, title) in zip(axes, panels):
        parts = r.eval_components()
        background = parts.pop("background")
        ax.plot(r.x, r.counts, ".", ms=2.5, color="0.45", label="data")
        for name, curve in parts.items():
            ax.fill_between(r.x, background, background + curve, alpha=0.35, label=name)
        ax.plot(r.x, background, "--", color="tab:gray", lw=1, label="background")
        ax.plot(r.x, background + sum(parts.values()), color="black", lw=1, label="total")
        ax.set_xlim(r.x.max(), r.x.min())  # binding energy runs from high to low
        ax.set_xlabel("Binding energy (eV)")
        ax.set_title(title)
        ax.legend(fontsize="x-small")
    axes[0].set_ylabel("counts")
    fig.tight_layout()
    fig.savefig(args.plot, dpi=110)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
