"""The scans of a diffractometer file as regions: scans on one grid (a repeated scan) are one
series along the axis ``scan``; scans on different grids are regions of their own, named
"scan 1", "scan 2", ... in file order (Bruker calls them ranges: "range 1", ...).

A scan is its grid, its counts, its channel axis (name, units, long name), its attributes and
its channel-long extras (an attenuation factor per point, a counting time per point).
"""
from dataclasses import dataclass, field

import numpy as np

from .common import choose, spectrum


@dataclass
class Scan:
    """One scan: ``counts`` on ``grid``, the channel ``axis`` = (name, units, long name),
    ``attrs`` and ``extra`` = {name: (values along the channels, attrs)}."""

    grid: np.ndarray
    counts: np.ndarray
    axis: tuple
    attrs: dict
    extra: dict = field(default_factory=dict)


def _same_grid(a, b):
    return (a.grid.size == b.grid.size and a.axis == b.axis
            and np.allclose(a.grid, b.grid, rtol=0, atol=1e-9 * max(1.0, np.ptp(a.grid))))


def groups(scans, word="scan"):
    """[(region name, [Scan, ...])]: every scan in one region when all share a grid (the
    region is ``word``, or ``word + "s"`` for several), else one region per scan."""
    if all(_same_grid(scans[0], s) for s in scans[1:]):
        return [(word if len(scans) == 1 else word + "s", list(scans))]
    return [(f"{word} {k + 1}", [s]) for k, s in enumerate(scans)]


def names(scans, word="scan"):
    """The region names of ``scans`` (see :func:`groups`)."""
    return [name for name, _ in groups(scans, word)]


def read(path, scans, region, word="scan"):
    """The region ``region`` of ``scans`` as the DataArray :func:`velmora.read` returns: one
    scan, or a series along ``scan`` (numbered from 1).  An extra that differs from scan to
    scan becomes a (scan, channel) coordinate."""
    found = groups(scans, word)
    _, group = found[choose(path, [n for n, _ in found], region)]
    first = group[0]
    if len(group) == 1:
        return spectrum(path, first.grid, first.counts, first.axis, first.attrs,
                        extra=first.extra)
    attrs = dict(first.attrs)
    for key in ("counts_from", "dwell_time"):
        if len({repr(s.attrs.get(key)) for s in group}) > 1:
            attrs[key] = None if key == "dwell_time" else "varies from scan to scan"
    same = {k: v for k, v in first.extra.items()
            if all(k in s.extra and np.array_equal(s.extra[k][0], v[0], equal_nan=True)
                   for s in group)}
    out = spectrum(path, first.grid, np.array([s.counts for s in group]), first.axis, attrs,
                   ("scan",), {"scan": (np.arange(1, len(group) + 1), {"long_name": "Scan"})},
                   extra=same)
    varying = {}
    for key, (_, key_attrs) in first.extra.items():
        if key not in same and all(key in s.extra for s in group):
            varying[key] = (("scan", first.axis[0]),
                            np.array([np.asarray(s.extra[key][0], dtype=np.float64)
                                      for s in group]), dict(key_attrs))
    return out.assign_coords(varying) if varying else out
