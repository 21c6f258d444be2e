"""Reading spectra from files.

``read_columns`` reads text or CSV files of one point per line, x then counts (further columns
are ignored): columns separated by commas, semicolons, tabs or blanks, ``#`` comments, one
header line of names allowed, UTF-8 with or without a byte-order mark.  Decimal commas (as in
``100,37;51`` or ``100,37<tab>51``) are recognised where the column separator leaves no doubt
(semicolons, tabs or blanks); a file whose decimal mark cannot be told is refused, never
misread.

``read_map`` reads many spectra on one grid (a Raman or XPS map, a series) into an
``xarray.DataArray`` with the channels last: NumPy ``.npz`` archives, NetCDF and Zarr datasets
written by xarray, and text files of one x column and one column per spectrum.

``read`` reads instrument files (VAMAS, XRDML, Renishaw .wdf, LabSpec, text columns) into an
``xarray.DataArray`` of counts on a named axis, through the readers of
:mod:`velmora.formats`; ``regions`` lists the regions of a file that holds several.
"""
import importlib.util
import math
import os
import re
import warnings
import zipfile

import numpy as np

_BLANKS = re.compile(r"\s+")


class FileError(ValueError):
    """A file that cannot be read as a spectrum (a ValueError); the message says why in one
    line."""


class CountsWarning(UserWarning):
    """Intensities read from a file that cannot be counts (normalised or processed data, rates
    without a dwell time): they are kept, but the Poisson likelihood of a fit needs counts."""


def read_bytes(path, limit=-1):
    """The bytes of a file (its first ``limit`` when given), a FileError saying why when it
    cannot be read."""
    try:
        with open(path, "rb") as handle:
            return handle.read(limit)
    except OSError as exc:
        raise FileError(f"cannot read {path}: {exc.strerror or exc}") from None


def _decode(path):
    raw = read_bytes(path)
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


def _data_lines(path, expected):
    """The numbered lines of a text file that hold something besides comments, how they split
    into fields, and whether commas are decimal marks.  ``expected`` says what a data line
    holds, for the message when there is none."""
    text = _decode(path)
    numbered = []
    for number, line in enumerate(text.splitlines(), 1):
        content = line.split("#", 1)[0].strip()
        if content:
            numbered.append((number, content))
    if not numbered:
        raise FileError(f"{path}: no data (expected lines of {expected})")
    split, decimal_comma = _splitter([c for _, c in numbered[1:]] or [numbered[0][1]])
    return numbered, split, decimal_comma


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
    numbered, split, decimal_comma = _data_lines(path, "two numbers: x, counts")
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


# ------------------------------------------------------------------------------------- maps

#: Extensions of the text files ``read_map`` reads (one x column, one column per spectrum).
TEXT_EXTENSIONS = (".txt", ".csv", ".tsv", ".dat")
#: Every extension ``read_map`` reads.
MAP_EXTENSIONS = (".npz", ".nc", ".zarr") + TEXT_EXTENSIONS
# Name of the channel axis of maps whose file does not name it, and of the spectrum axis of a
# text file's columns.
CHANNEL = "x"
SPECTRUM = "spectrum"
# The first bytes of a NetCDF-4 file, which is an HDF5 file.
HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"


def has_module(name):
    """Whether the module ``name`` can be imported (without importing it)."""
    return importlib.util.find_spec(name) is not None


def map_format(path):
    """``"npz"``, ``"nc"``, ``"zarr"`` or ``"text"``, from the extension of ``path``; a
    FileError for any other."""
    ext = os.path.splitext(os.fspath(path).rstrip("/" + os.sep))[1].lower()
    if ext not in MAP_EXTENSIONS:
        raise FileError(f"{path}: cannot tell a map's format from the extension {ext or '(none)'}"
                        f"; expected .npz, .nc, .zarr or a text file "
                        f"({', '.join(TEXT_EXTENSIONS)})")
    return "text" if ext in TEXT_EXTENSIONS else ext[1:]


