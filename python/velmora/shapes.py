"""Peak shapes: how each one is handed to the core, and how its density is evaluated.

Every density the package evaluates comes from the core's profile functions
(``gaussian_predict``, ``lorentzian_predict``, ``pseudo_voigt_predict``, ``voigt_predict``,
``doniach_sunjic_predict``, ``tsdc_predict``), which form a component density exactly as the
core's mixture fit does.  Nothing here writes a line-shape formula of its own.

Fits run in *internal coordinates* ``u = (x - centre) / step`` (the window centre and the
median grid step) for every shape but TSDC, whose temperatures are absolute.  All the shapes'
formulas are equivariant under that change of unit, and it keeps two fixed numbers of the
core meaningful on any axis: the Lorentzian width bounds [0.1, 2000] and the 0.1 lower end of
the pseudo-Voigt width search become 0.1 to 2000 grid steps, instead of 0.1 to 2000 in the
units of x (which made a Lorentzian narrower than 0.1 degrees impossible to fit).
"""
import contextlib
import math

import numpy as np

import velmora_core

K_B = 8.61733034e-5  # Boltzmann constant, eV/K (the core's value)

@contextlib.contextmanager
def quiet_lorentzian():
    """Silence the core's "LBFGSB finished" line for Lorentzian fits started by this thread.

    The core's switch is per calling Python thread, so other threads keep their own setting.
    """
    previous = velmora_core._status_line(False)
    try:
        yield
    finally:
        velmora_core._status_line(previous)


def tau0_from_tp(ea, tp, beta):
    """Pre-exponential time of a TSDC peak at ``tp``: the peak condition solved for tau0.

    tau0 = k_B tp^2 / (beta ea) exp(-ea / (k_B tp)), in the core's operation order.
    """
    u = K_B * tp
    return np.exp((-ea) / u) * ((tp * u) / (beta * ea))


class Shape:
    """A peak shape as the layer sees it.

    Attributes
    ----------
    name : str
        The shape's name in :class:`velmora.Peak`.
    params : tuple of str
        User-facing parameter names, in the order the core takes them.
    kinds : dict
        ``"location"`` (shifts and scales with x), ``"scale"`` (scales with x) or ``"plain"``
        (unchanged by the internal coordinates).
    boundable : dict
        Parameters whose bounds the core takes, with their default bounds as a function of
        the window width in internal units.
    grid_normalised : bool
        The core normalises the density over the grid it is evaluated on (a trapezoid sum),
        rather than analytically.
    framed : bool
        Fitted in internal coordinates (everything but TSDC).
    """

    name = ""
    code = -1  # the shape's code in the core's whole-spectrum fit
    params = ()
    kinds = {}
    boundable = {}
    grid_normalised = False
    framed = True
    has_method = False
    #: limits the core's update enforces by itself (internal units)
    limits = {}

    def default_bounds(self, name, width):
        lo, hi = self.boundable[name]
        return (lo(width) if callable(lo) else lo, hi(width) if callable(hi) else hi)

    def density(self, u, p, ctx):
        """Core density of one component with parameters ``p`` (a dict) on the grid ``u``."""
        raise NotImplementedError

    def core_arguments(self, state, fix, ctx):
        """The component arrays (three, the unused ones zero), fix lists and bounds (three
        (lo, hi) pairs, infinite where the core has none) of the core's whole-spectrum fit."""
        k = len(state[self.params[0]])
        arrays = [np.array(state[n], dtype=np.float64) for n in self.params]
        flags = [list(map(bool, fix[n])) for n in self.params]
        bounds = [v for n in self.params for v in ctx.bounds.get(n, (-math.inf, math.inf))]
        for _ in range(3 - len(self.params)):
            arrays.append(np.zeros(k))
            flags.append([False] * k)
            bounds += [-math.inf, math.inf]
        return arrays, flags, np.array(bounds, dtype=np.float64)

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        """Run the core's mixture fit; returns (new params dict, new pi, n_iter, ll_history)."""
        raise NotImplementedError

    @staticmethod
    def _bg(basis):
        if basis is None or len(basis) == 0:
            return dict(bg_type=0)
        return dict(bg_type=4, spline_basis_preds=basis)


