"""Model files: a file is the model built in Python, a fit written back with to_toml starts at
its own optimum, every mistake is one line naming the file and the table; the curves of a fit
as CSV and as an xarray Dataset."""
import math

import numpy as np
import pytest

import velmora
import velmora_core
from velmora.io import read_columns

BE = np.linspace(78.0, 97.0, 381)  # binding energy, eV


def gold(seed=5):
    """Poisson counts of a Voigt Au 4f doublet and a Gaussian satellite on a step."""
    step = BE[1] - BE[0]

    def line(x0, area):
        return area * step * velmora_core.voigt_predict(BE, x0, 0.25, 0.15, BE[0], BE[-1])

    peaks = (line(84.0, 30000.0) + line(87.67, 22500.0)
             + 2500.0 * step * velmora_core.gaussian_predict(BE, 91.0, 0.6))
    rate = peaks + 40.0 + 30.0 * np.cumsum(peaks) / peaks.sum()
    return np.random.default_rng(seed).poisson(rate).astype(float)


MODEL = """\
background = { kind = "tougaard", C = 551.0, D = 436.0 }
energy = "binding"
window = [79.0, 96.0]

[bounds]
sigma = { min = 0.05, max = 1.0 }

[[doublet]]
shape = "voigt"
name = "Au4f"
x0 = { value = 84.1, min = 83.0, max = 85.0 }
gamma = { fixed = true }
ratio = 0.75

[[peak]]
shape = "gaussian"
name = "Sat"
x0 = "Au4f7.x0 + 7.0"
sigma = 0.5
area = { value = 2000.0, min = 0.0 }
"""


def python_model():
    """MODEL, built in Python."""
    peaks = velmora.doublet("voigt", "Au4f", x0=84.1, bounds={"x0": (83.0, 85.0)}, fix="gamma",
                            ratio=0.75)
    peaks.append(velmora.Peak("gaussian", name="Sat", x0="Au4f7.x0 + 7.0", sigma=0.5,
                              area=2000.0, bounds={"area": (0.0, None)}))
    return dict(peaks=peaks, background=velmora.Tougaard("binding", C=551.0, D=436.0),
                window=(79.0, 96.0), bounds={"sigma": (0.05, 1.0)})


@pytest.fixture
def model_file(tmp_path):
    path = tmp_path / "model.toml"
    path.write_text(MODEL, encoding="utf-8")
    return path


def test_a_model_file_fits_as_the_same_model_built_in_python(model_file):
    counts = gold()
    from_file = velmora.fit(BE, counts, **velmora.load_model(model_file))
    in_python = velmora.fit(BE, counts, **python_model())
    assert from_file.converged
    assert from_file.to_dict() == in_python.to_dict()
    assert from_file.peaks["Sat"]["x0"].value == from_file.peaks["Au4f7"]["x0"].value + 7.0


def test_a_fit_written_with_to_toml_loads_as_its_model_and_refits_to_its_optimum(model_file,
                                                                                 tmp_path):
    counts = gold()
    first = velmora.fit(BE, counts, **velmora.load_model(model_file))
    saved = tmp_path / "fitted.toml"
    text = first.to_toml(saved)
    assert saved.read_text(encoding="utf-8") == text
    model = velmora.load_model(saved)
    by_name = {p.name: p for p in model["peaks"]}
    # Doublet lines and ties come back as plain peaks with their ties; the fixed width as
    # the value guessed for it; bounds, the shared ones and the background as they were.
    for peak in first.model.peaks:
        loaded = by_name[peak.name]
        assert (loaded.ties, loaded.fix, loaded.bounds) == (peak.ties, peak.fix, peak.bounds)
    guessed = first.params["Au4f7.gamma"].value
    assert by_name["Au4f7"].values["gamma"] == guessed
    assert by_name["Au4f7"].values["x0"] == first.peaks["Au4f7"]["x0"].value  # exactly
    assert model["bounds"] == {"sigma": (0.05, 1.0)} and model["window"] == (79.0, 96.0)
    assert (model["background"].C, model["background"].D) == (551.0, 436.0)

    again = velmora.fit(BE, counts, **model)
    assert again.log_likelihood == pytest.approx(first.log_likelihood, rel=1e-10)
    for peak in first.peaks:
        for name, estimate in peak.items():
            if estimate.stderr:
                assert abs(again.peaks[peak.name][name].value - estimate.value) \
                    < 1e-3 * estimate.stderr, (peak.name, name)


