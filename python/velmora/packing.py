"""The packed row of a fit: every result of one spectrum's fit as one row of numbers.

A fit of one spectrum and the fits of a batch are packed alike, by :meth:`Layout.pack`, from
what the engine reports of them: every estimate in the caller's units with its standard error
(none where the parameter is fixed, the data do not determine it, it is held on its bound, or
its peak is no detection), the background's reported quantities, the fit's record (its
log-likelihood, iterations, status, decrement), why each peak is or is not a detection, which
free parameters ended on a bound or are not determined, and the fitted state (theta and every
parameter, internal units), which starts the next spectrum along a path of warm starts.  A
:class:`velmora.FitResult` is read from a row; a :class:`velmora.BatchResult` holds the rows of
every spectrum, in memory or in a Zarr store.
"""
import math

import numpy as np

from .shapes import SHAPES
from .uncertainty import linear_estimates

#: Status codes of a batch's spectra, by value.
STATUS_NAMES = ("ok", "not converged", "invalid data", "no counts", "fit failed", "not fitted")
OK, NOT_CONVERGED, INVALID_DATA, NO_COUNTS, FIT_FAILED, NOT_FITTED = range(len(STATUS_NAMES))

# The engine's statuses (0 converged, 1 out of iterations, 2 stalled, 3 not finite, 4 failed,
# 5 skipped, 6 no start) as the batch's.
_ENGINE_STATUS = (OK, NOT_CONVERGED, NOT_CONVERGED, FIT_FAILED, FIT_FAILED, NOT_FITTED,
                  NOT_FITTED)

# A peak narrower than this many grid steps (full width at half maximum) has collapsed onto a
# few channels: it fits noise, not a line.
COLLAPSED_STEPS = 1.0
# An area below this many standard errors is compatible with zero (the usual detection limit
# of three standard errors).
SIGNIFICANT_AREA = 3.0

#: How standard errors are chosen (``errors=`` of :class:`velmora.Model`).
ERRORS = ("auto", "poisson", "scaled")
# The two-sided p-value of the dispersion below which "auto" takes the counts' scatter as not
# Poisson: a 1 % test, rarely met by Poisson counts (one fit in a hundred, where the scale is
# then close to 1 anyway) and met at once by the misfits and non-count data it is there for.
DISPERSION_P = 0.01


