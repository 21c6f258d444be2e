"""The text report of a fit, in the shape users know from lmfit's fit report."""
import math

import numpy as np


def _number(v, spec):
    return format(v, spec) if math.isfinite(v) else "n/a"


def _estimate_line(name, est, width):
    label = f"{name}:".ljust(width + 2)
    value = _number(est.value, ".7g")
    if est.fixed:
        return f"{label}{value} (fixed)"
    if est.at_bound and (est.stderr is None or not math.isfinite(est.stderr)):
        return f"{label}{value} (at bound)"
    tie = f" == '{est.tie}'" if est.tie else ""
    tie += " (at bound)" if est.at_bound else ""
    if est.stderr is None or not math.isfinite(est.stderr):
        return f"{label}{value} +/- (not determined){tie}"
    rel = est.relative
    rel_text = f" ({100 * rel:.2f}%)" if math.isfinite(rel) else ""
    return f"{label}{value} +/- {est.stderr:.3g}{rel_text}{tie}"


def fit_report(result, min_correlation=0.5):
    """The report text of a :class:`velmora.result.FitResult`."""
    lines = ["[[Fit]]"]
    dof = result.n_data - result.n_free
    facts = [
        ("shape", result.shape),
        ("background", result.background_model if result.energy is None else
         result.setup.background.describe(result.energy)),
        ("window", f"[{result.window[0]:.7g}, {result.window[1]:.7g}]"),
        ("data points", str(result.n_data)),
        ("total counts", f"{float(np.sum(result.counts)):.7g}"),
        ("free parameters", str(result.n_free)),
        ("iterations", f"{result.n_iter} ({result.status})"),
        ("Newton decrement", f"{result.decrement:.3g} (predicted gain of a further step)"),
    ]
    lines += [f"    {k:<17}= {v}" for k, v in facts]
    lines.append("[[Statistics]]")
    chi2 = result.chi_square
    stats = [
        ("log-likelihood", _number(result.log_likelihood, ".10g")),
        ("deviance", _number(result.deviance, ".7g")),
        ("chi-square", _number(chi2, ".7g")),
        ("reduced chi-sq", _number(chi2 / dof, ".5g") if dof > 0 else "n/a"),
        ("dispersion", f"{_number(result.dispersion, '.5g')} (p = "
                       f"{_number(result.dispersion_p, '.2g')}); {result.errors} errors"),
        ("AIC", _number(result.aic, ".10g")),
        ("BIC", _number(result.bic, ".10g")),
    ]
    lines += [f"    {k:<17}= {v}" for k, v in stats]
    lines.append("[[Peaks]]")
    for peak in result.peaks:
        note = "" if peak.detected else "  -- not a detection (see Findings)"
        lines.append(f"    {peak.name} ({peak.shape}){note}")
        width = max(len(n) for n in peak)
        lines += ["        " + _estimate_line(n, e, width) for n, e in peak.items()]
    if result.background:
        lines.append("[[Background]]")
        width = max(len(n) for n in result.background)
        lines += ["    " + _estimate_line(n, e, width) for n, e in result.background.items()]
    if result.warnings:
        lines.append("[[Findings]]")
        lines += [f"    - {w}" for w in result.warnings]
    corr = result.correlation
    names = result.param_names
    pairs = []
    for i in range(len(names)):
        for j in range(i):
            c = corr[i, j]
            if math.isfinite(c) and abs(c) >= min_correlation:
                pairs.append((abs(c), c, names[j], names[i]))
    if pairs:
        lines.append(f"[[Correlations]] (unreported correlations are < {min_correlation:.3f})")
        width = max(len(f"C({a}, {b})") for _, _, a, b in pairs)
        for _, c, a, b in sorted(pairs, reverse=True):
            lines.append(f"    {f'C({a}, {b})':<{width}} = {c:+.4f}")
    return "\n".join(lines)
