"""Arrays of spectra written by NumPy or xarray (``.npz``, NetCDF ``.nc``, Zarr ``.zarr``) and
text files of one x column and one column per spectrum: many spectra on one grid (a Raman or
XPS map, a series), the channels last.

The sizes such a file declares (an array's shape in its header, a variable's dimensions) are
checked against the bytes the file holds before anything is allocated: stored data take at
most a thousand times their compressed size, so a damaged or hostile header cannot ask for
more memory than that.  Every failure of the libraries that read these files (NumPy's
archive reader, xarray and its NetCDF and Zarr back ends) on a file's bytes is a FileError.
"""
import os
import warnings
import zipfile

import numpy as np

from . import columns
from .common import FileError, choose, file_size, first_line, has_module
from .text import EXTENSIONS as TEXT_EXTENSIONS
#: Every extension :func:`read_map` reads.
EXTENSIONS = (".npz", ".nc", ".zarr")
MAP_EXTENSIONS = EXTENSIONS + TEXT_EXTENSIONS
FORMAT = "NumPy .npz, NetCDF .nc or Zarr .zarr arrays of spectra"
# Name of the channel axis of maps whose file does not name it, and of the spectrum axis of a
# text file's columns.
CHANNEL = "x"
SPECTRUM = "spectrum"
# The first bytes of a NetCDF-4 file (an HDF5 file) and of a NetCDF-3 file.
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
NETCDF3_SIGNATURE = b"CDF"
# Deflate, the densest compression these files use, packs at most 1032 bytes into one.
_MOST_EXPANSION = 1100
# Below this, any size is plausible (headers, metadata).
_SMALL = 1 << 20


def recognise(path, head):
    """Whether the file is an array file: a ZIP archive named .npz, a NetCDF file, a Zarr
    folder."""
    ext = _extension(path)
    if ext == ".zarr":
        return os.path.isdir(path)
    if ext == ".npz":
        return head.startswith(b"PK")
    return head.startswith((HDF5_SIGNATURE, NETCDF3_SIGNATURE))


def _extension(path):
    return os.path.splitext(os.fspath(path).rstrip("/" + os.sep))[1].lower()


def regions(path):
    """An array file holds one measurement: its name is "spectra"."""
    return ["spectra"]


def read(path, region=None):
    """The spectra of an array file (see :func:`read_map`)."""
    choose(path, ["spectra"], region)
    counts = read_map(path)
    counts.attrs.setdefault("source_file", os.path.basename(os.fspath(path).rstrip("/")))
    return counts


def map_format(path):
    """``"npz"``, ``"nc"``, ``"zarr"`` or ``"text"``, from the extension of ``path``; a
    FileError for any other."""
    ext = _extension(path)
    if ext not in MAP_EXTENSIONS:
        raise FileError(f"{path}: cannot tell a map's format from the extension {ext or '(none)'}"
                        f"; expected .npz, .nc, .zarr or a text file "
                        f"({', '.join(TEXT_EXTENSIONS)})")
    return "text" if ext in TEXT_EXTENSIONS else ext[1:]


def read_map(path):
    """Many spectra on one grid (see :func:`velmora.io.read_map`)."""
    kind = map_format(path)
    if not has_module("xarray"):
        raise FileError("reading maps needs xarray: pip install 'velmora[io]'")
    if kind == "zarr" and not has_module("zarr"):
        raise FileError(f"{path}: reading Zarr needs the zarr package: "
                        f"pip install 'velmora[io]'")
    size = file_size(path, folder=kind == "zarr")
    import xarray as xr

    if kind == "npz":
        x, counts = _read_npz(path, size)
        dims = tuple(f"dim_{i}" for i in range(counts.ndim - 1)) + (CHANNEL,)
        return xr.DataArray(counts, dims=dims, coords={CHANNEL: x}, name="counts")
    if kind == "text":
        x, counts = columns.read_table(path)
        return xr.DataArray(counts, dims=(SPECTRUM, CHANNEL), coords={CHANNEL: x},
                            name="counts")
    return _read_dataset(path, kind, size)


def _check_size(path, nbytes, size, what):
    """Refuses ``nbytes`` of data declared by a file of ``size`` bytes that cannot hold them."""
    if nbytes > max(_MOST_EXPANSION * size, _SMALL):
        raise FileError(f"{path}: {what} declares {nbytes / 2**20:.6g} MiB of data, more than "
                        f"a file of {size} bytes can hold (a damaged file?)")