def errors_scaled(errors, dispersion, p_value):
    """Whether each spectrum's standard errors are scaled by the square root of its
    dispersion (arrays over spectra): always for ``"scaled"``, never for ``"poisson"``, for
    ``"auto"`` where the dispersion's p-value is below DISPERSION_P.  Never where the
    dispersion is not a finite positive number (too few channels expecting a count for any
    degree of freedom)."""
    dispersion = np.asarray(dispersion, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        usable = np.isfinite(dispersion) & (dispersion > 0)
        if errors == "poisson":
            return np.zeros(dispersion.shape, dtype=bool)
        if errors == "scaled":
            return usable
        return usable & (np.asarray(p_value, dtype=np.float64) < DISPERSION_P)


#: Why a peak is or is not a detection, as a row holds it.
DETECTED, COLLAPSED, FAINT = 0, 1, 2


def detection(fwhm, grid_step, area, area_stderr, area_at_bound, area_free):
    """Why peaks are not detections, element by element (arrays over spectra):
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


def derived_out_of_range(height, fwhm, area_total, window_width):
    """Where a peak's derived quantities cannot be what the fit says (arrays over spectra):
    a height or FWHM that is not finite, a FWHM wider than the window (the data in the window
    do not hold the line's width), or an infinite whole-line area.  A NaN whole-line area is
    not one of them: it is how a line without a finite whole area (a Doniach-Sunjic tail) is
    reported."""
    height, fwhm = np.asarray(height, dtype=np.float64), np.asarray(fwhm, dtype=np.float64)
    with np.errstate(invalid="ignore"):
        bad = ~np.isfinite(height) | ~np.isfinite(fwhm) | (np.abs(fwhm) > window_width)
    if area_total is not None:
        bad |= np.isinf(np.asarray(area_total, dtype=np.float64))
    return bad


class Layout:
    """Where each field sits in a spectrum's packed row: the value and standard error of every
    estimate name, then the record (log-likelihood, iterations, converged, status, the
    engine's status, decrement, passes over the data, the dispersion, its p-value and degrees
    of freedom, whether the standard errors were scaled by it), every peak's detection, every
    free parameter's at-bound and not-determined flags, the fitted state (theta and every parameter, internal units) and
    every parameter's standard error (internal units, as the engine gives it).

    Built from a :class:`velmora.grid.Grid` (which also gives the index arrays of
    :meth:`pack`), or from a store's attributes (:meth:`stored`)."""

    RECORD = ("log_likelihood", "n_iter", "converged", "status", "engine_status", "decrement",
              "evaluations", "dispersion", "dispersion_p", "dispersion_dof", "errors_scaled")

    def __init__(self, grid):
        names = []
        # What each estimate measures: "x" (a place or width on the grid), "counts",
        # "counts per channel", or None (shape factors, a TSDC activation energy, a slope).
        kinds = {"location": "x", "width": "x", "count": "counts", "plain": None}
        self.kinds = {}
        peaks = grid.model.peaks
        for pk in peaks:
            spec = pk.spec
            for p in spec.params:
                self.kinds[f"{pk.name}.{p.name}"] = kinds[p.kind]
            self.kinds.update({f"{pk.name}.area": "counts",
                               f"{pk.name}.height": "counts per channel",
                               f"{pk.name}.fwhm": "x"})
            self.kinds.update({f"{pk.name}.{n}": kinds[spec.extra_kind(n)] for n in spec.extras})
            # A peak fitted by its FWHM has it among its parameters.
            read = ("height",) + (() if "fwhm" in spec.names else ("fwhm",))
            names += [f"{pk.name}.{n}" for n in spec.names + ("area",) + read + spec.extras]
        jac = None
        bg_names = []
        if grid.terms.count:
            bg_names, _, jac = grid.background.quantities(
                np.zeros(grid.terms.reported), grid.x, grid.widths, grid.frame.step, grid.window)
        names += [f"background.{n}" for n in bg_names]
        # What the background says of its quantities: counts (a Shirley step's and a Tougaard
        # loss tail's included), a line's slope none, Tougaard's B eV^2.
        self.kinds.update({f"background.{n}": grid.background.unit_of(n) for n in bg_names})
        self._place(names, len(peaks), grid.n_theta, grid.n_params)
        self._plan = self._make_plan(grid, jac)

    def _place(self, names, k_count, n_theta, n_params):
        self.names = list(names)
        at = 2 * len(names)
        for name in self.RECORD:
            setattr(self, name if name != "log_likelihood" else "ll", at)
            at += 1
        self.k_count, self.n_theta, self.n_params = k_count, n_theta, n_params
        self.detection = at
        self.at_bound = self.detection + k_count
        self.undetermined = self.at_bound + n_theta
        self.theta = self.undetermined + n_theta
        self.values = self.theta + n_theta
        self.stderr = self.values + n_params
        self.fields = self.stderr + n_params

    def attrs(self):
        """Where the fields sit, as the attributes of a store (JSON)."""
        return {"names": list(self.names), "kinds": dict(self.kinds), "k_count": self.k_count,
                "n_theta": self.n_theta, "n_params": self.n_params, "n_fields": self.fields,
                "record": list(self.RECORD), "status_names": list(STATUS_NAMES),
                "fields": "value and standard error of every name, in turn, then the record, "
                          "the peaks' detections, the free parameters' at-bound and "
                          "not-determined flags, theta, every parameter and its standard error"}

    @classmethod
    def stored(cls, attrs):
        """The layout a store's attributes (:meth:`attrs`) describe (a batch read from its
        store packs no fit)."""
        layout = cls.__new__(cls)
        try:
            layout.kinds = dict(attrs["kinds"])
            layout._place(attrs["names"], int(attrs["k_count"]), int(attrs["n_theta"]),
                          int(attrs["n_params"]))
            placed = layout.fields == int(attrs["n_fields"]) and \
                list(attrs["record"]) == list(cls.RECORD)
        except (KeyError, TypeError, ValueError):
            placed = False
        if not placed:
            raise ValueError("store: its rows are not laid out as this version of velmora "
                             "lays them out (written by an earlier one?); fit the batch again")
        layout._plan = None
        return layout

    def empty(self, spectrum_shape):
        """Rows of spectra not fitted."""
        out = np.full(tuple(spectrum_shape) + (self.fields,), np.nan)
        out[..., self.n_iter] = 0.0
        out[..., self.evaluations] = 0.0
        out[..., self.converged] = 0.0
        out[..., self.status] = NOT_FITTED
        return out

    def failed(self, status):
        """The row of a spectrum that could not be fitted, for ``status``."""
        row = self.empty(())
        row[self.status] = status
        return row

    def start_failed(self, row):
        """Whether ``row`` is that of a spectrum with counts whose start could not be fitted
        from (failed before the engine's fit)."""
        return row[self.status] == FIT_FAILED and math.isnan(row[self.engine_status])

    def start(self, row):
        """The fitted state of ``row`` as ``(theta, values)``, or None when the row has none
        (a spectrum not fitted, or one whose fit failed)."""
        if row[self.status] == NOT_FITTED:
            return None
        theta, values = row[self.theta:self.values], row[self.values:self.stderr]
        if not (np.isfinite(theta).all() and np.isfinite(values).all()):
            return None
        return theta.copy(), values.copy()

    # --------------------------------------------------------------------- packing
    @staticmethod
    def _make_plan(grid, jac):
        """Where every estimate of the grid's fits comes from, as index arrays."""
        roles, kinds = grid.roles, grid.kinds
        cols, index, fixed, free_cols, slots = [], [], [], [], []
        area_slot = {}
        quantities = []  # per peak: (height column, fixed shape)
        fwhm_columns = []  # per peak: the column of its FWHM (derived or a parameter)
        extras = []      # (column, peak, extra, fixed shape)
        rules = []       # per peak: (area column, area free, columns varied, columns varied
        #                  when faint)
        column = slot = e = 0
        for j, pk in enumerate(grid.model.peaks):
            spec = pk.spec
            first = column
            varied = []
            for name in spec.names + ("area",):
                cols.append(column)
                index.append(e)
                fixed.append(roles[e] == "fixed")
                if roles[e] == "free":
                    free_cols.append(len(cols) - 1)
                    slots.append(slot)
                    if name == "area":
                        area_slot[j] = slot
                    slot += 1
                if roles[e] != "fixed":
                    varied.append(column)
                column += 1
                e += 1
            fixed_shape = all(r == "fixed" for r in roles[e - len(spec.names) - 1:e - 1])
            read_fwhm = "fwhm" not in spec.names  # else the parameter is the FWHM
            quantities.append((column, column + 1 if read_fwhm else None, fixed_shape))
            fwhm_columns.append(column + 1 if read_fwhm else first + spec.names.index("fwhm"))
            varied.append(column)                      # the height
            if not fixed_shape and read_fwhm:
                varied.append(column + 1)              # the FWHM
            column += 2 if read_fwhm else 1
            for x, name in enumerate(spec.extras):
                kind = spec.extra_kind(name)
                # The whole-line area follows the area too.
                fixed_extra = fixed_shape and not (kind == "count" and roles[e - 1] != "fixed")
                scale = grid.frame.scale(kind) if kind in ("width", "location") else 1.0
                extras.append((column, j, x, fixed_extra, scale))
                if not fixed_extra:
                    varied.append(column)
                column += 1
            area_col = first + len(spec.names)
            area_free = roles[e - 1] == "free"
            rules.append((area_col, area_free, np.array(varied, dtype=np.intp),
                          np.array([c for c in varied if c != area_col], dtype=np.intp)))
        index = np.array(index, dtype=np.intp)
        frame = grid.frame
        return dict(cols=np.array(cols, dtype=np.intp), index=index,
                    scale=np.array([frame.scale(kinds[e]) if kinds[e] != "count" else 1.0
                                    for e in index]),
                    offset=np.array([frame.offset(kinds[e]) if kinds[e] != "count" else 0.0
                                     for e in index]),
                    fixed=np.array(fixed, dtype=bool),
                    free_cols=np.array(free_cols, dtype=np.intp),
                    slots=np.array(slots, dtype=np.intp), area_slot=area_slot,
                    quantities=quantities, extras=extras, rules=rules, column=column,
                    width_scale=frame.scale("width"),
                    window_width=float(grid.window[1] - grid.window[0]),
                    fwhm_columns=fwhm_columns,
                    area_total_columns=[
                        next((c for c, jj, x, _, _ in extras
                              if jj == j and pk.spec.extras[x] == "area_total"), None)
                        for j, pk in enumerate(grid.model.peaks)],
                    grid_step=grid.grid_step, jac=jac,
                    n_reported=grid.terms.reported)

    def pack(self, grid, fitted):
        """The rows of every spectrum of the engine's many-spectra output ``fitted`` on
        ``grid`` (NaN rows and statuses for those without a fit)."""
        plan = self._plan
        outcome = fitted["outcome"]
        m = outcome.shape[0]
        rows = np.full((m, self.fields), np.nan)
        at_bound, undetermined = fitted["at_bound"] != 0, fitted["undetermined"] != 0
        k_count = self.k_count

        # Every standard error, and the background's covariance, scaled by the square root of
        # the dispersion where the errors are scaled, before anything reads them (the
        # detections included).
        dispersion = fitted["dispersion"]
        scaled = errors_scaled(grid.model.errors, dispersion[:, 0], dispersion[:, 1])
        if scaled.any():
            factor = np.where(scaled, np.sqrt(np.where(scaled, dispersion[:, 0], 1.0)), 1.0)
            fitted = dict(fitted)
            for key in ("stderr", "height_stderr", "fwhm_stderr", "extras_stderr"):
                fitted[key] = fitted[key] * factor[:, None]
            fitted["background_covariance"] = \
                fitted["background_covariance"] * (factor * factor)[:, None]
        values, stderr = fitted["params"], fitted["stderr"]

        # Parameters and areas: in the caller's units; no standard error for a fixed one, nor
        # for a free one the data do not determine or that is held on its bound.
        value = values[:, plan["index"]] * plan["scale"] + plan["offset"]
        se = np.abs(plan["scale"]) * stderr[:, plan["index"]]
        se[:, plan["fixed"]] = math.nan
        free = plan["free_cols"]
        with np.errstate(invalid="ignore"):
            held = undetermined[:, plan["slots"]] | (
                at_bound[:, plan["slots"]] & ~(stderr[:, plan["index"][free]] > 0))
        se_free = se[:, free]
        se_free[held] = math.nan
        se[:, free] = se_free
        rows[:, 2 * plan["cols"]] = value
        rows[:, 2 * plan["cols"] + 1] = se

        # Heights, FWHMs and the shapes' own quantities.
        for j, (column, fwhm_column, fixed_shape) in enumerate(plan["quantities"]):
            rows[:, 2 * column] = fitted["height"][:, j]
            rows[:, 2 * column + 1] = fitted["height_stderr"][:, j]
            if fwhm_column is not None:
                rows[:, 2 * fwhm_column] = plan["width_scale"] * fitted["fwhm"][:, j]
                rows[:, 2 * fwhm_column + 1] = math.nan if fixed_shape else \
                    plan["width_scale"] * fitted["fwhm_stderr"][:, j]
        if plan["extras"]:
            extras = fitted["extras"].reshape(m, k_count, -1)
            extras_se = fitted["extras_stderr"].reshape(m, k_count, -1)
            for column, j, x, fixed_extra, scale in plan["extras"]:
                rows[:, 2 * column] = scale * extras[:, j, x]
                rows[:, 2 * column + 1] = math.nan if fixed_extra else \
                    abs(scale) * extras_se[:, j, x]

        # A peak that is not a detection gets no confident standard errors: a collapsed peak
        # none, one whose area is compatible with zero none for its shape.
        for j, (area_col, area_free, varied, varied_faint) in enumerate(plan["rules"]):
            area_held = at_bound[:, plan["area_slot"][j]] if area_free else False
            collapsed, faint = detection(fitted["fwhm"][:, j], plan["grid_step"],
                                         rows[:, 2 * area_col], rows[:, 2 * area_col + 1],
                                         area_held, area_free)
            if collapsed.any():
                rows[np.ix_(collapsed, 2 * varied + 1)] = math.nan
            if faint.any() and varied_faint.size:
                rows[np.ix_(faint, 2 * varied_faint + 1)] = math.nan
            rows[:, self.detection + j] = np.where(collapsed, COLLAPSED,
                                                   np.where(faint, FAINT, DETECTED))

        column = plan["column"]
        if plan["jac"] is not None:
            n_reported = plan["n_reported"]
            cov = fitted["background_covariance"].reshape(m, n_reported, n_reported)
            bvalues, bstderr = linear_estimates(fitted["background_counts"], cov, plan["jac"])
            width = bvalues.shape[1]
            rows[:, 2 * column:2 * (column + width):2] = bvalues
            rows[:, 2 * column + 1:2 * (column + width):2] = bstderr
        # A converged fit whose detected peaks have a derived quantity out of range (a FWHM
        # wider than the window, a height that is not finite) has not found a line the data
        # hold: it does not count as converged.
        derived_bad = np.zeros(m, dtype=bool)
        for j in range(k_count):
            area_total_col = plan["area_total_columns"][j]
            derived_bad |= (rows[:, self.detection + j] == DETECTED) & derived_out_of_range(
                rows[:, 2 * plan["quantities"][j][0]], rows[:, 2 * plan["fwhm_columns"][j]],
                None if area_total_col is None else rows[:, 2 * area_total_col],
                plan["window_width"])
        codes = outcome[:, 2].astype(np.int64)
        status = np.asarray(_ENGINE_STATUS)[codes]
        status = np.where((status == OK) & derived_bad, NOT_CONVERGED, status)
        rows[:, self.ll] = outcome[:, 0]
        rows[:, self.n_iter] = outcome[:, 1]
        rows[:, self.converged] = ((codes == 0) & ~derived_bad).astype(np.float64)
        rows[:, self.status] = status
        rows[:, self.engine_status] = codes
        rows[:, self.decrement] = outcome[:, 3]
        rows[:, self.evaluations] = outcome[:, 4]
        rows[:, self.dispersion] = dispersion[:, 0]
        rows[:, self.dispersion_p] = dispersion[:, 1]
        rows[:, self.dispersion_dof] = dispersion[:, 2]
        rows[:, self.errors_scaled] = scaled
        rows[:, self.at_bound:self.undetermined] = at_bound
        rows[:, self.undetermined:self.theta] = undetermined
        rows[:, self.theta:self.values] = fitted["theta"]
        rows[:, self.values:self.stderr] = values
        rows[:, self.stderr:] = stderr
        # A spectrum whose fit failed without a state keeps nothing but its status.
        lost = ((status == FIT_FAILED) | (status == NOT_FITTED)) & \
            ~np.isfinite(fitted["theta"]).all(axis=1)
        for i in np.flatnonzero(lost):
            rows[i] = self.failed(status[i])
        return rows
