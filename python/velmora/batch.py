"""``velmora.fit_many``: one model fitted to many spectra.

Raman and XPS maps, in-situ XRD series and sets of thermograms are fitted spectrum by
spectrum with :func:`velmora.fit`, spread over threads (NumPy input) or over whatever Dask
scheduler is active (Dask input: threads, processes, or a ``dask.distributed`` cluster).

The spectrum axes are cut into chunks (the blocks of a Dask array, or fixed blocks of a NumPy
array that do not depend on the number of workers).  Within a chunk the spectra are fitted one
after another along a serpentine path (row 0 left to right, row 1 right to left, ...), each
from its predecessor's fitted values when ``warm_start="previous"``: neighbours in a map are
alike, so their fits start close to the optimum.  The first spectrum of every chunk starts
from ``peaks``.  Every spectrum's fit is :func:`velmora.fit` itself, so its result is the one
a single call gives from the same starting values, whatever the number of workers and the
order in which they finish; :meth:`BatchResult.result` recomputes it in full.
"""
import concurrent.futures
import functools
import math
import sys
import threading

import numpy as np
import velmora_core

from .fit import InvalidCounts, NoCounts, Stopped, run_validated, validate
from .model import Peak
from .shapes import SHAPES

#: Status codes of :attr:`BatchResult.status`, by value.
STATUS_NAMES = ("ok", "not converged", "invalid data", "no counts", "fit failed", "not fitted")
OK, NOT_CONVERGED, INVALID_DATA, NO_COUNTS, FIT_FAILED, NOT_FITTED = range(len(STATUS_NAMES))

# Spectra per chunk of a NumPy array when no chunks are given.
CHUNK_SPECTRA = 256

# Fields after the value/stderr pairs in a chunk's packed results.
_TRAILER = ("log_likelihood", "n_iter", "converged", "status")


# ------------------------------------------------------------------------------ one chunk

def serpentine(shape):
    """Indices of an array of ``shape`` along the serpentine path: the last axis runs back and
    forth, every outer axis likewise, so consecutive spectra are neighbours."""
    if len(shape) == 0:
        return [()]
    inner = serpentine(shape[1:])
    path = []
    for i in range(shape[0]):
        path.extend((i,) + rest for rest in (inner if i % 2 == 0 else reversed(inner)))
    return path


def _names(shape, n_peaks, background_names):
    """The estimate names of a result: ``p{k}.{name}`` and ``background.{name}``.  The derived
    height and FWHM of a peak are left out (they cost more than the fit; ``result(index)``
    has them)."""
    per_peak = list(shape.params) + ["area"] + (["tau0"] if shape.name == "tsdc" else [])
    return ([f"p{k}.{n}" for k in range(n_peaks) for n in per_peak]
            + [f"background.{n}" for n in background_names])


def _pack(result, names):
    """One spectrum's row of packed results: value and stderr of every name, then the trailer."""
    row = np.full(2 * len(names) + len(_TRAILER), np.nan)
    for i, name in enumerate(names):
        where, key = name.split(".", 1)
        table = result.background if where == "background" else result.peaks[int(where[1:])]
        est = table.get(key) if where == "background" else (table[key] if key in table else None)
        if est is not None:
            row[2 * i] = est.value
            row[2 * i + 1] = math.nan if est.stderr is None else est.stderr
    row[-4:] = (result.log_likelihood, result.n_iter, float(result.converged),
                OK if result.converged else NOT_CONVERGED)
    return row


def _failed(names, status):
    row = np.full(2 * len(names) + len(_TRAILER), np.nan)
    row[-3:] = (0.0, 0.0, status)
    return row


def _warm(peaks, row, names, shape):
    """``peaks`` started from a packed row of fitted values (fix, bounds and options kept)."""
    out = []
    for k, peak in enumerate(peaks):
        values = {n: float(row[2 * names.index(f"p{k}.{n}")]) for n in shape.params}
        area = float(row[2 * names.index(f"p{k}.area")])
        out.append(Peak(peak.shape, fix=peak.fix, bounds=peak.bounds or None, method=peak.method,
                        beta=peak.beta if peak.shape == "tsdc" else None,
                        area=area if area > 0 else peak.area,
                        **{n: (peak.values[n] if n in peak.fix else v)
                           for n, v in values.items()}))
    return out


def _usable(row):
    return row[-1] in (OK, NOT_CONVERGED) and np.isfinite(row[:-4:2]).any()