def _arrays(state, names):
    return [np.array(state[n], dtype=np.float64) for n in names]


def _flags(fix, names):
    return [list(map(bool, fix[n])) for n in names]


class Gaussian(Shape):
    name = "gaussian"
    code = 0
    params = ("x0", "sigma")
    kinds = {"x0": "location", "sigma": "scale"}
    boundable = {}
    limits = {"sigma": (1e-5, math.inf)}   # the width floor of the closed-form update

    def density(self, u, p, ctx):
        return velmora_core.gaussian_predict(u, p["x0"], p["sigma"])

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        mu, sigma = _arrays(state, self.params)
        pi = np.array(state["pi"], dtype=np.float64)
        n, ll, _, _ = velmora_core.run_em_loop(
            u, counts, mu, sigma, pi, np.ones(pi.size), *_flags(fix, self.params), max_iter,
            r_eps, ctx.lo, ctx.hi, **self._bg(basis))
        return {"x0": mu, "sigma": sigma}, pi, n, ll


class Lorentzian(Shape):
    name = "lorentzian"
    code = 1
    params = ("x0", "gamma")
    kinds = {"x0": "location", "gamma": "scale"}
    boundable = {}
    limits = {"gamma": (0.1, 2000.0)}       # the core's width bounds of the Lorentzian fit
    grid_normalised = True

    def density(self, u, p, ctx):
        return velmora_core.lorentzian_predict(u, p["x0"], p["gamma"], ctx.lo, ctx.hi)

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        x0, gamma = _arrays(state, self.params)
        pi = np.array(state["pi"], dtype=np.float64)
        with quiet_lorentzian():
            n, ll, _, _ = velmora_core.run_lorentzian_em_loop(
                u, counts, x0, gamma, pi, np.ones(pi.size), *_flags(fix, self.params), ctx.lo,
                ctx.hi, max_iter, r_eps, **self._bg(basis))
        return {"x0": x0, "gamma": gamma}, pi, n, ll


class PseudoVoigt(Shape):
    name = "pseudo_voigt"
    code = 2
    params = ("x0", "gamma", "eta")
    kinds = {"x0": "location", "gamma": "scale", "eta": "plain"}
    # gamma is the full width at half maximum; the lower end matches the conditional
    # maximisation's own width search (0.1 grid steps).
    boundable = {"gamma": (0.1, lambda width: width)}
    has_method = True

    def density(self, u, p, ctx):
        return velmora_core.pseudo_voigt_predict(u, p["x0"], p["gamma"], p["eta"], ctx.lo, ctx.hi)

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        x0, gamma, eta = _arrays(state, self.params)
        pi = np.array(state["pi"], dtype=np.float64)
        glo, ghi = ctx.bounds["gamma"]
        n, ll, _, _ = velmora_core.run_pv_em_loop(
            u, counts, x0, gamma, eta, pi, np.ones(pi.size), *_flags(fix, self.params),
            ctx.method == "full", ctx.lo, ctx.hi, glo, ghi, max_iter, r_eps, **self._bg(basis))
        return {"x0": x0, "gamma": gamma, "eta": eta}, pi, n, ll


class Voigt(Shape):
    name = "voigt"
    code = 3
    params = ("x0", "sigma", "gamma")
    kinds = {"x0": "location", "sigma": "scale", "gamma": "scale"}
    # sigma: Gaussian standard deviation; gamma: Lorentzian half width at half maximum.
    boundable = {"sigma": (1e-3, lambda width: width), "gamma": (1e-3, lambda width: width)}

    def density(self, u, p, ctx):
        return velmora_core.voigt_predict(u, p["x0"], p["sigma"], p["gamma"], ctx.lo, ctx.hi)

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        x0, sigma, gamma = _arrays(state, self.params)
        pi = np.array(state["pi"], dtype=np.float64)
        (slo, shi), (glo, ghi) = ctx.bounds["sigma"], ctx.bounds["gamma"]
        n, ll, _, _ = velmora_core.run_voigt_em_loop(
            u, counts, x0, sigma, gamma, pi, np.ones(pi.size), *_flags(fix, self.params),
            ctx.lo, ctx.hi, slo, shi, glo, ghi, max_iter, r_eps, **self._bg(basis))
        return {"x0": x0, "sigma": sigma, "gamma": gamma}, pi, n, ll