def test_kalpha2_file_takes_the_wavelengths_or_the_anode_the_data_state(tmp_path):
    xr = pytest.importorskip("xarray")
    path = tmp_path / "xrd.toml"
    path.write_text('kalpha2 = "file"\nkalpha2_ratio = 0.45\n'
                    '[[peak]]\nshape = "gaussian"\nx0 = 28.4\n'
                    '[[peak]]\nshape = "gaussian"\nx0 = 47.3\nkalpha2 = false\n')
    two_theta = np.linspace(20.0, 60.0, 50)

    def pattern(**attrs):
        return xr.DataArray(np.ones(50), dims="two_theta", coords={"two_theta": two_theta},
                            attrs=attrs)

    stated = pattern(wavelength_kalpha1=1.540598, wavelength_kalpha2=1.544426, anode="Cu")
    peaks = velmora.load_model(path, data=stated)["peaks"]
    assert [p.name for p in peaks] == ["p0", "p0_a2", "p1"]
    want = velmora.kalpha2(peaks[0], (1.540598, 1.544426), ratio=0.45)
    assert peaks[1].ties == want.ties
    by_anode = velmora.load_model(path, data=pattern(anode="Co"))["peaks"][1]
    assert by_anode.ties == velmora.kalpha2(peaks[0], "Co", ratio=0.45).ties
    for data, words in ((pattern(), "no X-ray anode"), (None, "data=")):
        with pytest.raises(ValueError, match=words):
            velmora.load_model(path, data=data)
    # Without a ratio of its own, the file's partners take the ratio it states; a stated 0 (a
    # Kα1 monochromator: no Kα2 lines) is refused rather than fitted with partners.
    path.write_text('kalpha2 = "file"\n[[peak]]\nshape = "gaussian"\nx0 = 28.4\n')
    for stated, area in ((0.42, "0.42 * p0.area"), (None, "0.5 * p0.area")):
        partner = velmora.load_model(path, data=pattern(anode="Cu", kalpha2_ratio=stated))
        assert partner["peaks"][1].ties["area"] == area
    with pytest.raises(ValueError, match="ratio of 0 .*kalpha2_ratio"):
        velmora.load_model(path, data=pattern(anode="Cu", kalpha2_ratio=0.0))


GOOD_PEAK = '[[peak]]\nshape = "voigt"\nname = "C1"\nx0 = 285.0\n'


@pytest.mark.parametrize("text, error, words", [
    ("background = \n" + GOOD_PEAK, ValueError, "TOML syntax"),
    ("colour = 1\n" + GOOD_PEAK, ValueError, ": colour: unknown key; a model file takes"),
    (GOOD_PEAK + "widht = 1.0\n", ValueError, '[[peak]] 1 ("C1"): widht: unknown key'),
    (GOOD_PEAK + "sigma = { start = 1.0 }\n", ValueError, "sigma.start: unknown key"),
    ('[[peak]]\nshape = "triangle"\n', ValueError, "[[peak]] 1: shape: unknown shape"),
    (GOOD_PEAK + 'area = "0.5 * C1.area +"\n', ValueError, "not a valid expression"),
    (GOOD_PEAK + 'area = "0.5 * Nope.area"\n', ValueError, "unknown peak 'Nope'"),
    (GOOD_PEAK + "sigma = { value = 3.0, min = 0.1, max = 2.0 }\n", ValueError,
     "sigma: starting value 3.0 lies outside its bounds"),
    ('kalpha2 = "Zn"\n' + GOOD_PEAK, ValueError, "kalpha2: unknown anode"),
    (GOOD_PEAK + GOOD_PEAK, ValueError, "[[peak]] 2 (\"C1\"): the name 'C1' is already"),
    ('background = "linear"\nenergy = "binding"\n' + GOOD_PEAK, ValueError,
     "only a shirley or tougaard background"),
    ('background = { kind = "linear", knots = 3 }\n' + GOOD_PEAK, ValueError,
     "knots: unknown key; the linear background takes no options"),
    ("window = [290.0, 280.0]\n" + GOOD_PEAK, ValueError, "lo < hi"),
    ("[bounds]\nalpha = { min = 0.0 }\n" + GOOD_PEAK, ValueError,
     "[bounds]: bounds: 'alpha' is not"),
    ('[[doublet]]\nshape = "voigt"\nx0 = 84.0\n', TypeError, "[[doublet]] 1: name: the level"),
    ('background = "shirley"\n', ValueError, "no [[peak]] or [[doublet]]"),
    (b"\xff\xfe" + GOOD_PEAK.encode(), ValueError, "not UTF-8"),
])
def test_every_mistake_in_a_model_file_is_one_line_naming_the_file_and_the_table(
        tmp_path, text, error, words):
    path = tmp_path / "model.toml"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(error) as caught:
        velmora.load_model(path)
    message = str(caught.value)
    assert message.startswith(f"{path}: ") and "\n" not in message
    assert words in message, message


