"""Arrays of spectra written by NumPy or xarray (``.npz``, NetCDF ``.nc``, Zarr ``.zarr``),
read by :func:`velmora.io.read_map`: the file's own dimension names and coordinates."""
import os

from ..io import read_map
from .common import choose


def regions(path):
    """An array file holds one measurement: its name is "spectra"."""
    return ["spectra"]


def read(path, region=None):
    """The spectra of an array file (see :func:`velmora.io.read_map`)."""
    choose(path, ["spectra"], region)
    counts = read_map(path)
    counts.attrs.setdefault("source_file", os.path.basename(os.fspath(path).rstrip("/")))
    return counts
