"""velmora.fit_many: many spectra, the same fits as one at a time."""
import _thread
import math
import subprocess
import sys
import time

import numpy as np
import pytest

import velmora

X = np.linspace(0.0, 10.0, 120)
PEAKS = [velmora.Peak("gaussian", x0=4.8, sigma=0.5)]


def raman_map(ny=3, nx=4, seed=3):
    """A small map whose peak drifts from spectrum to spectrum."""
    rng = np.random.default_rng(seed)
    centre = np.linspace(4.5, 5.5, ny * nx).reshape(ny, nx, 1)
    return rng.poisson(400 * np.exp(-0.5 * ((X - centre) / 0.4) ** 2) + 5).astype(float)


def single(y, peaks, start=None):
    return velmora.fit(X, y, peaks, background="uniform", tol=1e-8, start=start)


def assert_is_single_fit(batch, index, alone):
    """Every estimate, standard error and the log-likelihood of spectrum ``index`` of the
    batch are those of the single fit ``alone``, to the bit."""
    assert batch.log_likelihood[index] == alone.log_likelihood, index
    for name in batch.names:
        where, key = name.split(".", 1)
        est = alone.background[key] if where == "background" else alone.peaks[where][key]
        stderr = math.nan if est.stderr is None else est.stderr
        assert np.array_equal([batch.values[name][index], batch.stderr[name][index]],
                              [est.value, stderr], equal_nan=True), (name, index)


@pytest.mark.parametrize("workers", [1, 2])
def test_each_spectrum_is_the_single_fit_from_its_predecessor_along_the_serpentine(workers):
    Y = raman_map()
    Y[0, 2] = 0.0                       # no counts: skipped, the next starts from (0, 1)
    Y[1, 2, 7] = np.nan                 # invalid data, likewise
    batch = velmora.fit_many(X, Y, PEAKS, background="uniform", tol=1e-8, workers=workers,
                             chunks=(2, 4))
    # Chunks of two rows: row 0 left to right, row 1 right to left, then row 2 from `PEAKS`.
    for path in ([(0, 0), (0, 1), (0, 2), (0, 3), (1, 3), (1, 2), (1, 1), (1, 0)],
                 [(2, 0), (2, 1), (2, 2), (2, 3)]):
        start = None
        for index in path:
            if index in ((0, 2), (1, 2)):
                assert batch.status[index] == (3 if index == (0, 2) else 2)
                assert np.isnan(batch.values["p0.x0"][index])
                continue
            alone = single(Y[index], PEAKS, start)
            for name in ("x0", "sigma", "area"):
                assert batch.values[f"p0.{name}"][index] == alone.peaks[0][name].value
                assert batch.stderr[f"p0.{name}"][index] == alone.peaks[0][name].stderr
            assert batch.log_likelihood[index] == alone.log_likelihood
            assert batch.n_iter[index] == alone.n_iter and batch.converged[index]
            # A warm start changes how the optimum is reached, not where it lies.
            cold = single(Y[index], PEAKS)
            assert abs(alone.peaks[0]["x0"].value - cold.peaks[0]["x0"].value) \
                < 0.01 * cold.peaks[0]["x0"].stderr
            start = alone
    full = batch.result((1, 1))
    assert full.log_likelihood == batch.log_likelihood[1, 1]


def test_a_single_fit_is_a_batch_of_one_bit_for_bit():
    # One path: the fit of a spectrum alone, a batch of it alone and its place in a batch of
    # many (on two workers) give the same result, every number of it, curves and covariance
    # included; and a batch's result is read from its row, not fitted again.
    Y = raman_map(2, 3)
    model = velmora.Model(PEAKS, background="linear", tol=1e-8)
    alone = model.fit(X, Y[1, 2])
    for batch, index in ((model.fit_many(X, Y[1, 2][None], warm_start="none"), (0,)),
                         (model.fit_many(X, Y, warm_start="none", workers=2), (1, 2))):
        assert_is_single_fit(batch, index, alone)
        again = batch.result(index)
        assert again.to_dict() == alone.to_dict() and again.warnings == alone.warnings
        assert np.array_equal(again.eval(), alone.eval())
        assert np.array_equal(again.state.values, alone.state.values)
    with pytest.raises(ValueError, match="not fitted \\(no counts\\)"):
        model.fit_many(X, np.zeros((1, X.size))).result(0)


