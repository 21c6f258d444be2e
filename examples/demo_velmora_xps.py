"""The velmora package: an XPS C 1s spectrum with an active Shirley background.

Three chemical states of carbon (C-C, C-O, C=O) as Voigt peaks on a Shirley background (a
constant plus a step proportional to the peak area at lower binding energy), with Poisson
counting noise.  ``velmora.guess_peaks`` reads starting values off the data, ``velmora.fit``
fits peaks and background together (the Shirley step is that of the peaks being fitted, at every
step of the fit), and the script prints the fit report beside the truth and writes
``examples/demo_velmora_xps.png``.
"""
import argparse
import pathlib
import time

import numpy as np
from scipy.special import voigt_profile

import velmora

STATES = [  # name, binding energy (eV), sigma (eV), gamma (eV), area (counts)
    ("C-C", 284.8, 0.35, 0.12, 60000.0),
    ("C-O", 286.3, 0.40, 0.12, 18000.0),
    ("C=O", 288.1, 0.40, 0.12, 9000.0),
]
OFFSET, STEP_HEIGHT = 150.0, 120.0  # counts per channel: below the peaks, and the step


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--plot",
                        default=str(pathlib.Path(__file__).with_name("demo_velmora_xps.png")))
    args = parser.parse_args()

    energy = np.linspace(280.0, 294.0, 701)     # binding energy, eV
    step = energy[1] - energy[0]
    peaks = sum(a * step * voigt_profile(energy - e, s, g) for _, e, s, g, a in STATES)
    cumulative = np.concatenate([[0.0], np.cumsum(0.5 * (peaks[1:] + peaks[:-1]))])
    shirley = OFFSET + STEP_HEIGHT * cumulative / cumulative[-1]
    counts = np.random.default_rng(args.seed).poisson(peaks + shirley)

    start = time.perf_counter()
    guesses = velmora.guess_peaks(energy, counts, len(STATES), "voigt")
    result = velmora.fit(energy, counts, guesses, background="shirley")
    elapsed = time.perf_counter() - start
    print(result.report())
    print(f"\nfitted in {elapsed:.2f} s; truth beside the fit:")
    print(f"{'state':>5} | {'energy (eV)':>19} | {'area (counts)':>27}")
    fitted = sorted(result.peaks, key=lambda p: p["x0"].value)
    for (name, e, _, _, area), peak in zip(STATES, fitted):
        print(f"{name:>5} | {e:8.3f} {peak['x0'].value:10.3f} | {area:8.0f} "
              f"{peak['area'].value:9.0f} +/- {peak['area'].stderr:5.0f}")
    print(f"Shirley step: true {(shirley - OFFSET).sum():.0f} counts, fitted "
          f"{result.background['step'].value:.0f} +/- {result.background['step'].stderr:.0f}")

    fig = result.plot(title="C 1s: three Voigt peaks on an active Shirley background")
    fig.axes[1].set_xlabel("binding energy (eV)")
    fig.savefig(args.plot, dpi=120)
    print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