def fit_chunk(block, x, peaks, background, options, warm_start, names, stop=None,
              done=None):
    """Fits every spectrum of ``block`` (spectrum axes..., channels) along the serpentine path;
    returns the packed results (spectrum axes..., fields).  Runs every core call on the calling
    thread.  ``stop`` (an Event) ends the chunk between two EM iterations; ``done(n)`` counts
    finished spectra."""
    block = np.asarray(block, dtype=np.float64)
    shape = SHAPES[peaks[0].shape]
    out = np.full(block.shape[:-1] + (2 * len(names) + len(_TRAILER),), np.nan)
    out[..., -1] = NOT_FITTED
    previous = velmora_core._on_calling_thread(True)
    try:
        start = peaks
        for index in serpentine(block.shape[:-1]):
            if stop is not None and stop.is_set():
                break
            try:
                result = run_validated(validate(x, block[index], start, background, **options),
                                       stop)
                out[index] = _pack(result, names)
            except Stopped:
                break
            except InvalidCounts:
                out[index] = _failed(names, INVALID_DATA)
            except NoCounts:
                out[index] = _failed(names, NO_COUNTS)
            except Exception:  # a failed fit is reported, and the chunk goes on
                out[index] = _failed(names, FIT_FAILED)
            if warm_start == "previous" and _usable(out[index]):
                try:
                    start = _warm(peaks, out[index], names, shape)
                except (TypeError, ValueError):  # a value the model does not take as a start
                    start = peaks
            if done is not None:
                done(1)
    finally:
        velmora_core._on_calling_thread(previous)
    return out


# ------------------------------------------------------------------------------- chunking