@pytest.mark.parametrize("peak", [
    velmora.Peak("lorentzian", x0=4.8), velmora.Peak("pseudo_voigt", x0=4.8),
    velmora.Peak("voigt", x0=4.8), velmora.Peak("doniach_sunjic", x0=4.8)], ids=str)
def test_every_shape_in_a_burst_is_its_single_fit(peak):
    Y = raman_map(2, 2)
    batch = velmora.fit_many(X, Y, [peak], background="linear", tol=1e-8, workers=1)
    start = None
    for index in [(0, 0), (0, 1), (1, 1), (1, 0)]:
        alone = velmora.fit(X, Y[index], [peak], background="linear", tol=1e-8, start=start)
        for name in batch.names:
            where, key = name.split(".", 1)
            est = alone.background[key] if where == "background" else alone.peaks[0][key]
            assert np.array_equal([batch.values[name][index], batch.stderr[name][index]],
                                  [est.value, est.stderr], equal_nan=True), name
        start = alone


@pytest.mark.parametrize("change, message", [
    (dict(x=np.linspace(0.0, 12.0, 120)), "another grid"),
    (dict(peaks=[velmora.Peak("lorentzian", x0=4.8)]), "cannot start"),
    (dict(background="linear"), "background"),
])
def test_a_start_from_another_model_or_grid_is_refused(change, message):
    y = raman_map()[0, 0]
    start = single(y, PEAKS)
    args = dict(x=X, peaks=PEAKS, background="uniform") | change
    with pytest.raises(ValueError, match=message):
        velmora.fit(args["x"], y, args["peaks"], args["background"], start=start)


def test_spectra_that_cannot_be_fitted_are_reported_and_the_batch_goes_on():
    Y = raman_map()
    Y[0, 1] = 0.0                       # no counts
    Y[1, 2, 7] = np.nan                 # invalid data
    Y[2, 3, 0] = -1.0                   # invalid data
    before = Y.copy()
    batch = velmora.fit_many(X, Y, PEAKS, background="uniform", tol=1e-8, workers=2,
                             warm_start="none")
    assert np.array_equal(Y, before, equal_nan=True)
    status = np.zeros(Y.shape[:-1], dtype=np.int8)
    status[0, 1], status[1, 2], status[2, 3] = 3, 2, 2
    assert np.array_equal(batch.status, status)
    bad = status != 0
    assert np.isnan(batch.values["p0.x0"][bad]).all() and not batch.converged[bad].any()
    for index in [(0, 0), (0, 2), (2, 2)]:
        assert batch.values["p0.x0"][index] == single(Y[index], PEAKS).peaks[0]["x0"].value
    assert batch.summary() == {"ok": 9, "invalid data": 2, "no counts": 1}


def test_xarray_output_keeps_the_dimensions_and_coordinates():
    xr = pytest.importorskip("xarray")
    Y = xr.DataArray(raman_map(2, 3), dims=("row", "column", "channel"),
                     coords={"row": ("row", [10.0, 20.0], {"units": "mm"}),
                             "column": [1.0, 2.0, 3.0], "channel": ("channel", X, {"units": "eV"})})
    ds = velmora.fit_many(X, Y, PEAKS, background="linear", workers=1).to_xarray()
    assert ds["p0.x0"].dims == ("row", "column")
    assert ds["row"].values.tolist() == [10.0, 20.0] and ds["row"].attrs["units"] == "mm"
    # Every estimate carries its units: the channel axis's for places and widths.
    units = {n: ds[n].attrs.get("units") for n in ("p0.x0", "p0.sigma", "p0.fwhm", "p0.area",
                                                   "p0.height", "background.slope",
                                                   "background.counts", "p0.x0_stderr")}
    assert units == {"p0.x0": "eV", "p0.sigma": "eV", "p0.fwhm": "eV", "p0.area": "counts",
                     "p0.height": "counts per channel", "background.slope": None,
                     "background.counts": "counts", "p0.x0_stderr": "eV"}
    assert ds["column"].values.tolist() == [1.0, 2.0, 3.0]
    assert {"p0.x0_stderr", "log_likelihood", "n_iter", "converged", "status"} <= set(ds)


