"""Lines in pairs and plot axes: spin-orbit doublets fitted with their ties holding exactly,
Kα2 partners placed by Bragg's law, guessed reflections with partners, and the x axis of a
plot (labels with units, binding energy from high to low)."""
import math
import types

import numpy as np
import pytest

import velmora
import velmora_core
from velmora.axis import Axis
from velmora.ties import area_factor, parse_tie

matplotlib = pytest.importorskip("matplotlib")

# ------------------------------------------------------------------------------- doublets

BE = np.linspace(78.0, 95.0, 681)          # binding energy, eV
AU = dict(x0=84.0, gamma=0.3, alpha=0.08)  # Au 4f7/2, Doniach-Sunjic
AU_AREA, AU_SPLIT = 40000.0, 3.67


def au4f(seed=11, ratio=0.75, gamma5=None):
    """Poisson counts of an Au 4f doublet on a Shirley background (constant + step)."""
    step = BE[1] - BE[0]

    def line(x0, gamma, area):
        return area * step * velmora_core.doniach_sunjic_predict(BE, x0, gamma, AU["alpha"])

    peaks = (line(AU["x0"], AU["gamma"], AU_AREA)
             + line(AU["x0"] + AU_SPLIT, gamma5 or AU["gamma"], ratio * AU_AREA))
    cumulative = np.concatenate([[0.0], np.cumsum(0.5 * (peaks[1:] + peaks[:-1]))])
    rate = peaks + 30.0 + 40.0 * cumulative / cumulative[-1]
    return np.random.default_rng(seed).poisson(rate).astype(float)


def test_a_fitted_au4f_doublet_keeps_its_ties_exactly_and_recovers_the_truth():
    peaks = velmora.doublet("doniach_sunjic", "Au4f")
    assert [p.name for p in peaks] == ["Au4f7", "Au4f5"]
    r = velmora.fit(BE, au4f(), peaks, background="shirley")
    assert r.converged
    a7, a5 = r.peaks["Au4f7"], r.peaks["Au4f5"]
    assert a5["x0"].value - a7["x0"].value == pytest.approx(AU_SPLIT, abs=1e-12)
    assert a5["area"].value / a7["area"].value == pytest.approx(0.75, rel=1e-12)
    for name in ("gamma", "alpha"):
        assert a5[name].value == a7[name].value
    for name, want in (*AU.items(), ("area", AU_AREA)):
        assert abs(a7[name].value - want) < 3 * a7[name].stderr, (name, a7[name])
    assert r.n_free == 6  # x0, gamma, alpha, area and the Shirley offset and step


def test_ratio_and_share_overrides_take_effect_in_the_fit():
    # Truth: a 0.6 ratio and a wider second line; share only the asymmetry.
    counts = au4f(seed=12, ratio=0.6, gamma5=0.45)
    peaks = velmora.doublet("doniach_sunjic", "Au4f", x0=84.1, ratio=0.6, share=("alpha",))
    assert set(peaks[1].ties) == {"x0", "alpha", "area"}
    r = velmora.fit(BE, counts, peaks, background="shirley")
    a7, a5 = r.peaks["Au4f7"], r.peaks["Au4f5"]
    assert a5["area"].value / a7["area"].value == pytest.approx(0.6, rel=1e-12)
    assert a5["alpha"].value == a7["alpha"].value
    assert abs(a5["gamma"].value - 0.45) < 3 * a5["gamma"].stderr
    assert abs(a7["gamma"].value - 0.3) < 3 * a7["gamma"].stderr
    # share=() leaves every width free.
    assert set(velmora.doublet("voigt", "Au4f", share=())[1].ties) == {"x0", "area"}


@pytest.mark.parametrize("level, names, ratio, splitting", [
    ("Cu2p", ("Cu2p3", "Cu2p1"), 1 / 2, 19.75),
    ("Ag3d", ("Ag3d5", "Ag3d3"), 2 / 3, 6.0),
    ("Pt4f", ("Pt4f7", "Pt4f5"), 3 / 4, 3.33),
])
def test_p_d_f_doublets_have_their_names_ratios_and_tabulated_splittings(level, names, ratio,
                                                                          splitting):
    first, second = velmora.doublet("voigt", level, x0=100.0, fix="sigma")
    assert (first.name, second.name) == names
    assert first.values["x0"] == 100.0 and first.fix == ("sigma",)
    assert area_factor(parse_tie(second.ties["area"], second.name, "area")) == (names[0], ratio)
    assert second.ties["x0"] == f"{names[0]}.x0 + {splitting!r}"
    assert velmora.doublet("voigt", level, splitting=1.5)[1].ties["x0"].endswith("+ 1.5")


