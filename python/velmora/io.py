"""Reading spectra from files: the package's entry points, over the readers of
:mod:`velmora.formats`.

``read`` reads instrument files (VAMAS, XRDML, Renishaw .wdf, LabSpec, text columns, ...)
into an ``xarray.DataArray`` of counts on a named axis, the format told by what the file
holds; ``regions`` lists the regions of a file as a table.  ``read_columns`` reads text or CSV
files of one point per line, x then counts; ``read_map`` many spectra on one grid (``.npz``,
NetCDF, Zarr, text columns).  Every failure that comes from a file's bytes is a
:class:`FileError` with a one-line message.
"""
from . import formats
from .formats import columns, maps
from .formats.common import (CountsWarning, FileError, Region, RegionList, has_module)
from .formats.maps import MAP_EXTENSIONS, TEXT_EXTENSIONS, map_format

__all__ = ["read", "regions", "read_columns", "read_map", "FileError", "CountsWarning",
           "Region", "RegionList", "has_module", "map_format", "MAP_EXTENSIONS",
           "TEXT_EXTENSIONS"]


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
    return columns.read_columns(path)


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
        - ``.txt``, ``.csv``, ``.tsv``, ``.dat``, ``.xy``: text of one x column and one
          column per spectrum, read by the rules of :func:`read_columns` (comments, separators, decimal
          commas, one header line, UTF-8); the spectra run along the axis ``spectrum``.

    Returns
    -------
    xarray.DataArray
        Named ``counts``, dimensions (spectrum axes..., channel axis), the grid as the
        coordinate of the channel axis.  The file is closed and nothing stays tied to it.

    Raises
    ------
    FileError
        (a ValueError, with a one-line message) For an extension not listed, a path that is
        not a regular file (a Zarr store: a folder), a file that cannot be read or is damaged,
        sizes the file's bytes cannot hold, an archive without ``x`` and ``counts``, a dataset without a counts
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
    return maps.read_map(path)


def read(path, region=None, energy=None):
    """A spectrum, series or map from an instrument file, as counts on a named axis.

    Parameters
    ----------
    path : str or path-like
        A regular file (a Zarr store: a folder).  The format is told by what the file holds
        (its signature or header), not by its name alone:

        - ``.vms``, ``.npl``: VAMAS (ISO 14976; XPS, AES, ... from CasaXPS, Kratos, Thermo,
          PHI, SPECS, Omicron), REGULAR and IRREGULAR scans; several regions per file; maps,
          depth profiles and angle-resolved series.
        - ``.txt``, ``.ibw``: Scienta SES text exports (several regions) and Igor waves.
        - ``.xy``: SpecsLab Prodigy exports (groups, regions, cycles, curves).
        - ``.xrdml``: PANalytical X-ray diffraction; several scans on one grid are a series.
        - ``.brml``, ``.raw``: Bruker DIFFRAC (``.raw`` version 3); ``.ras``: Rigaku.
        - ``.wdf``: Renishaw WiRE Raman spectra, series and maps (needs RosettaSciIO).
        - ``.txt``, ``.xml``: Horiba LabSpec text export (told by its header) and XML export
          (needs RosettaSciIO).
        - ``.txt``, ``.csv``: spectrometer tables whose header names the columns (B&W Tek,
          Neegala, ...): the x column and the raw counts picked by name.
        - ``.txt``, ``.csv``, ``.tsv``, ``.dat``, ``.xy``: columns read by the rules of
          :func:`read_columns`: x, then one column of counts per spectrum.
        - ``.npz``, ``.nc``, ``.zarr``: arrays of spectra (see :func:`read_map`).
    region : str or Region, optional
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
        (a ValueError, with a one-line message) For a file no reader recognises (the message
        lists the formats read), a path that is not a regular file (a device, a pipe), a
        file that is not there or cannot be read, a truncated or damaged file, a layout the reader does not
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
    >>> velmora.regions("gold.vms").names                              # doctest: +SKIP
    ['Survey', 'Au 4f', 'C 1s']
    >>> au = velmora.read("gold.vms", region="Au 4f", energy="binding")  # doctest: +SKIP
    >>> au.dims, au.attrs["technique"], au.binding_energy.attrs["units"]  # doctest: +SKIP
    (('binding_energy',), 'XPS', 'eV')
    >>> result = velmora.fit(au[au.dims[-1]], au, peaks)               # doctest: +SKIP
    """
    return formats.read(path, region, energy)


def regions(path):
    """The regions of an instrument file, in file order, printed as a table.

    Parameters
    ----------
    path : str or path-like
        Any file :func:`read` reads.

    Returns
    -------
    RegionList
        A list of :class:`Region` records: each region's ``name`` (what ``read(path,
        region=...)`` takes), channel ``axis`` and ``units``, ``start`` and ``stop`` (the
        first and last channel), ``points``, ``spectra`` (more than one for a map or a
        series), ``sweeps`` and electron ``energy`` kind.  ``.names`` lists the names; the
        list prints as a table.  A file of one measurement has one region.

    Raises
    ------
    FileError
        As :func:`read` does.

    Examples
    --------
    >>> import velmora
    >>> print(velmora.regions("multiplex.vms"))                      # doctest: +SKIP
    region     axis            from     to     units  points  spectra  sweeps
    wide       kinetic energy  286.69  1491.69 eV       1206        1       2
    ...
    """
    return formats.regions(path)