def test_a_dask_cluster_of_two_processes_gives_the_threaded_results():
    pytest.importorskip("distributed")
    import dask.array as da
    from distributed import Client, LocalCluster

    Y = raman_map(4, 4)
    threaded = velmora.fit_many(X, Y, PEAKS, background="uniform", chunks=(2, 4), workers=2)
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster):
        on_cluster = velmora.fit_many(X, da.from_array(Y, chunks=(2, 4, 60)), PEAKS,
                                      background="uniform")
    for name in threaded.names:
        assert np.array_equal(on_cluster.values[name], threaded.values[name], equal_nan=True)
        assert np.array_equal(on_cluster.stderr[name], threaded.stderr[name], equal_nan=True)
    assert np.array_equal(on_cluster.n_iter, threaded.n_iter)


CTRL_C = r'''
import sys, time, numpy as np, velmora
rng = np.random.default_rng(0)
if sys.argv[1] == "many":  # many short fits
    x = np.linspace(0.0, 10.0, 400)
    Y = rng.poisson(400 * np.exp(-0.5 * ((x - 5.0) / 0.4) ** 2) + 5, size=(20000, 400))
    peaks = [velmora.Peak("voigt", x0=4.8)]
else:                      # two fits of several seconds each
    x = np.linspace(0.0, 100.0, 200000)
    centres = (20, 26, 30, 36, 60, 64, 80, 86)
    one = sum(300 * np.exp(-0.5 * ((x - c) / 1.5) ** 2) for c in centres) + 5
    Y = rng.poisson(one, size=(2, x.size))
    peaks = [velmora.Peak("voigt", x0=c - 1) for c in centres]
print("go", flush=True)
try:
    velmora.fit_many(x, Y.astype(float), peaks, background="linear", workers=2)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
'''


@pytest.mark.parametrize("batch", ["many", "long"])
def test_ctrl_c_stops_the_batch_within_a_second(batch):
    from conftest import interrupt

    delay, rest, err = interrupt(CTRL_C, args=(batch,), after=1.0, timeout=60)
    assert delay is not None and delay < 1.0, (delay, rest, err)


def test_a_background_object_is_not_shared_by_the_threads():
    # The active Shirley step is recomputed from each fit's own counts between its rounds.
    Y = raman_map(2, 4)
    shirley = velmora.Shirley()
    one, two = (velmora.fit_many(X, Y, PEAKS, background=shirley, tol=1e-8, workers=w,
                                 chunks=(1, 1)) for w in (1, 2))
    for name in one.names:
        assert np.array_equal(one.values[name], two.values[name], equal_nan=True)


def test_a_tied_mixed_model_with_a_shirley_step_in_a_batch_is_its_single_fit():
    # Ties, mixed shapes and a background that follows the peaks go to the engine's bursts
    # like any model: every spectrum's numbers are those of velmora.fit from the same start.
    from test_package_engine import BE, au4f, au4f_peaks

    Y = np.stack([au4f(seed=s, scale=1.0 + 0.05 * s) for s in range(4)]).reshape(2, 2, -1)
    batch = velmora.fit_many(BE, Y, au4f_peaks(), background="shirley", workers=2, chunks=(2, 2))
    assert batch.summary() == {"ok": 4}
    assert "Au4f5.x0" in batch.names and "background.step" in batch.names
    start = None
    for index in [(0, 0), (0, 1), (1, 1), (1, 0)]:
        alone = velmora.fit(BE, Y[index], au4f_peaks(), background="shirley", start=start)
        assert_is_single_fit(batch, index, alone)
        assert batch.values["Au4f5.x0"][index] - batch.values["Au4f7.x0"][index] == \
            pytest.approx(3.67, abs=1e-12)
        start = alone