@pytest.mark.parametrize("call, words", [
    (lambda: velmora.doublet("gaussian", "C1s"), "s level"),
    (lambda: velmora.doublet("gaussian", "Xx4f"), "pass splitting="),
    (lambda: velmora.doublet("gaussian", "core", splitting=1.0), "orbital"),
    (lambda: velmora.doublet("gaussian", "Au4f", orbital="d"), "contradicts"),
    (lambda: velmora.doublet("gaussian", "Au4f", ratio=0.0), "ratio"),
    (lambda: velmora.doublet("gaussian", "Au4f", ratio=math.inf), "ratio"),
    (lambda: velmora.doublet("gaussian", "Au4f", splitting=-3.67), "splitting"),
    (lambda: velmora.doublet("gaussian", "Au 4f", splitting=1.0, orbital="f"), "identifier"),
    (lambda: velmora.doublet("voigt", "Au4f", share=("eta",)), "share"),
    (lambda: velmora.doublet("voigt", "Au4f", share=("x0",)), "share"),
    (lambda: velmora.doublet("tsdc", "Au4f"), "thermogram"),
])
def test_bad_doublets_are_refused_with_a_clear_message(call, words):
    with pytest.raises(ValueError, match=words):
        call()


# ------------------------------------------------------------------------------ Kα2 partners

CU_RATIO = 1.5444140 / 1.54059292  # International Tables Vol. C, Table 4.2.2.1


def bragg(two_theta, ratio=CU_RATIO):
    return 2 * math.degrees(math.asin(ratio * math.sin(math.radians(two_theta / 2))))


def reflection(centre, sigma=0.03, area=20000.0, seed=0):
    """(x, counts) of a Cu Kα1 reflection and its Kα2 partner (half its area)."""
    x = np.linspace(centre - 1.0, bragg(centre) + 1.0, 801)
    step = x[1] - x[0]
    rate = 10.0 + area * step * (velmora_core.gaussian_predict(x, centre, sigma)
                                 + 0.5 * velmora_core.gaussian_predict(x, bragg(centre), sigma))
    return x, np.random.default_rng(seed).poisson(rate).astype(float)


@pytest.mark.parametrize("centre", [20.0, 60.0, 120.0, 150.0])
def test_the_kalpha2_partner_follows_braggs_law_in_the_fit(centre):
    x, counts = reflection(centre)
    ka1 = velmora.Peak("gaussian", name="r", x0=centre + 0.02)
    ka2 = velmora.kalpha2(ka1, "Cu")
    assert ka2.name == "r_a2" and ka2.ties["sigma"] == "r.sigma"
    r = velmora.fit(x, counts, [ka1, ka2], background="uniform")
    assert r.converged
    fitted, partner = r.peaks["r"]["x0"].value, r.peaks["r_a2"]["x0"].value
    assert partner == pytest.approx(bragg(fitted), abs=1e-9)
    assert partner > fitted
    assert r.peaks["r_a2"]["area"].value == pytest.approx(0.5 * r.peaks["r"]["area"].value,
                                                          rel=1e-12)
    assert abs(fitted - centre) < 3 * r.peaks["r"]["x0"].stderr


def test_kalpha2_of_other_anodes_and_ratios():
    ka1 = velmora.Peak("pseudo_voigt", name="hkl", x0=40.0)
    mo = velmora.kalpha2(ka1, "Mo", ratio=0.52, name="mo")
    assert mo.name == "mo" and mo.ties["area"] == "0.52 * hkl.area"
    assert set(mo.ties) == {"x0", "gamma", "eta", "area"}
    pair = velmora.kalpha2(ka1, (1.0, 1.01))
    assert "1.01 * sin(radians(hkl.x0 / 2))" in pair.ties["x0"]


@pytest.mark.parametrize("call, words", [
    (lambda: velmora.kalpha2(velmora.Peak("gaussian", name="a", x0=40.0), "Xx"), "anode"),
    (lambda: velmora.kalpha2(velmora.Peak("gaussian", x0=40.0)), "name"),
    (lambda: velmora.kalpha2(velmora.Peak("gaussian", name="a", x0=178.0)), "no Kα2 partner"),
    (lambda: velmora.kalpha2(velmora.Peak("gaussian", name="a", x0=200.0)), "outside"),
    (lambda: velmora.kalpha2(velmora.Peak("gaussian", name="a"), ratio=-0.5), "ratio"),
])
def test_bad_kalpha2_partners_are_refused_with_a_clear_message(call, words):
    with pytest.raises(ValueError, match=words):
        call()


