"""The results of a batch: :class:`BatchResult`, the packed rows of every spectrum fitted by
:meth:`velmora.Model.fit_many` (in memory, or in the Zarr store it wrote), read by name as
arrays over the spectrum axes; and :func:`open_batch`, which reads a store back."""
from collections.abc import Mapping

import numpy as np

from . import store as batch_store
from .axis import Axis, EnergyKind
from .packing import NOT_CONVERGED, NOT_FITTED, OK, STATUS_NAMES, Layout
from .result import FitResult
from .validation import check_counts

__all__ = ["BatchResult", "open_batch", "STATUS_NAMES"]


class _Fields(Mapping):
    """Estimates by name, each read from the packed results when asked for (a Zarr store's
    results are not all read at once); NaN for every spectrum in ``unfitted``."""

    def __init__(self, packed, names, offset, unfitted):
        self._packed, self._index = packed, {n: 2 * i + offset for i, n in enumerate(names)}
        self._unfitted = unfitted if unfitted.any() else None

    def __getitem__(self, name):
        values = np.asarray(self._packed[..., self._index[name]])
        if self._unfitted is not None:
            values = np.where(self._unfitted, np.nan, values)
        return values

    def __iter__(self):
        return iter(self._index)

    def __len__(self):
        return len(self._index)

    def __repr__(self):
        return f"<estimates {list(self._index)}>"


