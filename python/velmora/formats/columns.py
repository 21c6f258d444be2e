"""Text of columns: how the data lines of a text or CSV file split into fields (commas,
semicolons, tabs or blanks), whether commas are decimal marks, and the numbers they hold.

The rules: ``#`` starts a comment; one header line of names is allowed; UTF-8 with or without
a byte-order mark.  Decimal commas (as in ``100,37;51`` or ``100,37<tab>51``) are recognised
where the column separator leaves no doubt (semicolons, tabs or blanks); a file whose decimal
mark cannot be told is refused, never misread.
"""
import re

import numpy as np

from .common import FileError, decode, numpy_number, read_bytes

BLANKS = re.compile(r"\s+")
# A column name's units in brackets: "Binding Energy (eV)", "Raman shift [cm-1]".
_UNITS = re.compile(r"^(.*?)\s*[\(\[]([^\)\]]*)[\)\]]\s*$")


def splitter(lines):
    """How the data lines split into fields, and whether commas are decimal marks."""
    if any(";" in line for line in lines):
        return (lambda line: [f.strip() for f in line.split(";")]), True
    if any("\t" in line for line in lines):
        return (lambda line: [f.strip() for f in line.split("\t")]), True
    if any("," in line for line in lines):
        # Blank-separated fields that hold commas carry decimal commas ("100,37 51,2");
        # otherwise the commas separate the columns (CSV).
        blank_fields = [BLANKS.split(line.strip()) for line in lines]
        if all(len(f) >= 2 and not any(x.endswith(",") for x in f) for f in blank_fields):
            return (lambda line: BLANKS.split(line.strip())), True
        return (lambda line: [f.strip() for f in line.split(",")]), False
    return (lambda line: BLANKS.split(line.strip())), False


def parse_number(text, decimal_comma):
    """A float from a field, a decimal comma read as a point where ``decimal_comma``; a
    ValueError for anything else (a comma beside a point, or two commas)."""
    if decimal_comma and "," in text:
        if "." in text or text.count(",") > 1:
            raise ValueError(text)
        text = text.replace(",", ".")
    return float(text)


def data_lines(path, expected):
    """The numbered lines of a text file that hold something besides comments, how they split
    into fields, and whether commas are decimal marks.  ``expected`` says what a data line
    holds, for the message when there is none."""
    text = decode(read_bytes(path), path)
    numbered = []
    for number, line in enumerate(text.splitlines(), 1):
        content = line.split("#", 1)[0].strip()
        if content:
            numbered.append((number, content))
    if not numbered:
        raise FileError(f"{path}: no data (expected lines of {expected})")
    split, decimal_comma = splitter([c for _, c in numbered[1:]] or [numbered[0][1]])
    return numbered, split, decimal_comma


def read_columns(path):
    """The x and counts columns of a text or CSV file (see :func:`velmora.io.read_columns`)."""
    numbered, split, decimal_comma = data_lines(path, "two numbers: x, counts")
    rows = []
    for k, (number, content) in enumerate(numbered):
        fields = [f for f in split(content) if f]
        try:
            if len(fields) < 2:
                raise ValueError(content)
            rows.append((parse_number(fields[0], decimal_comma), parse_number(fields[1], decimal_comma)))
        except ValueError:
            if k == 0 and not any(is_number(f) for f in fields):
                continue  # a header of column names
            raise FileError(f"{path}, line {number}: expected two numbers (x, counts), got "
                            f"{content[:60]!r}") from None
    if not rows:
        raise FileError(f"{path}: no data (expected lines of two numbers: x, counts)")
    data = np.array(rows, dtype=np.float64)
    return data[:, 0], data[:, 1]


def is_number(text):
    try:
        float(text.replace(",", "."))
    except ValueError:
        return False
    return True


def read_table(path):
    """x and the counts (spectra, channels) of a text file of one x column and one column per
    spectrum."""
    what = "numbers: x, then the counts of every spectrum"
    numbered, split, decimal_comma = data_lines(path, what)
    rows, width = [], None
    for k, (number, content) in enumerate(numbered):
        fields = [f for f in split(content) if f]
        try:
            if len(fields) < 2:
                raise ValueError(content)
            row = [parse_number(f, decimal_comma) for f in fields]
        except ValueError:
            if k == 0 and not any(is_number(f) for f in fields):
                continue  # a header of column names
            raise FileError(f"{path}, line {number}: expected {what}, got "
                            f"{content[:60]!r}") from None
        if width is None:
            width = len(row)
        elif len(row) != width:
            raise FileError(f"{path}, line {number}: {len(row)} columns where the lines before "
                            f"have {width}")
        rows.append(row)
    if not rows:
        raise FileError(f"{path}: no data (expected lines of {what})")
    data = np.array(rows, dtype=np.float64)
    return data[:, 0], np.ascontiguousarray(data[:, 1:].T)


def x_label(path):
    """The label and units of the x column that a header line gives, or ("", "")."""
    numbered, split, _ = data_lines(path, "numbers: x, then counts")
    fields = [f for f in split(numbered[0][1]) if f]
    if not fields or any(is_number(f) for f in fields):
        return "", ""
    match = _UNITS.match(fields[0].strip().strip('"'))
    return (match.group(1), match.group(2)) if match else (fields[0].strip().strip('"'), "")


def name_and_units(field):
    """A column's name and the units in its brackets: "Raman shift (cm-1)" gives ("Raman
    shift", "cm-1"); a name without brackets gives (name, "")."""
    text = field.strip().strip('"')
    match = _UNITS.match(text)
    return (match.group(1), match.group(2)) if match else (text, "")


def number_table(path, rows, width, what):
    """The data lines of a block as an array (lines, ``width``): ``rows`` are (line number,
    fields); a FileError names the first line of another width or with a field that is not a
    finite number.  ``what`` names the block in messages ("region 'C 1s'")."""
    for k, fields in rows:
        if len(fields) != width:
            raise FileError(f"{path}, line {k}: {len(fields)} numbers where {what} has {width} "
                            f"columns")
    try:
        table = np.array([fields for _, fields in rows], dtype=np.float64)
    except ValueError:
        table = None
    if table is None or not np.all(np.isfinite(table)):
        for k, fields in rows:
            if not all(numpy_number(f) for f in fields):
                raise FileError(f"{path}, line {k}: expected numbers, got "
                                f"{' '.join(fields)[:60]!r}")
    return table
