"""Many spectra: velmora.fit_many on threads and on a Dask cluster, against a loop of lmfit fits.

A simulated Raman map of 100 x 100 spectra x 1000 channels: three pseudo-Voigt bands whose
centres, widths and heights drift smoothly across the map, on a sloping background, Poisson
counts.  Printed, all measured in this run:

* spectra per second of ``velmora.fit_many`` with 1 and 2 worker threads (warm starts along
  the serpentine path), and the scaling from 1 to 2 workers (target: at least 1.8);
* spectra per second of a loop of lmfit fits of the same model (pseudo-Voigt models plus a
  linear background, least squares with sqrt-count weights, the same starting values) on a
  sample of the spectra, and our 2-worker throughput over lmfit's (target: at least 20); the
  largest centre difference from lmfit's on that sample, in channels (target: at most 0.1);
* the time of the same batch as a Dask array on a LocalCluster of 2 worker processes with one
  thread each (the array already in the workers' memory, Dask's statistical profiler off, after
  a first small batch), over the threaded path's time with 2 workers, the two timed in turn
  twice and the better of each taken (target: at most 1.3);
* warm starting: mean iterations and spectra per second with ``warm_start="none"``.

    python bench/bench_batch.py [--side 100] [--lmfit-sample 200]
"""
import argparse
import os
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

import velmora  # noqa: E402

CHANNELS = 1000
X = np.linspace(100.0, 1100.0, CHANNELS)          # Raman shift, 1 cm-1 per channel
BANDS = [(400.0, 30.0, 800.0), (520.0, 40.0, 500.0), (800.0, 25.0, 600.0)]  # centre, FWHM, h
ETA = 0.85  # Gaussian share of every band's area (as velmora's and lmfit's eta mean it)


def pseudo_voigt(x, centre, fwhm, eta):
    """A pseudo-Voigt band of unit height: a Gaussian and a Lorentzian of one FWHM mixed by
    area, eta the Gaussian's share."""
    gauss = np.exp(-4.0 * np.log(2.0) * ((x - centre) / fwhm) ** 2)
    lorentz = 1.0 / (1.0 + 4.0 * ((x - centre) / fwhm) ** 2)
    g_area, l_area = fwhm * np.sqrt(np.pi / (4.0 * np.log(2.0))), fwhm * np.pi / 2.0
    mixed = eta * gauss / g_area + (1.0 - eta) * lorentz / l_area
    return mixed / (eta / g_area + (1.0 - eta) / l_area)


def raman_map(side, seed=7):
    """Counts (side, side, CHANNELS) and the true centres, FWHMs and heights per band."""
    rng = np.random.default_rng(seed)
    r, c = np.meshgrid(np.linspace(0, 1, side), np.linspace(0, 1, side), indexing="ij")
    truth = []
    rate = 20.0 + 0.02 * (X - 100.0)
    rate = np.broadcast_to(rate, (side, side, CHANNELS)).copy()
    for k, (centre, fwhm, height) in enumerate(BANDS):
        cen = centre + 6.0 * np.sin(np.pi * (r + 0.5 * k)) + 4.0 * c
        wid = fwhm * (1.0 + 0.15 * r * c)
        hgt = height * (0.6 + 0.8 * np.exp(-((r - 0.5) ** 2 + (c - 0.4) ** 2) / 0.1))
        rate += hgt[..., None] * pseudo_voigt(X, cen[..., None], wid[..., None], ETA)
        truth.append((cen, wid, hgt))
    return rng.poisson(rate).astype(np.float64), truth


def start_peaks():
    return [velmora.Peak("pseudo_voigt", x0=centre, gamma=0.5 * fwhm, eta=ETA)
            for centre, fwhm, _ in BANDS]


def timed(fn):
    t0 = time.perf_counter()
    out = fn()
    return out, time.perf_counter() - t0


