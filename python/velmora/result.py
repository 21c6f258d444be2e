"""The result of a fit: estimates with standard errors, statistics, model curves, findings,
a report.

A :class:`FitResult` is read from the packed row of its fit (:mod:`velmora.packing`), whether
the fit was of one spectrum or of a batch's: every estimate, standard error, flag and the
fitted state come from the row; the curves, the covariance and the statistics that need them
from the engine's report at the fitted point, worked out when first asked for (the same
numbers the fit's own report had, bit for bit).
"""
from collections.abc import Mapping, Sequence
import contextlib
import functools
import math
import os
import warnings as _warnings

import numpy as np

import velmora_core

from .axis import KNOWN, Axis
from .grid import FitState
from .packing import COLLAPSED, DETECTED, DISPERSION_P, FAINT
from .params import Estimate, Parameter, Parameters, plain_number
from .shapes import SHAPES
from .uncertainty import in_user_units


class ConvergenceWarning(UserWarning):
    """A fit that ended before reaching the maximum of its likelihood."""


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


class FitResult:
    """What :func:`velmora.fit` (or :meth:`velmora.Model.fit`) returns, and
    :meth:`velmora.BatchResult.result` for one spectrum of a batch.

    Attributes
    ----------
    peaks : PeakList
        Per peak (by position or name) a :class:`PeakResult`.
    params : Parameters
        Every parameter of the fit by name (``"Au4f7.x0"``, ``"bg.offset"``): its estimate,
        standard error, bounds, whether it is fixed, tied, at a bound or determined (see
        :class:`velmora.params.Parameter`).  ``peaks[...][...]`` holds the same records.
    background : dict
        ``{name: Estimate}`` of the background: ``"counts"`` (its counts in the window) and
        the kind's own quantities (``"slope"`` of the linear background, per unit of x; the
        counts of each spline column ``"b0"``, ...; Shirley ``"offset"`` and ``"step"``).
        A quantity whose terms all ended on their bounds is ``at_bound`` (no standard error
        where it is held there).
    background_model : str
    log_likelihood : float
        Poisson log-likelihood of the counts under the fitted expected counts.
    deviance : float
        Poisson deviance, 2 sum(c log(c/mu) - (c - mu)).
    chi_square : float
        Pearson's sum (c - mu)^2 / mu (infinite when a channel with counts has mu = 0).
    dispersion : float
        Pearson's dispersion phi = sum (c - mu)^2 / mu / (n - n_free) over the n channels
        whose expected count mu is at least 1: about 1 for Poisson counts about a model that
        describes them.  (Channels the model expects next to nothing in, such as the tails
        of a peak without a background, are left out: their terms are nearly always about 0
        and rarely huge, and would drag phi below 1.)  NaN without degrees of freedom.
    dispersion_dof : int
        Its degrees of freedom, n - n_free (0 where there are none).
    dispersion_p : float
        The two-sided p-value of phi under Poisson noise: twice the smaller tail, below or
        above, of the sum's distribution (chi-square with dispersion_dof degrees of freedom,
        its variance widened by the sum of 1/mu, as Poisson counts of few counts widen it).
    errors : str
        The standard errors given: ``"poisson"`` (the inverse of the observed information)
        or ``"scaled"`` (those times sqrt(dispersion)), as ``errors=`` chose (see
        :func:`velmora.fit`).
    aic, bic : float
        Akaike and Bayesian information criteria.
    n_iter : int
        Iterations (steps) of the engine.
    converged : bool
        The fit ended at a maximum of the likelihood (see ``decrement``), and no detected
        peak's height, FWHM or whole-line area is out of range there (not finite, a FWHM wider
        than the window, an infinite whole-line area: a finding names the peak).
    status : str
        How the fit ended, in words.
    decrement : float
        The stopping criterion at the end: half the Newton decrement, the gain in
        log-likelihood that a full Newton step predicts (converged when at most
        ``tol * |log_likelihood|``).
    evaluations : int
        The fit's passes over the data (evaluations of the likelihood, or of it with its
        derivatives).
    warnings : list of str
        Plain-language findings: peaks that are no detection, parameters on their bounds or
        not determined, a fit that did not converge, counts that do not scatter as Poisson
        counts about the model.
    param_names : list of str
        The free parameters (``"p0_x0"``, ``"Au4f7_area"``, ``"bg_rising"``, ...), in the
        order of ``covariance``.
    covariance : ndarray
        Their covariance matrix, in the units of x (NaN rows for parameters not determined,
        zero rows for parameters on a bound), times the dispersion where the errors are
        scaled.
    x, counts : ndarray
        The data inside the window, sorted by x.
    window : (float, float)
    n_data, n_free : int
    shape : str
        The peaks' shape, or ``"mixed"``.
    state : FitState
        The fitted point, for ``velmora.fit(..., start=result)``.
    model : Model
        The model fitted.
    setup : velmora.grid.Grid
        The model on the fit's grid (window, frame, prepared background, the parameters'
        bounds); ``setup.engine_model(state.values)`` is the engine's model of the fit.
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
        :func:`velmora.read`; the command line names the file given).  :meth:`to_dict`,
        :meth:`to_csv`, :meth:`to_xarray` and :meth:`to_toml` name it.
    """

    def __init__(self, grid, row, counts, axis=None, source=None):
        """The result held in ``row`` (a packed row of ``grid``'s layout, of a spectrum that
        was fitted) of the window ``counts``."""
        layout, model, frame = grid.layout, grid.model, grid.frame
        self.setup, self.model = grid, model
        self.axis = Axis() if axis is None else axis
        self.source = dict(source or {})
        self.energy = grid.energy
        self.x, self.counts = grid.x.copy(), np.array(counts, dtype=np.float64)
        self.window, self.n_data, self.n_free = tuple(grid.window), int(grid.n), grid.n_theta
        self.tol = model.tol
        self._row = row = np.array(row, dtype=np.float64)
        theta = row[layout.theta:layout.values]
        values = row[layout.values:layout.stderr]
        raw_stderr = row[layout.stderr:layout.fields]
        at_bound = row[layout.at_bound:layout.undetermined] == 1.0
        undetermined = row[layout.undetermined:layout.theta] == 1.0
        self.state = FitState(theta=theta.copy(), values=values.copy(),
                              signature=grid.signature)
        slot = {int(e): a for a, e in enumerate(grid.free)}
        pairs = {name: (row[2 * i], row[2 * i + 1]) for i, name in enumerate(layout.names)}

        records = []
        for e, label in enumerate(grid.labels):
            role, kind = grid.roles[e], grid.kinds[e]
            peak, _, param = label.partition(".")
            lo, hi = grid.resolved_bounds[e]
            a = slot.get(e)
            if peak == "bg":
                value = float(values[e])
                stderr = abs(grid.scale[e]) * raw_stderr[e]
                if undetermined[a] or (at_bound[a] and not raw_stderr[e] > 0):
                    stderr = math.nan
                records.append(Parameter(label, value, stderr, at_bound=bool(at_bound[a]),
                                         peak=None, param=param, kind=kind, min=lo, max=hi,
                                         determined=not undetermined[a]))
                continue
            value, stderr = pairs[label]
            tie = model.params[label].tie
            records.append(Parameter(
                label, value, None if role == "fixed" else stderr, fixed=role == "fixed",
                at_bound=bool(a is not None and at_bound[a]), tie=tie, peak=peak, param=param,
                kind=kind, min=lo, max=hi,
                determined=not (a is not None and undetermined[a]) and not (
                    tie is not None and math.isnan(raw_stderr[e]))))
        self.params = Parameters(records)

        findings = []
        peaks_out = []
        width_scale, grid_step = frame.scale("width"), grid.grid_step
        for j, pk in enumerate(model.peaks):
            spec = pk.spec
            estimates = {n: self.params[f"{pk.name}.{n}"] for n in spec.names + ("area",)}
            fixed_shape = all(estimates[n].fixed for n in spec.names)
            read = ("height",) + (() if "fwhm" in spec.names else ("fwhm",))
            for name in read + spec.extras:
                value, stderr = pairs[f"{pk.name}.{name}"]
                fixed = fixed_shape and name != "height" and not (
                    name == "area_total" and not estimates["area"].fixed)
                estimates[name] = Estimate(name, value, None if fixed else stderr, fixed=fixed)
            code = row[layout.detection + j]
            area = estimates["area"]
            if code == COLLAPSED:
                fwhm = estimates["fwhm"].value
                findings.append(
                    f"{pk.name}: collapsed to a width of {fwhm:.3g} "
                    f"({fwhm / width_scale / grid_step:.2f} grid steps), narrower than a grid "
                    f"step: it fits noise, not a line; not a detection, and its standard "
                    f"errors are not given")
            elif code == FAINT:
                z = area.value / area.stderr if area.stderr and math.isfinite(area.stderr) \
                    else 0.0
                findings.append(
                    f"{pk.name}: its area {area.value:.4g} is compatible with zero "
                    f"({z:.1f} standard errors): not a significant detection; the standard "
                    f"errors of its shape are not given")
            if code == DETECTED:
                findings += _derived_findings(pk.name, estimates, self.window)
            peaks_out.append(PeakResult(pk.name, pk.shape, estimates, bool(code == DETECTED)))
        self.peaks = PeakList(peaks_out)

        for a, e in enumerate(grid.free):
            label = grid.labels[e]
            peak, _, param = label.partition(".")
            if peak != "bg" and not self.peaks[peak].detected:
                continue
            shown = f"background.{param}" if peak == "bg" else label
            if at_bound[a] and param != "area":
                which = grid.lower[a] if values[e] <= grid.lower[a] else grid.upper[a]
                held = not raw_stderr[e] > 0
                bound = grid.user(grid.kinds[e], which)
                findings.append(f"{shown} ended on its bound {bound:.6g}"
                                + ("; it is held there for the standard errors" if held else
                                   "; the data still determine it, and its uncertainty counts "
                                   "in the others'"))
            elif undetermined[a]:
                findings.append(f"{shown}: the data do not determine it (its standard error, "
                                f"and those of what depends on it, are not given)")
        findings += _edge_findings(grid, model, self.params)
        engine_status = int(row[layout.engine_status])
        self.status = _STATUS[engine_status] if 0 <= engine_status < len(_STATUS) \
            else "not converged"
        self.converged = bool(row[layout.converged] == 1.0)
        if engine_status == 0 and not self.converged:
            self.status = _DERIVED_STATUS
        if not self.converged:
            findings.insert(0, f"the fit did not converge: {self.status}")
        self.dispersion = float(row[layout.dispersion])
        self.dispersion_p = float(row[layout.dispersion_p])
        dof = row[layout.dispersion_dof]
        self.dispersion_dof = int(dof) if math.isfinite(dof) else 0
        self.errors = "scaled" if row[layout.errors_scaled] == 1.0 else "poisson"
        finding = dispersion_finding(self.dispersion, self.dispersion_p, self.errors)
        if finding:
            findings.append(finding)
        self.warnings = findings

        background = {}
        bound_quantities = _background_at_bound(grid, at_bound)
        for name in layout.names:
            if name.startswith("background."):
                value, stderr = pairs[name]
                short = name[len("background."):]
                on_bound = bound_quantities.get(short, False)
                if on_bound and not stderr > 0:
                    stderr = math.nan  # held on its bound: no error, as for a parameter
                background[short] = Estimate(short, value, stderr, at_bound=on_bound)
        if "counts" in background:
            background = {"counts": background.pop("counts"), **background}
        self.background = background
        self.background_model = grid.background.describe()
        self.log_likelihood = float(row[layout.ll])
        self.n_iter = int(row[layout.n_iter])
        self.decrement = float(row[layout.decrement])
        self.evaluations = int(row[layout.evaluations])
        self.param_names = [f"{grid.labels[e].replace('.', '_')}" for e in grid.free]
        self.aic = -2.0 * self.log_likelihood + 2.0 * self.n_free
        self.bic = -2.0 * self.log_likelihood + self.n_free * math.log(self.n_data)
        shapes = {pk.shape for pk in model.peaks}
        self.shape = shapes.pop() if len(shapes) == 1 else "mixed"

    # ---- what the engine's report at the fitted point gives, worked out when asked for
    @functools.cached_property
    def _report(self):
        return velmora_core._engine_report(self.setup.engine_model(self.state.values),
                                           self.counts, self.state.theta, True, True)

    @functools.cached_property
    def curves(self):
        """The expected counts of every peak, by name, and of the background (``"background"``,
        where there is one) on the data grid."""
        report, grid = self._report, self.setup
        n = self.n_data
        peak_curves = report["peak_curves"].reshape(len(self.peaks), n)
        curves = {pk.name: peak_curves[j] for j, pk in enumerate(self.peaks)}
        if grid.terms.count:
            curves["background"] = report["background_curves"].reshape(
                grid.terms.count, n).sum(axis=0)
        return curves

    @functools.cached_property
    def covariance(self):
        """The covariance matrix of the free parameters (see the class's attributes)."""
        grid = self.setup
        cov = in_user_units(self._report["covariance"].reshape(self.n_free, self.n_free),
                            [grid.scale[e] if grid.kinds[e] != "count" else 1.0
                             for e in grid.free])
        return cov * self.dispersion if self.errors == "scaled" else cov

    @functools.cached_property
    def _statistics(self):
        return statistics(self.counts, sum(self.curves.values()))

    @property
    def deviance(self):
        """Poisson deviance, 2 sum(c log(c/mu) - (c - mu))."""
        return self._statistics[0]

    @property
    def chi_square(self):
        """Pearson's sum (c - mu)^2 / mu (infinite when a channel with counts has mu = 0)."""
        return self._statistics[1]

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
        dens = velmora_core._engine_densities(setup.engine_model(self.state.values),
                                              self.state.theta, np.ascontiguousarray(u))
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
            "window": [plain_number(v) for v in self.window],
            "peaks": {p.name: {"shape": p.shape, "detected": p.detected,
                               **{n: e.to_dict() for n, e in p.items()}} for p in self.peaks},
            "background": {n: e.to_dict() for n, e in self.background.items()},
            "statistics": {k: plain_number(getattr(self, k)) for k in (
                "log_likelihood", "deviance", "chi_square", "dispersion", "dispersion_p",
                "dispersion_dof", "aic", "bic", "n_data", "n_free", "n_iter", "converged",
                "decrement", "evaluations")},
            "errors": self.errors,
            "status": self.status,
            "warnings": list(self.warnings),
            "param_names": list(self.param_names),
            "covariance": [[plain_number(v) for v in row] for row in self.covariance],
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
                    unit = {"area": "counts", "area_total": "counts",
                            "height": "counts per channel", "fwhm": units}.get(name)
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