def test_guess_peaks_with_kalpha2_returns_named_reflections_and_their_partners():
    x = np.linspace(25.0, 75.0, 5001)
    step = x[1] - x[0]
    truth = [(30.0, 30000.0), (47.0, 15000.0), (68.0, 20000.0)]
    rate = 20.0 + sum(area * step * (velmora_core.gaussian_predict(x, c, 0.04)
                                     + 0.5 * velmora_core.gaussian_predict(x, bragg(c), 0.04))
                      for c, area in truth)
    counts = np.random.default_rng(5).poisson(rate).astype(float)
    peaks = velmora.guess_peaks(x, counts, 3, kalpha2="Cu")
    assert [p.name for p in peaks] == ["p0", "p0_a2", "p1", "p1_a2", "p2", "p2_a2"]
    assert peaks[1].ties["x0"].endswith("sin(radians(p0.x0 / 2))))")
    r = velmora.fit(x, counts, peaks, background="uniform")
    assert r.converged
    alone = velmora.guess_peaks(x, counts, 3)  # the areas read without partners
    for k, (centre, area) in enumerate(truth):
        est = r.peaks[f"p{k}"]
        assert abs(est["x0"].value - centre) < 3 * est["x0"].stderr
        assert abs(est["area"].value - area) < 3 * est["area"].stderr
        # A starting area leaves the partner its share: near Kα1's own, and no further from
        # it than the area read there (at 30° the pair is read as one bump, at 68° not).
        assert peaks[2 * k].area == pytest.approx(area, rel=0.3)
        assert abs(peaks[2 * k].area - area) <= abs(alone[k].area - area) + 0.01 * area
    with pytest.raises(ValueError, match="anode"):
        velmora.guess_peaks(x, counts, 3, kalpha2="Xx")


def test_guess_peaks_with_kalpha2_does_not_take_a_partner_for_a_reflection():
    # A strong reflection whose resolved Kα2 line stands higher than a weak reflection: the
    # partner goes with its reflection, and the weak one is found.
    x = np.linspace(40.0, 75.0, 3501)
    step = x[1] - x[0]
    rate = 20.0
    for centre, area in ((47.0, 40000.0), (69.0, 3000.0)):
        rate = rate + area * step * (velmora_core.gaussian_predict(x, centre, 0.03)
                                     + 0.5 * velmora_core.gaussian_predict(x, bragg(centre), 0.03))
    counts = np.random.default_rng(8).poisson(rate).astype(float)
    peaks = velmora.guess_peaks(x, counts, 2, kalpha2="Cu")
    assert [round(p.values["x0"]) for p in peaks[::2]] == [47, 69]


def test_a_line_tied_outside_the_window_is_refused_and_guessed_partners_stay_inside():
    # A tied line centred beyond the window would pour its area (its counts in the window)
    # into the window's edge and take them from its partner: refused, naming the line.
    x = np.arange(40.0, 47.36, 0.02)
    rate = 20.0 + 20000 * 0.02 * velmora_core.pseudo_voigt_predict(x, 47.3, 0.1, 0.5, x[0],
                                                                    x[-1])
    counts = np.random.default_rng(3).poisson(rate).astype(float)
    reflection = velmora.Peak("pseudo_voigt", name="r", x0=47.3, gamma=0.1, eta=0.5)
    with pytest.raises(ValueError, match=r"r_a2.x0: .* outside the fitting window"):
        velmora.fit(x, counts, [reflection, velmora.kalpha2(reflection)], background="linear")
    with pytest.raises(ValueError, match=r"Au4f5.x0: .* outside the fitting window"):
        velmora.fit(BE, au4f(seed=2), velmora.doublet("voigt", "Au4f", x0=84.0),
                    window=(80.0, 86.0))
    # guess_peaks leaves out the partner it cannot place, and the reflection keeps its area.
    peaks = velmora.guess_peaks(x, counts, 1, "pseudo_voigt", kalpha2="Cu")
    assert [p.name for p in peaks] == ["p0"]
    assert peaks[0].area == velmora.guess_peaks(x, counts, 1, "pseudo_voigt")[0].area
    assert velmora.fit(x, counts, peaks, background="linear").converged