class BatchResult:
    """The results of :func:`velmora.fit_many` (or :meth:`velmora.Model.fit_many`), one entry
    per spectrum: a view over the packed rows of every spectrum's fit.

    Attributes
    ----------
    values, stderr : mapping of str to ndarray
        Every fitted parameter, area, height and FWHM of every spectrum by name (``"p0.x0"``,
        ``"p1.area"``, ``"p0.fwhm"``, ``"background.counts"``, ...), arrays of the shape of
        the spectrum axes, read when asked for (from the store, for a batch written to one).
        NaN where a spectrum was not fitted; stderr NaN where it is not determined, for fixed
        parameters too, and for a peak that is not a detection (see :func:`velmora.fit`).
    dispersion, dispersion_p, errors_scaled : ndarray
        Per spectrum: Pearson's dispersion, its p-value under Poisson noise, and whether the
        standard errors were scaled by its square root (see :attr:`velmora.FitResult.errors`;
        False where not fitted).
    log_likelihood, n_iter, converged, status : ndarray
        Per spectrum.  ``status`` holds codes into :data:`STATUS_NAMES`: 0 ok, 1 not
        converged (values kept), 2 invalid data (NaN, infinite or negative counts), 3 no counts
        in the window, 4 the fit failed, 5 not fitted (the batch was stopped).
    names : list of str
        The estimate names, in order.
    dims : tuple of str
        Names of the spectrum axes (the DataArray's, else ``dim_0``, ``dim_1``, ...).
    coords : dict of str to ndarray or None
        Coordinates of the spectrum axes that the input DataArray had.
    channel : str
        Name of the channel axis (the DataArray's last dimension, else ``"x"``).
    units : dict of str to str
        The ``units`` attribute of every coordinate of the input DataArray that had one, the
        channel axis's included (the units of centres and widths).
    axis : Axis
        The channel axis as the input told it (see :attr:`velmora.FitResult.axis`): its
        name, long name, units and energy, for :meth:`plot_spectrum`.
    energy : EnergyKind or None
        The energy kind a Shirley or Tougaard background took x as, and where it came from
        (see :attr:`velmora.FitResult.energy`): the same for every spectrum, and in the
        attributes of :meth:`to_xarray`.
    kinds : dict of str to str or None
        What each estimate measures: ``"x"`` (a place or a width on the channel axis),
        ``"counts"``, ``"counts per channel"``, ``"eV^2"``, or None (shape factors, slopes).
    model : Model or None
        The model fitted (None for a batch read back with :func:`open_batch`).
    background : Background or None
        The background as the batch fitted it (on its energy kind), None for a batch read
        back with :func:`open_batch`.
    warm_start : str
        ``"previous"`` or ``"none"``.
    """

    def __init__(self, packed, layout, dims, coords, channel="x", units=None, axis=None,
                 energy=None, warm_start="previous", grid=None, data=None, x=None):
        names = layout.names
        # A spectrum whose row a stopped batch never wrote reads NaN in a store: its status
        # "not fitted", its values NaN whatever a write cut short left of them.
        status = np.asarray(packed[..., layout.status])
        self.status = np.where(np.isnan(status), NOT_FITTED, status).astype(np.int8)
        unfitted = self.status == NOT_FITTED
        self.names = list(names)
        self.values = _Fields(packed, names, 0, unfitted)
        self.stderr = _Fields(packed, names, 1, unfitted)
        self.log_likelihood = np.where(unfitted, np.nan, np.asarray(packed[..., layout.ll]))
        self.n_iter = np.where(unfitted, 0, np.asarray(packed[..., layout.n_iter])).astype(
            np.int64)
        self.converged = ~unfitted & (np.asarray(packed[..., layout.converged]) == 1.0)
        self.dispersion = np.where(unfitted, np.nan, np.asarray(packed[..., layout.dispersion]))
        self.dispersion_p = np.where(unfitted, np.nan,
                                     np.asarray(packed[..., layout.dispersion_p]))
        self.errors_scaled = ~unfitted & (np.asarray(packed[..., layout.errors_scaled]) == 1.0)
        self.shape = packed.shape[:-1]
        self._packed, self._layout, self._unfitted = packed, layout, unfitted
        self._grid, self._data, self._x = grid, data, x
        self.warm_start, self.dims, self.coords = warm_start, dims, coords
        self.channel, self.units = channel, dict(units or {})
        self.axis = Axis() if axis is None else axis
        self.energy = energy
        self.kinds = dict(layout.kinds)
        self.model = None if grid is None else grid.model
        self.background = None if grid is None else grid.background

    def __len__(self):
        return int(np.prod(self.shape, dtype=np.int64))

    @property
    def status_names(self):
        """``status`` as an array of its names."""
        return np.asarray(STATUS_NAMES, dtype=object)[self.status]

    def summary(self):
        """Counts of each status, by name."""
        codes, counts = np.unique(self.status, return_counts=True)
        return {STATUS_NAMES[c]: int(n) for c, n in zip(codes, counts)}

    def units_of(self, name):
        """The units of estimate ``name``, or None where they are not known: centres and
        widths in the units of the channel axis (its coordinate's ``units`` attribute, when
        the batch was given an ``xarray.DataArray`` that had one), areas and background counts
        in counts, heights in counts per channel."""
        kind = self.kinds[name]
        return self.units.get(self.channel) if kind == "x" else kind

    def result(self, index):
        """The full :class:`~velmora.FitResult` of one spectrum, read from its packed row: the
        batch's own fit of it (its curves, covariance and statistics worked out from the
        spectrum when asked for).

        Raises
        ------
        IndexError
            For an index outside the batch.
        ValueError
            For a spectrum that was not fitted (its status says why), and for a batch read
            back with :func:`open_batch` (which has the results but not the spectra).
        """
        self._need_data("result")
        if isinstance(index, (int, np.integer)):
            index = (int(index),)
        index = tuple(int(i) for i in np.unravel_index(np.ravel_multi_index(index, self.shape),
                                                          self.shape))
        code = int(self.status[index])
        if code not in (OK, NOT_CONVERGED):
            raise ValueError(f"result: spectrum {index} was not fitted ({STATUS_NAMES[code]})")
        counts = check_counts(np.asarray(self._data[index], dtype=np.float64), self._x.size)
        return FitResult(self._grid, np.asarray(self._packed[index]),
                         self._grid.window_counts(counts), axis=self.axis)

    def _need_data(self, what):
        if self._data is None:
            raise ValueError(f"{what}: a batch read from its store has no spectra; fit one again "
                             f"with velmora.fit, or the batch with fit_many")

    def to_xarray(self):
        """An ``xarray.Dataset``: every estimate (``"p0.x0"``) and its standard error
        (``"p0.x0_stderr"``), ``log_likelihood``, ``n_iter``, ``dispersion``, ``dispersion_p``,
        ``errors_scaled``, ``converged`` and ``status``, over
        the spectrum axes as dimensions (with their coordinates when the input had them).  For
        a batch written to a store, the estimates are Dask arrays read from it lazily.  With a
        Shirley or Tougaard background the attributes ``energy`` and ``energy_source`` say
        which energy kind it took x as, and why (see :attr:`energy`)."""
        import xarray as xr

        if isinstance(self._packed, np.ndarray):
            def field(k):
                return self._packed[..., k]
        else:
            import dask.array as da

            lazy = da.from_zarr(self._packed)
            unfitted = self._unfitted if self._unfitted.any() else None

            def field(k):
                if unfitted is None:
                    return lazy[..., k]
                return da.where(unfitted, np.nan, lazy[..., k])
        variables = {}
        for i, n in enumerate(self.names):
            units = self.units_of(n)
            attrs = {"units": units} if units else {}
            variables[n] = (self.dims, field(2 * i), attrs)
            variables[n + "_stderr"] = (self.dims, field(2 * i + 1), attrs)
        variables["log_likelihood"] = (self.dims, self.log_likelihood)
        variables["n_iter"] = (self.dims, self.n_iter)
        variables["dispersion"] = (self.dims, self.dispersion)
        variables["dispersion_p"] = (self.dims, self.dispersion_p)
        variables["errors_scaled"] = (self.dims, self.errors_scaled)
        variables["converged"] = (self.dims, self.converged)
        variables["status"] = (self.dims, self.status,
                               {"flag_values": list(range(len(STATUS_NAMES))),
                                "flag_meanings": " ".join(s.replace(" ", "_")
                                                          for s in STATUS_NAMES)})
        coords = {d: (d, v, {"units": self.units[d]} if d in self.units else {})
                  for d, v in (self.coords or {}).items()}
        attrs = {} if self.energy is None else {"energy": self.energy.kind,
                                                "energy_source": self.energy.source}
        return xr.Dataset(variables, coords=coords or None, attrs=attrs)

    def __repr__(self):
        parts = ", ".join(f"{k}: {v}" for k, v in self.summary().items())
        return f"<BatchResult of {len(self)} spectra {self.shape}: {parts}>"

    def plot(self, names, *, index=None, ncols=None, title=None):
        """Maps of estimates over the spectrum axes: a matplotlib Figure (no pyplot state).

        One panel per name: an image over two spectrum axes, or the value with a band of one
        standard error over one axis.  Spectra that were not fitted are masked.  See
        :func:`velmora.plot.plot_map` for the parameters.

        Examples
        --------
        >>> fig = batch.plot(["p0.x0", "p0.area"])          # doctest: +SKIP
        >>> fig.savefig("centres.png")                      # doctest: +SKIP
        """
        from .plot import plot_map

        return plot_map(self, names, index=index, ncols=ncols, title=title)

    def plot_spectrum(self, index):
        """The counts and the fit of the spectrum at ``index`` (a matplotlib Figure); a
        spectrum that could not be fitted is shown without a fit, its status in the title.
        Raises IndexError for an index outside the batch."""
        from .plot import plot_batch_spectrum, spectrum_index

        self._need_data("plot_spectrum")
        index = spectrum_index(index, self.shape)
        return plot_batch_spectrum(self, index, self._x, np.asarray(self._data[index]))



