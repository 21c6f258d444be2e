"""The scheduling of a batch: one model fitted to many spectra on threads or on a Dask
scheduler, its results written to a store as they come.

Raman and XPS maps, in-situ XRD series and sets of thermograms are fitted spectrum by spectrum
along paths, spread over threads (NumPy input) or over whatever Dask scheduler is active (Dask
input: threads, processes, or a ``dask.distributed`` cluster).

The spectrum axes are cut into chunks (the blocks of a Dask array, or fixed blocks of a NumPy
array that do not depend on the number of workers).  Within a chunk the spectra are fitted one
after another along a serpentine path (row 0 left to right, row 1 right to left, ...), each
from its predecessor's fitted values when ``warm_start="previous"``: neighbours in a map are
alike, so their fits start close to the optimum.  The first spectrum of every chunk starts
from the peaks.  Every spectrum goes the way of a single fit (:func:`velmora.grid.fit_rows`):
its start read from its own data, the engine's fit, the packed row; so its result is the one
:meth:`velmora.Model.fit` gives from the same start, whatever the number of workers and the
order in which they finish.
"""
import concurrent.futures
import copy
import functools
import itertools
import math
import numbers
import sys
import threading
import time

import numpy as np
import velmora_core

from . import store as batch_store
from .axis import axis_of, is_xarray, plain
from .validation import check_grid
from .batch import BatchResult
from .grid import BURST, Starts, burst_size, fit_rows
from .packing import NOT_FITTED

# Default chunks of a NumPy array: about CHUNK_COUNT chunks of equal length, each of CHUNK_MIN
# to CHUNK_MAX spectra.  With warm starts a chunk is a path whose first spectrum starts cold,
# so chunks should be long; but they are also what the workers share out, so a batch must have
# several chunks per worker.  Eight keep two to four workers busy on small batches at the
# price of a cold start every CHUNK_MIN spectra at worst; large maps get chunks of a few dozen
# spectra (or whole rows up to that length).  The rule depends on the batch's shape only,
# never on the number of workers, so results do not either.
CHUNK_COUNT = 8
CHUNK_MIN = 4
CHUNK_MAX = 64

# Seconds between the writes of a batch fitted on threads to its store: the spectra fitted
# since the last write are lost when the process is killed (they read "not fitted"), and a
# write costs a few milliseconds for every chunk it touches, so chunks of a few thousand
# spectra written once a second cost nothing beside the fits.
FLUSH = 1.0
# Groups of blocks per worker where the core reads the starts (a group is one task).
GROUPS_PER_WORKER = 4
STORE_CHUNK = 4096


class Stopped(Exception):
    """A batch asked to stop (raised inside the core's fits by the stop check)."""


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


@functools.lru_cache(maxsize=64)
def _path_order(shape):
    """The flat indices (C order) of a block of ``shape`` along its serpentine path."""
    if math.prod(shape) == 0:
        return np.zeros(0, dtype=np.intp)
    if not shape:
        return np.zeros(1, dtype=np.intp)
    order = np.ravel_multi_index(np.array(serpentine(shape), dtype=np.intp).T, shape)
    order.flags.writeable = False
    return order