def read_map(path):
    """Many spectra on one grid, as an ``xarray.DataArray`` of counts with the channels last.

    Parameters
    ----------
    path : str or path-like
        - ``.npz``: a NumPy archive holding ``x`` (the grid) and ``counts`` (any number of
          spectrum axes, then the channels); the axes are named ``dim_0``, ``dim_1``, ... and
          ``x``.
        - ``.nc`` (NetCDF) or ``.zarr`` (a Zarr store, a folder): a dataset written by
          xarray; the counts are its variable ``counts``, or its only data variable.  Their
          last dimension is the channel axis and its coordinate the grid.  Dimension names,
          coordinates and their attributes (``units``) are kept.
        - ``.txt``, ``.csv``, ``.tsv``, ``.dat``: text of one x column and one column per
          spectrum, read by the rules of :func:`read_columns` (comments, separators, decimal
          commas, one header line, UTF-8); the spectra run along the axis ``spectrum``.

    Returns
    -------
    xarray.DataArray
        Named ``counts``, dimensions (spectrum axes..., channel axis), the grid as the
        coordinate of the channel axis.  The file is closed and nothing stays tied to it.

    Raises
    ------
    FileError
        (a ValueError, with a one-line message) For an extension not listed, a file that
        cannot be read, an archive without ``x`` and ``counts``, a dataset without a counts
        variable or a grid, counts that are not numbers or have no spectrum axis, a grid whose
        length is not the number of channels, and when the library a format needs (xarray;
        zarr for Zarr; netCDF4 or h5netcdf for NetCDF-4 files) is not installed.

    Examples
    --------
    >>> import velmora.io
    >>> counts = velmora.io.read_map("map.npz")    # x (200,), counts (3, 4, 200) # doctest: +SKIP
    >>> counts.dims, counts.shape                                                # doctest: +SKIP
    (('dim_0', 'dim_1', 'x'), (3, 4, 200))
    """
    kind = map_format(path)
    if not has_module("xarray"):
        raise FileError("reading maps needs xarray: pip install 'velmora[io]'")
    if kind == "zarr" and not has_module("zarr"):
        raise FileError(f"{path}: reading Zarr needs the zarr package: "
                        f"pip install 'velmora[io]'")
    if not os.path.exists(path):
        raise FileError(f"cannot read {path}: no such file or directory")
    import xarray as xr

    if kind == "npz":
        x, counts = _read_npz(path)
        dims = tuple(f"dim_{i}" for i in range(counts.ndim - 1)) + (CHANNEL,)
        return xr.DataArray(counts, dims=dims, coords={CHANNEL: x}, name="counts")
    if kind == "text":
        x, counts = _read_table(path)
        return xr.DataArray(counts, dims=(SPECTRUM, CHANNEL), coords={CHANNEL: x},
                            name="counts")
    return _read_dataset(path, kind)


def _check_map(path, x, counts):
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


def _read_npz(path):
    try:
        with np.load(path, allow_pickle=False) as archive:
            missing = [k for k in ("x", "counts") if k not in archive.files]
            if missing:
                raise FileError(f"{path}: expected arrays 'x' and 'counts', missing "
                                f"{' and '.join(repr(k) for k in missing)} (found: "
                                f"{', '.join(archive.files) or 'none'})")
            x, counts = archive["x"], archive["counts"]
    except FileError:
        raise
    except (OSError, ValueError, zipfile.BadZipFile, EOFError) as exc:
        raise FileError(f"cannot read {path} as a NumPy .npz archive: "
                        f"{_first_line(exc)}") from None
    return _check_map(path, x, counts)


def _read_table(path):
    """x and the counts (spectra, channels) of a text file of one x column and one column per
    spectrum."""
    what = "numbers: x, then the counts of every spectrum"
    numbered, split, decimal_comma = _data_lines(path, what)
    rows, width = [], None
    for k, (number, content) in enumerate(numbered):
        fields = [f for f in split(content) if f]
        try:
            if len(fields) < 2:
                raise ValueError(content)
            row = [_number(f, decimal_comma) for f in fields]
        except ValueError:
            if k == 0 and not any(_is_number(f) for f in fields):
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


def _read_dataset(path, kind):
    """The counts of a NetCDF or Zarr dataset written by xarray."""
    import xarray as xr

    if kind == "nc" and os.path.isfile(path):
        with open(path, "rb") as handle:
            head = handle.read(8)
        if head == HDF5_SIGNATURE and not (has_module("netCDF4") or has_module("h5netcdf")):
            raise FileError(f"{path}: a NetCDF-4 (HDF5) file; reading it needs netCDF4 or "
                            f"h5netcdf (pip install h5netcdf)")
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
            counts = counts.load()
    except FileError:
        raise
    except (OSError, ValueError, TypeError, KeyError) as exc:
        what = "a Zarr store" if kind == "zarr" else "a NetCDF file"
        raise FileError(f"cannot read {path} as {what}: {_first_line(exc)}") from None
    x, values = _check_map(path, counts[channel].values, counts.values)
    return counts.copy(data=values).rename("counts")


def _first_line(exc):
    text = str(exc).strip().splitlines()
    return text[0] if text else type(exc).__name__


# ------------------------------------------------------------------------ instrument files

