"""The command line: ``python -m velmora fit FILE --shape voigt --peaks 4 ...`` and
``python -m velmora fit-map FILE --shape voigt --peaks 2 --out map.nc ...``.

``fit`` reads one spectrum: a two-column text or CSV file (x, counts; see
:func:`velmora.io.read_columns`) or an instrument file (VAMAS, XRDML, Renishaw .wdf, LabSpec;
see :func:`velmora.read`, ``--region`` choosing a block of a file that holds several), guesses
the peaks, fits them, prints the report and optionally writes a plot and a JSON file of the
results.  ``fit-map`` reads many spectra on one grid (see :func:`velmora.io.read_map`, or an
instrument file's map or series through :func:`velmora.read`), guesses the peaks from their
mean, fits every spectrum with :func:`velmora.fit_many`, writes
the estimates as a NetCDF or Zarr dataset and optionally maps of them.  Every bad input (a
missing, empty, malformed or undecodable file, an option the fit refuses, an output path that
cannot be written, a library a format needs) gives one line on standard error and exit status
2, before any fitting where it can be told beforehand.
"""
import argparse
import json
import os
import shutil
import sys
import time
import warnings

import numpy as np

from .backgrounds import BACKGROUND_NAMES
from .io import MAP_EXTENSIONS, FileError, has_module, read, read_columns, read_map
from .shapes import SHAPE_NAMES, SHAPES


class InputError(Exception):
    """Bad input of the command line: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors in one line and exit status 2 (as argparse's own)."""

    def error(self, message):
        raise InputError(message)


def _model_options(command):
    """The options of the model and the fit, the same for one spectrum and for a map."""
    command.add_argument("--shape", required=True, choices=SHAPE_NAMES)
    command.add_argument("--peaks", required=True, type=int, metavar="N",
                         help="number of peaks")
    command.add_argument("--background", default="none", choices=BACKGROUND_NAMES)
    command.add_argument("--window", nargs=2, type=float, metavar=("LO", "HI"))
    command.add_argument("--knots", type=int, help="interior knots of the spline background")
    command.add_argument("--energy", choices=["binding", "kinetic"],
                         help="electron energy axis: an instrument file's axis is turned "
                              "into it, and the Shirley and Tougaard backgrounds take it "
                              "(default: the file's axis, else binding)")
    command.add_argument("--beta", type=float, help="TSDC heating rate (default 1)")
    command.add_argument("--tol", type=float, default=1e-9)
    command.add_argument("--max-iter", type=int, default=1000)