def fit_blocks(blocks, grid, warm_start, stop=None, done=None):
    """Fits the spectra of several blocks (each: spectrum axes..., channels) on ``grid``, each
    block along its serpentine path from a cold start, all in one go: the core reads every
    start and fits the paths one after another (:func:`velmora.grid.fit_rows` with ``fresh``),
    without the interpreter lock.  Returns each block's packed rows, as :func:`fit_chunk`
    would; needs ``grid.start_rule``."""
    layout = grid.layout
    blocks = [np.asarray(b, dtype=np.float64) for b in blocks]
    orders = [_path_order(b.shape[:-1]) for b in blocks]
    sizes = [o.size for o in orders]
    total = sum(sizes)
    if total == 0:
        return [layout.empty(b.shape[:-1]) for b in blocks]
    # Every row of every block is written from `rows` below, fitted or "not fitted".
    outs = [np.empty(b.shape[:-1] + (layout.fields,)) for b in blocks]
    spectra = np.concatenate([b.reshape(-1, b.shape[-1])[o] for b, o in zip(blocks, orders)])
    fresh = np.zeros(total, dtype=bool)
    fresh[np.cumsum([0] + sizes[:-1])] = True
    rows = layout.empty((total,))

    def check():
        if stop.is_set():
            raise Stopped("the batch was stopped")

    previous = velmora_core._on_calling_thread(True)
    velmora_core._stop_check(check if stop is not None else None)
    try:
        counts, invalid, empty = grid.window_rows(spectra)
        fit_rows(grid, counts, warm_start == "previous", None, invalid, empty, stop=stop,
                 done=done, out=rows, fresh=fresh)
    except Stopped:
        pass  # the spectra not fitted keep the status "not fitted"
    finally:
        velmora_core._stop_check(None)
        velmora_core._on_calling_thread(previous)
        first = 0
        for out, order in zip(outs, orders):
            out.reshape(-1, layout.fields)[order] = rows[first:first + order.size]
            first += order.size
    return outs


def fit_chunk(block, grid, warm_start, stop=None, done=None, starts=None):
    """Fits every spectrum of ``block`` (spectrum axes..., channels) on ``grid`` along the
    serpentine path; returns the packed rows (spectrum axes..., fields).  Runs every core call
    on the calling thread.  ``stop`` (an Event) ends the chunk, within a fit too (the core
    looks at it every 20 ms at most); ``done(n)`` counts finished spectra.  ``starts``: the
    starts of the block's spectra in C order (a :class:`velmora.grid.Starts`, NaN rows for
    those not read), or None; those still needed are read here."""
    block = np.asarray(block, dtype=np.float64)
    shape = block.shape[:-1]
    layout = grid.layout
    out = layout.empty(shape)
    path = serpentine(shape)
    if not path or math.prod(shape) == 0:
        return out

    def check():
        if stop.is_set():
            raise Stopped("the batch was stopped")

    previous = velmora_core._on_calling_thread(True)
    # The core calls `check` while it fits (every 20 ms at most), so a stop ends a long fit too.
    velmora_core._stop_check(check if stop is not None else None)
    spectra = block.reshape(-1, block.shape[-1])
    order = np.ravel_multi_index(np.array(path, dtype=np.intp).T, shape) \
        if shape else np.zeros(1, dtype=np.intp)
    rows = layout.empty((order.size,))
    try:
        counts, invalid, empty = grid.window_rows(spectra[order])
        if starts is not None:
            starts = Starts(theta=starts.theta[order], values=starts.values[order],
                            problems=[starts.problems[i] for i in order])
        fit_rows(grid, counts, warm_start == "previous", starts, invalid, empty, stop=stop,
                 done=done, out=rows)
    except Stopped:
        pass  # the spectra not fitted keep the status "not fitted"
    finally:
        velmora_core._stop_check(None)
        velmora_core._on_calling_thread(previous)
        out.reshape(-1, layout.fields)[order] = rows
    return out


# ------------------------------------------------------------------------------- chunking