# ------------------------------------------------------------------------------- building

def dispersion_finding(phi, p_value, applied):
    """The finding on a fit's dispersion ``phi`` (with its p-value) and the errors
    ``applied``, or None where there is nothing to say: Poisson counts about a model that
    describes them, with Poisson errors."""
    scaled = applied == "scaled"
    if not scaled and not (p_value < DISPERSION_P):
        return None
    what = f"dispersion phi = {phi:.3g} (reduced chi-square, p = {p_value:.2g})"
    if phi > 1:
        meaning = ("the counts scatter more than Poisson counts about the model: a component "
                   "missing from the model, or data that are not raw counts")
    else:
        meaning = ("the counts scatter less than Poisson counts about the model: data "
                   "averaged or scaled, not raw counts")
    if not p_value < DISPERSION_P:
        meaning = "consistent with Poisson counts"
    if scaled:
        then = f"standard errors scaled by sqrt(phi) = {math.sqrt(phi):.3g}"
    else:
        then = "standard errors kept as for Poisson counts (errors='poisson')"
    return f"{what}: {meaning}; {then}"


def statistics(counts, mu):
    """Deviance and chi-square of a fit."""
    with np.errstate(divide="ignore", invalid="ignore"):
        dev = 2.0 * float(np.sum(np.where(counts > 0, counts * np.log(counts / mu), 0.0)
                                 - (counts - mu)))
        terms = np.where(mu > 0, (counts - mu) ** 2 / mu, np.where(counts > 0, np.inf, 0.0))
    return dev, float(np.sum(terms))


