"""The Zarr store of a batch (``fit_many(..., store=...)``).

A store holds one array, ``packed``: a spectrum's row of results (see
:class:`velmora.packing.Layout`) for every spectrum, each field in chunks of its own, and
in its attributes the names of the fields, the model and grid the batch fitted and the blocks
it was fitted in.  The coordinates of the spectrum axes, where the input had them, are arrays
``coords/<dim>`` beside it.

A store is written so that it can be stopped at any moment.  It is created with every
spectrum's status "not fitted" and every value NaN (the array's fill value: fields no block
has written read NaN, and a status that reads NaN is "not fitted") before any spectrum is
fitted; then each block's rows are written as
the block finishes, the status field last, so that a spectrum whose write was cut short reads
"not fitted" too.  Chunks are written whole and atomically by Zarr's file store.  Along the
spectrum axes the chunks of a store fitted by Dask lie within single blocks (blocks are written
by different processes, which must never share a chunk); a store fitted by threads has chunks
of a few thousand spectra, written whole by one thread.
"""
import hashlib
import math
import os
import warnings

import numpy as np

#: The format of the stores written here, in the attribute ``velmora_batch``.
FORMAT = 1


def check_store(store):
    """``store`` as a string: the path or URL of a Zarr store, refused when zarr is missing,
    it is empty, or its folder does not exist.

    Parameters
    ----------
    store : str or path-like

    Returns
    -------
    str

    Raises
    ------
    TypeError
        For anything but a string or a path.
    ImportError
        Without zarr.
    ValueError
        For an empty string or a path whose folder does not exist.
    """
    if isinstance(store, bytes) or not isinstance(store, (str, os.PathLike)):
        raise TypeError(f"store: expected the path or URL of a Zarr store, got "
                        f"{type(store).__name__}")
    store = os.fspath(store)
    try:
        import zarr  # noqa: F401
    except ImportError:
        raise ImportError("store: writing results to Zarr needs zarr (pip install "
                          "'velmora[io]')") from None
    if not store.strip():
        raise ValueError("store: expected the path or URL of a Zarr store, got ''")
    if "://" not in store:
        folder = os.path.dirname(os.path.abspath(store))
        if not os.path.isdir(folder):
            raise ValueError(f"store: the folder {folder} does not exist")
    return store


def exists(store):
    """Whether anything is at ``store`` (a local path, or a URL that holds a Zarr group or
    array)."""
    if "://" not in store:
        return os.path.exists(store)
    import zarr

    try:
        zarr.open(store=store, mode="r")
    except (FileNotFoundError, KeyError, ValueError):
        return False
    return True


def open_packed(store, mode="r"):
    """The ``packed`` array of the batch store at ``store``, opened in ``mode``.

    Raises
    ------
    ValueError
        When nothing is there, or what is there is not a batch store of this format (one
        line, naming the path).
    """
    import zarr

    if not exists(store):
        raise ValueError(f"store: {store} does not exist")
    try:
        array = zarr.open_array(store=store, path="packed", mode=mode)
        version = array.attrs.get("velmora_batch")
    except Exception:  # whatever else is there, it is not ours
        version = None
    if version != FORMAT:
        raise ValueError(f"store: {store} is not a velmora batch store (no array 'packed' "
                         f"written by fit_many)")
    return array


def digest(x):
    """A hex digest of the values of the grid ``x``, to tell whether two grids are one."""
    return hashlib.sha256(np.ascontiguousarray(x, dtype="<f8").tobytes()).hexdigest()


def is_regular(lengths):
    """Whether block ``lengths`` are a regular chunking (all one length but a shorter last)."""
    return all(n == lengths[0] for n in lengths[:-1]) and lengths[-1] <= lengths[0]