def _default_chunks(spectrum_shape):
    """Blocks of about CHUNK_SPECTRA spectra: whole rows of the last axes first."""
    sizes = []
    room = CHUNK_SPECTRA
    for n in reversed(spectrum_shape):
        c = max(1, min(n, room))
        sizes.append(c)
        room = max(1, room // c)
    return tuple(reversed(sizes))


def _normalise_chunks(chunks, spectrum_shape):
    """Per spectrum axis, the tuple of block lengths."""
    if chunks is None:
        chunks = _default_chunks(spectrum_shape)
    if isinstance(chunks, (int, np.integer)):
        chunks = (int(chunks),) * len(spectrum_shape)
    chunks = tuple(chunks)
    if len(chunks) != len(spectrum_shape):
        raise ValueError(f"chunks: expected one entry per spectrum axis "
                         f"({len(spectrum_shape)}), got {len(chunks)}")
    out = []
    for axis, (c, n) in enumerate(zip(chunks, spectrum_shape)):
        if isinstance(c, (int, np.integer)):
            c = int(c)
            if c < 1:
                raise ValueError(f"chunks[{axis}]: expected a positive size, got {c}")
            out.append(tuple(min(c, n - s) for s in range(0, n, c)) or (0,))
        else:
            c = tuple(int(v) for v in c)
            if sum(c) != n or any(v < 0 for v in c):
                raise ValueError(f"chunks[{axis}]: block lengths {c} do not add up to {n}")
            out.append(c)
    return tuple(out)


def _blocks(chunks):
    """Slices of every block, in C order of the blocks."""
    starts = [np.concatenate([[0], np.cumsum(c)[:-1]]).astype(int) for c in chunks]
    grids = np.meshgrid(*[np.arange(len(c)) for c in chunks], indexing="ij")
    out = []
    for block in zip(*(g.ravel() for g in grids)):
        out.append(tuple(slice(int(starts[a][b]), int(starts[a][b] + chunks[a][b]))
                         for a, b in enumerate(block)))
    return out or [()]


# -------------------------------------------------------------------------------- results

class BatchResult:
    """The results of :func:`fit_many`, one entry per spectrum.

    Attributes
    ----------
    values, stderr : dict of str to ndarray
        Every fitted parameter and area of every spectrum by name (``"p0.x0"``,
        ``"p1.area"``, ``"background.counts"``, ...), arrays of the shape of the spectrum axes
        (a peak's derived height and FWHM are in :meth:`result`).  NaN where a
        spectrum was not fitted; stderr NaN where it is not determined, for fixed parameters
        too.
    log_likelihood, n_iter, converged, status : ndarray
        Per spectrum.  ``status`` holds codes into :data:`STATUS_NAMES`: 0 ok, 1 not
        converged (values kept), 2 invalid data (NaN, infinite or negative counts), 3 no counts
        in the window, 4 the fit failed, 5 not fitted (the batch was stopped).
    names : list of str
        The estimate names, in order.
    """

    def __init__(self, packed, names, x, data, peaks, background, options, warm_start,
                 chunks, dims, coords):
        self.names = list(names)
        self.values = {n: packed[..., 2 * i] for i, n in enumerate(names)}
        self.stderr = {n: packed[..., 2 * i + 1] for i, n in enumerate(names)}
        self.log_likelihood = packed[..., -4]
        self.n_iter = packed[..., -3].astype(np.int64)
        self.converged = packed[..., -2] == 1.0
        self.status = packed[..., -1].astype(np.int8)
        self.shape = packed.shape[:-1]
        self._packed = packed
        self._x, self._data, self._peaks = x, data, peaks
        self._background, self._options, self._warm_start = background, options, warm_start
        self._chunks, self.dims, self.coords = chunks, dims, coords

    def __len__(self):
        return int(np.prod(self.shape, dtype=np.int64))

    @property
    def status_names(self):
        """``status`` as an array of its names."""
        return np.asarray(STATUS_NAMES, dtype=object)[self.status]

    def summary(self):
        """Counts of each status, by name."""
        codes, counts = np.unique(self.status, return_counts=True)
        return {STATUS_NAMES[c]: int(n) for c, n in zip(codes, counts)}

    def _start(self, index):
        """The starting peaks the batch used for the spectrum at ``index``."""
        if self._warm_start != "previous":
            return self._peaks
        for block in _blocks(self._chunks):
            if all(s.start <= i < s.stop for s, i in zip(block, index)):
                break
        local = tuple(i - s.start for s, i in zip(block, index))
        path = serpentine(tuple(s.stop - s.start for s in block))
        shape = SHAPES[self._peaks[0].shape]
        for previous in reversed(path[:path.index(local)]):
            row = self._packed[tuple(s.start + i for s, i in zip(block, previous))]
            if _usable(row):
                try:
                    return _warm(self._peaks, row, self.names, shape)
                except (TypeError, ValueError):
                    return self._peaks
        return self._peaks

    def result(self, index):
        """The full :class:`~velmora.FitResult` of one spectrum, fitted again from the starting
        values the batch used (so identical to the batch's own fit).

        Raises ValueError for a spectrum that could not be fitted."""
        if isinstance(index, (int, np.integer)):
            index = (int(index),)
        index = tuple(int(i) for i in np.unravel_index(np.ravel_multi_index(index, self.shape),
                                                          self.shape))
        y = np.asarray(self._data[index], dtype=np.float64)
        return run_validated(validate(self._x, y, self._start(index), self._background,
                                      **self._options))

    def to_xarray(self):
        """An ``xarray.Dataset``: every estimate (``"p0.x0"``) and its standard error
        (``"p0.x0_stderr"``), ``log_likelihood``, ``n_iter``, ``converged`` and ``status``, over
        the spectrum axes as dimensions (with their coordinates when the input had them)."""
        import xarray as xr

        variables = {}
        for n in self.names:
            variables[n] = (self.dims, self.values[n])
            variables[n + "_stderr"] = (self.dims, self.stderr[n])
        variables["log_likelihood"] = (self.dims, self.log_likelihood)
        variables["n_iter"] = (self.dims, self.n_iter)
        variables["converged"] = (self.dims, self.converged)
        variables["status"] = (self.dims, self.status,
                               {"flag_values": list(range(len(STATUS_NAMES))),
                                "flag_meanings": " ".join(s.replace(" ", "_")
                                                          for s in STATUS_NAMES)})
        return xr.Dataset(variables, coords=self.coords or None)

    def __repr__(self):
        parts = ", ".join(f"{k}: {v}" for k, v in self.summary().items())
        return f"<BatchResult of {len(self)} spectra {self.shape}: {parts}>"


# ---------------------------------------------------------------------------------- entry

def _is_dask(a):
    return type(a).__module__.split(".")[0] == "dask"


def _progress_bar(total, progress):
    """A tqdm bar shown after one second, on a terminal (or when forced); None otherwise."""
    show = progress if progress is not None else sys.stderr.isatty()
    if not show:
        return None
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm(total=total, delay=0.0 if progress else 1.0, unit="spectra", mininterval=0.25)


def fit_many(x, Y, peaks, background=None, *, warm_start="previous", workers=None,
             progress=None, chunks=None, **fit_options):
    """Fit one model to many spectra.

    Parameters
    ----------
    x : array_like
        The grid, shared by every spectrum.
    Y : ndarray, dask array or xarray.DataArray, shape (..., n_channels)
        The counts; the last axis runs over ``x``.  A Dask array is fitted through
        ``dask.array.map_blocks`` with whatever scheduler is active; its channel axis is
        rechunked into one block if it is split.  An ``xarray.DataArray`` lends its dimension
        names and coordinates to the result.
    peaks : list of Peak
        The model and the starting values (see :func:`velmora.fit`).
    background : see :func:`velmora.fit`
    warm_start : {"previous", "none"}
        ``"previous"``: each spectrum starts from its predecessor's fit along the serpentine
        path through its chunk; ``"none"``: every spectrum starts from ``peaks``.
    workers : int, optional
        Threads for NumPy input (default: the worker count of the core's pool,
        ``RAYON_NUM_THREADS`` or the available processors).  Each spectrum's fit runs on one
        thread.  Ignored for Dask input (the scheduler decides).
    progress : bool, optional
        A progress bar: by default on a terminal, for batches that take over a second;
        ``True`` forces it, ``False`` hides it.
    chunks : int or tuple, optional
        NumPy input: block sizes over the spectrum axes (Dask style), which fix the warm-start
        paths.  Default: blocks of about 256 spectra, whole rows first.  A Dask array keeps
        its own blocks.
    **fit_options
        ``window``, ``tol``, ``max_iter``, ``knots``, ``energy``, ``bounds``, ``accelerate``
        as for :func:`velmora.fit`.

    Returns
    -------
    BatchResult

    Raises
    ------
    TypeError, ValueError
        For bad arguments, before any spectrum is fitted (the data of single spectra are not
        errors: a spectrum that cannot be fitted gets a status code and NaN values).
    KeyboardInterrupt
        On Ctrl-C, within a second; spectra not yet fitted are lost.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> x = np.linspace(0, 10, 200)
    >>> rng = np.random.default_rng(1)
    >>> centres = np.linspace(4.5, 5.5, 6)[:, None]
    >>> Y = rng.poisson(300 * np.exp(-0.5 * ((x - centres) / 0.4) ** 2) + 5).reshape(2, 3, 200)
    >>> batch = velmora.fit_many(x, Y, [velmora.Peak("gaussian", x0=5.0, sigma=0.5)],
    ...                          background="uniform", workers=1)
    >>> batch.values["p0.x0"].shape, batch.summary()
    ((2, 3), {'ok': 6})
    """
    dims = coords = None
    if type(Y).__module__.split(".")[0] == "xarray":
        dims = tuple(Y.dims[:-1])
        coords = {d: Y.coords[d].values for d in dims if d in Y.coords}
        Y = Y.data
    if not _is_dask(Y):
        if isinstance(Y, (str, bytes)):
            raise TypeError(f"Y: expected an array of counts, got {type(Y).__name__}")
        Y = np.asarray(Y)
        if Y.dtype.kind not in "iuf":
            raise TypeError(f"Y: expected real numbers, got an array of dtype {Y.dtype}")
    if Y.ndim < 1:
        raise ValueError("Y: expected an array of spectra (..., n_channels), got a scalar")
    x_arr = np.asarray(x, dtype=np.float64) if not isinstance(x, (str, bytes)) else None
    if x_arr is None or x_arr.ndim != 1:
        raise ValueError("x: expected a one-dimensional grid")
    if Y.shape[-1] != x_arr.size:
        raise ValueError(f"Y: its last axis has {Y.shape[-1]} channels, x has {x_arr.size}")
    if warm_start not in ("previous", "none"):
        raise ValueError(f"warm_start: expected 'previous' or 'none', got {warm_start!r}")
    if workers is not None and (isinstance(workers, bool) or not isinstance(workers, int)
                                or workers < 1):
        raise ValueError(f"workers: expected None or a positive integer, got {workers!r}")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress: expected None, True or False, got {progress!r}")
    allowed = {"window", "tol", "max_iter", "knots", "energy", "bounds", "accelerate"}
    unknown = sorted(set(fit_options) - allowed)
    if unknown:
        raise TypeError(f"fit_many() got unexpected keyword arguments: {', '.join(unknown)}")
    options = {k: fit_options.get(k) for k in ("window", "knots", "energy", "bounds")}
    options.update(tol=fit_options.get("tol", 1e-9), max_iter=fit_options.get("max_iter", 2000),
                   accelerate=fit_options.get("accelerate", True))

    # Every check of the model and the options, once, on a spectrum of ones.
    checked = validate(x_arr, np.ones(x_arr.size), peaks, background, **options)
    grid, _, peaks, shape, lo, hi, *_, bg, _, _ = checked
    inside = (grid >= lo) & (grid <= hi)
    bg.bind(np.sort(grid[inside]), np.ones(int(inside.sum())), (lo, hi))
    names = _names(shape, len(peaks), tuple(bg.free_names) + tuple(bg.derived_names))
    x = x_arr

    spectrum_shape = tuple(Y.shape[:-1])
    dims = dims or tuple(f"dim_{i}" for i in range(len(spectrum_shape)))
    fields = 2 * len(names) + len(_TRAILER)
    total = int(np.prod(spectrum_shape, dtype=np.int64))
    bar = _progress_bar(total, progress)
    try:
        if _is_dask(Y):
            packed, chunk_spec = _run_dask(Y, x, peaks, background, options, warm_start, names,
                                           fields, bar)
        else:
            chunk_spec = _normalise_chunks(chunks, spectrum_shape)
            packed = _run_threads(Y, x, peaks, background, options, warm_start, names, fields,
                                  chunk_spec, workers or velmora_core._pool_size(), bar)
    finally:
        if bar is not None:
            bar.close()
    return BatchResult(packed, names, x, Y, peaks, background, options, warm_start, chunk_spec,
                       dims, coords)


def _run_threads(Y, x, peaks, background, options, warm_start, names, fields, chunk_spec,
                 workers, bar):
    packed = np.full(Y.shape[:-1] + (fields,), np.nan)
    packed[..., -1] = NOT_FITTED
    stop = threading.Event()
    lock = threading.Lock()
    finished = [0]

    def done(n):
        with lock:
            finished[0] += n

    def work(block):
        packed[block] = fit_chunk(Y[block], x, peaks, background, options, warm_start, names,
                                  stop, done)

    blocks = _blocks(chunk_spec)
    shown = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = [pool.submit(work, b) for b in blocks]
        try:
            pending = set(futures)
            while pending:
                _, pending = concurrent.futures.wait(pending, timeout=0.1)
                if bar is not None and finished[0] > shown:
                    bar.update(finished[0] - shown)
                    shown = finished[0]
        except BaseException:
            # Ctrl-C (or any failure of the waiting thread): the workers stop between two EM
            # iterations, the queued chunks are dropped.
            stop.set()
            for f in futures:
                f.cancel()
            raise
        for f in futures:
            f.result()  # a chunk's own failure (a bug, not a bad spectrum) is raised here
    if bar is not None and finished[0] > shown:
        bar.update(finished[0] - shown)
    return packed


def _run_dask(Y, x, peaks, background, options, warm_start, names, fields, bar):
    import dask
    import dask.array as da

    if len(Y.chunks[-1]) > 1:
        Y = Y.rechunk({Y.ndim - 1: -1})
    chunk_spec = tuple(Y.chunks[:-1])
    out = da.map_blocks(functools.partial(fit_chunk, x=x, peaks=peaks, background=background,
                                          options=options, warm_start=warm_start, names=names),
                        Y, dtype=np.float64, chunks=chunk_spec + ((fields,),),
                        meta=np.empty((0,) * Y.ndim))
    blocks = out.to_delayed().ravel()
    client = None
    try:
        from distributed import get_client
        client = get_client()
    except (ImportError, ValueError):
        client = None
    results = []
    if client is not None:
        from distributed import as_completed
        futures = client.compute(list(blocks))
        index = {f.key: i for i, f in enumerate(futures)}
        results = [None] * len(futures)
        for future in as_completed(futures):
            results[index[future.key]] = future.result()
            if bar is not None:
                bar.update(int(np.prod(results[index[future.key]].shape[:-1])))
    else:
        results = list(dask.compute(*blocks))
        if bar is not None:
            bar.update(sum(int(np.prod(r.shape[:-1])) for r in results))
    packed = np.full(Y.shape[:-1] + (fields,), np.nan)
    for block, r in zip(_blocks(chunk_spec), results):
        packed[block] = r
    return packed, chunk_spec