@pytest.mark.parametrize("centre", [84.0, None], ids=["given centre", "guessed centre"])
def test_cold_doublets_in_a_batch_are_their_single_fits(centre):
    # A doublet placed from a given centre shares one model over the batch and has its starts
    # read side by side; placed from a guessed one, every spectrum is set up alone.  Either
    # way each spectrum is velmora.fit's, on one worker or two.
    from test_package_engine import BE, au4f

    Y = np.stack([au4f(seed=s, scale=1.0 + 0.05 * s) for s in range(6)]).reshape(2, 3, -1)
    lines = velmora.doublet("doniach_sunjic", "Au4f", x0=centre)
    runs = [velmora.fit_many(BE, Y, lines, background="shirley", warm_start="none",
                             workers=w, chunks=(1, 3)) for w in (1, 2)]
    for index in np.ndindex(Y.shape[:-1]):
        alone = velmora.fit(BE, Y[index], lines, background="shirley")
        for batch in runs:
            assert_is_single_fit(batch, index, alone)


@pytest.mark.parametrize("warm_start", ["none", "previous"])
def test_a_small_batch_is_shared_by_every_worker_with_the_same_results(warm_start, monkeypatch):
    from velmora import schedule as batch_module

    Y = raman_map(4, 5)
    Y[1, 1] = 0.0                       # no counts, inside a chunk's burst
    Y[2, 3, 4] = np.nan                 # invalid data, likewise
    threads = set()

    def recording(fit):
        def recorded(*args, **kwargs):
            import threading
            import time

            threads.add(threading.get_ident())
            time.sleep(0.01)  # keeps one worker from taking every chunk of so small a batch
            return fit(*args, **kwargs)
        return recorded

    # (Groups of chunks where the core reads the starts, chunks one by one where it cannot.)
    monkeypatch.setattr(batch_module, "fit_chunk", recording(batch_module.fit_chunk))
    monkeypatch.setattr(batch_module, "fit_blocks", recording(batch_module.fit_blocks))
    one = velmora.fit_many(X, Y, PEAKS, background="uniform", warm_start=warm_start, workers=1)
    threads.clear()
    two = velmora.fit_many(X, Y, PEAKS, background="uniform", warm_start=warm_start, workers=2)
    assert len(threads) == 2
    for name in one.names:
        assert np.array_equal(one.values[name], two.values[name], equal_nan=True)
        assert np.array_equal(one.stderr[name], two.stderr[name], equal_nan=True)
    assert np.array_equal(one.n_iter, two.n_iter)
    assert one.summary() == {"ok": 18, "invalid data": 1, "no counts": 1}


def test_cold_fits_in_a_burst_are_the_single_fits_even_when_a_fixed_value_is_guessed():
    # `sigma` fixed without a value is held at its value guessed from each spectrum: those
    # spectra cannot share one model, and must still be their single fits.
    for peaks in ([velmora.Peak("gaussian", x0=4.8, sigma=0.5),
                   velmora.Peak("lorentzian", x0=6.5, bounds={"gamma": (0.05, 2.0)})],
                  [velmora.Peak("voigt"), velmora.Peak("gaussian", bounds={"x0": (5.0, 8.0)})],
                  [velmora.Peak("gaussian", x0=4.8, fix="sigma")]):
        Y = raman_map(2, 6, seed=9)
        Y[0, 3] = 0.0
        batch = velmora.fit_many(X, Y, peaks, background="linear", tol=1e-8,
                                 warm_start="none", workers=1, chunks=(2, 6))
        for index in np.ndindex(Y.shape[:-1]):
            if index == (0, 3):
                assert batch.status[index] == 3
                continue
            alone = velmora.fit(X, Y[index], peaks, background="linear", tol=1e-8)
            assert_is_single_fit(batch, index, alone)


