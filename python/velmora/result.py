"""The result of a fit: estimates with standard errors, statistics, model curves, findings,
a report."""
from collections.abc import Mapping, Sequence
import contextlib
from dataclasses import dataclass, field
import math
import os
import warnings as _warnings

import numpy as np

import velmora_core

from .axis import KNOWN, Axis
from .shapes import SHAPES
from .uncertainty import in_user_units, linear_estimates

# A peak narrower than this many grid steps (full width at half maximum) has collapsed onto a
# few channels: it fits noise, not a line.
COLLAPSED_STEPS = 1.0
# An area below this many standard errors is compatible with zero (the usual detection limit
# of three standard errors).
SIGNIFICANT_AREA = 3.0


def detection(fwhm, grid_step, area, area_stderr, area_at_bound, area_free):
    """Why peaks are not detections, element by element (scalars, or arrays over spectra):
    ``(collapsed, faint)``.  Collapsed: a FWHM below COLLAPSED_STEPS grid steps (it fits
    noise, not a line).  Faint: not collapsed, and a free area on its bound or within
    SIGNIFICANT_AREA standard errors of zero.  A collapsed peak gets no standard errors, a
    faint one none for its shape."""
    fwhm, area, area_stderr = (np.asarray(v, dtype=np.float64)
                               for v in (fwhm, area, area_stderr))
    with np.errstate(invalid="ignore"):
        collapsed = np.isfinite(fwhm) & (fwhm < COLLAPSED_STEPS * grid_step)
        faint = ~collapsed & np.asarray(area_free, dtype=bool) & (
            np.asarray(area_at_bound, dtype=bool)
            | (np.isfinite(area_stderr) & (area < SIGNIFICANT_AREA * area_stderr)))
    return collapsed, faint


class ConvergenceWarning(UserWarning):
    """A fit that ended before reaching the maximum of its likelihood."""


@dataclass
class Estimate:
    """A fitted quantity.

    Attributes
    ----------
    name : str
    value : float
    stderr : float or None
        None when held fixed; NaN when not determined (on a bound, left without signal, or a
        peak that is no detection).
    fixed : bool
    at_bound : bool
        The fit ended on one of the parameter's bounds.  Its standard error is given when the
        data determine it there (and then counts in the others'); otherwise it is held on the
        bound for the uncertainties and its standard error is NaN.
    tie : str or None
        The expression of a tied parameter.
    """

    name: str
    value: float
    stderr: object = None
    fixed: bool = False
    at_bound: bool = False
    tie: object = None

    def __post_init__(self):
        self.value = float(self.value)
        if self.stderr is not None:
            self.stderr = float(self.stderr)

    @property
    def relative(self):
        """Standard error relative to the value (NaN when undefined)."""
        if self.stderr is None or self.value == 0:
            return math.nan
        return abs(self.stderr / self.value)

    def __float__(self):
        return float(self.value)

    def __repr__(self):
        if self.fixed:
            return f"<Estimate {self.name} = {self.value:.8g} (fixed)>"
        tail = f" (tied: {self.tie})" if self.tie else ""
        if self.at_bound:
            return f"<Estimate {self.name} = {self.value:.8g} (at bound)>"
        return f"<Estimate {self.name} = {self.value:.8g} +/- {self.stderr:.3g}{tail}>"

    def to_dict(self):
        return {"value": _plain(self.value), "stderr": _plain(self.stderr),
                "fixed": self.fixed, "at_bound": self.at_bound, "tie": self.tie}


