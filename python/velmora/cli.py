"""The command line: ``python -m velmora fit FILE --shape voigt --peaks 4 ...``,
``python -m velmora fit FILE --model MODEL.toml ...``,
``python -m velmora fit-map FILE --shape voigt --peaks 2 --out map.nc ...`` and
``python -m velmora regions FILE``.

``fit`` reads one spectrum: a two-column text or CSV file (x, counts; see
:func:`velmora.io.read_columns`) or an instrument file (VAMAS, Scienta, Prodigy, XRDML,
Bruker, Rigaku, Renishaw, LabSpec, ...; see :func:`velmora.read`, ``--region`` choosing a block of a file that holds several), guesses
the peaks, fits them, prints the report and optionally writes a plot and a JSON file of the
results.  The model is either guessed (``--peaks N`` peaks of ``--shape``), placed (``--x0``
centres, a ``--doublet`` of the splitting table, ``--kalpha2`` partners) or read from a model
file (``--model``, see :mod:`velmora.modelfile`); ``--csv`` writes the curves and
``--save-model`` the fitted model as a starting file.  ``fit-map`` reads many spectra on one
grid (see :func:`velmora.io.read_map`, or an instrument file's map or series through
:func:`velmora.read`), guesses the peaks from their mean (or takes them from ``--model``), fits
every spectrum with :func:`velmora.fit_many`, writes the estimates as a NetCDF or Zarr dataset
and optionally maps of them.  ``regions`` prints the table of a file's regions.  Every bad input (a
missing, empty, malformed or undecodable file, an option the fit refuses, an output path that
cannot be written, a library a format needs) gives one line on standard error and exit status
2, before any fitting where it can be told beforehand.  No output may be an input file (the
spectrum or the model file) or share its path with another output: that is refused before
anything is read, and nothing is written.  Outputs are written only after the fit succeeded.
"""
import argparse
import json
import math
import os
import re
import shutil
import sys
import time
import warnings

import numpy as np

from .backgrounds import BACKGROUND_NAMES
from .io import (MAP_EXTENSIONS, FileError, has_module, read, read_columns, read_map,
                 regions)
from .lines import ANODES, SPLITTINGS
from .shapes import SHAPE_NAMES, SHAPES

# Backgrounds that follow the peaks, and so take an electron energy axis.
FOLLOWS_PEAKS = ("shirley", "tougaard")


class InputError(Exception):
    """Bad input of the command line: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors in one line and exit status 2 (as argparse's own)."""

    def error(self, message):
        raise InputError(message)


def _centres(text):
    """The value of ``--x0``: numbers separated by commas."""
    try:
        values = [float(v) for v in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected numbers separated by commas, such as "
                                         f"84.0,87.7; got {text!r}") from None
    if not all(math.isfinite(v) for v in values):
        raise argparse.ArgumentTypeError(f"expected finite numbers, got {text!r}")
    return values


def _model_options(command):
    """The options of the model and the fit, the same for one spectrum and for a map."""
    command.add_argument("--model", metavar="MODEL.toml",
                         help="the model: peaks, doublets, Kα2 partners, ties, bounds, the "
                              "background and the window, in a TOML file (instead of --shape, "
                              "--peaks and the other model options)")
    command.add_argument("--shape", choices=SHAPE_NAMES, help="the shape of the peaks")
    command.add_argument("--peaks", type=int, metavar="N", help="number of peaks to guess")
    command.add_argument("--background", choices=BACKGROUND_NAMES, help="(default: none)")
    command.add_argument("--window", nargs=2, type=float, metavar=("LO", "HI"))
    command.add_argument("--knots", type=int, help="interior knots of the spline background")
    command.add_argument("--energy", choices=["binding", "kinetic"],
                         help="electron energy axis: an instrument file's axis is turned "
                              "into it, and the Shirley and Tougaard backgrounds take it "
                              "(default: the file's axis, else binding)")
    command.add_argument("--beta", type=float, help="TSDC heating rate (default 1)")
    command.add_argument("--tol", type=float, default=1e-9)
    command.add_argument("--max-iter", type=int, default=1000)
    command.add_argument("--errors", choices=["auto", "poisson", "scaled"], default="auto",
                         help="standard errors: Poisson, scaled by the square root of the "
                              "dispersion, or scaled where the counts are not Poisson "
                              "(default auto)")