def test_linear_estimates_of_many_spectra_are_each_spectrums_own():
    from velmora.uncertainty import linear_estimates

    rng = np.random.default_rng(4)
    jac = np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.3, -1.7, 2.0]])
    values = rng.normal(size=(5, 3))
    a = rng.normal(size=(5, 3, 3))
    cov = a @ a.transpose(0, 2, 1)
    cov[1, 0, 0] = np.nan               # one variance not known: only what uses it is NaN
    cov[2, 2, 1] = cov[2, 1, 2] = np.inf
    out, se = linear_estimates(values, cov, jac)
    for i in range(5):
        one_out, one_se = linear_estimates(values[i], cov[i], jac)
        assert np.array_equal(out[i], one_out) and np.array_equal(se[i], one_se, equal_nan=True)
    assert np.allclose(out, values @ jac.T)
    assert np.isnan(se[1, 0]) and np.isfinite(se[1, 1]) and np.isnan(se[1, 2])
    assert np.isfinite(se[2, :2]).all() and np.isnan(se[2, 2])
    assert np.allclose(se[0], np.sqrt(np.einsum("ri,ij,rj->r", jac, cov[0], jac)))


def test_a_warm_path_longer_than_one_engine_call_is_one_chain():
    # 70 spectra in one chunk go to the engine in two calls; the second call's first spectrum
    # starts from the first call's last fit, as every other spectrum from its predecessor's.
    rng = np.random.default_rng(8)
    centre = np.linspace(4.6, 5.4, 70).reshape(1, 70, 1)
    Y = rng.poisson(300 * np.exp(-0.5 * ((X - centre) / 0.4) ** 2) + 5).astype(float)
    Y[0, 66] = np.nan                   # a spectrum that cannot be fitted, after the seam
    batch = velmora.fit_many(X, Y, PEAKS, background="uniform", tol=1e-8, workers=1,
                             chunks=(1, 70))
    start = None
    for i in range(70):
        if i == 66:
            assert batch.status[0, i] == 2
            continue
        alone = single(Y[0, i], PEAKS, start)
        assert batch.values["p0.x0"][0, i] == alone.peaks[0]["x0"].value, i
        assert batch.n_iter[0, i] == alone.n_iter, i
        start = alone
    assert batch.n_iter[0, 1:].mean() < batch.n_iter[0, 0]


def test_results_written_to_a_store_are_the_batch_in_memory(tmp_path):
    pytest.importorskip("zarr")
    da = pytest.importorskip("dask.array")
    Y = raman_map()
    Y[1, 1] = 0.0
    in_memory = velmora.fit_many(X, Y, PEAKS, background="uniform", chunks=(2, 2), workers=1)
    stored = {
        "dask": velmora.fit_many(X, da.from_array(Y, chunks=(2, 2, X.size)), PEAKS,
                                 background="uniform", store=tmp_path / "dask.zarr"),
        "numpy": velmora.fit_many(X, Y, PEAKS, background="uniform", chunks=(2, 2),
                                  store=str(tmp_path / "numpy.zarr")),
    }
    for batch in stored.values():
        assert not isinstance(batch._packed, np.ndarray)  # read from the store
        for name in in_memory.names:
            assert np.array_equal(batch.values[name], in_memory.values[name], equal_nan=True)
            assert np.array_equal(batch.stderr[name], in_memory.stderr[name], equal_nan=True)
        assert np.array_equal(batch.status, in_memory.status)
        ds = batch.to_xarray()
        assert np.array_equal(ds["p0.x0"].values, in_memory.values["p0.x0"], equal_nan=True)
        assert batch.result((2, 3)).log_likelihood == in_memory.log_likelihood[2, 3]
    import zarr

    attrs = zarr.open_array(store=str(tmp_path / "dask.zarr"), path="packed", mode="r").attrs
    assert attrs["names"] == in_memory.names and attrs["status_names"][3] == "no counts"


def assert_same_batch(batch, other):
    """Every estimate, standard error, status, iteration count and log-likelihood of two
    batches agree to the bit."""
    for name in other.names:
        assert np.array_equal(batch.values[name], other.values[name], equal_nan=True), name
        assert np.array_equal(batch.stderr[name], other.stderr[name], equal_nan=True), name
    for field in ("status", "n_iter", "converged", "log_likelihood"):
        assert np.array_equal(getattr(batch, field), getattr(other, field), equal_nan=True)