_DERIVED_STATUS = ("not converged: a peak's height, FWHM or whole-line area is not finite or "
                   "lies beyond the window")


def _derived_findings(name, estimates, window):
    """Findings on a detected peak's derived quantities that the fit cannot stand behind (the
    rule of :func:`velmora.packing.derived_out_of_range`)."""
    width = window[1] - window[0]
    out = []
    for q in ("height", "fwhm"):
        if not math.isfinite(estimates[q].value):
            out.append(f"{name}: its {q} is not finite ({estimates[q].value}): the line has no "
                       f"{q} the data can stand behind; the fit does not count as converged")
    fwhm = estimates["fwhm"].value
    if math.isfinite(fwhm) and abs(fwhm) > width:
        out.append(f"{name}: its fwhm {fwhm:.6g} is wider than the window ({width:.6g}): the "
                   f"data in the window do not hold the line's width; the fit does not count "
                   f"as converged")
    if "area_total" in estimates and math.isinf(estimates["area_total"].value):
        out.append(f"{name}: its whole-line area is infinite; the fit does not count as "
                   f"converged")
    return out


# Share of the window's width within which a tied centre counts as held on the window's edge.
EDGE_SHARE = 1e-6


def _edge_findings(grid, model, params):
    """Findings on tied centres that ended on an edge of the window: the fit refuses every
    step that would put a tied centre outside it (a line centred outside pours its whole area
    into the window's edge), so a tie that pulls it outward holds it there."""
    lo, hi = grid.window
    near = EDGE_SHARE * (hi - lo)
    out = []
    for e in grid.tied:
        if grid.kinds[e] != "location":
            continue
        p = params[grid.labels[e]]
        edge = lo if abs(p.value - lo) <= near else hi if abs(p.value - hi) <= near else None
        if edge is not None:
            out.append(f"{p.name}: its tie {model.params[p.name].tie!r} holds the centre on the "
                       f"window's edge {edge:.6g}; a centre may not leave the window, so the fit "
                       f"cannot follow the tie further (widen the window, or loosen the tie)")
    return out


