"""The command line: ``python -m velmora fit FILE --shape voigt --peaks 4 ...``.

Reads a two-column text or CSV file (x, counts; ``#`` starts a comment; one header line is
allowed), guesses the peaks, fits them, prints the report and optionally writes a plot and a
JSON file of the results.  Bad input (a missing, empty or malformed file, or arguments the fit
refuses) gives a one-line message on standard error and exit status 2.
"""
import argparse
import json
import re
import sys

import numpy as np

from .backgrounds import BACKGROUND_NAMES
from .model import SHAPE_NAMES

_SPLIT = re.compile(r"[,;\s]+")


class InputError(Exception):
    """Bad input of the command line: reported in one line, exit status 2."""


def read_spectrum(path):
    """The x and counts columns of a text or CSV file.

    Parameters
    ----------
    path : str
        The file: one point a line, x then counts (further columns are ignored), separated by
        commas, semicolons or white space; ``#`` starts a comment; the first non-comment line
        may be a header of names.

    Returns
    -------
    x, counts : ndarray

    Raises
    ------
    InputError
        When the file cannot be read, holds no data, or a line is not two numbers.
    """
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.readlines()
    except (OSError, UnicodeDecodeError) as exc:
        reason = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc)
        raise InputError(f"cannot read {path}: {reason}") from None
    rows = []
    header_allowed = True
    for number, line in enumerate(lines, 1):
        text = line.split("#", 1)[0].strip()
        if not text:
            continue
        fields = [f for f in _SPLIT.split(text) if f]
        try:
            if len(fields) < 2:
                raise ValueError
            rows.append((float(fields[0]), float(fields[1])))
        except ValueError:
            if header_allowed and not any(_is_number(f) for f in fields):
                header_allowed = False
                continue
            raise InputError(f"{path}, line {number}: expected two numbers (x, counts), got "
                             f"{text[:60]!r}") from None
        header_allowed = False
    if not rows:
        raise InputError(f"{path}: no data (expected lines of two numbers: x, counts)")
    data = np.array(rows, dtype=np.float64)
    return data[:, 0], data[:, 1]


def _is_number(text):
    try:
        float(text)
    except ValueError:
        return False
    return True


def _parser():
    parser = argparse.ArgumentParser(prog="python -m velmora",
                                     description="Peak fitting of 1-D spectra and thermograms.")
    commands = parser.add_subparsers(dest="command", required=True)
    fit = commands.add_parser("fit", help="fit peaks to a two-column file (x, counts)")
    fit.add_argument("file", help="text or CSV file: x, counts")
    fit.add_argument("--shape", required=True, choices=SHAPE_NAMES)
    fit.add_argument("--peaks", required=True, type=int, metavar="N", help="number of peaks")
    fit.add_argument("--background", default="none", choices=BACKGROUND_NAMES)
    fit.add_argument("--window", nargs=2, type=float, metavar=("LO", "HI"))
    fit.add_argument("--knots", type=int, help="interior knots of the spline background")
    fit.add_argument("--energy", choices=["binding", "kinetic"],
                     help="energy axis of the Shirley background (default binding)")
    fit.add_argument("--method", choices=["full", "conditional"],
                     help="pseudo-Voigt component update (default full)")
    fit.add_argument("--beta", type=float, help="TSDC heating rate (default 1)")
    fit.add_argument("--tol", type=float, default=1e-9)
    fit.add_argument("--max-iter", type=int, default=2000)
    fit.add_argument("--plot", metavar="PNG", help="write the plot to this file")
    fit.add_argument("--json", metavar="JSON", help="write the results to this file")
    return parser


def run_fit(args):
    from .fit import fit
    from .guess import guess_peaks

    x, counts = read_spectrum(args.file)
    options = {}
    if args.method is not None:
        options["method"] = args.method
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
        if args.plot:
            result.plot(title=f"{args.file}: {args.shape} fit").savefig(args.plot, dpi=120)
            print(f"plot written to {args.plot}")
        if args.json:
            with open(args.json, "w", encoding="utf-8") as handle:
                json.dump(result.to_dict(), handle, indent=2)
            print(f"results written to {args.json}")
    except OSError as exc:
        raise InputError(f"cannot write {exc.filename}: {exc.strerror}") from None
    except ImportError:
        raise InputError("--plot needs matplotlib (pip install matplotlib)") from None
    return 0


def main(argv=None):
    """Entry point of ``python -m velmora``; returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        return run_fit(args)
    except InputError as exc:
        print(f"velmora: error: {exc}", file=sys.stderr)
        return 2
