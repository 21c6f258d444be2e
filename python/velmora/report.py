"""The text report of a fit, in the shape users know from lmfit's fit report."""
import math

import numpy as np


def _estimate_line(name, est, width):
    label = f"{name}:".ljust(width + 2)
    if est.fixed:
        return f"{label}{est.value:.7g} (fixed)"
    if est.at_bound:
        return f"{label}{est.value:.7g} (at bound)"
    if est.stderr is None or not math.isfinite(est.stderr):
        return f"{label}{est.value:.7g} +/- (not determined)"
    rel = est.relative
    rel_text = f" ({100 * rel:.2f}%)" if math.isfinite(rel) else ""
    return f"{label}{est.value:.7g} +/- {est.stderr:.3g}{rel_text}"


def fit_report(result, min_correlation=0.5):
    """The report text of a :class:`velmora.result.FitResult`."""
    lines = ["[[Fit]]"]
    status = "converged" if result.converged else "NOT converged: raise max_iter or tol"
    dof = result.n_data - result.n_free
    facts = [
        ("shape", result.shape + (f" ({result.method} updates)" if result.method else "")),
        ("background", result.background_model),
        ("window", f"[{result.window[0]:.7g}, {result.window[1]:.7g}]"),
        ("data points", str(result.n_data)),
        ("total counts", f"{float(np.sum(result.counts)):.7g}"),
        ("free parameters", str(result.n_free)),
        ("EM iterations", f"{result.n_iter} ({status})"),
    ]
    if result.shirley_rounds is not None:
        facts.append(("Shirley rounds", str(result.shirley_rounds)))
    lines += [f"    {k:<17}= {v}" for k, v in facts]
    lines.append("[[Statistics]]")
    stats = [
        ("log-likelihood", f"{result.log_likelihood:.10g}"),
        ("deviance", f"{result.deviance:.7g}"),
        ("chi-square", f"{result.chi_square:.7g}"),
        ("reduced chi-sq", f"{result.chi_square / dof:.5g}" if dof > 0 else "n/a"),
        ("AIC", f"{result.aic:.10g}"),
        ("BIC", f"{result.bic:.10g}"),
    ]
    lines += [f"    {k:<17}= {v}" for k, v in stats]
    lines.append("[[Peaks]]")
    for k, peak in enumerate(result.peaks):
        lines.append(f"    p{k} ({peak.shape})")
        width = max(len(n) for n in peak)
        lines += ["        " + _estimate_line(n, e, width) for n, e in peak.items()]
    if result.background:
        lines.append("[[Background]]")
        width = max(len(n) for n in result.background)
        lines += ["    " + _estimate_line(n, e, width) for n, e in result.background.items()]
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
    if not np.isfinite(np.diag(result.covariance)).all():
        lines.append("[[Warning]]")
        lines.append("    the information matrix is not positive definite: some standard "
                     "errors could not be determined")
    return "\n".join(lines)