# ------------------------------------------------------------------------------- plot axes

def axis_direction(fig):
    """Whether the figure's x axes run from high to low (all panels agree)."""
    inverted = {ax.xaxis_inverted() for ax in fig.axes}
    assert len(inverted) == 1
    lo, hi = fig.axes[0].get_xlim()
    assert (lo > hi) == inverted.pop()
    return lo > hi


def test_a_binding_energy_dataarray_is_drawn_from_high_to_low_with_its_units():
    xr = pytest.importorskip("xarray")
    counts = au4f(seed=13)
    peaks = velmora.doublet("doniach_sunjic", "Au4f")
    da = xr.DataArray(counts, dims="binding_energy",
                      coords={"binding_energy": ("binding_energy", BE, {"units": "eV"})})
    for x in (da["binding_energy"], BE):  # x a coordinate, or the counts' own coordinate
        r = velmora.fit(x, da, peaks, background="linear")
        assert r.axis == Axis(name="binding_energy", units="eV")
        fig = r.plot()
        assert axis_direction(fig)
        assert fig.axes[-1].get_xlabel() == "Binding energy (eV)"
    plain = velmora.fit(BE, counts, peaks, background="linear")
    # The same numbers and report; only the JSON's axis says what x is.
    named, unnamed = r.to_dict(), plain.to_dict()
    assert named.pop("axis") == {"name": "binding_energy", "long_name": None, "units": "eV",
                                 "energy": "binding"}
    assert unnamed.pop("axis")["units"] is None
    assert named == unnamed and r.report() == plain.report()
    assert not axis_direction(plain.plot())
    assert plain.plot().axes[-1].get_xlabel() == "x"


def test_an_energy_attribute_and_a_shirley_fit_make_binding_energy_axes():
    xr = pytest.importorskip("xarray")
    counts = au4f(seed=14)
    peaks = velmora.doublet("doniach_sunjic", "Au4f")
    da = xr.DataArray(counts, dims="energy", coords={"energy": BE}, attrs={"energy": "binding"})
    fig = velmora.fit(da["energy"], da, peaks).plot()
    assert axis_direction(fig) and fig.axes[-1].get_xlabel() == "Binding energy"
    fig = velmora.fit(BE, counts, peaks, background="shirley").plot()  # Shirley: binding
    assert axis_direction(fig) and fig.axes[-1].get_xlabel() == "Binding energy"
    # Kinetic energy and 2θ run from low to high, whatever the background.
    ke = xr.DataArray(counts[::-1], dims="kinetic_energy",
                      coords={"kinetic_energy": ("kinetic_energy", 1486.6 - BE[::-1],
                                                 {"long_name": "Kinetic energy", "units": "eV"})})
    r = velmora.fit(ke["kinetic_energy"], ke, peaks[:1] + [velmora.Peak("voigt")],
                    background=velmora.Shirley(energy="kinetic"))
    assert not axis_direction(r.plot()) and r.plot().axes[-1].get_xlabel() == "Kinetic energy (eV)"
    x, counts = reflection(60.0)
    tt = xr.DataArray(counts, dims="two_theta", coords={"two_theta": x})
    fig = velmora.fit(tt["two_theta"], tt, velmora.Peak("gaussian"), background="uniform").plot()
    assert not axis_direction(fig) and fig.axes[-1].get_xlabel() == "2θ (degree)"
    # Any background with energy == "binding" (a Tougaard one too) marks plain arrays.
    assert Axis().inverted(types.SimpleNamespace(energy="binding"))
    assert not Axis(name="two_theta").inverted(types.SimpleNamespace(energy="binding"))


def test_a_batch_spectrum_on_a_binding_energy_axis_is_drawn_from_high_to_low():
    xr = pytest.importorskip("xarray")
    Y = np.stack([au4f(seed=s) for s in (21, 22)])
    Y[1] = 0.0  # not fitted: drawn as data alone, on the same axis
    da = xr.DataArray(Y, dims=("t", "binding_energy"),
                      coords={"binding_energy": ("binding_energy", BE, {"units": "eV"})})
    batch = velmora.fit_many(BE, da, velmora.doublet("doniach_sunjic", "Au4f", x0=84.0),
                             background="linear", workers=1)
    for k in (0, 1):
        fig = batch.plot_spectrum(k)
        assert axis_direction(fig) and fig.axes[-1].get_xlabel() == "Binding energy (eV)"