def _background_at_bound(grid, at_bound):
    """Per reported background quantity (by name), whether it ended on a bound: every term
    it is made of (the columns' counts, the shares of the terms that follow the peaks, such as
    a Shirley step) is on its bound."""
    terms = grid.terms
    if not terms.count:
        return {}
    names, _, jac = grid.background.quantities(
        np.zeros(terms.reported), grid.x, grid.widths, grid.frame.step, grid.window)
    first = grid.n_params - terms.count
    n_follows = terms.reported - terms.count
    n_columns = terms.count - n_follows
    slot = {int(e): a for a, e in enumerate(grid.free)}
    # Each reported entry (every term's counts, then the shares) is made of one parameter.
    entry_bound = []
    for c in range(terms.reported):
        e = first + (c if c < terms.count else n_columns + c - terms.count)
        entry_bound.append(bool(at_bound[slot[e]]) if e in slot else False)
    out = {}
    for name, row in zip(names, np.asarray(jac)):
        used = np.flatnonzero(row)
        out[name] = bool(used.size) and all(entry_bound[c] for c in used)
    return out


_STATUS = ("converged", "not converged: out of iterations (raise max_iter)",
           "not converged: no step raises the likelihood any further",
           "not converged: the likelihood or a fitted value is not finite")


def warn_if_not_converged(result):
    """Issue a :class:`ConvergenceWarning` for a fit that did not converge."""
    if not result.converged:
        _warnings.warn(f"velmora.fit: {result.status}", ConvergenceWarning, stacklevel=3)
