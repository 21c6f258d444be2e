"""The command line: ``python -m velmora fit FILE --shape voigt --peaks 4 ...``.

Reads a two-column text or CSV file (x, counts; see :func:`velmora.io.read_columns`), guesses
the peaks, fits them, prints the report and optionally writes a plot and a JSON file of the
results.  Every bad input (a missing, empty, malformed or undecodable file, an option the fit
refuses, a plot or JSON path that cannot be written) gives one line on standard error and exit
status 2, before any fitting where it can be told beforehand.
"""
import argparse
import json
import os
import sys

from .backgrounds import BACKGROUND_NAMES
from .io import FileError, read_columns
from .shapes import SHAPE_NAMES


class InputError(Exception):
    """Bad input of the command line: reported in one line, exit status 2."""


class _Parser(argparse.ArgumentParser):
    """argparse, with its errors in one line and exit status 2 (as argparse's own)."""

    def error(self, message):
        raise InputError(message)


def _parser():
    parser = _Parser(prog="python -m velmora",
                     description="Peak fitting of 1-D spectra and thermograms.")
    commands = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)
    fit = commands.add_parser("fit", help="fit peaks to a two-column file (x, counts)")
    fit.add_argument("file", help="text or CSV file: x, counts")
    fit.add_argument("--shape", required=True, choices=SHAPE_NAMES)
    fit.add_argument("--peaks", required=True, type=int, metavar="N", help="number of peaks")
    fit.add_argument("--background", default="none", choices=BACKGROUND_NAMES)
    fit.add_argument("--window", nargs=2, type=float, metavar=("LO", "HI"))
    fit.add_argument("--knots", type=int, help="interior knots of the spline background")
    fit.add_argument("--energy", choices=["binding", "kinetic"],
                     help="energy axis of the Shirley background (default binding)")
    fit.add_argument("--beta", type=float, help="TSDC heating rate (default 1)")
    # Accepted and ignored: eta is fitted as a continuous parameter.
    fit.add_argument("--method", choices=["full", "conditional"], help=argparse.SUPPRESS)
    fit.add_argument("--tol", type=float, default=1e-9)
    fit.add_argument("--max-iter", type=int, default=1000)
    fit.add_argument("--plot", metavar="FILE",
                     help="write the plot to this file (PNG when it has no extension)")
    fit.add_argument("--json", metavar="FILE", help="write the results to this file")
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
    try:
        x, counts = read_columns(args.file)
    except FileError as exc:
        raise InputError(str(exc)) from None
    options = {}
    if args.beta is not None:
        options["beta"] = args.beta
    try:
        peaks = guess_peaks(x, counts, args.peaks, args.shape, window=args.window, **options)
        result = fit(x, counts, peaks, background=args.background, window=args.window,
                     tol=args.tol, max_iter=args.max_iter, knots=args.knots, energy=args.energy)
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


def main(argv=None):
    """Entry point of ``python -m velmora``; returns the exit status."""
    try:
        args = _parser().parse_args(argv)
        return run_fit(args)
    except InputError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return 2
