"""Text and CSV files of columns: x, then the counts of one spectrum or of several (one
column each), read by the rules of :func:`velmora.io.read_columns` (comments, a header line,
commas, semicolons, tabs or blanks, decimal commas told apart or refused).  A header line
that names the x column ("Binding Energy (eV)", "2Theta", "Raman shift (cm-1)") names the
axis.  A LabSpec export, recognised by its header, is read by :mod:`velmora.formats.labspec`.
"""
import re

import numpy as np

from . import columns
from .common import (FileError, axis_from_label, check_counts, choose, looks_like_text,
                     spectrum)

FORMAT = "text or CSV columns"
#: Extensions of text files of columns (one x column, one column per spectrum).
EXTENSIONS = (".txt", ".csv", ".tsv", ".dat", ".xy")


_FIELDS = re.compile(r"[\s;,]+")


def recognise(path, head):
    """Whether the file is text with a line of two or more numbers among its first lines
    (the columns themselves are checked as they are read).  A file named as text (.txt,
    .csv, ...) that no other reader recognises is read as columns whatever it holds, so that
    the message says which line is not."""
    if not looks_like_text(head):
        return False
    if head.startswith((b"\xff\xfe", b"\xfe\xff")):
        return True  # refused when read, with a hint to save it as UTF-8
    for line in head.decode("latin-1").splitlines()[:500]:
        fields = [f for f in _FIELDS.split(line.split("#", 1)[0]) if f]
        if len(fields) >= 2 and all(columns.is_number(f) for f in fields):
            return True
    return False


def regions(path):
    """A text file holds one measurement: its name is "spectrum"."""
    return ["spectrum"]


def read(path, region=None):
    """A text file's spectra as an ``xarray.DataArray`` (see :func:`velmora.read`): one
    spectrum for two columns, the axis ``spectrum`` for more."""
    choose(path, ["spectrum"], region)
    x, counts = columns.read_table(path)
    label, units = columns.x_label(path)
    axis = axis_from_label(label, units) if label else ("x", "", "x")
    if np.unique(x).size != x.size:
        raise FileError(f"{path}: repeated x values; one spectrum per column is expected")
    check_counts(path, counts)
    if counts.shape[0] == 1:
        return spectrum(path, x, counts[0], axis, {})
    return spectrum(path, x, counts, axis, {}, ("spectrum",), {})