def check_map(path, x, counts):
    """The grid and counts of a map file as float arrays, or a FileError saying what is
    wrong with them."""
    x, counts = np.asarray(x), np.asarray(counts)
    if x.dtype.kind not in "iuf" or x.ndim != 1:
        raise FileError(f"{path}: the grid x must be a one-dimensional array of numbers, got "
                        f"shape {x.shape} of {x.dtype}")
    if counts.dtype.kind not in "iuf":
        raise FileError(f"{path}: the counts must be numbers, got {counts.dtype}")
    if counts.ndim < 2:
        raise FileError(f"{path}: the counts have shape {counts.shape}; a map needs spectrum "
                        f"axes before the channels (fit one spectrum with 'velmora fit')")
    if x.size == 0 or 0 in counts.shape[:-1]:
        raise FileError(f"{path}: no spectra (counts of shape {counts.shape})")
    if counts.shape[-1] != x.size:
        raise FileError(f"{path}: the counts have {counts.shape[-1]} channels on their last "
                        f"axis, the grid x has {x.size} points")
    return x.astype(np.float64), counts.astype(np.float64)


def _npy_member(path, archive, key, size):
    """Checks the header of the archive's array ``key`` against the bytes that hold it."""
    info = archive.getinfo(f"{key}.npy")
    if info.file_size > max(_MOST_EXPANSION * max(info.compress_size, 1), _SMALL) \
            or info.compress_size > size:
        raise FileError(f"{path}: the array {key!r} declares {info.file_size} bytes stored in "
                        f"{info.compress_size} (a damaged archive?)")
    with archive.open(info) as member:
        version = np.lib.format.read_magic(member)
        if version == (1, 0):
            shape, _, dtype = np.lib.format.read_array_header_1_0(member)
        else:
            shape, _, dtype = np.lib.format.read_array_header_2_0(member)
    if dtype.hasobject:
        raise FileError(f"{path}: the array {key!r} holds Python objects, not numbers")
    nbytes = int(np.prod(shape, dtype=object)) * dtype.itemsize
    if nbytes > info.file_size:
        raise FileError(f"{path}: the array {key!r} declares shape {shape} of {dtype} "
                        f"({nbytes} bytes) but holds {info.file_size} bytes (a damaged "
                        f"archive?)")


def _read_npz(path, size):
    try:
        with zipfile.ZipFile(path) as archive:
            names = [n[:-4] for n in archive.namelist() if n.endswith(".npy")]
            missing = [k for k in ("x", "counts") if k not in names]
            if missing:
                raise FileError(f"{path}: expected arrays 'x' and 'counts', missing "
                                f"{' and '.join(repr(k) for k in missing)} (found: "
                                f"{', '.join(names) or 'none'})")
            for key in ("x", "counts"):
                _npy_member(path, archive, key, size)
        with np.load(path, allow_pickle=False) as archive:
            x, counts = archive["x"], archive["counts"]
    except FileError:
        raise
    except Exception as exc:  # NumPy and zipfile fail on damaged bytes in many ways
        raise FileError(f"cannot read {path} as a NumPy .npz archive: "
                        f"{first_line(exc)}") from None
    return check_map(path, x, counts)


def _read_dataset(path, kind, size):
    """The counts of a NetCDF or Zarr dataset written by xarray."""
    import xarray as xr

    if kind == "nc":
        with open(path, "rb") as handle:
            head = handle.read(8)
        if head == HDF5_SIGNATURE and not (has_module("netCDF4") or has_module("h5netcdf")):
            raise FileError(f"{path}: a NetCDF-4 (HDF5) file; reading it needs netCDF4 or "
                            f"h5netcdf (pip install h5netcdf)")
    what = "a Zarr store" if kind == "zarr" else "a NetCDF file"
    try:
        with warnings.catch_warnings():
            # A Zarr store without consolidated metadata is read all the same.
            warnings.simplefilter("ignore", RuntimeWarning)
            opened = (xr.open_zarr(path, chunks=None) if kind == "zarr"
                      else xr.open_dataset(path))
        with opened as ds:
            names = [str(n) for n in ds.data_vars]
            if "counts" in names:
                name = "counts"
            elif len(names) == 1:
                name = names[0]
            else:
                raise FileError(f"{path}: no variable 'counts', and {len(names)} data variables "
                                f"({', '.join(names) or 'none'}); name the counts 'counts'")
            counts = ds[name]
            if counts.ndim < 1:
                raise FileError(f"{path}: the variable {name!r} is a single number, not spectra")
            channel = counts.dims[-1]
            if channel not in ds.coords:
                raise FileError(f"{path}: the channel dimension {channel!r} of {name!r} has no "
                                f"coordinate (the grid x)")
            _check_size(path, counts.size * counts.dtype.itemsize, size, f"the variable {name!r}")
            counts = counts.load()
    except FileError:
        raise
    except Exception as exc:  # xarray's back ends fail on damaged bytes in many ways
        raise FileError(f"cannot read {path} as {what}: {first_line(exc)}") from None
    x, values = check_map(path, counts[channel].values, counts.values)
    return counts.copy(data=values).rename("counts")