def _equal_pieces(n, size):
    """``n`` cut into the fewest pieces of at most ``size``, their lengths differing by at
    most one."""
    count = -(-n // size)
    return tuple(n // count + (1 if i < n % count else 0) for i in range(count))


def _default_chunks(spectrum_shape):
    """Block lengths per axis for about CHUNK_COUNT chunks (CHUNK_MIN to CHUNK_MAX spectra
    each): whole rows of the last axes first, a row too long for one chunk cut into equal
    pieces."""
    total = math.prod(spectrum_shape)
    size = min(CHUNK_MAX, max(CHUNK_MIN, -(-total // CHUNK_COUNT)))
    out = []
    room = size
    for n in reversed(spectrum_shape):
        if n == 0:
            out.append((0,))
            continue
        pieces = _equal_pieces(n, max(1, room))
        out.append(pieces)
        room = max(1, room // max(pieces))
    return tuple(reversed(out))


def _normalise_chunks(chunks, spectrum_shape):
    """Per spectrum axis, the tuple of block lengths."""
    if chunks is None:
        chunks = _default_chunks(spectrum_shape)
    if isinstance(chunks, numbers.Integral) and not isinstance(chunks, bool):
        chunks = (int(chunks),) * len(spectrum_shape)
    if isinstance(chunks, (str, bytes, bool)) or not hasattr(chunks, "__iter__"):
        raise TypeError(f"chunks: expected None, a block size or one entry per spectrum axis, "
                        f"got {chunks!r}")
    chunks = tuple(chunks)
    if len(chunks) != len(spectrum_shape):
        raise ValueError(f"chunks: expected one entry per spectrum axis "
                         f"({len(spectrum_shape)}), got {len(chunks)}")
    out = []
    for axis, (c, n) in enumerate(zip(chunks, spectrum_shape)):
        if isinstance(c, numbers.Integral) and not isinstance(c, bool):
            c = int(c)
            if c < 1:
                raise ValueError(f"chunks[{axis}]: expected a positive size, got {c}")
            out.append(tuple(min(c, n - s) for s in range(0, n, c)) or (0,))
        else:
            if isinstance(c, (str, bytes, bool)) or not hasattr(c, "__iter__") or not all(
                    isinstance(v, numbers.Integral) and not isinstance(v, bool) for v in c):
                raise TypeError(f"chunks[{axis}]: expected a block size or a sequence of block "
                                f"lengths (integers), got {c!r}")
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


def fit_batch(model, x, Y, *, warm_start="previous", workers=None, progress=None, chunks=None,
              store=None, resume=False, overwrite=False):
    """``model`` fitted to the spectra ``Y`` on ``x``: the body of :meth:`velmora.Model.fit_many`
    (see :func:`velmora.fit_many`), every argument checked before any spectrum is fitted."""
    dims = coords = None
    channel, units = "x", {}
    axis = axis_of(x, Y)
    x = plain(x)
    if is_xarray(Y):
        dims = tuple(Y.dims[:-1])
        coords = {d: Y.coords[d].values for d in dims if d in Y.coords}
        channel = str(Y.dims[-1])
        units = {str(d): str(Y.coords[d].attrs["units"]) for d in Y.dims
                 if d in Y.coords and "units" in Y.coords[d].attrs}
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
    if workers is not None and (isinstance(workers, bool)
                                or not isinstance(workers, numbers.Integral) or workers < 1):
        raise ValueError(f"workers: expected None or a positive integer, got {workers!r}")
    if progress is not None and not isinstance(progress, bool):
        raise TypeError(f"progress: expected None, True or False, got {progress!r}")
    for name, flag in (("resume", resume), ("overwrite", overwrite)):
        if not isinstance(flag, (bool, np.bool_)):
            raise TypeError(f"{name}: expected True or False, got {flag!r}")
        if flag and store is None:
            raise ValueError(f"{name}: there is nothing to {name} without store=")
    if resume and overwrite:
        raise ValueError("resume, overwrite: give one of them: resume=True completes the store, "
                         "overwrite=True starts it again")
    if store is not None:
        store = batch_store.check_store(store)
        if batch_store.exists(store):
            if not (resume or overwrite):
                raise ValueError(f"store: {store} exists; pass resume=True to fit the spectra "
                                 f"it has not got, or overwrite=True to start it again")
            batch_store.open_packed(store)  # what is not a batch's store is never replaced
    # The model on this grid, once: every check that does not need the spectra, and the
    # layout of the results.
    grid = model.grid(check_grid(x_arr), axis)
    layout = grid.layout

    spectrum_shape = tuple(Y.shape[:-1])
    dims = dims or tuple(f"dim_{i}" for i in range(len(spectrum_shape)))
    if _is_dask(Y) and len(Y.chunks[-1]) > 1:
        Y = Y.rechunk({Y.ndim - 1: -1})
    run = {"model": _model_record(grid, warm_start), "grid": batch_store.digest(x_arr),
           "shape": list(Y.shape)}
    packed = None
    if store is not None and resume and batch_store.exists(store):
        packed = batch_store.open_packed(store, "r+")
        blocks_stored = _check_resumed(packed, store, run)
    if _is_dask(Y):
        if packed is not None and tuple(Y.chunks[:-1]) != blocks_stored:
            Y = Y.rechunk(blocks_stored + ((Y.shape[-1],),))
        chunk_spec = tuple(tuple(int(n) for n in c) for c in Y.chunks[:-1])
    elif packed is not None and chunks is None:
        chunk_spec = blocks_stored
    else:
        chunk_spec = _normalise_chunks(chunks, spectrum_shape)
        if packed is not None and chunk_spec != blocks_stored:
            raise ValueError(f"chunks: the store was fitted in blocks of "
                             f"{[list(c) for c in blocks_stored]}; leave chunks out to take them")

    blocks = _blocks(chunk_spec)
    if store is not None and packed is None:
        attrs = dict(layout.attrs(), **run, blocks=[list(c) for c in chunk_spec],
                     warm_start=warm_start, dims=list(dims), channel=channel, units=units,
                     axis=_plain_record(axis),
                     energy=None if grid.energy is None else _plain_record(grid.energy))
        packed = batch_store.create(store, spectrum_shape + (layout.fields,), chunk_spec,
                                    None if _is_dask(Y) else STORE_CHUNK, attrs,
                                    {layout.n_iter: 0.0, layout.evaluations: 0.0,
                                     layout.converged: 0.0,
                                     layout.status: NOT_FITTED}, coords)
        todo = blocks
    elif store is not None:
        status = np.asarray(packed[..., layout.status])
        unfitted = np.isnan(status) | (status == NOT_FITTED)
        todo = [b for b in blocks if unfitted[b].any()]
    else:
        todo = blocks
    total = sum(math.prod(s.stop - s.start for s in b) for b in todo)
    bar = _progress_bar(total, progress)
    try:
        if store is None and _is_dask(Y):
            packed = _run_dask(Y, grid, warm_start, bar, chunk_spec)
        elif store is None:
            packed = layout.empty(spectrum_shape)
            _run_threads(Y, grid, warm_start, todo, packed.__setitem__,
                         workers or velmora_core._pool_size(), bar)
        elif _is_dask(Y) and batch_store.aligned(packed.chunks[:-1], chunk_spec):
            _run_dask_store(Y, grid, warm_start, bar, chunk_spec, todo, store)
        else:
            # The waiting thread writes what the workers have fitted, once a second and at
            # the end, stopped or not (a Dask array resumed in a store written so is read
            # here block by block).
            writer = _StoreWriter(packed, layout)
            try:
                _run_threads(Y, grid, warm_start, todo, writer.put,
                             workers or velmora_core._pool_size(), bar, writer.flush)
            finally:
                writer.flush()
    finally:
        if bar is not None:
            bar.close()
    if store is not None:
        packed = batch_store.open_packed(store)
    return BatchResult(packed, layout, dims, coords, channel=channel, units=units, axis=axis,
                       energy=grid.energy, warm_start=warm_start, grid=grid, data=Y, x=x_arr)


def _plain_record(record):
    """A dataclass's fields as JSON: numbers as floats."""
    return {k: float(v) if isinstance(v, numbers.Real) and not isinstance(v, bool) else v
            for k, v in vars(record).items()}


# What a store records of its batch, in the words that tell which part differs.
_RUN_PARTS = ("peaks", "background", "window", "bounds", "tol", "max_iter", "errors", "energy",
              "warm_start")


def _model_record(grid, warm_start):
    """What the batch fits, in words that change whenever its fits would: the peaks (their
    starting values, ties, fixed parameters and bounds), the background, the window, shared
    bounds, the fit's options, the energy kind and the warm starts."""
    model = grid.model
    bg = grid.background
    peaks = []
    for pk in model.peaks:
        pk = copy.copy(pk)
        pk.bounds = dict(sorted(pk.bounds.items()))  # bounds given in any order are the same
        peaks.append(repr(pk))
    options = ", ".join(f"{k}={v!r}" for k, v in sorted(vars(bg).items()) if k != "t")
    parts = {
        "peaks": ", ".join(peaks),
        "background": f"{bg.name} ({options})" if options else bg.name,
        "window": repr(tuple(float(v) for v in grid.window)),
        "bounds": repr(sorted(model.bounds.items())),
        "tol": repr(float(model.tol)),
        "max_iter": repr(int(model.max_iter)),
        "errors": model.errors,
        "energy": repr(None if grid.energy is None else grid.energy.kind),
        "warm_start": warm_start}
    return {k: parts[k] for k in _RUN_PARTS}


def _check_resumed(packed, store, run):
    """Refuses to resume a store of another model, grid or shape of data (one line, naming
    what differs); returns the blocks it was fitted in."""
    attrs = packed.attrs
    if list(attrs["shape"]) != run["shape"]:
        raise ValueError(f"store: {store} holds a batch of data of shape "
                         f"{tuple(attrs['shape'])}, Y has {tuple(run['shape'])}")
    if attrs["grid"] != run["grid"]:
        raise ValueError(f"store: {store} was fitted on another grid x")
    theirs, ours = dict(attrs["model"]), run["model"]
    if theirs != ours:
        what = next((k for k in _RUN_PARTS if theirs.get(k) != ours.get(k)), "model")
        raise ValueError(f"store: {store} holds fits with another {what!r} (there "
                         f"{theirs.get(what)}, here {ours.get(what)}); resume it with the same "
                         f"model, or pass overwrite=True to start it again")
    return tuple(tuple(int(n) for n in c) for c in attrs["blocks"])


def _group_starts(Y, group, grid, warm):
    """The starts of a group of blocks, read side by side: for every block a
    :class:`velmora.grid.Starts` in C order of its spectra (NaN rows for those not read),
    every spectrum's without warm starts, only the first of its path's with them."""
    shapes = [tuple(s.stop - s.start for s in b) for b in group]
    if warm:
        # A path starts at the block's first spectrum (index 0 on every axis).
        picks = [tuple(s.start for s in b) if math.prod(shape) else None
                 for b, shape in zip(group, shapes)]
        spectra = [np.asarray(Y[p], dtype=np.float64)[None, :] for p in picks if p is not None]
    else:
        spectra = [np.asarray(Y[b], dtype=np.float64).reshape(-1, Y.shape[-1]) for b in group]
    if not spectra:
        return [None] * len(group)
    counts, invalid, empty = grid.window_rows(np.concatenate(spectra))
    m = counts.shape[0]
    theta = np.full((m, grid.n_theta), np.nan)
    values = np.full((m, grid.n_params), np.nan)
    problems = [None] * m
    ok = np.flatnonzero(~(invalid | empty))
    if ok.size:
        found = grid.read_starts(counts[ok])
        theta[ok], values[ok] = found.theta, found.values
        for i, problem in zip(ok, found.problems):
            problems[i] = problem
    out = []
    first = 0
    for k, shape in enumerate(shapes):
        size = math.prod(shape)
        if not warm:
            rows = slice(first, first + size)
            out.append(Starts(theta=theta[rows], values=values[rows], problems=problems[rows]))
            first += size
            continue
        part = Starts(theta=np.full((size, grid.n_theta), np.nan),
                      values=np.full((size, grid.n_params), np.nan), problems=[None] * size)
        if picks[k] is not None:
            part.theta[0], part.values[0], part.problems[0] = \
                theta[first], values[first], problems[first]
            first += 1
        out.append(part)
    return out


def _groups(blocks, grid, workers):
    """``blocks`` in groups of consecutive blocks: about GROUPS_PER_WORKER groups a worker,
    none of more spectra than a call of the core takes (which group a block falls in changes
    no result)."""
    sizes = [math.prod(s.stop - s.start for s in b) for b in blocks]
    total = sum(sizes)
    target = max(1, min(burst_size(grid), -(-total // (GROUPS_PER_WORKER * workers))))
    groups, group, held = [], [], 0
    for block, size in zip(blocks, sizes):
        if group and held + size > target:
            groups.append(group)
            group, held = [], 0
        group.append(block)
        held += size
    if group:
        groups.append(group)
    return groups


def _run_threads(Y, grid, warm_start, blocks, write, workers, bar, flush=None):
    """Fits ``blocks`` of ``Y`` on ``workers`` threads; ``write(block, rows)`` takes each
    block's packed rows as it finishes (those it has fitted of a block stopped by Ctrl-C
    too).  ``flush()``, when given, is called by the waiting thread every FLUSH seconds."""
    stop = threading.Event()
    lock = threading.Lock()
    finished = [0]

    def done(n):
        with lock:
            finished[0] += n

    def work(block, starts):
        write(block, fit_chunk(Y[block], grid, warm_start, stop, done, starts))

    def work_group(group):
        for block, rows in zip(group, fit_blocks([Y[b] for b in group], grid, warm_start,
                                                 stop, done)):
            write(block, rows)

    shown = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=workers) as pool:
        futures = []
        try:
            if grid.start_rule is not None:
                # The core reads every start: the workers take groups of blocks, each group
                # one call of the core (or a few) that holds no lock, a few groups a worker.
                for group in _groups(blocks, grid, workers):
                    futures.append(pool.submit(work_group, group))
                blocks = []
            # The cold starts are read here, side by side for groups of at least BURST
            # spectra (a call's own cost does not show), while the workers fit the groups
            # before: every spectrum's without warm starts, with them only the first of
            # every chunk's path (the others start from the fit before them).
            warm = warm_start == "previous"
            group = []
            for k, block in enumerate(blocks):
                group.append(block)
                # (The first block of every worker alone, so that each starts at once; a
                # spectrum's start does not depend on those read beside it.)
                if workers <= k < len(blocks) - 1 and (len(group) if warm else sum(
                        math.prod(s.stop - s.start for s in b) for b in group)) < BURST:
                    continue
                starts = _group_starts(Y, group, grid, warm)
                for b, part in zip(group, starts):
                    futures.append(pool.submit(work, b, part))
                group = []
                if stop.is_set():
                    break
            pending = set(futures)
            flushed = time.monotonic()
            while pending:
                _, pending = concurrent.futures.wait(pending, timeout=0.1)
                if flush is not None and time.monotonic() - flushed >= FLUSH:
                    flush()
                    flushed = time.monotonic()
                if bar is not None and finished[0] > shown:
                    bar.update(finished[0] - shown)
                    shown = finished[0]
        except BaseException:
            # Ctrl-C (or any failure of the waiting thread): the workers stop at their next
            # checkpoint, the queued chunks are dropped.
            stop.set()
            for f in futures:
                f.cancel()
            raise
        for f in futures:
            f.result()  # a chunk's own failure (a bug, not a bad spectrum) is raised here
    if bar is not None and finished[0] > shown:
        bar.update(finished[0] - shown)


class _StoreWriter:
    """Rows fitted on threads, held in memory and written to the store by one thread: every
    chunk that holds a block finished since the last :meth:`flush`, in whole (the chunks of a
    store fitted on threads may hold several blocks, and parts of blocks)."""

    def __init__(self, array, layout):
        self.array, self.status = array, layout.status
        # What the store holds (a resumed store's fitted blocks included), so that a chunk is
        # written whole from here.
        self.rows = np.asarray(array[...])
        self.chunks = array.chunks[:-1]
        self.lock = threading.Lock()
        self.finished = []

    def put(self, block, rows):
        with self.lock:
            self.rows[block] = rows
            self.finished.append(block)

    def flush(self):
        with self.lock:
            blocks = list(self.finished)
            touched = set()
            for block in blocks:
                ranges = [range(b.start // c, -(-b.stop // c)) for b, c in zip(block, self.chunks)]
                touched.update(itertools.product(*ranges))
            regions = [tuple(slice(i * c, (i + 1) * c) for i, c in zip(index, self.chunks))
                       for index in sorted(touched)]
            # Copied while the workers wait: a row is written as a worker left it, whole.
            parts = [(region, self.rows[region].copy()) for region in regions]
        for region, rows in parts:
            batch_store.write_rows(self.array, region, rows, self.status)
        # Forgotten only once written: a flush cut short by Ctrl-C is made again whole.
        with self.lock:
            del self.finished[:len(blocks)]


def _fit_and_write(block, region, grid, warm_start, store):
    """A Dask task: fits one block and writes its rows to the store; returns its number of
    spectra."""
    rows = fit_chunk(block, grid=grid, warm_start=warm_start)
    batch_store.write_block(store, region, rows, grid.layout.status)
    return math.prod(rows.shape[:-1])


def _dask_results(tasks, bar, size):
    """Computes ``tasks`` on the active scheduler; the progress bar moves by ``size(result)``
    as each finishes on a ``dask.distributed`` client, at the end otherwise."""
    import dask

    client = None
    try:
        from distributed import get_client
        client = get_client()
    except (ImportError, ValueError):
        client = None
    if client is not None:
        from distributed import as_completed
        futures = client.compute(list(tasks))
        index = {f.key: i for i, f in enumerate(futures)}
        results = [None] * len(futures)
        for future in as_completed(futures):
            results[index[future.key]] = future.result()
            if bar is not None:
                bar.update(size(results[index[future.key]]))
        return results
    results = list(dask.compute(*tasks))
    if bar is not None:
        bar.update(sum(size(r) for r in results))
    return results


def _run_dask(Y, grid, warm_start, bar, chunk_spec):
    """Every block of the Dask array ``Y`` fitted by the active scheduler, the results
    gathered in memory."""
    import dask.array as da

    layout = grid.layout
    out = da.map_blocks(functools.partial(fit_chunk, grid=grid, warm_start=warm_start),
                        Y, dtype=np.float64, chunks=chunk_spec + ((layout.fields,),),
                        meta=np.empty((0,) * Y.ndim))
    results = _dask_results(out.to_delayed().ravel(), bar,
                            lambda r: math.prod(r.shape[:-1]))
    packed = layout.empty(Y.shape[:-1])
    for block, r in zip(_blocks(chunk_spec), results):
        packed[block] = r
    return packed


def _run_dask_store(Y, grid, warm_start, bar, chunk_spec, blocks, store):
    """``blocks`` of the Dask array ``Y`` fitted by the active scheduler, each written to the
    store by the task that fits it (the store's chunks lie within single blocks)."""
    import dask

    fit = functools.partial(_fit_and_write, grid=grid, warm_start=warm_start, store=store)
    starts = [np.concatenate([[0], np.cumsum(c)[:-1]]) for c in chunk_spec]
    tasks = []
    for block in blocks:
        index = tuple(int(np.searchsorted(s, b.start, side="right")) - 1
                      for s, b in zip(starts, block))
        tasks.append(dask.delayed(fit)(Y.blocks[index + (0,)], block))
    _dask_results(tasks, bar, int)
