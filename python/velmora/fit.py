"""``velmora.fit``: peaks and a background fitted to a spectrum by maximum likelihood."""
from dataclasses import dataclass
import warnings

import numpy as np

import velmora_core

from .axis import Axis, axis_of, plain
from .backgrounds import make_background, settle_energy
from .problem import FitState, build
from .result import build_result, source_of, warn_if_not_converged
from .validation import (check_data, check_options, check_peaks, check_shared_bounds,
                         check_window, NoCounts)


@dataclass(frozen=True)
class FitInput:
    """The validated arguments of a fit (see :func:`fit`); ``energy`` the
    :class:`~velmora.axis.EnergyKind` its background took x as (None for a background that
    does not depend on it)."""

    x: np.ndarray
    counts: np.ndarray
    peaks: tuple
    ties: tuple
    background: object
    window: tuple
    tol: float
    max_iter: int
    bounds: dict
    energy: object = None


@dataclass(frozen=True)
class Outcome:
    """What the engine reports of a fit.

    Attributes
    ----------
    theta : ndarray
        The fitted free parameters (internal units).
    iterations : int
        Newton (or Levenberg-Marquardt) steps taken.
    log_likelihood : float
    converged : bool
    decrement : float
        Half the Newton decrement at the end: the gain in log-likelihood a full Newton step
        predicts, the fit's stopping criterion.
    status : int
        0 converged, 1 out of iterations, 2 stalled, 3 not finite.
    evaluations : int
        Passes over the data.
    """

    theta: np.ndarray
    iterations: int
    log_likelihood: float
    converged: bool
    decrement: float
    status: int
    evaluations: int


def validate(x, counts, peaks, background=None, window=None, tol=1e-9, max_iter=1000,
             knots=None, energy=None, bounds=None, accelerate=None, axis=None):
    """Every check of :func:`fit`, before any work: a :class:`FitInput`.  ``axis``: what the
    data said about x (:func:`velmora.axis.axis_of`; plain arrays say nothing), which decides
    the energy kind of a Shirley or Tougaard background with the ``energy`` given."""
    axis = Axis() if axis is None else axis
    x, counts = check_data(x, counts)
    peaks, ties = check_peaks(peaks)
    bg, energy_kind = settle_energy(make_background(background, knots, energy), axis,
                                    "energy" if energy is not None else "background")
    # An axis is of an energy kind when the data say so or the kind was given for them.
    kind = axis.kind() or (energy_kind.kind if energy_kind and energy_kind.source == "argument"
                           else None)
    window = check_window(window, x, kind, axis.excitation)
    tol, max_iter = check_options(tol, max_iter)
    if accelerate is not None:
        if not isinstance(accelerate, (bool, np.bool_)):
            raise TypeError(f"accelerate: expected True or False, got "
                            f"{type(accelerate).__name__}")
        warnings.warn("fit(accelerate=...) has no effect: every fit runs the engine's Newton "
                      "method", DeprecationWarning, stacklevel=3)
    shared = check_shared_bounds(peaks, bounds)
    lo, hi = window
    inside = (x >= lo) & (x <= hi)
    for pk in peaks:
        loc = pk.values[_location(pk)]
        if loc is not None and not lo <= loc <= hi and _location(pk) not in pk.bounds:
            raise ValueError(f"{pk.name}: {_location(pk)}={loc} lies outside the window "
                             f"[{lo}, {hi}]")
    n_free = sum(len(pk.params) + 1 - len(pk.fix) - len(pk.ties) for pk in peaks)
    if n_free == 0:
        raise ValueError("peaks: every parameter of every peak is fixed or tied; leave at "
                         "least one free")
    n_inside = int(np.count_nonzero(inside))
    if n_inside <= n_free:
        raise ValueError(f"window: {n_inside} data points in [{lo}, {hi}] are too few for "
                         f"{n_free} free peak parameters")
    if not counts[inside].sum() > 0:
        raise NoCounts("counts: every count in the window is zero")
    return FitInput(x=x, counts=counts, peaks=tuple(peaks), ties=tuple(ties), background=bg,
                    window=window, tol=tol, max_iter=max_iter, bounds=shared,
                    energy=energy_kind)


def _location(peak):
    from .shapes import SHAPES

    return SHAPES[peak.shape].location


def prepare(inputs, start=None, like=None):
    """The set-up of a fit and the window's counts (``like``: a set-up of the same model on
    the same grid whose counts-free parts may be reused)."""
    return build(inputs.x, inputs.counts, list(inputs.peaks), list(inputs.ties),
                 inputs.background, inputs.window, inputs.tol, inputs.max_iter, inputs.bounds,
                 start, like)


def run(setup, counts, theta=None, curves=True):
    """The engine's fit of the window's ``counts`` from ``theta`` (default: the set-up's
    start): an :class:`Outcome` and the engine's report at the fitted point (with the curves
    and the peaks' heights and widths when ``curves``)."""
    theta = np.array(setup.theta0 if theta is None else theta, dtype=np.float64)
    (iterations, ll, converged, decrement, status, evaluations), report = \
        velmora_core._engine_fit(setup.model, counts, theta, setup.tol, setup.max_iter, curves,
                                 curves)
    outcome = Outcome(theta=theta, iterations=int(iterations), log_likelihood=float(ll),
                      converged=bool(converged), decrement=float(decrement), status=int(status),
                      evaluations=int(evaluations))
    return outcome, report


