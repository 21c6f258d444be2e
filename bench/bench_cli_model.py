"""The command line with a model file gives the numbers of the same model in Python.

Two real files (the folder of instrument files, ``VELMORA_VENDOR_DATA`` or
``../shared/data/vendor``):

* ``Pt4f.vms`` (XPS, a kinetic-energy VAMAS file, read as binding energy): the Pt 4f doublet
  as one ``[[doublet]]`` of Voigt lines on an active Shirley background;
* ``210520step1_30min.xrdml`` (XRD, Cu anode stated in the file): three reflections, each with
  its Kα2 partner from the wavelengths the file states (``kalpha2 = "file"``), on a linear
  background in a window.  (This instrument has a Ge 111 monochromator and the file states a
  Kα2 ratio of 0, which ``kalpha2 = "file"`` alone refuses: the ratio 0.5 is given, and the
  partners here test the command line against Python, not the physics.)

For each, ``python -m velmora fit FILE --model MODEL.toml --json OUT.json`` runs in a
subprocess, and ``velmora.fit(x, counts, **velmora.load_model(MODEL.toml, data=counts))`` in
this process; every estimate and standard error of the JSON is printed beside Python's, with
the largest difference (0 expected: the same code runs on the same numbers).

    python bench/bench_cli_model.py
"""
import json
import os
from pathlib import Path
import subprocess
import sys
import tempfile
import warnings

import velmora

PT4F = """\
background = "shirley"
energy = "binding"
window = [66.0, 82.0]

[[doublet]]
shape = "voigt"
name = "Pt4f"
x0 = 71.2
sigma = { value = 0.3, min = 0.05, max = 2.0 }
"""

XRD = """\
background = "linear"
window = [23.5, 32.5]
kalpha2 = "file"
kalpha2_ratio = 0.5

[[peak]]
shape = "pseudo_voigt"
x0 = 24.8

[[peak]]
shape = "pseudo_voigt"
x0 = 29.0

[[peak]]
shape = "pseudo_voigt"
x0 = 31.2
"""

CASES = [("Pt4f.vms", "binding", PT4F), ("210520step1_30min.xrdml", None, XRD)]


def vendor_folder():
    repo = Path(__file__).resolve().parents[1]
    for candidate in (os.environ.get("VELMORA_VENDOR_DATA"), repo.parent / "shared" / "data" /
                      "vendor", "/work/shared/data/vendor"):
        if candidate and Path(candidate, "README.md").is_file():
            return Path(candidate)
    sys.exit("no folder of instrument files: set VELMORA_VENDOR_DATA")


def numbers_of(peaks):
    """(name, value, stderr) of every estimate of the JSON's peaks."""
    return [(f"{peak}.{n}", e["value"], e["stderr"]) for peak, entries in peaks.items()
            for n, e in entries.items() if isinstance(e, dict)]


def main():
    folder = vendor_folder()
    with tempfile.TemporaryDirectory() as tmp:
        for name, energy, text in CASES:
            path = folder / name
            model = Path(tmp, name + ".toml")
            model.write_text(text, encoding="utf-8")
            out = Path(tmp, name + ".json")
            command = [sys.executable, "-m", "velmora", "fit", str(path), "--model", str(model),
                       "--json", str(out)] + (["--energy", energy] if energy else [])
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                sys.exit(f"{name}: the command line failed: {done.stderr.strip()}")
            cli = json.loads(out.read_text())

            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # Pt4f.vms holds processed intensities
                counts = velmora.read(path, energy=energy)
            result = velmora.fit(counts[counts.dims[-1]], counts,
                                 **velmora.load_model(model, data=counts))
            python = result.to_dict()

            print(f"\n{name}: {len(result.peaks)} peaks, {result.background_model} background, "
                  f"window {list(result.window)}")
            print(f"    {'estimate':<22}{'command line':>24}{'Python':>24}{'stderr (CLI)':>16}")
            largest = 0.0
            rows = numbers_of(cli["peaks"]) + [(f"background.{n}", e["value"], e["stderr"])
                                               for n, e in cli["background"].items()]
            ours = dict((n, (v, s)) for n, v, s in numbers_of(python["peaks"]) + [
                (f"background.{n}", e["value"], e["stderr"])
                for n, e in python["background"].items()])
            for key, value, stderr in rows:
                mine, my_stderr = ours[key]
                for a, b in ((value, mine), (stderr, my_stderr)):
                    if a is not None and b is not None:
                        largest = max(largest, abs(a - b))
                    elif (a is None) != (b is None):
                        largest = float("inf")
                shown = "fixed" if stderr is None else f"{stderr:.4g}"
                print(f"    {key:<22}{value!r:>24}{mine!r:>24}{shown:>16}")
            ll = (cli["statistics"]["log_likelihood"], python["statistics"]["log_likelihood"])
            largest = max(largest, abs(ll[0] - ll[1]))
            print(f"    {'log-likelihood':<22}{ll[0]!r:>24}{ll[1]!r:>24}")
            print(f"    largest difference: {largest!r}")


if __name__ == "__main__":
    main()