def lmfit_loop(Y):
    from lmfit.models import LinearModel, PseudoVoigtModel

    model = LinearModel(prefix="bg_")
    for k in range(len(BANDS)):
        model = model + PseudoVoigtModel(prefix=f"p{k}_")
    params = model.make_params(bg_slope=0.0, bg_intercept=20.0)
    for k, (centre, fwhm, height) in enumerate(BANDS):
        params[f"p{k}_center"].set(centre)
        params[f"p{k}_sigma"].set(fwhm / 2.0, min=0.0)
        params[f"p{k}_amplitude"].set(height * fwhm, min=0.0)
        params[f"p{k}_fraction"].set(1.0 - ETA, min=0.0, max=1.0)
    centres = []
    for y in Y:
        fit = model.fit(y, params, x=X, weights=1.0 / np.sqrt(np.maximum(y, 1.0)))
        centres.append([fit.params[f"p{k}_center"].value for k in range(len(BANDS))])
    return np.array(centres)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--side", type=int, default=100)
    parser.add_argument("--lmfit-sample", type=int, default=200)
    parser.add_argument("--tol", type=float, default=1e-7)
    args = parser.parse_args()

    Y, _ = raman_map(args.side)
    n = Y.shape[0] * Y.shape[1]
    peaks = start_peaks()
    options = dict(background="linear", tol=args.tol, progress=False)
    print(f"{n} spectra x {CHANNELS} channels, 3 pseudo-Voigt bands, linear background, tol "
          f"{args.tol:g}")

    one, t1 = timed(lambda: velmora.fit_many(X, Y, peaks, workers=1, **options))
    two, t2 = timed(lambda: velmora.fit_many(X, Y, peaks, workers=2, **options))
    same = all(np.array_equal(one.values[k], two.values[k], equal_nan=True) for k in one.names)
    print(f"threads: 1 worker {n / t1:8.1f} spectra/s, 2 workers {n / t2:8.1f} spectra/s, "
          f"scaling {t1 / t2:.2f} (target >= 1.8); identical results: {same}; "
          f"{one.summary()}")

    cold, tc = timed(lambda: velmora.fit_many(X, Y, peaks, workers=2, warm_start="none",
                                              **options))
    print(f"warm start: mean iterations {two.n_iter.mean():.1f} (none: "
          f"{cold.n_iter.mean():.1f}); 2-worker time {t2:.1f} s (none: {tc:.1f} s, "
          f"{tc / t2:.2f}x)")

    flat = Y.reshape(n, CHANNELS)
    sample = np.linspace(0, n - 1, min(args.lmfit_sample, n)).astype(int)
    centres, tl = timed(lambda: lmfit_loop(flat[sample]))
    ours = np.stack([two.values[f"p{k}.x0"].reshape(n)[sample] for k in range(len(BANDS))],
                    axis=1)
    step = X[1] - X[0]
    print(f"lmfit: {len(sample) / tl:8.1f} spectra/s on {len(sample)} spectra; ours with 2 "
          f"workers / lmfit = {(n / t2) / (len(sample) / tl):.1f} (target >= 20); largest "
          f"centre difference {np.max(np.abs(ours - centres)) / step:.3f} channels "
          f"(target <= 0.1)")

    try:
        import dask.array as da
        from distributed import Client, LocalCluster, wait
    except ImportError:
        print("dask.distributed is not installed: LocalCluster not timed")
        return
    import dask

    # Dask's statistical profiler (the dashboard's profile page) samples every worker thread
    # each 10 ms and cost these fits about a fifth more processor time; a batch job runs
    # without it.
    dask.config.set({"distributed.worker.profile.enabled": False})
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("velmora"))  # every worker process imports velmora once
        # The Dask blocks are the threaded path's default chunks, so that both fit the same
        # warm-start paths.  The spectra are put into the workers' memory first, as the
        # threaded path has them in its own: the time is the fitting's, not that of shipping
        # the map to the cluster.
        blocks = velmora.batch._normalise_chunks(None, Y.shape[:-1])
        chunked = da.from_array(Y, chunks=blocks + ((CHANNELS,),)).persist()
        wait(chunked)
        velmora.fit_many(X, chunked[:2], peaks, **options)  # a first batch on the cluster
        # This machine's speed drifts by a fifth over minutes: the two paths are timed in
        # turn, twice, and the better time of each is compared.
        threaded, cluster_times = [], []
        for _ in range(2):
            threaded.append(timed(lambda: velmora.fit_many(X, Y, peaks, workers=2,
                                                           **options))[1])
            on_cluster, td = timed(lambda: velmora.fit_many(X, chunked, peaks, **options))
            cluster_times.append(td)
    same = all(np.array_equal(on_cluster.values[k], two.values[k], equal_nan=True)
               for k in two.names)
    t2_now, td = min(threaded), min(cluster_times)
    print(f"Dask LocalCluster (2 processes): {n / td:8.1f} spectra/s, threaded timed in turn "
          f"{n / t2_now:.1f} spectra/s; best time / best threaded time {td / t2_now:.2f} "
          f"(target <= 1.3); identical results: {same}")


if __name__ == "__main__":
    main()