def _parser():
    parser = _Parser(prog="python -m velmora",
                     description="Peak fitting of 1-D spectra and thermograms.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    fit = commands.add_parser("fit", help="fit peaks to one spectrum")
    fit.add_argument("file", help="text or CSV file (x, counts), or an instrument file: VAMAS "
                                  "(.vms, .npl), .xrdml, Renishaw .wdf, LabSpec (.txt, .xml)")
    fit.add_argument("--region", help="the region (block) of a file that holds several")
    _model_options(fit)
    # Accepted and ignored: eta is fitted as a continuous parameter.
    fit.add_argument("--method", choices=["full", "conditional"], help=argparse.SUPPRESS)
    fit.add_argument("--plot", metavar="FILE",
                     help="write the plot to this file (PNG when it has no extension)")
    fit.add_argument("--json", metavar="FILE", help="write the results to this file")

    fit_map = commands.add_parser(
        "fit-map", help="fit the same peaks to every spectrum of a map or series")
    fit_map.add_argument("file", help=".npz (x, counts), .nc or .zarr dataset of counts, a "
                                      "text file: x, then one column per spectrum, or an "
                                      "instrument file holding a map or series (.wdf, .vms, "
                                      ".xrdml, LabSpec)")
    fit_map.add_argument("--region", help="the region (block) of a file that holds several")
    _model_options(fit_map)
    fit_map.add_argument("--warm-start", choices=["previous", "none"], default="previous",
                         help="start each spectrum from its neighbour's fit (default) or from "
                              "the guessed peaks")
    fit_map.add_argument("--workers", type=int, metavar="K",
                         help="threads (default: the available processors)")
    fit_map.add_argument("--out", required=True, metavar="OUT",
                         help="write the estimates to OUT.nc (NetCDF) or OUT.zarr (Zarr)")
    fit_map.add_argument("--plot", metavar="FILE",
                         help="write maps of every peak's centre, width and area to this file "
                              "(PNG when it has no extension)")
    return parser


def _writable(path, what):
    """Refuses an output path that cannot be written: a directory, or one in a folder that
    does not exist."""
    if os.path.isdir(path):
        raise InputError(f"{what} {path}: is a directory; give a file name")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise InputError(f"{what} {path}: the folder {folder} does not exist")


def plot_path(path):
    """The file the plot goes to (``.png`` added when there is no extension), checked before
    any fitting: matplotlib must be there and know the format."""
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError:
        raise InputError("--plot needs matplotlib (pip install 'velmora[plot]')") from None
    if os.path.isdir(path):
        raise InputError(f"--plot {path}: is a directory; give a file name")
    root, ext = os.path.splitext(path)
    if not ext:
        path = path + ".png"
        ext = ".png"
    formats = FigureCanvasBase.get_supported_filetypes()
    if ext[1:].lower() not in formats:
        raise InputError(f"--plot {path}: matplotlib cannot write {ext!r} files; use one of "
                         f"{', '.join('.' + f for f in sorted(formats))}")
    _writable(path, "--plot")
    return path


def run_fit(args):
    from .fit import fit
    from .guess import guess_peaks

    plot = plot_path(args.plot) if args.plot else None
    if args.json:
        _writable(args.json, "--json")
    x, counts, energy = read_spectrum(args.file, args.region, args.energy)
    options = {}
    if args.beta is not None:
        options["beta"] = args.beta
    # A background that follows the peaks takes its energy axis from the file (turned into
    # the one asked for); any other takes --energy as given, which it refuses.
    if args.energy is not None or args.background not in ("shirley", "tougaard"):
        energy = args.energy
    try:
        peaks = guess_peaks(x, counts, args.peaks, args.shape, window=args.window, **options)
        result = fit(x, counts, peaks, background=args.background, window=args.window,
                     tol=args.tol, max_iter=args.max_iter, knots=args.knots, energy=energy)
    except (ValueError, TypeError) as exc:
        raise InputError(str(exc)) from None
    print(result.report())
    try:
        if plot:
            result.plot(title=f"{args.file}: {args.shape} fit").savefig(plot, dpi=120)
            print(f"plot written to {plot}")
        if args.json:
            with open(args.json, "w", encoding="utf-8") as handle:
                json.dump(result.to_dict(), handle, indent=2, allow_nan=False)
            print(f"results written to {args.json}")
    except OSError as exc:
        raise InputError(f"cannot write {exc.filename}: {exc.strerror}") from None
    return 0


def _plain_text(path):
    """Whether ``path`` is a text file of columns (no instrument's export)."""
    from .formats import reader_for, text

    try:
        return reader_for(path) is text
    except FileError as exc:
        raise InputError(str(exc)) from None


def _read(path, region, energy=None):
    """``velmora.read``, its failures as InputError and its warnings (intensities that are
    not counts) one line each on standard error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            counts = read(path, region, energy=energy)
        except FileError as exc:
            raise InputError(str(exc)) from None
    for warning in caught:
        print(f"velmora: warning: {warning.message}", file=sys.stderr)
    return counts


def read_spectrum(path, region, energy=None):
    """The grid, the counts and the energy axis ("binding", "kinetic" or None) of the one
    spectrum of ``path``: a text file of columns by :func:`read_columns` (x, counts; further
    columns ignored), any other file by :func:`velmora.read` on the ``energy`` axis asked
    for, if any (a map or series is refused: it is fitted by ``fit-map``)."""
    if _plain_text(path) and region is None:
        try:
            x, counts = read_columns(path)
        except FileError as exc:
            raise InputError(str(exc)) from None
        return x, counts, None
    if not has_module("xarray"):
        raise InputError(f"{path}: reading instrument files needs xarray: "
                         f"pip install 'velmora[io]'")
    counts = _read(path, region, energy)
    if counts.ndim > 1:
        shape = ", ".join(f"{d}: {n}" for d, n in zip(counts.dims[:-1], counts.shape[:-1]))
        raise InputError(f"{path}: holds {counts[..., 0].size} spectra ({shape}); fit a map or "
                         f"series with 'velmora fit-map'")
    # The xarray objects themselves: the grid's name and units go with them.
    return counts[counts.dims[-1]], counts, counts.attrs.get("energy")


def read_spectra(path, region, energy=None):
    """The spectra ``fit-map`` fits: an array or text file of columns by :func:`read_map`,
    an instrument file's map or series by :func:`velmora.read`."""
    ext = os.path.splitext(path.rstrip("/" + os.sep))[1].lower()
    if region is None and (ext in (".npz", ".nc", ".zarr")
                           or (ext in MAP_EXTENSIONS and _plain_text(path))):
        try:
            return read_map(path)
        except FileError as exc:
            raise InputError(str(exc)) from None
    counts = _read(path, region, energy)
    if counts.ndim < 2:
        raise InputError(f"{path}: holds one spectrum, not a map or series; fit it with "
                         f"'velmora fit'")
    return counts


def out_path(path, source):
    """The dataset ``fit-map`` writes, checked before any fitting: a ``.nc`` or ``.zarr`` path
    in a folder that exists, not the input, with the library that writes it installed.  A
    ``.zarr`` folder that exists is replaced only when it is a Zarr store."""
    ext = os.path.splitext(path.rstrip("/" + os.sep))[1].lower()
    if ext not in (".nc", ".zarr"):
        raise InputError(f"--out {path}: expected a .nc (NetCDF) or .zarr (Zarr) path")
    if ext == ".zarr" and not has_module("zarr"):
        raise InputError(f"--out {path}: writing Zarr needs the zarr package: "
                         f"pip install 'velmora[io]'")
    if os.path.exists(path) and os.path.exists(source) and os.path.samefile(path, source):
        raise InputError(f"--out {path}: is the input file")
    if ext == ".zarr" and os.path.exists(path):
        if not os.path.isdir(path):
            raise InputError(f"--out {path}: exists and is not a Zarr store")
        if os.listdir(path) and not any(os.path.exists(os.path.join(path, marker))
                                        for marker in (".zgroup", "zarr.json")):
            raise InputError(f"--out {path}: a folder that is not a Zarr store; give another "
                             f"name")
        folder = os.path.dirname(os.path.abspath(path.rstrip("/" + os.sep)))
        if not os.path.isdir(folder):
            raise InputError(f"--out {path}: the folder {folder} does not exist")
    else:
        _writable(path.rstrip("/" + os.sep) if ext == ".zarr" else path, "--out")
    return path.rstrip("/" + os.sep) if ext == ".zarr" else path


def map_panels(batch, shape):
    """The estimates ``fit-map --plot`` draws, a row per peak of ``shape``: its location, its
    FWHM and its area."""
    location = SHAPES[shape].location
    return [[f"{peak}.{n}" for n in (location, "fwhm", "area")]
            for peak in dict.fromkeys(n.rpartition(".")[0] for n in batch.names)
            if peak != "background"]


def _write_dataset(ds, path):
    """Writes ``ds`` as NetCDF or Zarr by the extension of ``path``; a partial output is
    removed when writing fails."""
    try:
        if path.lower().endswith(".zarr"):
            import zarr

            # Zarr version 2 with consolidated metadata: read by every Zarr library and xarray.
            version = {"zarr_format": 2} if int(zarr.__version__.split(".")[0]) >= 3 else {}
            ds.to_zarr(path, mode="w", consolidated=True, **version)
        else:
            ds.to_netcdf(path)
    except BaseException as exc:
        if os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)
        elif os.path.exists(path):
            os.remove(path)
        if isinstance(exc, OSError):
            raise InputError(f"cannot write {path}: {exc.strerror or exc}") from None
        raise


