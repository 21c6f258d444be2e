"""velmora: peak fitting for one-dimensional spectra and thermograms.

A layer over the numerical core ``velmora_core``: describe the peaks with :class:`Peak`, fit
them with :func:`fit` (or build a :class:`Model` once and fit it to many spectra), and read
values, standard errors, a report and a plot from the :class:`FitResult`.

>>> import velmora
>>> peaks = [velmora.Peak("voigt", x0=28.44), velmora.Peak("voigt", x0=28.80)]
"""
from .batch import STATUS_NAMES, BatchResult, open_batch
from .backgrounds import Background, Linear, Shirley, Spline, Sqrt, Tougaard, Uniform
from .fit import fit, fit_many
from .guess import guess_peaks
from .io import read, regions
from .lines import doublet, kalpha2
from .model import Model
from .modelfile import load_model
from .params import Estimate, Parameter, Parameters
from .peaks import Peak
from .result import ConvergenceWarning, FitResult, PeakResult
from .shapes import SHAPE_NAMES

__all__ = ["fit", "fit_many", "Model", "open_batch", "BatchResult", "STATUS_NAMES", "Peak",
           "guess_peaks", "doublet", "kalpha2", "FitResult", "PeakResult", "Parameter",
           "Parameters", "Estimate", "ConvergenceWarning", "Background", "Uniform", "Sqrt",
           "Linear", "Spline", "Shirley", "Tougaard", "SHAPE_NAMES", "read", "regions",
           "load_model"]

try:  # the version is the installed distribution's, set in one place (pyproject.toml)
    from importlib.metadata import PackageNotFoundError, version as _version
    __version__ = _version("velmora")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "unknown"
