"""The energy kind of x (binding or kinetic) travels with a DataArray into the Shirley and
Tougaard backgrounds, of one fit and of a batch alike; the result says which kind was taken and
why; a window without data on an energy axis points to the other kind."""
import warnings

import numpy as np
import pytest

import velmora
from test_package_batch import assert_is_single_fit
from test_package_shirley import BE, JUMP, OFFSET, PHOTON, doublet

xr = pytest.importorskip("xarray")

KE = PHOTON - BE[::-1]  # the doublet on a kinetic-energy axis, stored from low to high


def peaks():
    return [velmora.Peak("gaussian"), velmora.Peak("gaussian")]


def on_kinetic_axis(counts, named=True, **attrs):
    """Counts simulated on BE as a DataArray on kinetic energy: a coordinate
    ``kinetic_energy``, or a coordinate ``energy`` with ``attrs["energy"] = "kinetic"``."""
    if named:
        dims = ("t", "kinetic_energy") if counts.ndim == 2 else "kinetic_energy"
        return xr.DataArray(counts[..., ::-1], dims=dims, coords={"kinetic_energy": KE},
                            attrs=attrs)
    return xr.DataArray(counts[::-1], dims="energy",
                        coords={"energy": ("energy", KE, {"energy": "kinetic"})}, attrs=attrs)


@pytest.mark.parametrize("named", [True, False], ids=["coordinate", "attribute"])
@pytest.mark.parametrize("background", ["shirley", "tougaard"])
def test_a_kinetic_dataarray_gets_the_kinetic_step_and_tail(background, named):
    counts, _ = doublet(seed=6)
    da = on_kinetic_axis(counts, named)
    r = velmora.fit(da[da.dims[0]], da, peaks(), background=background)
    assert (r.energy.kind, r.energy.source) == ("kinetic", "data")
    assert f"{background} (kinetic energy, from the data" in r.report()
    # The fit with energy="kinetic" on plain arrays, to the bit; the binding side loses.
    given = velmora.fit(KE, counts[::-1], peaks(), background=background, energy="kinetic")
    assert r.log_likelihood == given.log_likelihood
    assert given.energy.source == "argument"
    binding = velmora.fit(KE, counts[::-1], peaks(), background=background)
    assert r.log_likelihood > binding.log_likelihood + 1000.0
    # The background rises towards low kinetic energy: the step under the peaks' low-KE side.
    curve = r.eval_components()["background"]
    assert curve[:20].mean() > OFFSET + 0.8 * JUMP and curve[-20:].mean() < OFFSET + 0.1 * JUMP


def test_an_energy_given_against_the_data_is_refused_and_a_plain_array_says_what_it_assumed():
    counts, _ = doublet(seed=7)
    da = on_kinetic_axis(counts)
    before = da.values.copy()
    for kwargs, where in ((dict(background="shirley", energy="binding"), "energy"),
                          (dict(background=velmora.Tougaard("binding")), "background")):
        with pytest.raises(ValueError, match=f"^{where}: binding energy was given, but the data "
                                             f"say kinetic energy \\(the coordinate "
                                             f"'kinetic_energy'\\)") as err:
            velmora.fit(da["kinetic_energy"], da, peaks(), **kwargs)
        assert "\n" not in str(err.value)
    assert np.array_equal(da.values, before)
    agreed = velmora.fit(da["kinetic_energy"], da, peaks(), background=velmora.Shirley("kinetic"))
    assert agreed.energy.source == "data"
    plain = velmora.fit(BE, counts, peaks(), background=velmora.Shirley())
    assert (plain.energy.kind, plain.energy.source) == ("binding", "default")
    assert ("shirley (binding energy, assumed: plain array; pass energy='kinetic'"
            in plain.report())
    assert plain.to_dict()["energy"] == {"kind": "binding", "source": "default",
                                         "reason": "plain array"}
    uniform = velmora.fit(da["kinetic_energy"], da, peaks(), background="uniform")
    assert uniform.energy is None and uniform.to_dict()["energy"] is None