class PeakResult(Mapping):
    """The estimates of one peak by parameter name: its shape parameters, ``"area"``
    (counts), the derived ``"height"`` (counts per channel at the maximum) and ``"fwhm"``, and
    the shape's own derived quantities (TSDC ``"tau0"``).

    Attributes
    ----------
    name, shape : str
    detected : bool
        False for a peak that collapsed below a grid step or whose area is compatible with
        zero (see :attr:`FitResult.warnings`).
    """

    def __init__(self, name, shape, estimates, detected=True):
        self.name = name
        self.shape = shape
        self.detected = detected
        self._estimates = dict(estimates)

    def __getitem__(self, key):
        return self._estimates[key]

    def __iter__(self):
        return iter(self._estimates)

    def __len__(self):
        return len(self._estimates)

    def __repr__(self):
        inner = ", ".join(f"{n}={e.value:.6g}" for n, e in self._estimates.items())
        return f"<PeakResult {self.name} ({self.shape}): {inner}>"


class PeakList(Sequence):
    """The peaks of a result, by position (``peaks[0]``) or by name (``peaks["Au4f7"]``)."""

    def __init__(self, peaks):
        self._peaks = list(peaks)
        self._by_name = {p.name: p for p in self._peaks}

    def __getitem__(self, key):
        if isinstance(key, str):
            try:
                return self._by_name[key]
            except KeyError:
                raise KeyError(f"no peak is called {key!r}; the peaks are "
                               f"{', '.join(self._by_name)}") from None
        return self._peaks[key]

    def __len__(self):
        return len(self._peaks)

    @property
    def names(self):
        return [p.name for p in self._peaks]

    def __repr__(self):
        return f"PeakList({self._peaks!r})"


