"""Text and CSV files of columns: x, then the counts of one spectrum or of several (one
column each), read by the rules of :func:`velmora.io.read_columns` (comments, a header line,
commas, semicolons, tabs or blanks, decimal commas told apart or refused).  A header line
that names the x column ("Binding Energy (eV)", "2Theta", "Raman shift (cm-1)") names the
axis.  A LabSpec export, recognised by its header, goes to :mod:`velmora.formats.labspec`.
"""
import re

import numpy as np

from ..io import FileError, _data_lines, _is_number, _read_table
from . import labspec
from .common import axis_from_label, check_counts, choose, spectrum

_UNITS = re.compile(r"^(.*?)\s*[\(\[]([^\)\]]*)[\)\]]\s*$")


def regions(path):
    """A text file holds one measurement: its name is "spectrum"."""
    if labspec.is_labspec_text(path):
        return labspec.regions(path)
    return ["spectrum"]


def x_label(path):
    """The label and units of the x column that a header line gives, or ("", "")."""
    numbered, split, _ = _data_lines(path, "numbers: x, then counts")
    fields = [f for f in split(numbered[0][1]) if f]
    if not fields or any(_is_number(f) for f in fields):
        return "", ""
    match = _UNITS.match(fields[0].strip().strip('"'))
    return (match.group(1), match.group(2)) if match else (fields[0].strip().strip('"'), "")


def read(path, region=None):
    """A text file's spectra as an ``xarray.DataArray`` (see :func:`velmora.read`): one
    spectrum for two columns, the axis ``spectrum`` for more."""
    if labspec.is_labspec_text(path):
        return labspec.read(path, region)
    choose(path, ["spectrum"], region)
    x, counts = _read_table(path)
    label, units = x_label(path)
    axis = axis_from_label(label, units) if label else ("x", "", "x")
    if np.unique(x).size != x.size:
        raise FileError(f"{path}: repeated x values; one spectrum per column is expected")
    check_counts(path, counts)
    if counts.shape[0] == 1:
        return spectrum(path, x, counts[0], axis, {})
    return spectrum(path, x, counts, axis, {}, ("spectrum",), {})
