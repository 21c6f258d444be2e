"""The result of a fit: estimates with standard errors, statistics, model curves, a report."""
import functools
import math
from collections.abc import Mapping

import numpy as np
from scipy.special import gammaln

from .shapes import component_density, tau0_from_tp
from .uncertainty import invert, score_and_information, weight_map


class Estimate:
    """A fitted quantity: ``value``, ``stderr`` (None when held fixed, NaN when it cannot be
    determined), ``fixed``, and ``at_bound`` (the fit ended on one of its bounds)."""

    __slots__ = ("name", "value", "stderr", "fixed", "at_bound")

    def __init__(self, name, value, stderr, fixed=False, at_bound=False):
        self.name = name
        self.value = float(value)
        self.stderr = None if stderr is None else float(stderr)
        self.fixed = bool(fixed)
        self.at_bound = bool(at_bound)

    @property
    def relative(self):
        """Standard error relative to the value (NaN when undefined)."""
        if self.stderr is None or self.value == 0:
            return math.nan
        return abs(self.stderr / self.value)

    def __float__(self):
        return self.value

    def __repr__(self):
        if self.fixed:
            return f"<Estimate {self.name} = {self.value:.8g} (fixed)>"
        return f"<Estimate {self.name} = {self.value:.8g} +/- {self.stderr:.3g}>"

    def to_dict(self):
        stderr = self.stderr
        if stderr is not None and not math.isfinite(stderr):
            stderr = None
        return {"value": self.value, "stderr": stderr, "fixed": self.fixed,
                "at_bound": self.at_bound}


class PeakResult(Mapping):
    """The estimates of one peak by parameter name (``"area"`` included).

    ``later`` names estimates worked out on first use, all together by one function: the
    derived height and width read off the density on a fine grid, which cost more than the
    fit's own passes over the data and which a caller of many fits may not want."""

    def __init__(self, shape, estimates, later_names=(), later=None):
        self.shape = shape
        self._estimates = dict(estimates)
        self._later_names = tuple(later_names)
        self._later = later

    def _complete(self):
        if self._later is not None:
            later, self._later = self._later, None
            self._estimates.update(later())

    def __getitem__(self, name):
        if name in self._later_names:
            self._complete()
        return self._estimates[name]

    def __iter__(self):
        return iter(list(self._estimates) + [n for n in self._later_names
                                             if n not in self._estimates])

    def __len__(self):
        return len(self._estimates) + sum(n not in self._estimates for n in self._later_names)

    def __repr__(self):
        self._complete()
        inner = ", ".join(f"{n}={e.value:.6g}" for n, e in self._estimates.items())
        return f"<PeakResult {self.shape}: {inner}>"


class FitResult:
    """What :func:`velmora.fit` returns.

    Attributes
    ----------
    peaks : list of PeakResult
        Per peak, ``{name: Estimate}`` for every shape parameter and ``"area"`` (counts), and
        the derived ``"height"`` (counts per channel at the maximum) and ``"fwhm"`` (full
        width at half maximum, read off the core's density); TSDC peaks also carry the
        derived ``"tau0"``.
    background : dict
        ``{name: Estimate}``: ``"counts"`` (its counts in the window), ``"slope"`` for the
        linear background (counts per channel per unit of x, a channel being the median grid
        step), the counts of each column of
        the spline (``"b0"``, ...) and Shirley (``"offset"``, ``"step"``) backgrounds.
    log_likelihood : float
        Poisson log-likelihood of the counts under the fitted expected counts.
    deviance : float
        Poisson deviance, 2 sum(c log(c/mu) - (c - mu)).
    aic, bic : float
        Akaike and Bayesian information criteria, from ``log_likelihood`` and the number of
        free parameters.
    chi_square : float
        Pearson's sum (c - mu)^2 / mu.
    n_iter : int
        EM iterations of the core.
    converged : bool
        Whether the fit ended at an EM fixed point (and a Shirley background settled).
    param_names : list of str
        The free parameters (``"p0_x0"``, ..., ``"p0_area"``, ..., ``"bg_counts"``), in the
        order of ``covariance``.
    covariance : ndarray
        Their covariance matrix.
    x, counts : ndarray
        The data inside the window, sorted by x.
    window : (float, float)
    """

    def __init__(self, **kw):
        self.__dict__.update(kw)

    # ---- curves
    def _grid(self, x):
        if x is None:
            return self.x
        x = np.asarray(x, dtype=np.float64)
        if x.ndim != 1:
            raise ValueError(f"x: expected a one-dimensional array, got shape {x.shape}")
        return x

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
            ``{"p0": counts, "p1": ..., "background": counts}`` (no ``"background"`` entry
            without a background).
        """
        on_data = x is None
        x = self._grid(x)
        frame = self._frame
        if on_data:     # the fit's own grid, channel widths and densities
            u, du = self._u, self._du
        else:
            u = (x - frame.centre) / frame.step
            du = np.interp(u, self._u, self._du)
        total = self._total
        out = {}
        for k, p in enumerate(self._comps):
            f = self._dens[k] if on_data else component_density(
                self._shape, p, self._ctx, u, u_fit=self._u, fit_density=self._dens[k])
            out[f"p{k}"] = total * self._pi[k] * du * f
        if self._bg_model.name != "none":
            nk = len(self._comps)
            out["background"] = total * du * np.einsum("b,bi->i", self._pi[nk:],
                                                                self._bg_model.columns(x))
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
        """A text report: estimates, strong correlations, statistics.

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
        """Everything as plain Python values (for JSON)."""
        return {
            "shape": self.shape,
            "background_model": self.background_model,
            "window": list(self.window),
            "peaks": [{n: e.to_dict() for n, e in p.items()} for p in self.peaks],
            "background": {n: e.to_dict() for n, e in self.background.items()},
            "statistics": {k: _plain(getattr(self, k)) for k in (
                "log_likelihood", "deviance", "aic", "bic", "chi_square", "n_data", "n_free",
                "n_iter", "converged")},
            "param_names": list(self.param_names),
            "covariance": [[_plain(v) for v in row] for row in self.covariance],
        }

    def __repr__(self):
        return (f"<FitResult {self.shape}, {len(self.peaks)} peaks, background "
                f"{self.background_model}: log-likelihood {self.log_likelihood:.6g}, "
                f"{self.n_iter} EM iterations, "
                f"{'converged' if self.converged else 'NOT converged'}>")