@dataclass
class FitResult:
    """What :func:`velmora.fit` returns.

    Attributes
    ----------
    peaks : PeakList
        Per peak (by position or name) a :class:`PeakResult`.
    background : dict
        ``{name: Estimate}`` of the background: ``"counts"`` (its counts in the window) and
        the kind's own quantities (``"slope"`` of the linear background, per unit of x; the
        counts of each spline column ``"b0"``, ...; Shirley ``"offset"`` and ``"step"``).
    background_model : str
    log_likelihood : float
        Poisson log-likelihood of the counts under the fitted expected counts.
    deviance : float
        Poisson deviance, 2 sum(c log(c/mu) - (c - mu)).
    chi_square : float
        Pearson's sum (c - mu)^2 / mu (infinite when a channel with counts has mu = 0).
    aic, bic : float
        Akaike and Bayesian information criteria.
    n_iter : int
        Iterations (steps) of the engine.
    converged : bool
        The fit ended at a maximum of the likelihood (see ``decrement``).
    status : str
        How the fit ended, in words.
    decrement : float
        The stopping criterion at the end: half the Newton decrement, the gain in
        log-likelihood that a full Newton step predicts (converged when at most
        ``tol * |log_likelihood|``).
    evaluations : int
        Passes over the data.
    warnings : list of str
        Plain-language findings: peaks that are no detection, parameters on their bounds or
        not determined, a fit that did not converge.
    param_names : list of str
        The free parameters (``"p0_x0"``, ``"Au4f7_area"``, ``"bg_rising"``, ...), in the
        order of ``covariance``.
    covariance : ndarray
        Their covariance matrix, in the units of x (NaN rows for parameters not determined,
        zero rows for parameters on a bound).
    x, counts : ndarray
        The data inside the window, sorted by x.
    window : (float, float)
    n_data, n_free : int
    shape : str
        The peaks' shape, or ``"mixed"``.
    state : FitState
        The fitted point, for ``velmora.fit(..., start=result)``.
    setup : Setup
        The fit's set-up (model, grid, parameters).
    axis : Axis
        What x is, as far as the data said: the coordinate's ``name``, ``long_name`` and
        ``units`` when x (or the counts' coordinate) was an ``xarray.DataArray``, and the
        ``energy`` attribute (``"binding"`` or ``"kinetic"``).  The plot's x label and
        direction come from it; reports do not use it, :meth:`to_dict` names it.
    energy : EnergyKind or None
        For a background that depends on the energy kind of x (Shirley, Tougaard): the kind
        it took (``energy.kind``, ``"binding"`` or ``"kinetic"``) and where that came from
        (``energy.source``: ``"data"``, ``"argument"`` or ``"default"``), shown in the
        report's background line and in :meth:`to_dict`; None for other backgrounds.
    source : dict
        Where the data came from, where known: ``{"file": ..., "region": ...}`` (see
        :func:`source_of`: :func:`velmora.fit` takes them from a DataArray read by
        :func:`velmora.read`; the command line names the file given).  :meth:`to_dict`, :meth:`to_csv`,
        :meth:`to_xarray` and :meth:`to_toml` name it.
    """

    peaks: PeakList
    background: dict
    background_model: str
    log_likelihood: float
    deviance: float
    chi_square: float
    aic: float
    bic: float
    n_iter: int
    converged: bool
    status: str
    decrement: float
    evaluations: int
    warnings: list
    param_names: list
    covariance: np.ndarray
    x: np.ndarray
    counts: np.ndarray
    window: tuple
    n_data: int
    n_free: int
    tol: float
    shape: str
    state: object = field(repr=False)
    setup: object = field(repr=False)
    curves: dict = field(repr=False)
    axis: Axis = field(default_factory=Axis, repr=False)
    energy: object = None
    source: dict = field(default_factory=dict, repr=False)

    # ---- curves
    def eval_components(self, x=None):
        """Expected counts of every peak and of the background on ``x``.

        Parameters
        ----------
        x : array_like, optional
            Where to evaluate (default: the data grid).  Counts are per channel: the channel
            width is interpolated from the data grid.

        Returns
        -------
        dict
            ``{peak name: counts, ..., "background": counts}`` (no ``"background"`` entry
            without a background).
        """
        if x is None:
            return {k: v.copy() for k, v in self.curves.items()}
        x = np.asarray(x, dtype=np.float64)
        if x.ndim != 1:
            raise ValueError(f"x: expected a one-dimensional array, got shape {x.shape}")
        setup = self.setup
        u = (x - setup.frame.centre) / setup.frame.step
        widths = np.interp(u, setup.u, setup.widths)
        dens = velmora_core._engine_densities(setup.model, self.state.theta,
                                              np.ascontiguousarray(u))
        dens = dens.reshape(len(self.peaks), u.size)
        out = {p.name: dens[k] * widths for k, p in enumerate(self.peaks)}
        if "background" in self.curves:
            lo, hi = self.window
            inside = (x >= lo) & (x <= hi)
            per_unit = self.curves["background"] / setup.widths
            out["background"] = np.where(inside, np.interp(u, setup.u, per_unit), 0.0) * widths
        return out

    def eval(self, x=None):
        """Expected counts of the whole model on ``x`` (default: the data grid)."""
        return sum(self.eval_components(x).values())

    @property
    def residual(self):
        """Data minus model on the data grid."""
        return self.counts - self.eval()

    @property
    def correlation(self):
        """Correlation matrix of the free parameters."""
        sd = np.sqrt(np.diag(self.covariance))
        with np.errstate(divide="ignore", invalid="ignore"):
            return self.covariance / np.outer(sd, sd)

    # ---- presentation
    def report(self, min_correlation=0.5):
        """A text report: estimates, findings, strong correlations, statistics.

        Parameters
        ----------
        min_correlation : float
            Correlations of at least this magnitude are listed.
        """
        from .report import fit_report

        return fit_report(self, min_correlation)

    def plot(self, title=None):
        """Data, components, background, total and residuals (a matplotlib Figure)."""
        from .plot import plot_result

        return plot_result(self, title=title)

    def to_dict(self):
        """Everything as plain Python values, JSON-ready (NaN and infinities become None)."""
        return {
            "shape": self.shape,
            "background_model": self.background_model,
            "energy": None if self.energy is None else self.energy.to_dict(),
            "window": [_plain(v) for v in self.window],
            "peaks": {p.name: {"shape": p.shape, "detected": p.detected,
                               **{n: e.to_dict() for n, e in p.items()}} for p in self.peaks},
            "background": {n: e.to_dict() for n, e in self.background.items()},
            "statistics": {k: _plain(getattr(self, k)) for k in (
                "log_likelihood", "deviance", "chi_square", "aic", "bic", "n_data", "n_free",
                "n_iter", "converged", "decrement", "evaluations")},
            "status": self.status,
            "warnings": list(self.warnings),
            "param_names": list(self.param_names),
            "covariance": [[_plain(v) for v in row] for row in self.covariance],
            "axis": {"name": self.axis.name, "long_name": self.axis.long_name,
                     "units": x_units(self.axis), "energy": self.axis.kind(self.setup.background)},
            "source": {"file": self.source.get("file"), "region": self.source.get("region")},
        }

    # ---- outputs
    def curves_table(self):
        """The curves on the data grid (inside the window, sorted by x), by column name:
        ``data``, ``total``, every peak by its name, ``background`` (when there is one) and
        ``residual`` (data minus total), all in counts per channel.  A peak whose name is one
        of these, or the axis's, is listed as ``<name>_peak``."""
        components = self.eval_components()
        background = components.pop("background", None)
        total = sum(components.values()) + (0.0 if background is None else background)
        taken = {"data", "total", "background", "residual", x_name(self.axis)}
        table = {"data": self.counts.copy(), "total": total}
        for name, curve in components.items():
            table[name + "_peak" if name in taken else name] = curve
        if background is not None:
            table["background"] = background
        table["residual"] = self.counts - total
        return table

    def to_csv(self, path):
        """Write x, the data, the total, every peak, the background and the residual as CSV.

        A comment line names the source, the background and the window; the header names the
        columns with their units: x as the axis is named (``binding_energy (eV)``,
        ``two_theta (degree)``, ``x``), every other column in counts per channel.  The first
        two columns (x, data) read back with :func:`velmora.io.read_columns`.

        Parameters
        ----------
        path : str or path-like
            The file; a partial file is removed when writing fails.
        """
        table = self.curves_table()
        units = x_units(self.axis)
        head = x_name(self.axis) + (f" ({units})" if units else "")
        lines = [f"# {self._described()}",
                 ",".join([head] + [f"{name} (counts)" for name in table])]
        columns = [self.x] + list(table.values())
        lines += [",".join(repr(float(c[i])) for c in columns) for i in range(self.x.size)]
        write_text(path, "\n".join(lines) + "\n")

    def to_xarray(self):
        """The fit as an ``xarray.Dataset``.

        The curves of :meth:`curves_table` are variables over the x coordinate (named as the
        axis is, ``x`` for a plain array, with its units), in counts per channel; every
        estimate is a scalar variable named as :class:`velmora.BatchResult` names it
        (``"Au4f7.x0"``, ``"Au4f7.area"``, ``"background.counts"``) beside its standard error
        (``"Au4f7.x0_stderr"``; NaN for a fixed parameter), with its units.  The attributes
        hold the source, background, window, log-likelihood and status.

        Raises
        ------
        ImportError
            Without xarray (``pip install 'velmora[io]'``).
        """
        try:
            import xarray as xr
        except ImportError:
            raise ImportError("FitResult.to_xarray needs xarray: pip install "
                              "'velmora[io]'") from None
        dim = x_name(self.axis)
        coord_attrs = {k: v for k, v in (("units", x_units(self.axis)),
                                         ("long_name", self.axis.long_name)) if v}
        variables = {name: (dim, curve, {"units": "counts"})
                     for name, curve in self.curves_table().items()}
        for name, (estimate, units) in self._estimates().items():
            attrs = {"units": units} if units else {}
            stderr = math.nan if estimate.stderr is None else estimate.stderr
            variables[name] = ((), estimate.value, attrs)
            variables[name + "_stderr"] = ((), stderr, attrs)
        attrs = {"background_model": self.background_model, "window": list(self.window),
                 "log_likelihood": self.log_likelihood, "converged": int(self.converged),
                 "status": self.status}
        attrs.update({f"source_{k}": v for k, v in self.source.items() if v is not None})
        return xr.Dataset(variables, coords={dim: (dim, self.x.copy(), coord_attrs)},
                          attrs=attrs)

    def to_toml(self, path=None):
        """The fitted model as a model file, to start another fit from.

        Every peak with its fitted values as starting values, its ties, fixed values and
        bounds; the shared bounds, the background and the window (see
        :mod:`velmora.modelfile`).  Doublets and Kα2 partners come back as the peaks they
        are, with their ties: the same model.  ``velmora.fit(x, counts,
        **velmora.load_model(path))`` on the same data starts at this fit's optimum.

        Parameters
        ----------
        path : str or path-like, optional
            Also write the text to this file (a partial file is removed when writing fails).

        Returns
        -------
        str
            The text of the model file.

        Raises
        ------
        ValueError
            For a fit whose values are not finite, or a background that a model file cannot
            name.
        """
        from .modelfile import model_text

        comments = [f"velmora model: the fitted values as starting values ({self._described()})",
                    f"log-likelihood {self.log_likelihood!r}, {self.status}"]
        text = model_text(self, comments)
        if path is not None:
            write_text(path, text)
        return text

    def _described(self):
        """One line: the source, the background and the window."""
        where = self.source.get("file") or "data"
        if self.source.get("region"):
            where += f", region {self.source['region']}"
        return (f"fit of {where}: {self.background_model} background, window "
                f"[{self.window[0]!r}, {self.window[1]!r}]")

    def _estimates(self):
        """Every estimate with its units, by the name ``"peak.param"`` or
        ``"background.name"``."""
        units = x_units(self.axis)
        of_kind = {"location": units, "width": units, "plain": None}
        out = {}
        for peak in self.peaks:
            spec = SHAPES[peak.shape]
            for name, estimate in peak.items():
                if name in spec.names:
                    unit = of_kind[spec.param(name).kind]
                else:
                    unit = {"area": "counts", "height": "counts per channel",
                            "fwhm": units}.get(name)
                out[f"{peak.name}.{name}"] = (estimate, unit)
        for name, estimate in self.background.items():
            out[f"background.{name}"] = (estimate, self.setup.background.unit_of(name))
        return out

    def __repr__(self):
        return (f"<FitResult {self.shape}, {len(self.peaks)} peaks, background "
                f"{self.background_model}: log-likelihood {self.log_likelihood:.6g}, "
                f"{self.n_iter} iterations, {self.status}>")