def open_batch(store):
    """Read the results :func:`fit_many` wrote to a store back as a :class:`BatchResult`.

    The estimates are read from the store when asked for (``batch.values["p0.x0"]``, lazily
    in :meth:`BatchResult.to_xarray`), the statuses, log-likelihoods and iteration counts at
    once.  Spectra that a stopped batch did not write have the status "not fitted" and NaN
    values; ``fit_many(..., store=store, resume=True)`` fits them.  The batch has the
    dimension names, coordinates, units and energy kind of the batch that wrote the store,
    but not its spectra: :meth:`BatchResult.result` and :meth:`BatchResult.plot_spectrum`
    need ``fit_many`` itself.

    Parameters
    ----------
    store : str or path
        The path or URL of a store written by ``fit_many(..., store=...)``.

    Returns
    -------
    BatchResult

    Raises
    ------
    TypeError
        For a store that is not a string or a path.
    ValueError
        For a path where there is nothing, or something other than a batch's store.
    ImportError
        Without ``zarr``.

    Examples
    --------
    >>> batch = velmora.open_batch("fits.zarr")             # doctest: +SKIP
    >>> batch.summary()                                     # doctest: +SKIP
    {'ok': 9120, 'not fitted': 880}
    """
    store = batch_store.check_store(store)
    packed = batch_store.open_packed(store)
    attrs = packed.attrs.asdict()
    layout = Layout.stored(attrs)
    dims = tuple(attrs["dims"])
    coords = batch_store.read_coords(store, dims) or None
    energy = attrs.get("energy")
    return BatchResult(packed, layout, dims, coords, channel=attrs["channel"],
                       units=attrs["units"], axis=Axis(**attrs["axis"]),
                       energy=None if energy is None else EnergyKind(**energy),
                       warm_start=attrs["warm_start"])


