"""The figure of a fit: data, components, background, total, and a residual panel."""
import numpy as np


def plot_result(result, title=None):
    """A matplotlib Figure of ``result`` (no pyplot state is touched).

    The upper panel shows the counts, every peak on top of the background, the background and
    the total model; the lower panel the residuals in standard deviations,
    (counts - model) / sqrt(model).
    """
    from matplotlib.figure import Figure

    x = result.x
    parts = result.eval_components()
    background = parts.pop("background", np.zeros_like(x))
    total = background + sum(parts.values())
    fig = Figure(figsize=(9, 6.5))
    top, bottom = fig.subplots(2, 1, sharex=True, gridspec_kw=dict(height_ratios=[3, 1]))
    top.plot(x, result.counts, ".", ms=3, color="0.4", label="data")
    for name, curve in parts.items():
        top.fill_between(x, background, background + curve, alpha=0.35, label=name)
    if result.background:
        top.plot(x, background, "--", color="tab:gray", lw=1, label="background")
    top.plot(x, total, color="black", lw=1.2, label="total")
    top.set_ylabel("counts")
    top.legend(fontsize="small", ncol=2)
    top.set_title(title or f"{result.shape} fit, background {result.background_model}")
    with np.errstate(divide="ignore", invalid="ignore"):
        resid = np.where(total > 0, (result.counts - total) / np.sqrt(total), 0.0)
    bottom.axhline(0.0, color="black", lw=0.8)
    bottom.plot(x, resid, ".", ms=2.5, color="tab:red")
    bottom.set_ylabel("residual (sd)")
    bottom.set_xlabel("x")
    fig.tight_layout()
    return fig
