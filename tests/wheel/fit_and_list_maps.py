"""Runs inside a venv that holds only pip, NumPy and the wheel (see test_installed_wheel.py).

    python fit_and_list_maps.py REPORT DISTRIBUTION [PACKAGE...]

Imports velmora_core and every PACKAGE, fits one mixture of each shape and writes REPORT
(JSON): the files mapped into this process after importing NumPy and again after the fits, the
installed files of DISTRIBUTION, and where each PACKAGE was imported from.
"""
import importlib
import importlib.metadata
import json
import os
import sys
import sysconfig

import numpy as np


def mapped_files():
    with open("/proc/self/maps") as maps:
        fields = (line.split(maxsplit=5) for line in maps)
        return sorted({f[5].rstrip("\n") for f in fields if len(f) == 6 and f[5].startswith("/")})


def fits(vc):
    """One small fit of each shape; large enough (N * K > 1000) to run on the worker pool."""
    rng = np.random.default_rng(7)
    x = np.linspace(0.0, 10.0, 1000)
    y = rng.poisson(300 * np.exp(-0.5 * ((x - 4.0) / 0.6) ** 2)
                    + 200 * np.exp(-0.5 * ((x - 6.5) / 0.8) ** 2) + 1.0).astype(np.float64)
    start = lambda *v: np.array(v, dtype=np.float64)  # noqa: E731
    free, alpha = [False, False], np.ones(2)
    vc._status_line(False)
    yield "run_em_loop", vc.run_em_loop(
        x, y, start(3.5, 7.0), start(1.0, 1.0), start(0.5, 0.5), alpha, free, free, 10, 1e-10,
        0.0, 10.0)
    yield "run_lorentzian_em_loop", vc.run_lorentzian_em_loop(
        x, y, start(3.5, 7.0), start(1.0, 1.0), start(0.5, 0.5), alpha, free, free, 0.0, 10.0,
        3, 1e-10)
    yield "run_pv_em_loop", vc.run_pv_em_loop(
        x, y, start(3.5, 7.0), start(1.0, 1.0), start(0.9, 0.9), start(0.5, 0.5), alpha, free,
        free, free, False, 0.0, 10.0, 0.05, 5.0, 3, 1e-10)
    yield "run_voigt_em_loop", vc.run_voigt_em_loop(
        x, y, start(3.5, 7.0), start(0.5, 0.5), start(0.3, 0.3), start(0.5, 0.5), alpha, free,
        free, free, 0.0, 10.0, 0.01, 3.0, 0.01, 3.0, 2, 1e-10)
    yield "run_ds_em_loop", vc.run_ds_em_loop(
        x, y, start(3.5, 7.0), start(0.5, 0.5), start(0.1, 0.1), start(0.5, 0.5), alpha, free,
        free, free, 0.0, 10.0, 0.05, 5.0, 0.0, 0.5, 2, 1e-10)
    # A thermogram with peaks at 220 K and 290 K (heating rate 0.1 K/s).
    k_b, beta = 8.617e-5, 0.1
    tau0 = lambda ea, tp: np.exp(-ea / (k_b * tp)) * k_b * tp * tp / (beta * ea)  # noqa: E731
    t = np.linspace(150.0, 350.0, 1000)
    rate = 4e4 * (vc.tsdc_predict(t, 0.6, tau0(0.6, 220.0), beta)
                  + vc.tsdc_predict(t, 1.2, tau0(1.2, 290.0), beta))
    yield "run_tsdc_em_loop", vc.run_tsdc_em_loop(
        t, rng.poisson(rate + 1.0).astype(np.float64), start(0.8, 0.8),
        start(tau0(0.8, 210.0), tau0(0.8, 300.0)), start(210.0, 300.0), start(0.5, 0.5), alpha,
        free, free, beta, 0.05, 5.0, t[0], t[-1], 3, 1e-10)


def main():
    report_path, distribution, *packages = sys.argv[1:]
    report = {"ld_library_path": os.environ.get("LD_LIBRARY_PATH"),
              "site": os.path.realpath(sysconfig.get_paths()["purelib"]),
              "before": mapped_files()}
    import velmora_core
    report["module"] = os.path.realpath(velmora_core.__file__)
    report["packages"] = {}
    for name in packages:
        package = importlib.import_module(name)
        report["packages"][name] = {"file": os.path.realpath(package.__file__),
                                    "version": getattr(package, "__version__", None)}
    report["fits"] = {name: [int(n_iter), bool(np.isfinite(ll).all())]
                      for name, (n_iter, ll, _, _) in fits(velmora_core)}
    report["after"] = mapped_files()
    dist = importlib.metadata.distribution(distribution)
    report["version"] = dist.version
    report["files"] = sorted(os.path.realpath(f.locate()) for f in dist.files)
    with open(report_path, "w") as out:
        json.dump(report, out)


if __name__ == "__main__":
    main()