def assert_fitted_or_not(batch, whole):
    """Each spectrum of a stopped batch is either fitted, as in the whole batch, or "not
    fitted" with NaN values (never "ok" with zeros); returns how many are fitted."""
    fitted = batch.status == 0
    assert np.array_equal(batch.status[~fitted], np.full((~fitted).sum(), 5))
    for name in whole.names:
        assert np.isnan(batch.values[name][~fitted]).all(), name
        assert np.array_equal(batch.values[name][fitted], whole.values[name][fitted]), name
    assert not batch.converged[~fitted].any() and not batch.n_iter[~fitted].any()
    return int(fitted.sum())


# A store written on threads has chunks of several blocks, one written by Dask chunks within
# blocks: each is resumed by both (a Dask array in other blocks is rechunked to the store's).
@pytest.mark.parametrize("run, then", [("threads", "threads"), ("threads", "dask"),
                                       ("dask", "dask"), ("dask", "threads")])
def test_a_stopped_batch_leaves_spectra_not_fitted_in_its_store_and_resumes(run, then,
                                                                         tmp_path, monkeypatch):
    pytest.importorskip("zarr")
    da = pytest.importorskip("dask.array")
    import dask
    from velmora import schedule as batch_module

    Y = raman_map(4, 6)
    whole = velmora.fit_many(X, Y, PEAKS, background="uniform", chunks=(2, 2), workers=1)
    data = Y if run == "threads" else da.from_array(Y, chunks=(2, 2, X.size))
    store = tmp_path / "fits.zarr"
    chunk, blocks = batch_module.fit_chunk, batch_module.fit_blocks
    calls = []

    def stopping(fit):
        def stopped(*args, **kwargs):
            # Ctrl-C as the third of six blocks starts (threads take them in groups, here
            # of one): on threads the waiting thread gets it and stops the workers; a Dask
            # task's stops the scheduler.
            calls.append(1)
            if len(calls) == 3:
                if run == "dask":
                    raise KeyboardInterrupt
                _thread.interrupt_main()
                args[3].wait(10)
            return fit(*args, **kwargs)
        return stopped

    def counted(fit):
        return lambda *args, **kwargs: calls.append(1) or fit(*args, **kwargs)

    monkeypatch.setattr(batch_module, "fit_chunk", stopping(chunk))
    monkeypatch.setattr(batch_module, "fit_blocks", stopping(blocks))
    with dask.config.set(scheduler="synchronous"), pytest.raises(KeyboardInterrupt):
        velmora.fit_many(X, data, PEAKS, background="uniform", chunks=(2, 2), workers=1,
                         store=store)
    stopped = velmora.open_batch(store)
    assert assert_fitted_or_not(stopped, whole) == 8            # two blocks of four
    assert stopped.shape == (4, 6) and stopped.dims == ("dim_0", "dim_1")

    monkeypatch.setattr(batch_module, "fit_chunk", chunk)
    monkeypatch.setattr(batch_module, "fit_blocks", blocks)
    with pytest.raises(ValueError, match="exists; pass resume=True .* or overwrite=True"):
        velmora.fit_many(X, Y, PEAKS, background="uniform", store=store)
    calls.clear()
    monkeypatch.setattr(batch_module, "fit_chunk", counted(chunk))
    monkeypatch.setattr(batch_module, "fit_blocks", counted(blocks))
    data = Y if then == "threads" else da.from_array(Y, chunks=(3, 3, X.size))
    resumed = velmora.fit_many(X, data, PEAKS, background="uniform", store=store, resume=True)
    assert len(calls) == 4                                      # only the blocks not written
    assert_same_batch(resumed, whole)
    assert_same_batch(velmora.open_batch(store), whole)
    calls.clear()
    again = velmora.fit_many(X, Y, PEAKS, background="uniform", chunks=(2, 2), store=store,
                             overwrite=True)
    assert len(calls) == 6 and again.summary() == {"ok": 24}