def _plain(v):
    if isinstance(v, (bool, np.bool_)):
        return bool(v)
    if isinstance(v, (int, np.integer)):
        return int(v)
    v = float(v)
    return v if math.isfinite(v) else None


def _profile(shape, ctx, p, u_fit):
    """Largest density and full width at half maximum of one component (internal units),
    read off the core's density on a fine grid around the peak."""
    if shape.name == "tsdc":
        centre = p["tp"]
        width = 2.5 * 8.61733034e-5 * p["tp"] ** 2 / max(p["ea"], 1e-3)
    else:
        centre = p["x0"]
        width = max(p.get("sigma", 0.0) * 2.3548200450309493, 2.0 * p.get("gamma", 0.0),
                    1e-6)
    fine = np.linspace(centre - 12.0 * width, centre + 12.0 * width, 4001)
    f = component_density(shape, p, ctx, fine, u_fit=u_fit)
    i = int(np.argmax(f))
    top = float(f[i])
    half = 0.5 * top
    below_left = np.nonzero(f[:i] < half)[0]
    below_right = np.nonzero(f[i:] < half)[0]
    if not (top > 0 and below_left.size and below_right.size):
        return top, math.nan
    a = below_left[-1]
    b = i + below_right[0]
    left = np.interp(half, [f[a], f[a + 1]], [fine[a], fine[a + 1]])
    right = np.interp(half, [f[b], f[b - 1]], [fine[b], fine[b - 1]])
    return top, float(right - left)


def _height_and_width(shape, ctx, frame, p, free, fix, j, u, total, pi, du, lmap, offset,
                      n_shape, p_inner, stderr_of):
    """The derived ``height`` (counts per channel at the maximum) and ``fwhm`` of one peak,
    with standard errors by the delta method (differences of the core's densities)."""
    from .uncertainty import fd_steps

    channel = float(np.median(du))
    top, fwhm = _profile(shape, ctx, p, u)
    height = total * pi[j] * channel * top
    r_height = np.zeros(p_inner + 1)
    r_width = np.zeros(p_inner + 1)
    steps = fd_steps(shape, p, free)
    for a, name in enumerate(free):
        plus, minus = dict(p), dict(p)
        plus[name] += steps[name]
        minus[name] -= steps[name]
        (t1, w1), (t0, w0) = _profile(shape, ctx, plus, u), _profile(shape, ctx, minus, u)
        r_height[offset + a] = total * pi[j] * channel * (t1 - t0) / (2 * steps[name])
        r_width[offset + a] = frame.factor("scale") * (w1 - w0) / (2 * steps[name])
    r_height[n_shape:p_inner] = total * channel * top * lmap[j]
    r_height[p_inner] = pi[j] * channel * top
    all_fixed = all(fix[n][j] for n in shape.params)
    return {"height": Estimate("height", height, stderr_of(r_height)),
            "fwhm": Estimate("fwhm", frame.factor("scale") * fwhm,
                             None if all_fixed else stderr_of(r_width), fixed=all_fixed)}


