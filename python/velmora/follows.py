"""Terms that follow the peaks, as the core's registry describes them.

A background term that follows the peaks is a linear operator on the peaks' own counts that the
engine recomputes at every evaluation: the Shirley step, or a loss tail by an inelastic
cross-section (Tougaard's).  The core holds one registry of their kinds
(``velmora_core._follow_terms()``): each kind's code, its parameters (name, unit, meaning),
whether it is a loss kernel, and the names its counts and share are reported under.  This
module reads it once; a background (:mod:`velmora.backgrounds`) names a kind and gives its
parameters by name, and nothing here writes a kind's code, the order of its parameters or its
kernel's formula.
"""
from dataclasses import dataclass

import numpy as np
import velmora_core


@dataclass(frozen=True)
class FollowParam:
    """One parameter of a kind of term that follows the peaks."""

    name: str
    unit: str
    description: str


@dataclass(frozen=True)
class FollowKind:
    """A kind of term that follows the peaks.

    Attributes
    ----------
    code : int
        Its code in the engine's model.
    name, description : str
    params : tuple of FollowParam
        The numbers after the side in the engine's description of a term, in order.
    kernel : bool
        Whether it is a loss kernel (:meth:`kernel_at` evaluates it).
    counts : str
        The name a background reports the term's counts under.
    share, share_unit : str or None
        The name and unit its share is reported under, None when the share is not reported
        (the Shirley step's is only a ratio of counts).
    """

    code: int
    name: str
    description: str
    params: tuple
    kernel: bool
    counts: str
    share: object
    share_unit: object

    def values(self, given):
        """The kind's parameters in the engine's order, taken by name from ``given`` (a dict
        that may hold more)."""
        missing = [p.name for p in self.params if p.name not in given]
        if missing:
            raise ValueError(f"the {self.name} term needs {', '.join(missing)}")
        return tuple(float(given[p.name]) for p in self.params)

    def engine_term(self, side, given):
        """The term as the engine takes it: the code, the side (+1 below, -1 above), then
        :meth:`values`."""
        return (self.code, side) + self.values(given)

    def kernel_at(self, t, given):
        """K(t) per eV at the losses ``t`` (eV), with the parameters ``given`` by name."""
        return velmora_core._follow_kernel(self.code, np.ascontiguousarray(t, dtype=np.float64),
                                           np.array(self.values(given), dtype=np.float64))


def _read_registry():
    kinds = {}
    for entry in velmora_core._follow_terms():
        params = tuple(FollowParam(p["name"], p["unit"], p["description"])
                       for p in entry["params"])
        kinds[entry["name"]] = FollowKind(
            code=entry["code"], name=entry["name"], description=entry["description"],
            params=params, kernel=entry["kernel"], counts=entry["counts"], share=entry["share"],
            share_unit=entry["share_unit"])
    return kinds


FOLLOW_KINDS = _read_registry()