def x_name(axis):
    """The name of the x column or coordinate of an :class:`Axis`: the coordinate's, else
    ``"x"``."""
    return axis.name or "x"


def x_units(axis):
    """The units of x: the coordinate's ``units``, else those its name implies (eV for an
    energy, degree for 2θ), else None."""
    return axis.units or KNOWN.get(axis.name, (None, None, None))[1]


def source_of(counts):
    """Where ``counts`` came from, as :attr:`FitResult.source` holds it: the ``source_file``
    and ``region`` attributes of a DataArray from :func:`velmora.read` (an empty dict for
    anything else)."""
    attrs = getattr(counts, "attrs", None) or {}
    return {k: str(attrs[a]) for k, a in (("file", "source_file"), ("region", "region"))
            if attrs.get(a) is not None}


def write_text(path, text):
    """Write ``text`` to ``path`` (UTF-8); a partial file is removed when writing fails."""
    handle = open(path, "w", encoding="utf-8")
    try:
        with handle:
            handle.write(text)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(path)
        raise


def _plain(v):
    if v is None:
        return None
    if isinstance(v, (bool, np.bool_)):
        return bool(v)
    if isinstance(v, (int, np.integer)):
        return int(v)
    v = float(v)
    return v if math.isfinite(v) else None


# ------------------------------------------------------------------------------- building