def read(path, region=None, energy=None):
    """A spectrum, series or map from an instrument file, as counts on a named axis.

    Parameters
    ----------
    path : str or path-like
        The format is told by the extension:

        - ``.vms``, ``.npl``: VAMAS (ISO 14976; XPS, AES, ... from CasaXPS, Kratos, Thermo,
          PHI, SPECS), REGULAR and IRREGULAR scans; several regions per file.
        - ``.xrdml``: PANalytical X-ray diffraction; several scans on one grid are a series.
        - ``.wdf``: Renishaw WiRE Raman spectra, series and maps (needs RosettaSciIO).
        - ``.xml``: Horiba LabSpec XML export (needs RosettaSciIO).
        - ``.txt``, ``.csv``, ``.tsv``, ``.dat``, ``.xy``: a LabSpec text export (told by its
          header), else columns read by the rules of :func:`read_columns`: x, then one
          column of counts per spectrum.
        - ``.npz``, ``.nc``, ``.zarr``: arrays of spectra (see :func:`read_map`).
    region : str, optional
        The region (block) to read from a file that holds several (see :func:`regions`);
        needed there, and matched without regard to case.
    energy : {None, "binding", "kinetic"}, optional
        The electron energy axis wanted (electron spectra only): ``"binding"`` turns a
        kinetic-energy axis into binding energy, E_B = h nu - E_K with the file's excitation
        energy h nu (the spectrometer's work function taken as zero, as most instruments
        report it; the attribute ``energy_from`` says so), and ``"kinetic"`` the other way;
        the channels are then put in increasing order of the new axis.  Default: the axis
        as the file gives it (VAMAS files store kinetic energy).

    Returns
    -------
    xarray.DataArray
        Named ``counts``; the channel axis last, named ``binding_energy`` or
        ``kinetic_energy`` (eV), ``two_theta`` (degree), ``raman_shift`` (1/cm) or ``x``, its
        coordinate with the attributes ``units`` and ``long_name``; before it one dimension
        per map axis (``y``, ``x``) or series axis (``scan``, ``time``, an experimental
        variable, ``spectrum``).  The attributes say what is known: ``technique``,
        ``energy`` ("binding" or "kinetic"), ``excitation_energy`` (eV), ``dwell_time`` (s),
        ``scans``, ``sample``, ``region``, ``source_file``, ``counts_from`` (how counts were
        computed from counts per second), ``anode`` and ``wavelength_kalpha1``,
        ``wavelength_kalpha2`` (Å) for XRD, ``laser_wavelength`` (nm) for Raman.

    Raises
    ------
    FileError
        (a ValueError, with a one-line message) For an unknown extension, a file that is
        not there or cannot be read, a truncated or damaged file, a layout the reader does not
        read (named in the message), a multi-region file without ``region`` or with an unknown
        one (the message lists the regions), when a library the format needs is not
        installed, and for ``energy`` on a file without an electron energy axis or without
        the excitation energy.

    Warns
    -----
    CountsWarning
        (a UserWarning) When the intensities cannot be counts (not whole numbers, negative,
        or in units other than counts or counts per second): they are kept as they are.

    Examples
    --------
    >>> import velmora
    >>> velmora.regions("gold.vms")                                    # doctest: +SKIP
    ['Survey', 'Au 4f', 'C 1s']
    >>> au = velmora.read("gold.vms", region="Au 4f", energy="binding")  # doctest: +SKIP
    >>> au.dims, au.attrs["technique"], au.binding_energy.attrs["units"]  # doctest: +SKIP
    (('binding_energy',), 'XPS', 'eV')
    >>> result = velmora.fit(au[au.dims[-1]], au, peaks)               # doctest: +SKIP
    """
    from .formats import reader_for

    if energy not in (None, "binding", "kinetic"):
        raise ValueError(f"energy: expected None, 'binding' or 'kinetic', got {energy!r}")
    counts = reader_for(path).read(path, region)
    return counts if energy is None else _energy_axis(counts, energy, path)


_ENERGY_NAMES = {"binding": ("binding_energy", "Binding energy"),
                 "kinetic": ("kinetic_energy", "Kinetic energy")}


def _energy_axis(counts, energy, path):
    """``counts`` on the ``energy`` axis: binding from kinetic energy or back, through the
    excitation energy (E_B + E_K = h nu, the work function taken as zero)."""
    axis = counts.dims[-1]
    name, label = _ENERGY_NAMES[energy]
    if axis == name:
        return counts
    if axis not in ("binding_energy", "kinetic_energy"):
        raise FileError(f"{path}: energy={energy!r}: the channel axis is {axis!r}, not an "
                        f"electron energy")
    excitation = counts.attrs.get("excitation_energy")
    try:
        excitation = float(excitation)
    except (TypeError, ValueError):
        excitation = math.nan
    if not (math.isfinite(excitation) and excitation > 0):
        raise FileError(f"{path}: energy={energy!r}: the file gives no excitation energy to "
                        f"convert {axis.replace('_', ' ')} with")
    values = excitation - np.asarray(counts[axis].values, dtype=np.float64)
    out = counts.assign_coords({axis: values}).rename({axis: name})
    out[name].attrs = {"units": "eV", "long_name": label}
    if values.size > 1 and values[0] > values[-1]:
        out = out.isel({name: slice(None, None, -1)})
    out.attrs = dict(counts.attrs, energy=energy, energy_from=(
        f"{label.lower()} = excitation energy {excitation:g} eV - "
        f"{axis.replace('_', ' ')} (work function taken as zero)"))
    return out


def regions(path):
    """The names of the regions (blocks) of an instrument file, in file order; a file of one
    measurement has one name.  Raises a FileError as :func:`read` does."""
    from .formats import reader_for

    return reader_for(path).regions(path)