def test_a_wrong_type_names_the_table_the_key_and_the_value(tmp_path):
    path = tmp_path / "model.toml"
    path.write_text(GOOD_PEAK.replace('"C1"', '"C0"') + GOOD_PEAK + 'sigma = { min = "a" }\n')
    with pytest.raises(TypeError) as caught:
        velmora.load_model(path)
    assert str(caught.value) == f'{path}: [[peak]] 2 ("C1"): sigma.min: expected a number, got "a"'
    with pytest.raises(velmora.io.FileError, match="cannot read"):
        velmora.load_model(tmp_path / "missing.toml")


# ------------------------------------------------------------------------ CSV and xarray

def test_the_curves_go_to_csv_with_their_units_and_to_a_dataset_with_the_estimates(tmp_path):
    xr = pytest.importorskip("xarray")
    counts = gold()
    data = xr.DataArray(counts, dims="binding_energy",
                        coords={"binding_energy": ("binding_energy", BE, {"units": "eV"})},
                        attrs={"source_file": "gold.vms", "region": "Au 4f"})
    result = velmora.fit(data["binding_energy"], data, **python_model())
    result.source = velmora.result.source_of(data)
    path = tmp_path / "curves.csv"
    result.to_csv(path)
    lines = path.read_text().splitlines()
    assert lines[0].startswith("# fit of gold.vms, region Au 4f: tougaard")
    assert lines[1] == ("binding_energy (eV),data (counts),total (counts),Au4f7 (counts),"
                        "Au4f5 (counts),Sat (counts),background (counts),residual (counts)")
    table = np.loadtxt(path, delimiter=",", skiprows=2)
    x, data_column = read_columns(path)  # x and the data read back as a spectrum
    inside = (BE >= 79.0) & (BE <= 96.0)
    assert np.array_equal(x, BE[inside]) and np.array_equal(data_column, counts[inside])
    assert np.allclose(table[:, 3:7].sum(axis=1), table[:, 2], rtol=1e-12)
    assert np.allclose(table[:, 1] - table[:, 2], table[:, 7], rtol=1e-12, atol=1e-9)

    ds = result.to_xarray()
    assert ds["binding_energy"].attrs["units"] == "eV"
    assert ds["Au4f5"].dims == ("binding_energy",)
    assert np.array_equal(ds["data"].values, counts[inside])
    x0 = result.peaks["Au4f7"]["x0"]
    assert (float(ds["Au4f7.x0"]), float(ds["Au4f7.x0_stderr"])) == (x0.value, x0.stderr)
    assert ds["Au4f7.x0"].attrs["units"] == "eV" and ds["Au4f7.area"].attrs["units"] == "counts"
    assert math.isnan(float(ds["Au4f7.gamma_stderr"]))  # fixed
    assert ds.attrs["source_region"] == "Au 4f"
    # A peak named as a curve keeps both: its own curve is renamed.
    plain = velmora.fit(BE, counts, [velmora.Peak("voigt", name="total", x0=84.0)],
                        window=(82.0, 86.0))
    assert {"x", "total", "total_peak"} <= set(plain.to_xarray().variables)