def fit(x, counts, peaks, background=None, *, window=None, tol=1e-9, max_iter=1000, knots=None,
        energy=None, bounds=None, accelerate=None, start=None):
    """Fit peaks and a background to a spectrum by maximum likelihood.

    The counts are Poisson counts per grid point; the expected count of a channel is the sum
    of the peaks' counts (area times density times channel width) and the background's.  The
    engine maximises the Poisson likelihood over every free parameter at once, without the
    interpreter lock: Levenberg-Marquardt steps on the expected information far from the
    optimum, Newton steps on the observed information near it, parameters held on their
    bounds where the likelihood pushes against them, until a full Newton step predicts a gain
    of at most ``tol`` (relative) in log-likelihood.  Standard errors come from the observed
    information (see :mod:`velmora.uncertainty`).

    Parameters
    ----------
    x, counts : array_like or xarray.DataArray
        The grid and the counts at each grid point (any order; no repeated x).  Counts need
        not be integers but must be finite and non-negative.  Either may be an
        ``xarray.DataArray``: ``x`` a coordinate (``da["binding_energy"]``), ``counts`` a 1-D
        DataArray; the coordinate's name and its ``long_name`` and ``units`` attributes, and
        an ``energy`` attribute (``"binding"`` or ``"kinetic"``), go to ``result.axis`` and
        label the plot (a binding-energy axis runs from high to low).  A coordinate named
        ``binding_energy`` or ``kinetic_energy``, or the ``energy`` attribute, also says
        which way the Shirley step and the Tougaard tail lie (see ``energy``).
    peaks : Peak or list of Peak
        The peaks, of any shapes (TSDC peaks only with TSDC peaks), with their names, ties,
        fixed parameters and bounds.  Missing starting values are guessed from the data.
    background : {None, "uniform", "sqrt", "linear", "spline", "shirley", "tougaard"} or Background
        The background fitted with the peaks (see :mod:`velmora.backgrounds`): ``"shirley"``
        and ``"tougaard"`` are active backgrounds, recomputed from the fitted peaks (the
        Shirley step; the inelastic-loss tail by Tougaard's universal cross-section, its B
        reported in eV^2; ``velmora.Tougaard(C=..., D=...)`` for another cross-section).
    window : (float, float), optional
        Fit only the data in this range of x; peak centres stay inside it unless bounded
        otherwise.  Default: the whole data range.
    tol : float
        Convergence: the fit ends where a full Newton step predicts a gain of at most
        ``tol * |log-likelihood|``.  It also ends, converged, where no step raises the
        likelihood any further and the gain predicted is below 0.001 (the parameters are
        within 0.05 standard errors of the optimum).
    max_iter : int
        Most iterations (steps) of the engine.
    knots : int or sequence of float, optional
        Interior knots of the ``"spline"`` background: their number or their positions.
    energy : {"binding", "kinetic"}, optional
        Energy kind of x for the ``"shirley"`` and ``"tougaard"`` backgrounds: on binding
        energy the step rises, and the loss tail lies, towards larger x; on kinetic energy
        towards smaller x.  The kind is decided once, in this order: what the data say (a
        DataArray's ``binding_energy`` or ``kinetic_energy`` coordinate, or its ``energy``
        attribute), else ``energy`` (or that of a ``velmora.Shirley``/``velmora.Tougaard``
        object given as ``background``), else ``"binding"`` (plain arrays).  An energy given
        that contradicts the data is refused; ``result.energy`` says which kind was taken and
        why, as does the report's background line.
    bounds : dict, optional
        ``{name: (lo, hi)}`` bounds for every peak that has the parameter (a peak's own
        bounds take precedence).
    accelerate : bool, optional
        Accepted for compatibility and ignored (with a DeprecationWarning).
    start : FitResult, optional
        Start from this earlier fit's fitted values (fixed values guessed from its data
        included) instead of from ``peaks``' starting values: a fit of the same peaks, ties
        and background on the same x and window, such as the fit of a neighbouring spectrum.

    Returns
    -------
    FitResult

    Raises
    ------
    TypeError
        For arguments of the wrong type.
    ValueError
        For bad data (mismatched lengths, NaN or negative counts, repeated x), a window
        without data (on an energy axis, the message points to the other energy kind where
        that would hold data), ties that do not resolve, a starting value outside its bounds,
        an unknown background, an energy that contradicts the data, every parameter fixed,
        or too few data points.  Nothing is fitted
        and nothing passed in is modified.

    Examples
    --------
    >>> import numpy as np, velmora
    >>> rng = np.random.default_rng(0)
    >>> x = np.linspace(0, 10, 401)
    >>> rate = 2000 * 0.025 * np.exp(-0.5 * ((x - 4.0) / 0.3) ** 2) / (0.3 * np.sqrt(2 * np.pi))
    >>> counts = rng.poisson(rate + 5.0)
    >>> result = velmora.fit(x, counts, [velmora.Peak("gaussian")], background="uniform")
    >>> abs(result.peaks[0]["x0"].value - 4.0) < 3 * result.peaks[0]["x0"].stderr
    True
    """
    axis = axis_of(x, counts)
    inputs = validate(plain(x), plain(counts), peaks, background, window, tol, max_iter, knots,
                      energy, bounds, accelerate, axis)
    result = fit_validated(inputs, start=check_start(start))
    result.axis = axis
    result.source = source_of(counts)
    warn_if_not_converged(result)
    return result


def check_start(start):
    """``start`` (a FitResult, a FitState or None) as a FitState or None."""
    from .result import FitResult

    if start is None or isinstance(start, FitState):
        return start
    if not isinstance(start, FitResult):
        raise TypeError(f"start: expected None or a FitResult, got {type(start).__name__}")
    return start.state


def fit_validated(inputs, start=None):
    """The fit itself, from the output of :func:`validate`."""
    setup, counts = prepare(inputs, start)
    outcome, report = run(setup, counts)
    return build_result(setup, counts, outcome, report, energy=inputs.energy)
