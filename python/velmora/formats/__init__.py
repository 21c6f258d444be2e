"""Readers of instrument files, one module per format, found by the file's extension.

Every reader module has ``read(path, region=None)``, returning an ``xarray.DataArray`` of
counts with the channels last (see :func:`velmora.read`), and ``regions(path)``, the names of
what it holds in file order.  A new format is a module here and an entry in ``READERS``.
"""
import os

from ..io import FileError, has_module
from . import labspec, maps, renishaw, text, vamas, xrdml

#: The reader of each extension (lower case).
READERS = {
    ".vms": vamas, ".npl": vamas,
    ".xrdml": xrdml,
    ".wdf": renishaw,
    ".xml": labspec,
    ".txt": text, ".csv": text, ".tsv": text, ".dat": text, ".xy": text,
    ".npz": maps, ".nc": maps, ".zarr": maps,
}


def reader_for(path):
    """The reader module of ``path``, by its extension; a FileError for a file that is not
    there, an extension no reader knows, or when xarray is not installed."""
    if isinstance(path, bytes) or not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"path: expected a str or path-like, got {type(path).__name__}")
    name = os.fspath(path).rstrip("/" + os.sep)
    ext = os.path.splitext(name)[1].lower()
    if ext not in READERS:
        raise FileError(f"{path}: cannot tell the format from the extension "
                        f"{ext or '(none)'}; files read: {', '.join(sorted(READERS))}")
    if not has_module("xarray"):
        raise FileError("reading files needs xarray: pip install 'velmora[io]'")
    if not os.path.exists(name):
        raise FileError(f"cannot read {path}: no such file or directory")
    if os.path.isdir(name) and ext != ".zarr":
        raise FileError(f"cannot read {path}: is a directory")
    return READERS[ext]