def test_a_batch_on_a_kinetic_axis_is_its_single_fits():
    Y = np.stack([doublet(seed=s)[0] for s in (8, 9, 10)])
    da = on_kinetic_axis(Y)
    batch = velmora.fit_many(da["kinetic_energy"], da, peaks(), background="shirley",
                             warm_start="none", workers=2)
    assert (batch.energy.kind, batch.energy.source) == ("kinetic", "data")
    assert batch.to_xarray().attrs == {"energy": "kinetic", "energy_source": "data"}
    for i in range(3):
        alone = velmora.fit(da["kinetic_energy"], da[i], peaks(), background="shirley")
        assert_is_single_fit(batch, i, alone)
    assert batch.result(1).energy == batch.energy


def window_error(da, window):
    with pytest.raises(ValueError) as err:
        velmora.fit(da[da.dims[0]], da, peaks(), background="shirley", window=window)
    with pytest.raises(ValueError) as guessed:
        velmora.guess_peaks(da[da.dims[0]], da, 1, window=window)
    assert str(guessed.value) == str(err.value)  # the command line guesses first
    return str(err.value)


def test_a_window_of_the_other_energy_kind_is_pointed_out_both_ways():
    counts, _ = doublet(seed=11)
    kinetic = on_kinetic_axis(counts, excitation_energy=PHOTON)
    binding = xr.DataArray(counts, dims="binding_energy", coords={"binding_energy": BE},
                           attrs={"energy": "binding", "excitation_energy": PHOTON})
    assert window_error(kinetic, (282.0, 288.0)) == (
        "window: [282.0, 288.0] holds 0 data points (x runs from 1194.6 to 1206.6, kinetic "
        "energy); a fit needs at least two; in binding energy, with the excitation energy "
        "1486.6 eV, the data run from 280.0 to 292.0: read the file with energy='binding' "
        "(velmora.read(..., energy='binding'), --energy binding on the command line)")
    assert ("(x runs from 280.0 to 292.0, binding energy); a fit needs at least two; in "
            "kinetic energy, with the excitation energy 1486.6 eV, the data run from 1194.6 to "
            "1206.6: read the file with energy='kinetic'") in window_error(binding, (1195, 1200))
    # Neither kind holds data there: the axis is named, nothing suggested.
    assert window_error(kinetic, (500.0, 510.0)).endswith(
        "(x runs from 1194.6 to 1206.6, kinetic energy); a fit needs at least two")
    # Without the excitation energy: no conversion, but a window off the data is pointed to
    # the other kind; one inside the data's range that is too narrow is not.
    bare = on_kinetic_axis(counts)
    assert ("kinetic energy); a fit needs at least two; if the window is in binding energy, "
            "the data must be turned into it, and they carry no excitation energy to do so"
            ) in window_error(bare, (282.0, 288.0))
    assert window_error(bare, (1200.001, 1200.02)).endswith(
        "(x runs from 1194.6 to 1206.6, kinetic energy); a fit needs at least two")


def test_a_kinetic_vamas_file_fits_as_its_binding_energy_reading(vendor):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # processed intensities, not whole counts
        kinetic = velmora.read(vendor / "Pt4f.vms")
        binding = velmora.read(vendor / "Pt4f.vms", energy="binding")
    photon = kinetic.attrs["excitation_energy"]
    assert kinetic.dims == ("kinetic_energy",) and photon == 1486.68
    b = velmora.fit(binding["binding_energy"], binding, velmora.doublet("voigt", "Pt4f"),
                    background="shirley")
    # On kinetic energy the 4f5/2 line lies 3.33 eV below the 4f7/2 one.
    first, second = velmora.doublet("voigt", "Pt4f")
    k = velmora.fit(kinetic["kinetic_energy"], kinetic,
                    [first, second.replace(x0="Pt4f7.x0 - 3.33")], background="shirley")
    assert (k.energy.kind, k.energy.source, b.energy.kind) == ("kinetic", "data", "binding")
    assert k.log_likelihood == pytest.approx(b.log_likelihood, rel=1e-10)
    assert k.background["step"].value == pytest.approx(b.background["step"].value, rel=1e-6)
    for name in ("Pt4f7", "Pt4f5"):
        assert k.peaks[name]["area"].value == pytest.approx(b.peaks[name]["area"].value,
                                                            rel=1e-6)
        assert k.peaks[name]["x0"].value == pytest.approx(photon - b.peaks[name]["x0"].value,
                                                          abs=1e-5)