def _parser():
    parser = _Parser(prog="python -m velmora",
                     description="Peak fitting of 1-D spectra and thermograms.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    fit = commands.add_parser("fit", help="fit peaks to one spectrum")
    fit.add_argument("file", help="text or CSV file (x, counts), or an instrument file: VAMAS, "
                                  "Scienta, Prodigy, XRDML, Bruker, Rigaku, Renishaw, LabSpec, "
                                  "... ('velmora regions FILE' lists what it holds)")
    fit.add_argument("--region", help="the region (block) of a file that holds several")
    _model_options(fit)
    fit.add_argument("--x0", type=_centres, metavar="X,X,...",
                     help="starting centres: a peak at each (with --doublet: its first line's)")
    fit.add_argument("--doublet", metavar="LEVEL",
                     help="the spin-orbit doublet of a level of the splitting table (Au4f, "
                          "Cu2p, Ag3d, ...): two lines tied by its splitting and area ratio")
    fit.add_argument("--kalpha2", choices=("file",) + tuple(ANODES),
                     help="every reflection gets its Kα2 partner, by Bragg's law at the "
                          "anode's wavelengths ('file': those the file states)")
    # Accepted and ignored: eta is fitted as a continuous parameter.
    fit.add_argument("--method", choices=["full", "conditional"], help=argparse.SUPPRESS)
    fit.add_argument("--plot", metavar="FILE",
                     help="write the plot to this file (PNG when it has no extension)")
    fit.add_argument("--json", metavar="FILE", help="write the results to this file")
    fit.add_argument("--csv", metavar="FILE",
                     help="write x, the data, the total, every peak, the background and the "
                          "residual to this file")
    fit.add_argument("--save-model", metavar="FILE",
                     help="write the fitted model to this TOML file, to start another fit "
                          "from (--model)")

    fit_map = commands.add_parser(
        "fit-map", help="fit the same peaks to every spectrum of a map or series")
    fit_map.add_argument("file", help=".npz (x, counts), .nc or .zarr dataset of counts, a "
                                      "text file: x, then one column per spectrum, or an "
                                      "instrument file holding a map or series (Renishaw, "
                                      "VAMAS, XRDML, LabSpec, ...)")
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

    regions_of = commands.add_parser("regions", help="list the regions of an instrument file")
    regions_of.add_argument("file", help="any file 'fit' and 'fit-map' read")
    return parser


# The options a model file states: refused beside --model (one place says the model).
_STATED_BY_MODEL_FILE = ("shape", "peaks", "x0", "doublet", "kalpha2", "background", "knots",
                         "window", "beta")


def check_model_options(args):
    """Refuses options that do not go together, before anything is read: the model comes
    from a model file, or from --shape with --peaks (guessed), --x0 (placed) or --doublet."""
    def given(name):
        return getattr(args, name, None) is not None

    if args.model is not None:
        for name in _STATED_BY_MODEL_FILE:
            if given(name):
                raise InputError(f"--{name}: the model file {args.model} states the model; give "
                                 f"it there, not beside --model")
        return
    ways = [n for n in ("peaks", "x0", "doublet") if given(n)]
    if args.shape is None:
        raise InputError("--shape is needed (or --model MODEL.toml)")
    if not ways:
        choices = "--peaks N, --x0 X,X,... or --doublet LEVEL" if hasattr(args, "x0") \
            else "--peaks N"
        raise InputError(f"the peaks: give {choices} (or --model MODEL.toml)")
    if given("peaks") and len(ways) > 1:
        raise InputError(f"--peaks guesses the peaks and --{ways[1]} places them; give one")
    if given("doublet"):
        if given("x0") and len(args.x0) != 1:
            raise InputError(f"--x0: --doublet takes one centre, its first line's; got "
                             f"{len(args.x0)}")
        if given("kalpha2"):
            raise InputError("--kalpha2: Kα2 partners are diffraction reflections'; --doublet "
                             "is a photoelectron level's")
        level = re.fullmatch(r"([A-Z][a-z]?)(\d[pdf])", args.doublet)
        if level is None or level.groups() not in SPLITTINGS:
            known = ", ".join(e + lv for e, lv in SPLITTINGS)
            raise InputError(f"--doublet {args.doublet}: not a level of the splitting table "
                             f"({known}); for another, give its splitting in a model file")


def _same_file(a, b):
    """Whether two paths name one file: the same file where both exist, else the same
    resolved path."""
    if os.path.exists(a) and os.path.exists(b):
        return os.path.samefile(a, b)
    return os.path.realpath(a) == os.path.realpath(b)


def check_outputs(outputs, inputs):
    """Refuses, before anything is read, an output that is an input or that shares its path
    with another output.  ``outputs``: (option, path) pairs; ``inputs``: (what, path)."""
    seen = []
    for option, path in outputs:
        for what, source in inputs:
            if _same_file(path, source):
                raise InputError(f"{option} {path}: is the {what} {source}; an output never "
                                 f"overwrites an input (nothing written)")
        for other, earlier in seen:
            if _same_file(path, earlier):
                raise InputError(f"{option} {path}: is also the file of {other}; give every "
                                 f"output its own file (nothing written)")
        seen.append((option, path))


def _inputs(args):
    model = [("model file", args.model)] if args.model is not None else []
    return [("input file", args.file)] + model


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


def model_from_file(args, counts, energy):
    """The keyword arguments of the fit from ``--model`` (``counts``: the data it is for; a
    Shirley or Tougaard background takes the model file's energy, else ``energy``, else the
    data's)."""
    from .modelfile import load_model

    try:
        model = load_model(args.model, data=counts)
    except (ValueError, TypeError) as exc:
        raise InputError(str(exc)) from None
    stated = model.get("energy")
    if stated is not None and args.energy is not None and stated != args.energy:
        raise InputError(f"--energy {args.energy}: the model file {args.model} says energy = "
                         f"{stated!r}; give one")
    if stated is None and energy is not None and model.get("background") in FOLLOWS_PEAKS:
        model["energy"] = energy
    return model


def guessed_model(args, x, counts, energy):
    """The keyword arguments of the fit from --shape with --peaks, --x0 or --doublet."""
    from .guess import guess_peaks
    from .lines import doublet, kalpha2
    from .peaks import Peak
    from .modelfile import stated_anode, stated_ratio

    options = {} if args.beta is None else {"beta": args.beta}
    anode, ratio = args.kalpha2, 0.5
    if anode == "file":
        try:
            anode = stated_anode(counts)
            ratio = stated_ratio(counts) or ratio
        except ValueError as exc:
            raise InputError(f"--kalpha2 file: {args.file}: {exc} (in a model file: "
                             f"kalpha2_ratio)") from None
    location = SHAPES[args.shape].location
    try:
        if args.peaks is not None:
            peaks = guess_peaks(x, counts, args.peaks, args.shape, window=args.window,
                                kalpha2=anode, kalpha2_ratio=ratio, **options)
        elif args.doublet is not None:
            peaks = doublet(args.shape, args.doublet, x0=args.x0[0] if args.x0 else None,
                            **options)
        else:
            peaks = []
            for k, centre in enumerate(args.x0):
                peak = Peak(args.shape, name=f"p{k}", **{location: centre}, **options)
                peaks += [peak] if anode is None else [peak, kalpha2(peak, anode, ratio)]
    except (ValueError, TypeError) as exc:
        raise InputError(str(exc)) from None
    return {"peaks": peaks, "background": args.background, "window": args.window,
            "knots": args.knots, "energy": energy}


def run_fit(args):
    from .model import Model
    from .result import source_of

    check_model_options(args)
    outputs = [("--plot", plot_path(args.plot))] if args.plot else []
    for option in ("json", "csv", "save_model"):
        path = getattr(args, option)
        if path is not None:
            flag = "--" + option.replace("_", "-")
            _writable(path, flag)
            outputs.append((flag, path))
    check_outputs(outputs, _inputs(args))
    # The file's warnings wait until the model and the fit accept the input: a refusal is
    # one line.
    notes = []
    x, counts = read_spectrum(args.file, args.region, args.energy, notes)
    energy = fit_energy(args)
    if args.model is not None:
        model = model_from_file(args, counts, energy)
    else:
        model = guessed_model(args, x, counts, energy)
    try:
        result = Model(tol=args.tol, max_iter=args.max_iter, errors=args.errors, **model).fit(
            x, counts, source={**source_of(counts), "file": args.file})
    except (ValueError, TypeError) as exc:
        raise InputError(str(exc)) from None
    for line in notes:
        print(line, file=sys.stderr)
    print(result.report())
    write_outputs(result, outputs, title=f"{args.file}: {result.shape} fit")
    return 0


def write_outputs(result, outputs, title):
    """Writes the outputs of a fit, each as its option asks; a failure leaves no partial
    file.  What can be refused for its content (a model file of values that are not finite)
    is worked out before anything is written."""
    from .result import write_text

    texts = {}
    try:
        for option, path in outputs:
            if option == "--json":
                texts[option] = json.dumps(result.to_dict(), indent=2, allow_nan=False)
            elif option == "--save-model":
                texts[option] = result.to_toml()
    except ValueError as exc:
        raise InputError(f"{option} {path}: {exc}") from None
    done = {"--plot": "plot", "--json": "results", "--csv": "curves",
            "--save-model": "fitted model"}
    for option, path in outputs:
        try:
            if option == "--plot":
                figure = result.plot(title=title)
                try:
                    figure.savefig(path, dpi=120)
                except BaseException:
                    if os.path.isfile(path):
                        os.remove(path)
                    raise
            elif option == "--csv":
                result.to_csv(path)
            else:
                write_text(path, texts[option])
        except OSError as exc:
            raise InputError(f"cannot write {exc.filename or path}: {exc.strerror or exc}") \
                from None
        print(f"{done[option]} written to {path}")


def _plain_text(path):
    """Whether ``path`` is a text file of columns (no instrument's export)."""
    from .formats import reader_for, text

    try:
        return reader_for(path) is text
    except FileError as exc:
        raise InputError(str(exc)) from None


def _read(path, region, energy=None, notes=None):
    """``velmora.read``, its failures as InputError and its warnings (intensities that are
    not counts) one line each on standard error, or added to ``notes`` to be printed once
    the input is accepted."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            counts = read(path, region, energy=energy)
        except FileError as exc:
            raise InputError(str(exc)) from None
    for warning in caught:
        line = f"velmora: warning: {warning.message}"
        if notes is None:
            print(line, file=sys.stderr)
        else:
            notes.append(line)
    return counts


def fit_energy(args):
    """The ``energy`` the fit is given.  An instrument file's axis was turned into the energy
    asked for when it was read, and the fit takes the energy kind from the data themselves;
    --energy goes to the fit too only for a background that follows the peaks (it is what
    says the kind of a text file's axis, and agrees with an instrument file's)."""
    return args.energy if args.model is not None or args.background in FOLLOWS_PEAKS else None


def read_spectrum(path, region, energy=None, notes=None):
    """The grid and the counts of the one spectrum of ``path``: a text file of columns by :func:`read_columns` (x, counts; further
    columns ignored), any other file by :func:`velmora.read` on the ``energy`` axis asked
    for, if any (a map or series is refused: it is fitted by ``fit-map``)."""
    if _plain_text(path) and region is None:
        try:
            x, counts = read_columns(path)
        except FileError as exc:
            raise InputError(str(exc)) from None
        return x, counts
    if not has_module("xarray"):
        raise InputError(f"{path}: reading instrument files needs xarray: "
                         f"pip install 'velmora[io]'")
    counts = _read(path, region, energy, notes)
    if counts.ndim > 1:
        shape = ", ".join(f"{d}: {n}" for d, n in zip(counts.dims[:-1], counts.shape[:-1]))
        raise InputError(f"{path}: holds {counts[..., 0].size} spectra ({shape}); fit a map or "
                         f"series with 'velmora fit-map'")
    # The xarray objects themselves: the grid's name and units go with them.
    return counts[counts.dims[-1]], counts


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


def out_path(path):
    """The dataset ``fit-map`` writes, checked before any fitting: a ``.nc`` or ``.zarr`` path
    in a folder that exists, with the library that writes it installed.  A
    ``.zarr`` folder that exists is replaced only when it is a Zarr store."""
    ext = os.path.splitext(path.rstrip("/" + os.sep))[1].lower()
    if ext not in (".nc", ".zarr"):
        raise InputError(f"--out {path}: expected a .nc (NetCDF) or .zarr (Zarr) path")
    if ext == ".zarr" and not has_module("zarr"):
        raise InputError(f"--out {path}: writing Zarr needs the zarr package: "
                         f"pip install 'velmora[io]'")
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


def map_panels(batch, shapes):
    """The estimates ``fit-map --plot`` draws, a row per peak (``shapes``: each peak's shape
    by its name): its location, its FWHM and its area."""
    return [[f"{peak}.{n}" for n in (SHAPES[shape].location, "fwhm", "area")]
            for peak, shape in shapes.items()]


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
    from .fit import fit_many
    from .guess import guess_peaks

    check_model_options(args)
    if not has_module("xarray"):
        raise InputError("fit-map needs xarray: pip install 'velmora[io]'")
    out = out_path(args.out)
    plot = plot_path(args.plot) if args.plot else None
    check_outputs([("--out", out)] + ([("--plot", plot)] if plot else []), _inputs(args))
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
    energy = fit_energy(args)
    if args.model is not None:
        model = model_from_file(args, counts, energy)
    else:
        options = {} if args.beta is None else {"beta": args.beta}
        model = {"background": args.background, "window": args.window, "knots": args.knots,
                 "energy": energy}
    started = time.perf_counter()
    try:
        if args.model is None:
            # The peaks every chunk of the map starts from: read off the mean spectrum.
            model["peaks"] = guess_peaks(x, spectra[valid].mean(axis=0), args.peaks,
                                         args.shape, window=args.window, **options)
        peaks = model.pop("peaks")
        batch = fit_many(x, counts, peaks, warm_start=args.warm_start, workers=args.workers,
                         tol=args.tol, max_iter=args.max_iter, errors=args.errors, **model)
    except (ValueError, TypeError) as exc:
        raise InputError(str(exc)) from None
    seconds = time.perf_counter() - started
    ds = batch.to_xarray()
    ds.attrs.update(source=os.path.basename(args.file))
    if args.model is not None:
        ds.attrs.update(model=os.path.basename(args.model))
    else:
        ds.attrs.update(shape=args.shape, peaks=args.peaks, background=args.background or "none")
    statuses = ", ".join(f"{n} {name}" for name, n in batch.summary().items())
    print(f"{args.file}: {len(batch)} spectra {tuple(batch.shape)} in {seconds:.2f} s: "
          f"{statuses}")
    _write_dataset(ds, out)
    print(f"results written to {out}")
    if plot:
        shapes = {pk.name if pk.name is not None else f"p{k}": pk.shape
                  for k, pk in enumerate(peaks)}
        panels = map_panels(batch, shapes)
        fig = batch.plot([n for row in panels for n in row], ncols=len(panels[0]),
                         title=f"{args.file}, {batch_shape(peaks)} peaks")
        try:
            fig.savefig(plot, dpi=120)
        except OSError as exc:
            raise InputError(f"cannot write {exc.filename or plot}: {exc.strerror}") from None
        print(f"plot written to {plot}")
    return 0


def batch_shape(peaks):
    """The peaks' shape, or "mixed"."""
    shapes = {pk.shape for pk in peaks}
    return shapes.pop() if len(shapes) == 1 else "mixed"


def run_regions(args):
    """Prints the table of the regions of a file."""
    try:
        table = regions(args.file)
    except FileError as exc:
        raise InputError(str(exc)) from None
    print(table)
    return 0


def main(argv=None):
    """Entry point of ``python -m velmora``; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        run = {"fit": run_fit, "fit-map": run_fit_map, "regions": run_regions}[args.command]
        return run(args)
    except InputError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return 2