def statistics(counts, mu, n_free, log_likelihood):
    """Deviance, chi-square, AIC and BIC of a fit."""
    with np.errstate(divide="ignore", invalid="ignore"):
        dev = 2.0 * float(np.sum(np.where(counts > 0, counts * np.log(counts / mu), 0.0)
                                 - (counts - mu)))
        terms = np.where(mu > 0, (counts - mu) ** 2 / mu, np.where(counts > 0, np.inf, 0.0))
    chi2 = float(np.sum(terms))
    aic = -2.0 * log_likelihood + 2.0 * n_free
    bic = -2.0 * log_likelihood + n_free * math.log(counts.size)
    return dev, chi2, aic, bic


def build_result(setup, counts, outcome, report=None, energy=None):
    """The :class:`FitResult` of a fit: ``counts`` of the window, the engine's ``outcome``,
    the engine's report at the fitted point (worked out when not given), and the
    :class:`~velmora.axis.EnergyKind` its background took x as (None for one that does not
    depend on it)."""
    theta = outcome.theta
    if report is None:
        report = velmora_core._engine_report(setup.model, counts, theta, True, True)
    frame = setup.frame
    params = setup.parameters
    n_theta = theta.size
    values = report["params"]
    stderr = report["stderr"]
    at_bound = report["at_bound"] != 0
    undetermined = report["undetermined"] != 0
    slot = {}
    for e, p in enumerate(params):
        if p.role == "free":
            slot[e] = len(slot)
    findings = []

    def scale(p):
        return frame.scale(p.kind) if p.kind != "count" else 1.0

    def user(p, v):
        return frame.from_u(p.kind, v) if p.kind != "count" else float(v)

    def estimate(e, p):
        value = user(p, values[e])
        if p.role == "fixed":
            return Estimate(p.name, value, None, fixed=True)
        if p.role == "tied":
            return Estimate(p.name, value, abs(scale(p)) * stderr[e], tie=p.tie)
        a = slot[e]
        if undetermined[a]:
            return Estimate(p.name, value, math.nan, at_bound=bool(at_bound[a]))
        if at_bound[a] and not stderr[e] > 0:  # held on its bound
            return Estimate(p.name, value, math.nan, at_bound=True)
        return Estimate(p.name, value, abs(scale(p)) * stderr[e], at_bound=bool(at_bound[a]))

    peaks_out = []
    k_count = len(setup.peaks)
    grid_step = float(np.median(setup.widths))
    for j, peak in enumerate(setup.peaks):
        spec = SHAPES[peak.shape]
        entries = [(e, p) for e, p in enumerate(params) if p.peak == peak.name]
        estimates = {p.name: estimate(e, p) for e, p in entries}
        shape_entries = [p for _, p in entries if p.name != "area"]
        fixed_shape = all(p.role == "fixed" for p in shape_entries)
        width_scale = frame.scale("width")
        fwhm = float(report["fwhm"][j])
        estimates["height"] = Estimate("height", float(report["height"][j]),
                                       float(report["height_stderr"][j]))
        estimates["fwhm"] = Estimate("fwhm", width_scale * fwhm,
                                     None if fixed_shape else
                                     width_scale * float(report["fwhm_stderr"][j]),
                                     fixed=fixed_shape)
        for x, name in enumerate(spec.extras):
            i = j * len(report["extras"]) // k_count + x
            estimates[name] = Estimate(name, float(report["extras"][i]),
                                       None if fixed_shape else float(report["extras_stderr"][i]),
                                       fixed=fixed_shape)
        detected = True
        area = estimates["area"]
        collapsed, faint = detection(
            fwhm, grid_step, area.value, math.nan if area.stderr is None else area.stderr,
            area.at_bound, not area.fixed and not area.tie)
        if collapsed:
            detected = False
            findings.append(
                f"{peak.name}: collapsed to a width of {width_scale * fwhm:.3g} "
                f"({fwhm / grid_step:.2f} grid steps), narrower than a grid step: it fits "
                f"noise, not a line; not a detection, and its standard errors are not given")
            for est in estimates.values():
                if not est.fixed:
                    est.stderr = math.nan
        elif faint:
            detected = False
            z = area.value / area.stderr if area.stderr and math.isfinite(area.stderr) else 0.0
            findings.append(
                f"{peak.name}: its area {area.value:.4g} is compatible with zero "
                f"({z:.1f} standard errors): not a significant detection; the standard errors "
                f"of its shape are not given")
            for name, est in estimates.items():
                if name != "area" and not est.fixed:
                    est.stderr = math.nan
        peaks_out.append(PeakResult(peak.name, peak.shape, estimates, detected))

    for e, p in enumerate(params):
        if p.role != "free":
            continue
        a = slot[e]
        if p.peak is not None and not next(pk for pk in peaks_out if pk.name == p.peak).detected:
            continue
        if at_bound[a] and not (p.name == "area" or p.peak is None):
            lo, hi = p.bounds
            which = lo if values[e] <= lo else hi
            held = not stderr[e] > 0
            findings.append(f"{p.label} ended on its bound {user(p, which):.6g}"
                            + ("; it is held there for the standard errors" if held else
                               "; the data still determine it, and its uncertainty counts in "
                               "the others'"))
        elif undetermined[a]:
            findings.append(f"{p.label}: the data do not determine it (its standard error, "
                            f"and those of what depends on it, are not given)")
    status_text = _status_text(outcome)
    if not outcome.converged:
        findings.insert(0, f"the fit did not converge: {status_text}")

    # Background.
    bg = setup.background
    bg_out = {}
    if setup.terms.count:
        names, bvalues, jac = bg.quantities(report["background_counts"], setup.x, setup.widths,
                                            frame.step, setup.window)
        n_reported = setup.terms.reported
        cov = report["background_covariance"].reshape(n_reported, n_reported)
        bvalues, bstderr = linear_estimates(report["background_counts"], cov, jac)
        for name, v, s in zip(names, bvalues, bstderr):
            bg_out[name] = Estimate(name, float(v), float(s))
        if "counts" in bg_out:
            bg_out = {"counts": bg_out.pop("counts"), **bg_out}

    n = setup.x.size
    peak_curves = report["peak_curves"].reshape(k_count, n)
    curves = {pk.name: peak_curves[j] for j, pk in enumerate(setup.peaks)}
    if setup.terms.count:
        curves["background"] = report["background_curves"].reshape(setup.terms.count, n).sum(axis=0)
    mu = sum(curves.values())
    free = setup.free
    names = [f"{p.peak}_{p.name}" if p.peak is not None else f"bg_{p.name}" for p in free]
    covariance = in_user_units(report["covariance"].reshape(n_theta, n_theta),
                               [scale(p) for p in free])
    ll = float(report["log_likelihood"])
    dev, chi2, aic, bic = statistics(counts, mu, n_theta, ll)
    shapes = {pk.shape for pk in setup.peaks}
    return FitResult(
        peaks=PeakList(peaks_out), background=bg_out, background_model=bg.describe(),
        log_likelihood=ll, deviance=dev, chi_square=chi2, aic=aic, bic=bic,
        n_iter=outcome.iterations, converged=outcome.converged, status=status_text,
        decrement=outcome.decrement, evaluations=outcome.evaluations, warnings=findings,
        param_names=names, covariance=covariance, x=setup.x.copy(), counts=counts.copy(),
        window=tuple(setup.window), n_data=int(n), n_free=int(n_theta), tol=setup.tol,
        shape=shapes.pop() if len(shapes) == 1 else "mixed", state=setup.state(theta, values),
        setup=setup, curves=curves, energy=energy)


_STATUS = ("converged", "not converged: out of iterations (raise max_iter)",
           "not converged: no step raises the likelihood any further",
           "not converged: the likelihood or a fitted value is not finite")


def _status_text(outcome):
    return _STATUS[outcome.status] if 0 <= outcome.status < len(_STATUS) else "not converged"


def warn_if_not_converged(result):
    """Issue a :class:`ConvergenceWarning` for a fit that did not converge."""
    if not result.converged:
        _warnings.warn(f"velmora.fit: {result.status}", ConvergenceWarning, stacklevel=3)