class DoniachSunjic(Shape):
    name = "doniach_sunjic"
    code = 4
    params = ("x0", "gamma", "alpha")
    kinds = {"x0": "location", "gamma": "scale", "alpha": "plain"}
    boundable = {"gamma": (0.05, lambda width: width), "alpha": (0.0, 0.6)}
    grid_normalised = True

    def density(self, u, p, ctx):
        return velmora_core.doniach_sunjic_predict(u, p["x0"], p["gamma"], p["alpha"])

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        x0, gamma, alpha = _arrays(state, self.params)
        pi = np.array(state["pi"], dtype=np.float64)
        (glo, ghi), (alo, ahi) = ctx.bounds["gamma"], ctx.bounds["alpha"]
        n, ll, _, _ = velmora_core.run_ds_em_loop(
            u, counts, x0, gamma, alpha, pi, np.ones(pi.size), *_flags(fix, self.params),
            ctx.lo, ctx.hi, glo, ghi, alo, ahi, max_iter, r_eps, **self._bg(basis))
        return {"x0": x0, "gamma": gamma, "alpha": alpha}, pi, n, ll


class Tsdc(Shape):
    """Thermally stimulated depolarisation current peak: activation energy ``ea`` (eV) and
    peak temperature ``tp`` (K); tau0 follows from them and the heating rate ``beta``."""

    name = "tsdc"
    code = 5
    params = ("ea", "tp")
    kinds = {"ea": "plain", "tp": "plain"}
    boundable = {"ea": (0.05, 5.0)}
    grid_normalised = True
    framed = False

    def density(self, u, p, ctx):
        return velmora_core.tsdc_predict(u, p["ea"], tau0_from_tp(p["ea"], p["tp"], ctx.beta),
                                         ctx.beta)

    def em(self, u, counts, state, fix, ctx, max_iter, r_eps, basis):
        ea, tp = _arrays(state, self.params)
        tau0 = tau0_from_tp(ea, tp, ctx.beta)
        pi = np.array(state["pi"], dtype=np.float64)
        elo, ehi = ctx.bounds["ea"]
        # The core holds a whole component with fix_ea; the layer only sets it when both
        # parameters are fixed (see Peak's validation).
        n, ll, _, _ = velmora_core.run_tsdc_em_loop(
            u, counts, ea, tau0, tp, pi, np.ones(pi.size), list(map(bool, fix["ea"])),
            list(map(bool, fix["tp"])), ctx.beta, elo, ehi, ctx.lo, ctx.hi, max_iter, r_eps,
            **self._bg(basis))
        return {"ea": ea, "tp": tp}, pi, n, ll


SHAPES = {s.name: s for s in (Gaussian(), Lorentzian(), PseudoVoigt(), Voigt(), DoniachSunjic(),
                              Tsdc())}


def component_density(shape, p, ctx, u, u_fit=None, fit_density=None):
    """Density of one component on ``u`` in the normalisation of the fit grid ``u_fit``.

    Shapes that the core normalises over the grid they are evaluated on would otherwise be
    rescaled by the new grid; they are evaluated on the union of both grids and scaled so
    that they agree with the fit's density at its largest value.
    """
    u = np.asarray(u, dtype=np.float64)
    if not shape.grid_normalised or u_fit is None:
        return shape.density(u, p, ctx)
    if fit_density is None:
        fit_density = shape.density(u_fit, p, ctx)
    grid, inverse = np.unique(np.concatenate([u_fit, u]), return_inverse=True)
    on_grid = shape.density(grid, p, ctx)
    j = int(np.argmax(np.abs(fit_density)))
    ref = on_grid[inverse[j]]
    scale = fit_density[j] / ref if ref != 0 else 0.0
    return on_grid[inverse[u_fit.size:]] * scale
