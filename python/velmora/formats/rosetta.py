"""Reading through RosettaSciIO (``rsciio``, the HyperSpy project's readers): its reader's
dictionary (data, axes, metadata) for a path, its failures as FileError and its log messages
collected instead of printed, and the DataArray pieces of its axes."""
import importlib
import logging
import os
import warnings

import numpy as np

from .common import FileError, axis_from_label, has_module, snake


class _Collect(logging.Handler):
    """The reader's log messages, kept instead of printed."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append((record.levelno, record.getMessage()))


def read_rsciio(path, module):
    """The dictionary RosettaSciIO's ``module`` reads from ``path``; its log messages are
    collected (returned), not printed."""
    if not has_module("rsciio"):
        raise FileError(f"{path}: reading this format needs RosettaSciIO: "
                        f"pip install 'velmora[io]'")
    import rsciio  # noqa: F401  (sets up its logger, which is quieted below)

    collect = _Collect()
    logger = logging.getLogger("rsciio")
    # RosettaSciIO prints its messages to standard output through a handler of its own: set
    # aside while it reads (its readers log at import too).
    handlers, propagate, level = logger.handlers[:], logger.propagate, logger.level
    logger.handlers = [collect]
    logger.propagate = False
    logger.setLevel(logging.INFO)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            reader = importlib.import_module(module)
            found = reader.file_reader(os.fspath(path))
    except FileError:
        raise
    except Exception as exc:  # the reader's failures are many kinds; each is a bad file here
        text = str(exc).strip().splitlines()
        raise FileError(f"cannot read {path}: {text[0] if text else type(exc).__name__}") \
            from None
    finally:
        logger.handlers, logger.propagate = handlers, propagate
        logger.setLevel(level)
    return found[0], collect.messages


def axes_of(path, found):
    """The DataArray pieces of an rsciio dictionary: the spectral grid and its axis, the
    spectrum dimensions and their coordinates (y before x for a map)."""
    axes = sorted(found["axes"], key=lambda a: a.get("index_in_array", 0))
    signal = [a for a in axes if not a.get("navigate", False)]
    if len(signal) != 1:
        raise FileError(f"{path}: {len(signal)} spectral axes; expected one")
    signal = signal[0]
    dims, coords = [], {}
    for a in axes:
        if a is signal:
            continue
        dim = {"X": "x", "Y": "y", "Abs. Distance": "distance"}.get(a["name"], snake(a["name"]))
        vals = _grid(a)
        attrs = {"long_name": str(a["name"])}
        if a.get("units"):
            attrs["units"] = {"µm": "µm", "ns": "ns"}.get(a["units"], str(a["units"]))
        dims.append(dim)
        coords[dim] = (vals, attrs)
    name = str(signal.get("name", ""))
    units = str(signal.get("units", "") or "")
    if units in ("1/cm", "cm-1", "1/cm ") or name == "Raman Shift":
        axis = axis_from_label("Raman shift", "1/cm")
    else:
        axis = axis_from_label(name, units)
    return _grid(signal), axis, tuple(dims), coords


def _grid(a):
    if "axis" in a:
        return np.asarray(a["axis"], dtype=np.float64)
    return a.get("offset", 0.0) + a.get("scale", 1.0) * np.arange(a["size"])