def chunks_for(blocks, spectra=None):
    """The chunk length along each spectrum axis of a store of ``blocks`` (per axis, the
    lengths of the blocks).  ``spectra`` None: chunks for blocks written by processes that
    cannot take turns, which must lie within single blocks (the blocks' length where they
    are regular, else the greatest common divisor of their lengths).  Otherwise chunks for
    one writer: the longest block, grown over the last axes, then the ones before them, to
    about ``spectra`` spectra."""
    out = []
    for lengths in blocks:
        lengths = [int(n) for n in lengths if n > 0] or [1]
        if spectra is None and not is_regular(lengths):
            out.append(math.gcd(*lengths))
        else:
            out.append(max(lengths))
    if spectra is not None:
        sizes = [max(1, sum(int(n) for n in lengths)) for lengths in blocks]
        for axis in reversed(range(len(out))):
            room = spectra // math.prod(out)
            if room < 2:
                break
            out[axis] = min(sizes[axis], out[axis] * room)
    return tuple(out)


def aligned(chunks, blocks):
    """Whether every chunk of ``chunks`` lies within a single block of ``blocks``."""
    for size, lengths in zip(chunks, blocks):
        edges = np.cumsum(lengths)[:-1]
        if np.any(edges % size):
            return False
    return True


def create(store, shape, blocks, spectra, attrs, initial, coords=None):
    """A new batch store at ``store`` (replacing whatever store is there): ``packed`` of
    ``shape`` (spectrum axes..., fields), every value NaN but those of ``initial``.

    Parameters
    ----------
    store : str
    shape : tuple of int
    blocks : tuple of tuple of int
        The lengths of the blocks along every spectrum axis.
    spectra : int or None
        None where different processes write the blocks, else about how many spectra a chunk
        holds (see :func:`chunks_for`).
    attrs : dict
        The attributes of ``packed`` (the format's mark is added).
    initial : dict of int to float
        The value of some fields in every spectrum's row (its status "not fitted").
    coords : dict of str to ndarray, optional
        Coordinates of the spectrum axes, stored as ``coords/<name>`` where Zarr can hold
        their type.

    Returns
    -------
    zarr.Array
        ``packed``, open for writing.
    """
    import zarr

    zarr.open_group(store=store, mode="w")  # empties a store that is replaced
    chunks = chunks_for(blocks, spectra) + (1,)
    array = zarr.open_array(store=store, path="packed", mode="w", shape=tuple(shape),
                            chunks=chunks, dtype="f8", fill_value=np.nan)
    # Marked as a batch's store at once: a field no write has reached reads NaN, and a status
    # that reads NaN is "not fitted", so a store whose creation was cut short is one whose
    # spectra are all still to be fitted.
    array.attrs.update(dict(attrs, velmora_batch=FORMAT))
    for name, values in (coords or {}).items():
        values = np.asarray(values)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")  # Zarr's notes on its string types
                zarr.open_array(store=store, path=f"coords/{name}", mode="w",
                                shape=values.shape, dtype=values.dtype)[...] = values
        except Exception:  # a type Zarr does not hold: the batch is read back without it
            continue
    if math.prod(shape[:-1]):
        for field, value in initial.items():
            array[..., field] = value
    return array


def read_coords(store, dims):
    """The coordinates :func:`create` stored, for those of ``dims`` that have one."""
    import zarr

    group = zarr.open_group(store=store, mode="r")
    out = {}
    for d in dims:
        try:
            out[d] = np.asarray(group[f"coords/{d}"][...])
        except KeyError:
            continue
    return out


def write_rows(array, region, rows, status):
    """Writes the packed ``rows`` of one block at ``region`` of ``array``, the status field
    last: a write cut short leaves the block's spectra "not fitted"."""
    if rows.size == 0:
        return
    array[region + (slice(0, status),)] = rows[..., :status]
    array[region + (slice(status + 1, None),)] = rows[..., status + 1:]
    array[region + (status,)] = rows[..., status]


def write_block(store, region, rows, status):
    """:func:`write_rows` into the store at ``store`` (opened here: a worker of a Dask
    cluster writes its own blocks)."""
    import zarr

    write_rows(zarr.open_array(store=store, path="packed", mode="r+"), region, rows, status)
