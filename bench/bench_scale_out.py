"""A map of a million spectra from Zarr through a Dask cluster, results written as they come.

A simulated map of short spectra (200 channels, one Gaussian line on a sloping background,
its centre and height drifting across the map) is written to a Zarr store in blocks of
10 000 spectra.  ``velmora.fit_many`` fits it as a Dask array on a ``LocalCluster`` of 2
worker processes (one thread each), each block's results written to a new Zarr store by the
worker that fits it (``store=``).  Printed, all measured in this run, for the first quarter of
the map and for the whole of it (each on a fresh cluster):

* spectra per second;
* the peak resident memory of each worker process (their high-water marks), which stays flat
  as the map grows;
* the share of spectra fitted, and the median and 99th percentile of the centres' distance
  from the truth in channels.

    python bench/bench_scale_out.py [--spectra 1000000] [--where DIR]
"""
import argparse
import os
import shutil
import tempfile
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

CHANNELS = 200
X = np.linspace(0.0, 199.0, CHANNELS)
COLUMNS = 1000              # spectra per map row
BLOCK_ROWS = 10             # map rows per block: 10 000 spectra


def truth(rows):
    """True centres and heights of map rows ``rows`` (a range)."""
    r = np.arange(rows.start, rows.stop)[:, None] / 1000.0
    c = np.arange(COLUMNS)[None, :] / COLUMNS
    centre = 100.0 + 15.0 * np.sin(2 * np.pi * r) + 10.0 * c
    height = 300.0 * (0.5 + 0.5 * np.cos(np.pi * c) ** 2) + 50.0
    return centre, height


def write_map(path, rows):
    """The simulated counts, (rows, COLUMNS, CHANNELS) as uint16, block by block."""
    import zarr

    array = zarr.open_array(store=path, mode="w", shape=(rows, COLUMNS, CHANNELS),
                            chunks=(BLOCK_ROWS, COLUMNS, CHANNELS), dtype=np.uint16)
    for start in range(0, rows, BLOCK_ROWS):
        block = range(start, min(rows, start + BLOCK_ROWS))
        centre, height = truth(block)
        rng = np.random.default_rng(start)
        rate = (20.0 + 0.05 * X
                + height[..., None] * np.exp(-0.5 * ((X - centre[..., None]) / 4.0) ** 2))
        array[block.start:block.stop] = rng.poisson(rate).astype(np.uint16)


def peak_memory_of_workers(client):
    """The resident-memory high-water mark of every worker process, in MB."""
    def high_water():
        import resource

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
    return sorted(client.run(high_water).values())


def fit_map(source, rows, where):
    """Fits the first ``rows`` map rows on a fresh cluster; returns spectra/s, the workers'
    peak memory and the batch."""
    import dask
    import dask.array as da
    from distributed import Client, LocalCluster

    import velmora

    peaks = [velmora.Peak("gaussian", x0=100.0, sigma=5.0)]
    out = os.path.join(where, f"fits-{rows}.zarr")
    shutil.rmtree(out, ignore_errors=True)
    with dask.config.set({"distributed.worker.profile.enabled": False}):
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=None, memory_limit="2GB") as cluster, \
                Client(cluster) as client:
            Y = da.from_zarr(source)[:rows]
            began = time.perf_counter()
            batch = velmora.fit_many(X, Y, peaks, background="linear", store=out,
                                     progress=False)
            seconds = time.perf_counter() - began
            memory = peak_memory_of_workers(client)
    return rows * COLUMNS / seconds, memory, batch


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spectra", type=int, default=1_000_000)
    parser.add_argument("--where", default=None, help="directory for the Zarr stores")
    args = parser.parse_args()
    rows = max(BLOCK_ROWS, args.spectra // COLUMNS // BLOCK_ROWS * BLOCK_ROWS)
    where = args.where or tempfile.mkdtemp(prefix="velmora-scale-")
    source = os.path.join(where, "map.zarr")
    began = time.perf_counter()
    write_map(source, rows)
    print(f"map of {rows * COLUMNS} spectra x {CHANNELS} channels written in "
          f"{time.perf_counter() - began:.0f} s", flush=True)
    try:
        peaks = []
        for part in (max(BLOCK_ROWS, rows // 4 // BLOCK_ROWS * BLOCK_ROWS), rows):
            rate, memory, batch = fit_map(source, part, where)
            centre, _ = truth(range(0, part))
            status = batch.status
            fitted = float(np.mean(status == 0))
            error = np.abs(batch.values["p0.x0"] - centre)[status == 0] / (X[1] - X[0])
            peaks.append(max(memory))
            print(f"{part * COLUMNS:8d} spectra: {rate:6.0f} spectra/s on 2 worker processes; "
                  f"peak memory per worker {', '.join(f'{m:.0f}' for m in memory)} MB; "
                  f"fitted {fitted:.4f}; centre error median {np.median(error):.3f}, "
                  f"99th percentile {np.percentile(error, 99):.3f} channels", flush=True)
        print(f"peak worker memory, whole map over a quarter of it: {peaks[1] / peaks[0]:.2f}")
    finally:
        if args.where is None:
            shutil.rmtree(where, ignore_errors=True)


if __name__ == "__main__":
    main()
