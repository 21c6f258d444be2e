"""Figures, built on ``matplotlib.figure.Figure`` without pyplot (so no global state, and
safe in threads and servers):

- the fit of one spectrum: data, components, background, total, and a residual panel;
- maps of a batch's estimates over its spectrum axes (:func:`plot_map`), and one spectrum of a
  batch with its fit (:func:`plot_batch_spectrum`).
"""
import numbers

import numpy as np

from .axis import Axis
from .packing import NOT_CONVERGED, OK, STATUS_NAMES

# Colour of the cells of a map whose spectrum was not fitted: a mid grey, which no colour of
# the viridis map comes close to.
BAD_COLOUR = "0.6"
COLOUR_MAP = "viridis"
# Panels side by side in a figure of maps, unless asked otherwise.
MAP_COLUMNS = 3


def _figure_class():
    """matplotlib's Figure, or an ImportError that says how to install it."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plots need matplotlib: pip install 'velmora[plot]'") from None
    return Figure


def _axis_of(result):
    """The :class:`~velmora.axis.Axis` of a result (an empty one for results made before
    results had one) and its background."""
    return getattr(result, "axis", None) or Axis(), result.setup.background


def x_axis(ax, axis, background=None):
    """Label ``ax``'s x axis from ``axis`` (an :class:`~velmora.axis.Axis`), and draw it from
    high to low for a binding-energy axis (see :meth:`~velmora.axis.Axis.inverted`)."""
    ax.set_xlabel(axis.label(background))
    if axis.inverted(background) and not ax.xaxis_inverted():
        ax.invert_xaxis()


def plot_result(result, title=None):
    """A matplotlib Figure of ``result`` (no pyplot state is touched).

    The upper panel shows the counts, every peak on top of the background, the background and
    the total model; the lower panel the residuals in standard deviations,
    (counts - model) / sqrt(model).  The x axis is labelled with the coordinate's name and
    units (``result.axis``: "Binding energy (eV)", "2θ (degree)"), and a binding-energy axis
    runs from high to low: a coordinate named ``binding_energy``, an ``energy`` attribute
    ``"binding"``, or for plain arrays a background on a binding-energy axis (Shirley's
    default).
    """
    Figure = _figure_class()
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
    x_axis(bottom, *_axis_of(result))  # the panels share x: the top follows
    fig.tight_layout()
    return fig


# ------------------------------------------------------------------------------ batch maps

def _quantity_label(batch, name):
    units = batch.units_of(name)
    if units is None and batch.kinds[name] == "x":
        units = f"units of {batch.channel}"
    return f"{name} ({units})" if units else name


def _axis_label(batch, dim):
    units = batch.units.get(dim)
    return f"{dim} ({units})" if units else str(dim)


def _coordinate(batch, dim, size):
    """The coordinate values of spectrum axis ``dim`` to draw against: the batch's own when
    they are finite, real and monotonic, else the index 0, 1, ..."""
    values = (batch.coords or {}).get(dim)
    if values is not None:
        values = np.asarray(values)
        if (values.ndim == 1 and values.size == size and values.dtype.kind in "iuf"
                and np.isfinite(values).all()):
            step = np.diff(values.astype(np.float64))
            if (step > 0).all() or (step < 0).all():
                return values
    return np.arange(size)


def _edges(centres):
    """Cell edges around coordinate values: halfway between neighbours, and as far beyond the
    first and last values as their neighbours' halfway points (half a unit for a lone one)."""
    c = np.asarray(centres, dtype=np.float64)
    if c.size == 1:
        return np.array([c[0] - 0.5, c[0] + 0.5])
    middle = 0.5 * (c[1:] + c[:-1])
    return np.concatenate([[2 * c[0] - middle[0]], middle, [2 * c[-1] - middle[-1]]])


def _format(value):
    if isinstance(value, (numbers.Real, np.number)) and not isinstance(value, (bool, np.bool_)):
        return f"{float(value):g}"
    return str(value)


def _where(batch, index):
    """``"spectrum (1, 2): row = 20, column = 3"``: the index and its coordinate values."""
    text = f"spectrum {index[0] if len(index) == 1 else tuple(index)}"
    coords = batch.coords or {}
    at = [f"{d} = {_format(np.asarray(coords[d])[i])}" for d, i in zip(batch.dims, index)
          if d in coords]
    return text + (": " + ", ".join(at) if at else "")