def run_fit_map(args):
    from .batch import fit_many
    from .guess import guess_peaks

    if not has_module("xarray"):
        raise InputError("fit-map needs xarray: pip install 'velmora[io]'")
    out = out_path(args.out, args.file)
    plot = plot_path(args.plot) if args.plot else None
    counts = read_spectra(args.file, args.region, args.energy)
    if plot and counts.ndim > 3:
        raise InputError(f"--plot: {args.file} has {counts.ndim - 1} spectrum axes; maps show "
                         f"one or two (leave out --plot)")
    x = counts[counts.dims[-1]].values
    spectra = counts.values.reshape(-1, x.size)
    with np.errstate(invalid="ignore"):
        valid = np.isfinite(spectra).all(axis=1) & (spectra >= 0).all(axis=1)
    if not valid.any():
        raise InputError(f"{args.file}: no spectrum has valid counts (every one holds NaN, "
                         f"infinite or negative values)")
    options = {} if args.beta is None else {"beta": args.beta}
    energy = args.energy
    if energy is None and args.background in ("shirley", "tougaard"):
        energy = counts.attrs.get("energy")
    started = time.perf_counter()
    try:
        # The peaks every chunk of the map starts from: read off the mean spectrum.
        peaks = guess_peaks(x, spectra[valid].mean(axis=0), args.peaks, args.shape,
                            window=args.window, **options)
        batch = fit_many(x, counts, peaks, background=args.background,
                         warm_start=args.warm_start, workers=args.workers, window=args.window,
                         tol=args.tol, max_iter=args.max_iter, knots=args.knots,
                         energy=energy)
    except (ValueError, TypeError) as exc:
        raise InputError(str(exc)) from None
    seconds = time.perf_counter() - started
    ds = batch.to_xarray()
    ds.attrs.update(source=os.path.basename(args.file), shape=args.shape,
                    peaks=args.peaks, background=args.background)
    statuses = ", ".join(f"{n} {name}" for name, n in batch.summary().items())
    print(f"{args.file}: {len(batch)} spectra {tuple(batch.shape)} in {seconds:.2f} s: "
          f"{statuses}")
    _write_dataset(ds, out)
    print(f"results written to {out}")
    if plot:
        panels = map_panels(batch, args.shape)
        fig = batch.plot([n for row in panels for n in row], ncols=len(panels[0]),
                         title=f"{args.file}, {args.shape} peaks")
        try:
            fig.savefig(plot, dpi=120)
        except OSError as exc:
            raise InputError(f"cannot write {exc.filename or plot}: {exc.strerror}") from None
        print(f"plot written to {plot}")
    return 0


def main(argv=None):
    """Entry point of ``python -m velmora``; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        return run_fit_map(args) if args.command == "fit-map" else run_fit(args)
    except InputError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return 2
