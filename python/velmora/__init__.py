"""velmora: peak fitting for one-dimensional spectra and thermograms.

A layer over the numerical core ``velmora_core``: describe the peaks with :class:`Peak`, fit
them with :func:`fit`, and read values, standard errors, a report and a plot from the
:class:`FitResult`.

>>> import velmora
>>> peaks = [velmora.Peak("voigt", x0=28.44), velmora.Peak("voigt", x0=28.80)]
"""
from .backgrounds import Background, Linear, Shirley, Spline, Sqrt, Uniform
from .fit import fit
from .guess import guess_peaks
from .model import Peak, SHAPE_NAMES
from .result import Estimate, FitResult

__all__ = ["fit", "Peak", "guess_peaks", "FitResult", "Estimate", "Background", "Uniform",
           "Sqrt", "Linear", "Spline", "Shirley", "SHAPE_NAMES"]
__version__ = "0.1.0"