def _check_names(batch, names):
    """``names`` as a list of estimate names of ``batch``: a TypeError for anything but a
    string or a sequence of strings, a ValueError naming the available ones for a name the
    batch does not hold."""
    if isinstance(names, str):
        names = [names]
    elif isinstance(names, bytes) or not hasattr(names, "__iter__"):
        raise TypeError(f"names: expected an estimate name or a list of them, got "
                        f"{type(names).__name__}")
    names = list(names)
    if not names:
        raise ValueError("names: expected at least one estimate name")
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"names: expected strings, got {name!r}")
    available = ", ".join(batch.names)
    for name in names:
        if name in batch.names:
            continue
        raise ValueError(f"names: unknown estimate {name!r}; available: {available}")
    return names


def spectrum_index(index, shape):
    """``index`` of one spectrum of a batch whose spectrum axes have ``shape``, as a tuple of
    non-negative integers.

    An integer is accepted for a batch of one spectrum axis, a tuple (or list) of one integer
    per axis for any batch; negative entries count from the end.  Raises TypeError for
    anything else and IndexError for an index outside ``shape``."""
    if isinstance(index, (numbers.Integral, np.integer)) and not isinstance(index, bool):
        index = (index,)
    if not isinstance(index, (tuple, list)) or not all(
            isinstance(i, (numbers.Integral, np.integer)) and not isinstance(i, bool)
            for i in index):
        raise TypeError(f"index: expected one integer per spectrum axis, got {index!r}")
    if len(index) != len(shape):
        raise IndexError(f"index: expected {len(shape)} integers (one per spectrum axis of "
                         f"{tuple(shape)}), got {len(index)}")
    out = []
    for axis, (i, n) in enumerate(zip(index, shape)):
        if not -n <= int(i) < n:
            raise IndexError(f"index: {int(i)} is outside axis {axis} of length {n}")
        out.append(int(i) % n)
    return tuple(out)


def _map_slice(batch, index):
    """The selection of the plotted spectra (a tuple for numpy indexing) and a text naming it:
    every spectrum of a batch of one or two spectrum axes, or the last two axes at ``index``
    of the leading ones."""
    shape = batch.shape
    if len(shape) == 0:
        raise ValueError("the batch holds a single spectrum: there is no map to draw; use "
                         "plot_spectrum()")
    if 0 in shape:
        raise ValueError(f"the batch holds no spectra (spectrum axes {tuple(shape)})")
    if len(shape) <= 2:
        if index is not None and tuple(index) != ():
            raise ValueError(f"index: only a batch of more than two spectrum axes takes an "
                             f"index; this one has {len(shape)}")
        return (), ""
    leading = len(shape) - 2
    if index is None:
        raise ValueError(f"the batch has {len(shape)} spectrum axes {tuple(shape)}: choose the "
                         f"2-D map to draw with index= (one integer for each of the first "
                         f"{leading})")
    if isinstance(index, (numbers.Integral, np.integer)) and not isinstance(index, bool):
        index = (index,)
    sel = spectrum_index(index, shape[:leading])
    coords = batch.coords or {}
    text = ", ".join(f"{d} = {_format(np.asarray(coords[d])[i])}" if d in coords
                     else f"{d} = {i}" for d, i in zip(batch.dims[:leading], sel))
    return sel, text


def _status_note(status, what):
    """``"3 of 12 spectra not fitted (2 invalid data, 1 no counts), shown in grey"``, and a
    count of fits that ran out of iterations, whose values are shown."""
    total = status.size
    fitted = (status == OK) | (status == NOT_CONVERGED)
    bad = int(total - np.count_nonzero(fitted))
    parts = []
    if bad:
        codes, counts = np.unique(status[~fitted], return_counts=True)
        why = ", ".join(f"{int(n)} {STATUS_NAMES[c]}" for c, n in zip(codes, counts))
        parts.append(f"{bad} of {total} spectra not fitted ({why}), {what}")
    else:
        parts.append(f"all {total} spectra fitted")
    stalled = int(np.count_nonzero(status == NOT_CONVERGED))
    if stalled:
        parts.append(f"{stalled} not converged (shown)")
    return "; ".join(parts)