KILLED = r'''
import sys, time, numpy as np, velmora
from velmora import schedule

blocks, calls = schedule.fit_blocks, []

def slow(*args, **kwargs):
    calls.append(1)
    if len(calls) == 3:  # two blocks written (groups of one): killed in the third
        print("go", flush=True)
        time.sleep(60)
    return blocks(*args, **kwargs)

schedule.fit_blocks = slow
x, Y = np.load(sys.argv[1]), np.load(sys.argv[2])
velmora.fit_many(x, Y, [velmora.Peak("gaussian", x0=4.8, sigma=0.5)], background="uniform",
                 chunks=(2, 2), workers=1, store=sys.argv[3])
'''


def test_a_batch_killed_mid_run_leaves_a_store_that_resumes(tmp_path):
    pytest.importorskip("zarr")
    Y = raman_map(4, 6)
    np.save(tmp_path / "x.npy", X)
    np.save(tmp_path / "Y.npy", Y)
    store = tmp_path / "fits.zarr"
    child = subprocess.Popen([sys.executable, "-c", KILLED, str(tmp_path / "x.npy"),
                              str(tmp_path / "Y.npy"), str(store)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "go\n", child.communicate(timeout=60)[1]
        # Killed once the two blocks fitted are in the store (written within a second).
        for _ in range(100):
            if velmora.open_batch(store).summary().get("ok") == 8:
                break
            time.sleep(0.05)
    finally:
        child.kill()
        child.communicate()
    whole = velmora.fit_many(X, Y, PEAKS, background="uniform", chunks=(2, 2), workers=1)
    assert assert_fitted_or_not(velmora.open_batch(store), whole) == 8
    resumed = velmora.fit_many(X, Y, PEAKS, background="uniform", store=store, resume=True)
    assert_same_batch(resumed, whole)


def test_a_store_is_refused_before_any_fit_when_it_cannot_be_written_or_resumed(tmp_path):
    pytest.importorskip("zarr")
    (tmp_path / "old.zarr").mkdir()
    (tmp_path / "old.zarr" / "keep.txt").write_text("not a batch")
    Y = raman_map(2, 2)
    refused = [
        (dict(store=tmp_path / "old.zarr"), "exists"),
        (dict(store=tmp_path / "old.zarr", overwrite=True), "not a velmora batch store"),
        (dict(store=tmp_path / "old.zarr", resume=True), "not a velmora batch store"),
        (dict(store=3), "store"),
        (dict(store=""), "store"),
        (dict(store=tmp_path / "no" / "such.zarr"), "does not exist"),
        (dict(resume=True), "resume: there is nothing to resume without store="),
        (dict(store=tmp_path / "new.zarr", resume=True, overwrite=True), "give one of them"),
        (dict(store=tmp_path / "new.zarr", resume="yes"), "resume: expected True or False"),
    ]
    for kwargs, message in refused:
        with pytest.raises((TypeError, ValueError), match=message):
            velmora.fit_many(X, Y, PEAKS, **kwargs)
    for path, message in ((tmp_path / "old.zarr", "not a velmora batch store"),
                          (tmp_path / "none.zarr", "does not exist")):
        with pytest.raises(ValueError, match=message):
            velmora.open_batch(path)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["old.zarr"]
    assert (tmp_path / "old.zarr" / "keep.txt").read_text() == "not a batch"

    # A store is resumed only by a batch of the same model, grid, data shape and blocks.
    store = tmp_path / "fits.zarr"
    velmora.fit_many(X, Y, PEAKS, background="uniform", store=store, chunks=(1, 2))
    for change, message in [
        (dict(peaks=[velmora.Peak("gaussian", x0=5.0, sigma=0.5)]), "another 'peaks'"),
        (dict(background="linear"), "another 'background'"),
        (dict(tol=1e-6), "another 'tol'"),
        (dict(x=X + 0.01), "another grid"),
        (dict(Y=Y[:1]), r"shape \(2, 2, 120\), Y has \(1, 2, 120\)"),
        (dict(chunks=(2, 2)), "fitted in blocks of"),
    ]:
        args = dict(x=X, Y=Y, peaks=PEAKS, background="uniform") | change
        with pytest.raises(ValueError, match=message):
            velmora.fit_many(args.pop("x"), args.pop("Y"), args.pop("peaks"), store=store,
                             resume=True, **args)
    assert velmora.open_batch(store).summary() == {"ok": 4}


@pytest.mark.parametrize("workers", [1, 2])
def test_a_path_whose_first_spectra_cannot_be_fitted_starts_cold_after_them(workers):
    # Only the first spectrum of each path has its start read beforehand; when it cannot be
    # fitted the next one's start is read when the engine comes to it.
    Y = raman_map()
    Y[0, 0, 3] = np.nan                 # invalid: the path's first spectrum
    Y[0, 1] = 0.0                       # no counts: its second
    Y[2, 0:2] = 0.0                     # the whole of the third path's start
    batch = velmora.fit_many(X, Y, PEAKS, background="uniform", tol=1e-8, workers=workers,
                             chunks=(1, 4))
    for row, path in enumerate(([(0, 2), (0, 3)], [(1, 0), (1, 1), (1, 2), (1, 3)],
                                [(2, 2), (2, 3)])):
        start = None
        for index in path:
            alone = single(Y[index], PEAKS, start)
            assert batch.values["p0.x0"][index] == alone.peaks[0]["x0"].value, index
            assert batch.n_iter[index] == alone.n_iter, index
            start = alone
    assert batch.summary() == {"ok": 8, "invalid data": 1, "no counts": 3}


@pytest.mark.parametrize("warm_start", ["none", "previous"])
def test_dask_blocks_read_their_own_starts_and_give_the_threaded_results(warm_start):
    # Without the threaded path's starts read beforehand, each block reads its own: every
    # start without warm starts, and on a warm path each one the engine stops at.
    da = pytest.importorskip("dask.array")
    Y = raman_map()
    Y[0, 0] = 0.0                       # the first path's start cannot be fitted
    threaded = velmora.fit_many(X, Y, PEAKS, background="uniform", warm_start=warm_start,
                                chunks=(2, 2), workers=2)
    dasked = velmora.fit_many(X, da.from_array(Y, chunks=(2, 2, X.size)), PEAKS,
                              background="uniform", warm_start=warm_start)
    for name in threaded.names:
        assert np.array_equal(dasked.values[name], threaded.values[name], equal_nan=True)
    assert np.array_equal(dasked.n_iter, threaded.n_iter)
    assert dasked.summary() == {"ok": 11, "no counts": 1}


def test_a_tie_of_values_read_from_each_spectrum_is_checked_for_each():
    # A pair placed from a centre read from the data: where one spectrum's line would put its
    # partner outside the window, that spectrum alone is refused (velmora.fit raises, the
    # batch reports it and fits the others, as they are fitted alone).
    peaks = [velmora.Peak("gaussian", name="a"),
             velmora.Peak("gaussian", name="b", x0="a.x0 + 3.0", sigma="a.sigma",
                          area="0.5 * a.area")]
    rng = np.random.default_rng(4)
    Y = np.array([rng.poisson(300 * np.exp(-0.5 * ((X - c) / 0.3) ** 2)
                              + 150 * np.exp(-0.5 * ((X - c - 3.0) / 0.3) ** 2) + 5)
                  for c in (4.0, 8.0, 5.0)], dtype=float)
    with pytest.raises(ValueError, match="b.x0: its tie 'a.x0 \\+ 3.0' puts the centre at"):
        velmora.fit(X, Y[1], peaks, background="uniform")
    for warm in ("none", "previous"):
        batch = velmora.fit_many(X, Y, peaks, background="uniform", warm_start=warm,
                                 chunks=(1,))
        assert batch.status.tolist() == [0, 4, 0]
        for i in (0, 2):
            assert_is_single_fit(batch, (i,), velmora.fit(X, Y[i], peaks, background="uniform"))