def build_result(shape, frame, ctx, peaks, fix, background, x, counts, u, du, window, state,
                 n_iter, converged, tol, shirley_rounds, problem=None, information=None):
    """The result of a fit at ``state``.  ``information``, when given, is the core's observed
    information at ``state`` over the parameters not fixed of the peaks with weight and the
    weights (as :func:`velmora.uncertainty.score_and_information` returns it for them); it is
    worked out otherwise."""
    k = len(peaks)
    comps = [{n: float(state[n][j]) for n in shape.params} for j in range(k)]
    pi = np.array(state["pi"], dtype=np.float64)
    total = float(counts.sum())
    dens = np.array([shape.density(u, p, ctx) for p in comps]).reshape(k, u.size)
    bg_cols = background.columns(x) if background.name != "none" else np.zeros((0, u.size))
    def on_bound(name, value):
        pair = ctx.bounds.get(name, shape.limits.get(name))
        if pair is None:
            return False
        return any(abs(value - b) <= 1e-9 * max(abs(b), 1e-3) for b in pair
                   if math.isfinite(b))

    # A parameter that ended on its bound is not at a stationary point: it is left out of the
    # information (its standard error is not determined) so that it does not spoil the others.
    bounded = [{n for n in shape.params if on_bound(n, comps[j][n])} for j in range(k)]
    free = [tuple(n for n in shape.params if not fix[n][j] and n not in bounded[j])
            if pi[j] > 0 else () for j in range(k)]

    # The information over every parameter not fixed, then without those on a bound: each of
    # its entries is worked out on its own, so the rows kept are those of the smaller set.
    unfixed = [tuple(n for n in shape.params if not fix[n][j]) if pi[j] > 0 else ()
               for j in range(k)]
    if information is None:
        _, information, lmap = score_and_information(shape, ctx, u, counts, comps, pi, unfixed,
                                                     bg_cols)
    else:
        lmap, _ = weight_map(pi)
    information = np.asarray(information, dtype=np.float64)
    n_unfixed = sum(len(f) for f in unfixed)
    size = n_unfixed + pi.size - 1
    information = information.reshape(size, size)
    keep = [i for i, (j, n) in enumerate((j, n) for j in range(k) for n in unfixed[j])
            if n in free[j]] + list(range(n_unfixed, size))
    info = information[np.ix_(keep, keep)]
    inner = invert(info, sum(len(f) for f in free))
    p_inner = inner.shape[0]
    cov_z = np.zeros((p_inner + 1, p_inner + 1))
    cov_z[:p_inner, :p_inner] = inner
    cov_z[p_inner, p_inner] = total                   # the total count is Poisson
    n_shape = sum(len(f) for f in free)

    names, values, rows = [], [], []

    def row():
        return np.zeros(p_inner + 1)

    def count_row(j):
        r = row()
        r[n_shape:p_inner] = total * lmap[j]
        r[p_inner] = pi[j]
        return r

    peak_rows = []
    offsets = []
    offset = 0
    for j in range(k):
        entries = {}
        for name in shape.params:
            kind = shape.kinds[name]
            value = frame.from_u(kind, comps[j][name])
            if fix[name][j]:
                entries[name] = (value, None)
            elif name in free[j]:
                r = row()
                r[offset + free[j].index(name)] = frame.factor(kind)
                names.append(f"p{j}_{name}")
                values.append(value)
                rows.append(r)
                entries[name] = (value, len(rows) - 1)
            elif name in bounded[j] and pi[j] > 0:
                entries[name] = (value, "bound")
            else:                                       # a peak whose weight went to zero
                entries[name] = (value, "nan")
        offsets.append(offset)
        offset += len(free[j])
        names.append(f"p{j}_area")
        values.append(total * pi[j])
        rows.append(count_row(j))
        entries["area"] = (total * pi[j], len(rows) - 1)
        peak_rows.append(entries)

    bg_counts = total * pi[k:]
    bg_count_rows = np.array([count_row(j) for j in range(k, pi.size)]).reshape(-1, p_inner + 1)
    if background.name != "none":
        fvals, fjac, dvals, djac = background.quantities(bg_counts)
        bg_free_start = len(rows)
        for name, value, jrow in zip(background.free_names, fvals, fjac @ bg_count_rows):
            names.append(f"bg_{name}")
            values.append(value)
            rows.append(jrow)
        derived_bg = list(zip(background.derived_names, dvals, djac @ bg_count_rows))
    else:
        bg_free_start = len(rows)
        derived_bg = []

    jac = np.array(rows).reshape(len(rows), p_inner + 1)
    # Parameters left out of the inversion (see invert) have NaN rows: whatever depends on
    # them is undetermined, the rest is not.
    dropped = ~np.isfinite(np.diag(cov_z))
    cov_z = np.where(np.isfinite(cov_z), cov_z, 0.0)
    cov = jac @ cov_z @ jac.T
    depends = (jac[:, dropped] != 0).any(axis=1)
    cov[depends, :] = np.nan
    cov[:, depends] = np.nan

    def stderr_of(r):
        if (r[dropped] != 0).any():
            return math.nan
        v = float(r @ cov_z @ r)
        return math.sqrt(v) if v >= 0 else math.nan

    peaks_out = []
    for j, entries in enumerate(peak_rows):
        estimates = {}
        for name, (value, where) in entries.items():
            if where is None:
                estimates[name] = Estimate(name, value, None, fixed=True)
            elif where in ("nan", "bound"):
                estimates[name] = Estimate(name, value, math.nan, at_bound=where == "bound")
            else:
                estimates[name] = Estimate(name, value, math.sqrt(max(cov[where, where], 0.0))
                                           if np.isfinite(cov[where, where]) else math.nan)
        if shape.name == "tsdc":
            ea, tp = estimates["ea"].value, estimates["tp"].value
            tau0 = float(tau0_from_tp(ea, tp, ctx.beta))
            r = row()
            for name in ("ea", "tp"):
                where = entries[name][1]
                if isinstance(where, int):
                    h = 1e-6 * abs(estimates[name].value)
                    plus = dict(ea=ea, tp=tp)
                    minus = dict(ea=ea, tp=tp)
                    plus[name] += h
                    minus[name] -= h
                    slope = (tau0_from_tp(plus["ea"], plus["tp"], ctx.beta)
                             - tau0_from_tp(minus["ea"], minus["tp"], ctx.beta)) / (2 * h)
                    r = r + slope * jac[where]
            fixed_all = all(entries[n][1] is None for n in ("ea", "tp"))
            estimates["tau0"] = Estimate("tau0", tau0, None if fixed_all else stderr_of(r),
                                         fixed=fixed_all)
        later = functools.partial(_height_and_width, shape, ctx, frame, comps[j], free[j], fix,
                                  j, u, total, pi, du, lmap, offsets[j], n_shape, p_inner,
                                  stderr_of)
        peaks_out.append(PeakResult(shape.name, estimates, ("height", "fwhm"), later))

    bg_out = {}
    for i, name in enumerate(background.free_names if background.name != "none" else ()):
        where = bg_free_start + i
        bg_out[name] = Estimate(name, values[where], math.sqrt(max(cov[where, where], 0.0))
                                if np.isfinite(cov[where, where]) else math.nan)
    for name, value, r in derived_bg:
        bg_out[name] = Estimate(name, value, stderr_of(r))
    if background.name != "none" and "counts" in bg_out:
        bg_out = {"counts": bg_out.pop("counts"), **bg_out}

    result = FitResult(
        shape=shape.name, peaks=peaks_out, background=bg_out,
        background_model=background.describe(), param_names=names, covariance=cov,
        x=x.copy(), counts=counts.copy(), window=tuple(window), n_iter=int(n_iter),
        converged=bool(converged), tol=tol, n_data=int(x.size), n_free=len(names),
        shirley_rounds=shirley_rounds, method=ctx.method,
        _shape=shape, _frame=frame, _ctx=ctx, _comps=comps, _pi=pi, _total=total,
        _dens=dens, _u=u, _du=du, _bg_model=background, _state=state, _problem=problem)
    mu = result.eval()
    with np.errstate(divide="ignore", invalid="ignore"):
        log_mu = np.log(mu)
        ll = float(np.sum(np.where(counts > 0, counts * log_mu, 0.0) - mu)
                   - float(np.sum(gammaln(counts + 1.0))))
        dev = 2.0 * float(np.sum(np.where(counts > 0, counts * np.log(counts / mu), 0.0)
                                 - (counts - mu)))
        chi2 = float(np.sum((counts - mu) ** 2 / mu))
    p = len(names)
    result.log_likelihood = ll
    result.deviance = dev
    result.chi_square = chi2
    result.aic = -2.0 * ll + 2.0 * p
    result.bic = -2.0 * ll + p * math.log(x.size)
    return result