def plot_map(batch, names, *, index=None, ncols=None, title=None):
    """Maps of a batch's estimates: a matplotlib Figure (no pyplot state is touched).

    Parameters
    ----------
    batch : BatchResult
    names : str or list of str
        Estimate names (``"p0.x0"``, ``"p0.area"``, ``"background.slope"``, ...; see
        ``batch.names``), one panel each.
    index : int or tuple of int, optional
        For a batch of more than two spectrum axes: the position on the leading axes of the
        2-D map to draw (required there, refused elsewhere).
    ncols : int, optional
        Panels side by side (default: up to three maps, or one series).
    title : str, optional
        Put before the figure's title, which counts the spectra not fitted.

    Returns
    -------
    matplotlib.figure.Figure
        Over two spectrum axes, one image per name (``pcolormesh`` against the axes'
        coordinates, or their index where there are none) with a colour bar labelled with the
        units; over one axis, the value and a band of one standard error against the axis's
        coordinate.  Spectra that were not fitted (status other than "ok" and "not converged")
        are masked: grey cells in an image, crosses under a series.  The figure's title counts
        them.

    Raises
    ------
    TypeError, ValueError
        For names that are not strings or not among ``batch.names`` (the message lists those),
        a batch without a map (a single spectrum, or none), or a missing or needless ``index``.
    IndexError
        For an ``index`` outside the leading axes.
    ImportError
        When matplotlib is not installed.
    """
    names = _check_names(batch, names)
    sel, sliced = _map_slice(batch, index)
    if ncols is not None and (isinstance(ncols, bool) or not isinstance(ncols, numbers.Integral)
                              or ncols < 1):
        raise ValueError(f"ncols: expected a positive integer, got {ncols!r}")
    Figure = _figure_class()
    from matplotlib import colormaps

    status = batch.status[sel]
    fitted = (status == OK) | (status == NOT_CONVERGED)
    dims = batch.dims[len(batch.shape) - status.ndim:]
    series = status.ndim == 1
    ncols = min(len(names), int(ncols or (1 if series else MAP_COLUMNS)))
    nrows = -(-len(names) // ncols)
    size = (8.0, 2.6) if series else (4.6, 3.6)
    fig = Figure(figsize=(size[0] * ncols, size[1] * nrows + 0.4), layout="constrained")
    axes = np.atleast_1d(fig.subplots(nrows, ncols, squeeze=False)).ravel()
    cmap = colormaps[COLOUR_MAP].with_extremes(bad=BAD_COLOUR)
    for ax, name in zip(axes, names):
        values = np.asarray(batch.values[name][sel], dtype=np.float64)
        masked = ~fitted | ~np.isfinite(values)
        extra = int(np.count_nonzero(masked & fitted))
        ax.set_title(name + (f" ({extra} more masked: no value)" if extra else ""))
        label = _quantity_label(batch, name)
        if series:
            coord = _coordinate(batch, dims[0], values.size)
            shown = np.where(masked, np.nan, values)
            spread = np.where(masked, np.nan, np.asarray(batch.stderr[name][sel], float))
            ax.fill_between(coord, shown - spread, shown + spread, alpha=0.3, lw=0,
                            label="± 1 standard error")
            ax.plot(coord, shown, ".-", lw=1, ms=4, label="value")
            if masked.any():
                ax.plot(coord[masked], np.full(int(masked.sum()), 0.03), "x", color="tab:red",
                        transform=ax.get_xaxis_transform(), clip_on=False, label="not fitted")
            ax.set_xlabel(_axis_label(batch, dims[0]))
            ax.set_ylabel(label)
            ax.legend(fontsize="small", loc="best")
        else:
            rows = _coordinate(batch, dims[0], values.shape[0])
            cols = _coordinate(batch, dims[1], values.shape[1])
            image = np.ma.masked_array(values, mask=masked)
            mesh = ax.pcolormesh(_edges(cols), _edges(rows), image, shading="flat", cmap=cmap)
            if image.mask.all():
                mesh.set_clim(0.0, 1.0)  # nothing to scale the colours by
            fig.colorbar(mesh, ax=ax).set_label(label)
            ax.set_xlabel(_axis_label(batch, dims[1]))
            ax.set_ylabel(_axis_label(batch, dims[0]))
    for ax in axes[len(names):]:
        ax.remove()  # the grid's cells left over
    note = _status_note(status, "marked x" if series else "shown in grey")
    heading = ", ".join(str(t) for t in (title, sliced) if t)
    fig.suptitle(f"{heading}: {note}" if heading else note, fontsize="medium")
    return fig


def plot_batch_spectrum(batch, index, x, counts):
    """The spectrum at ``index`` (a tuple, see :func:`spectrum_index`) of ``batch``, whose grid
    is ``x`` and counts ``counts``: its full fit (refitted by ``batch.result``) with the index,
    coordinates and status in the title; a spectrum that could not be fitted is drawn as data
    alone, its status in the title.  A matplotlib Figure."""
    Figure = _figure_class()
    code = int(batch.status[index])
    where = _where(batch, index)
    if code in (OK, NOT_CONVERGED):
        # batch.result carries the batch's axis: labels and direction as for one fit.
        return batch.result(index).plot(title=f"{where} ({STATUS_NAMES[code]})")
    fig = Figure(figsize=(9, 4.5), layout="constrained")
    ax = fig.subplots()
    ax.plot(x, counts, ".", ms=3, color="0.4", label="data")
    ax.set_title(f"{where}: not fitted ({STATUS_NAMES[code]})")
    x_axis(ax, batch.axis, batch.background)
    ax.set_ylabel("counts")
    return fig
