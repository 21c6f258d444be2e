"""Reading spectra from files.

``read_columns`` reads text or CSV files of one point per line, x then counts (further columns
are ignored): columns separated by commas, semicolons, tabs or blanks, ``#`` comments, one
header line of names allowed, UTF-8 with or without a byte-order mark.  Decimal commas (as in
``100,37;51`` or ``100,37<tab>51``) are recognised where the column separator leaves no doubt
(semicolons, tabs or blanks); a file whose decimal mark cannot be told is refused, never
misread.
"""
import re

import numpy as np

_BLANKS = re.compile(r"\s+")


class FileError(ValueError):
    """A file that cannot be read as a spectrum (a ValueError); the message says why in one
    line."""


def _decode(path):
    try:
        with open(path, "rb") as handle:
            raw = handle.read()
    except OSError as exc:
        raise FileError(f"cannot read {path}: {exc.strerror or exc}") from None
    if raw.startswith((b"\xff\xfe", b"\xfe\xff")):
        raise FileError(f"cannot read {path}: it is UTF-16 text; save it as UTF-8")
    try:
        return raw.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        raise FileError(f"cannot read {path}: not UTF-8 text (byte 0x{raw[exc.start]:02x} at "
                        f"offset {exc.start}); save it as UTF-8") from None


def _splitter(lines):
    """How the data lines split into fields, and whether commas are decimal marks."""
    if any(";" in line for line in lines):
        return (lambda line: [f.strip() for f in line.split(";")]), True
    if any("\t" in line for line in lines):
        return (lambda line: [f.strip() for f in line.split("\t")]), True
    if any("," in line for line in lines):
        # Blank-separated fields that hold commas carry decimal commas ("100,37 51,2");
        # otherwise the commas separate the columns (CSV).
        blank_fields = [_BLANKS.split(line.strip()) for line in lines]
        if all(len(f) >= 2 and not any(x.endswith(",") for x in f) for f in blank_fields):
            return (lambda line: _BLANKS.split(line.strip())), True
        return (lambda line: [f.strip() for f in line.split(",")]), False
    return (lambda line: _BLANKS.split(line.strip())), False


def _number(text, decimal_comma):
    if decimal_comma and "," in text:
        if "." in text or text.count(",") > 1:
            raise ValueError(text)
        text = text.replace(",", ".")
    return float(text)


def read_columns(path):
    """The x and counts columns of a text or CSV file.

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    x, counts : ndarray

    Raises
    ------
    FileError
        (a ValueError) When the file cannot be read, is not UTF-8 text, holds no data, a line
        is not two numbers, or the decimal mark cannot be told.
    """
    text = _decode(path)
    numbered = []
    for number, line in enumerate(text.splitlines(), 1):
        content = line.split("#", 1)[0].strip()
        if content:
            numbered.append((number, content))
    if not numbered:
        raise FileError(f"{path}: no data (expected lines of two numbers: x, counts)")
    split, decimal_comma = _splitter([c for _, c in numbered[1:]] or [numbered[0][1]])
    rows = []
    for k, (number, content) in enumerate(numbered):
        fields = [f for f in split(content) if f]
        try:
            if len(fields) < 2:
                raise ValueError(content)
            rows.append((_number(fields[0], decimal_comma), _number(fields[1], decimal_comma)))
        except ValueError:
            if k == 0 and not any(_is_number(f) for f in fields):
                continue  # a header of column names
            raise FileError(f"{path}, line {number}: expected two numbers (x, counts), got "
                            f"{content[:60]!r}") from None
    if not rows:
        raise FileError(f"{path}: no data (expected lines of two numbers: x, counts)")
    data = np.array(rows, dtype=np.float64)
    return data[:, 0], data[:, 1]


def _is_number(text):
    try:
        float(text.replace(",", "."))
    except ValueError:
        return False
    return True
