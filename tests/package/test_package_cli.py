"""``python -m velmora fit``: a report, a plot and a JSON file for a good file; one line and
exit status 2 for a bad one."""
import json
import subprocess
import sys
import warnings

import numpy as np
import pytest


def run(*args):
    done = subprocess.run([sys.executable, "-m", "velmora", *args], capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


@pytest.fixture
def spectrum_file(tmp_path):
    x = np.linspace(0.0, 10.0, 301)
    rate = 900 * np.exp(-0.5 * ((x - 4.0) / 0.3) ** 2) + 300 / (1 + ((x - 6.5) / 0.4) ** 2) + 15
    counts = np.random.default_rng(2).poisson(rate)
    path = tmp_path / "spectrum.csv"
    path.write_text("# a test spectrum\nx,counts\n"
                    + "".join(f"{a:.6f},{b}\n" for a, b in zip(x, counts)))
    return path


def test_fit_writes_report_plot_and_json(spectrum_file, tmp_path):
    png, out = tmp_path / "fit.png", tmp_path / "fit.json"
    try:
        import matplotlib  # noqa: F401  (plots are optional: the NumPy 1.x suite has none)
        plot = ["--plot", str(png)]
    except ImportError:
        plot = []
    code, stdout, stderr = run("fit", str(spectrum_file), "--shape", "lorentzian", "--peaks",
                               "2", "--background", "linear", "--window", "0.5", "9.5",
                               "--json", str(out), *plot)
    assert code == 0, stderr
    assert "[[Peaks]]" in stdout and "LBFGSB" not in stdout
    if plot:
        assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    data = json.loads(out.read_text(), parse_constant=_no_constants)  # valid JSON: no NaN
    assert len(data["peaks"]) == 2 and data["statistics"]["converged"]
    centres = sorted(p["x0"]["value"] for p in data["peaks"].values())
    assert np.allclose(centres, [4.0, 6.5], atol=0.05)


def _no_constants(name):
    raise ValueError(f"the JSON holds {name}, which is not JSON")


def _columns(tmp_path, text, encoding="utf-8"):
    path = tmp_path / "columns.txt"
    path.write_bytes(text.encode(encoding) if isinstance(text, str) else text)
    return path


X = np.linspace(100.0, 110.0, 101)
Y = np.round(900 * np.exp(-0.5 * ((X - 104.0) / 0.6) ** 2) + 20).astype(int)


@pytest.mark.parametrize("layout", [
    "{x:.2f},{y}",            # CSV
    "{x:.2f}, {y}",           # CSV with blanks after the commas
    "{x:.2f};{y}",            # semicolons
    "{xc};{y}",               # semicolons and decimal commas
    "{xc}\t{y}",             # tabs and decimal commas
    "{xc} {y}",               # blanks and decimal commas
    "{x:.2f}   {y}   7",      # blanks, a third column
])
def test_column_files_of_every_usual_layout_read_the_same_numbers(tmp_path, layout):
    from velmora.io import read_columns

    lines = [layout.replace("\\t", "\t").format(x=a, y=b, xc=f"{a:.2f}".replace(".", ","))
             for a, b in zip(X, Y)]
    text = "x;counts\n" if ";" in layout else "x counts\n"
    x, y = read_columns(_columns(tmp_path, "# header next\n" + text + "\n".join(lines) + "\n"))
    assert np.allclose(x, X) and np.array_equal(y, Y)


def test_a_byte_order_mark_is_read_and_a_decimal_comma_is_never_misread(tmp_path):
    from velmora.io import FileError, read_columns

    x, y = read_columns(_columns(tmp_path, "\ufeffx,y\n1.5,2\n2.5,4\n"))
    assert list(x) == [1.5, 2.5] and list(y) == [2.0, 4.0]
    # A decimal comma beside a decimal point cannot be told apart: refused, never misread.
    with pytest.raises(FileError, match="line"):
        read_columns(_columns(tmp_path, "100,37;51.5,2\n101,37;52\n"))


@pytest.mark.parametrize("data, words", [
    (b"1 2\n3 \xe9\xff\n", "UTF-8"),
    ("1 2\n3 4\n".encode("utf-16"), "UTF-16"),
])
def test_files_that_are_not_utf8_exit_2_with_one_line(tmp_path, data, words):
    path = _columns(tmp_path, data)
    code, stdout, stderr = run("fit", str(path), "--shape", "gaussian", "--peaks", "1")
    assert code == 2 and "Traceback" not in stderr
    assert len(stderr.strip().splitlines()) == 1 and words in stderr


def test_decimal_comma_file_fits_like_the_point_file(tmp_path):
    dot = _columns(tmp_path, "".join(f"{a:.2f} {b}\n" for a, b in zip(X, Y)))
    comma = tmp_path / "comma.txt"
    comma.write_text("".join(f"{a:.2f};{b}\n".replace(".", ",") for a, b in zip(X, Y)))
    outputs = []
    for path in (dot, comma):
        code, stdout, stderr = run("fit", str(path), "--shape", "gaussian", "--peaks", "1",
                                   "--background", "uniform")
        assert code == 0, stderr
        outputs.append([line for line in stdout.splitlines() if "x0:" in line])
    assert outputs[0] == outputs[1]
    assert abs(float(outputs[0][0].split()[1]) - 104.0) < 0.05


@pytest.mark.parametrize("args, words", [
    (["--plot", "out.xyz"], "cannot write '.xyz'"),
    (["--plot", "{tmp}"], "is a directory"),
    (["--plot", "{tmp}/missing/out.png"], "does not exist"),
    (["--json", "{tmp}/missing/out.json"], "does not exist"),
    (["--peaks", "1000"], "too many"),
    (["--peaks", "two"], "invalid int"),
    (["--window", "500", "600"], "window"),
    (["--shape", "triangle"], "invalid choice"),
])
def test_bad_options_exit_2_with_one_line_before_fitting(tmp_path, spectrum_file, args, words):
    pytest.importorskip("matplotlib")
    args = [a.format(tmp=tmp_path) for a in args]
    base = ["fit", str(spectrum_file), "--shape", "gaussian", "--peaks", "1"]
    if args[0] in ("--peaks", "--shape"):
        base = [b for i, b in enumerate(base) if i < 2 or base[i - 1] != args[0]
                and b != args[0]]
    code, stdout, stderr = run(*base, *args)
    assert code == 2 and "Traceback" not in stderr, stderr
    assert len(stderr.strip().splitlines()) == 1 and words in stderr, stderr
    assert "[[Peaks]]" not in stdout  # refused before the fit


def test_a_plot_path_without_extension_is_written_as_png_and_named_so(tmp_path, spectrum_file):
    pytest.importorskip("matplotlib")
    target = tmp_path / "figure"
    code, stdout, stderr = run("fit", str(spectrum_file), "--shape", "gaussian", "--peaks", "1",
                               "--plot", str(target))
    assert code == 0, stderr
    assert (tmp_path / "figure.png").read_bytes()[:4] == b"\x89PNG"
    assert f"plot written to {target}.png" in stdout


@pytest.mark.parametrize("content, words", [
    (None, "cannot read"),
    ("", "no data"),
    ("# only a comment\n", "no data"),
    ("1.0, 2.0\n2.0, two\n", "line 2"),
    ("1.0\n2.0\n", "line 1"),
    ("0,1\n1,-4\n2,3\n3,5\n4,1\n5,2\n6,2\n7,3\n", "negative"),
])
def test_bad_files_exit_2_with_one_line(tmp_path, content, words):
    path = tmp_path / "bad.csv"
    if content is not None:
        path.write_text(content)
    code, stdout, stderr = run("fit", str(path), "--shape", "gaussian", "--peaks", "1")
    assert code == 2
    assert "Traceback" not in stderr
    assert len(stderr.strip().splitlines()) == 1 and words in stderr


# ------------------------------------------------------------------ the model on the command line

def _text_file(path, x, counts):
    path.write_text("".join(f"{float(a)!r} {int(b)}\n" for a, b in zip(x, counts)))
    return path


def _bragg(two_theta, anode="Cu"):
    import math

    from velmora.lines import ANODES

    lam1, lam2 = ANODES[anode]
    return 2 * math.degrees(math.asin(lam2 / lam1 * math.sin(math.radians(two_theta / 2))))


VENDOR_MODELS = {
    "Pt4f.vms": (["--energy", "binding"], "eV", "Pt4f PE20", """\
background = "shirley"
window = [66.0, 82.0]
[[doublet]]
shape = "voigt"
name = "Pt4f"
x0 = 71.2
sigma = { value = 0.3, min = 0.05, max = 2.0 }
"""),
    "210520step1_30min.xrdml": ([], "degree", None, """\
background = "linear"
window = [27.5, 32.5]
kalpha2 = "file"
kalpha2_ratio = 0.5  # the file states 0: a Kα1 monochromator
[[peak]]
shape = "pseudo_voigt"
x0 = 29.0
[[peak]]
shape = "pseudo_voigt"
x0 = 31.2
"""),
}


@pytest.mark.parametrize("name", sorted(VENDOR_MODELS))
def test_a_model_file_on_the_command_line_gives_the_numbers_of_the_same_model_in_python(
        vendor, tmp_path, name):
    pytest.importorskip("xarray")  # instrument files are read into DataArrays
    import velmora

    options, units, region, text = VENDOR_MODELS[name]
    model = tmp_path / "model.toml"
    model.write_text(text)
    out, csv, saved = tmp_path / "fit.json", tmp_path / "fit.csv", tmp_path / "fitted.toml"
    code, stdout, stderr = run("fit", str(vendor / name), "--model", str(model), *options,
                               "--json", str(out), "--csv", str(csv), "--save-model", str(saved))
    assert code == 0, stderr
    cli = json.loads(out.read_text())
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # Pt4f.vms holds processed intensities
        counts = velmora.read(vendor / name, energy=options[1] if options else None)
    python = velmora.fit(counts[counts.dims[-1]], counts,
                         **velmora.load_model(model, data=counts)).to_dict()
    assert cli["peaks"] == python["peaks"] and cli["background"] == python["background"]
    assert cli["source"] == {"file": str(vendor / name), "region": region}
    assert cli["axis"]["units"] == units
    assert csv.read_text().splitlines()[1].startswith(f"{counts.dims[-1]} ({units}),data")
    assert [p.name for p in velmora.load_model(saved)["peaks"]] == list(cli["peaks"])


def test_x0_doublet_and_kalpha2_place_the_lines_and_hold_their_ties(tmp_path, spectrum_file):
    import velmora_core

    # Centres as given, in the order given (not picked by height).
    out = tmp_path / "x0.json"
    code, _, stderr = run("fit", str(spectrum_file), "--shape", "gaussian", "--x0", "6.3,4.2",
                          "--background", "uniform", "--json", str(out))
    assert code == 0, stderr
    peaks = json.loads(out.read_text())["peaks"]
    assert abs(peaks["p0"]["x0"]["value"] - 6.5) < 0.05
    assert abs(peaks["p1"]["x0"]["value"] - 4.0) < 0.05

    # An Au 4f doublet: 3.67 eV apart, the 4f5/2 line with 3/4 of the 4f7/2 area.
    be = np.linspace(80.0, 92.0, 241)
    step = be[1] - be[0]
    rate = 20.0 + sum(a * step * velmora_core.voigt_predict(be, c, 0.3, 0.2, be[0], be[-1])
                      for c, a in ((84.0, 20000.0), (87.67, 15000.0)))
    au = _text_file(tmp_path / "au4f.txt", be, np.random.default_rng(4).poisson(rate))
    code, _, stderr = run("fit", str(au), "--shape", "voigt", "--doublet", "Au4f", "--x0",
                          "84.2", "--background", "uniform", "--json", str(out))
    assert code == 0, stderr
    peaks = json.loads(out.read_text())["peaks"]
    a7, a5 = peaks["Au4f7"], peaks["Au4f5"]
    assert a5["area"]["value"] / a7["area"]["value"] == pytest.approx(0.75, rel=1e-12)
    assert a5["x0"]["value"] - a7["x0"]["value"] == pytest.approx(3.67, abs=1e-9)
    assert abs(a7["x0"]["value"] - 84.0) < 3 * a7["x0"]["stderr"]

    # A Cu reflection and its Kα2 partner where Bragg's law puts it.
    two_theta = np.linspace(43.5, 45.5, 401)
    step = two_theta[1] - two_theta[0]
    rate = 10.0 + 30000.0 * step * (velmora_core.gaussian_predict(two_theta, 44.4, 0.05)
                                    + 0.5 * velmora_core.gaussian_predict(two_theta,
                                                                          _bragg(44.4), 0.05))
    xrd = _text_file(tmp_path / "xrd.txt", two_theta, np.random.default_rng(5).poisson(rate))
    code, _, stderr = run("fit", str(xrd), "--shape", "gaussian", "--x0", "44.42", "--kalpha2",
                          "Cu", "--background", "uniform", "--json", str(out))
    assert code == 0, stderr
    peaks = json.loads(out.read_text())["peaks"]
    ka1 = peaks["p0"]["x0"]
    assert peaks["p0_a2"]["x0"]["value"] == pytest.approx(_bragg(ka1["value"]), abs=1e-9)
    assert abs(ka1["value"] - 44.4) < 3 * ka1["stderr"]


@pytest.fixture
def inputs(tmp_path, spectrum_file):
    """The spectrum, a model file, a link to the spectrum and an .nc map, with their bytes."""
    model = tmp_path / "model.toml"
    model.write_text('[[peak]]\nshape = "gaussian"\nx0 = 4.0\n')
    link = tmp_path / "link.csv"
    link.symlink_to(spectrum_file)
    paths = {"input": spectrum_file, "model": model, "link": link, "tmp": tmp_path}
    return paths, {p: p.read_bytes() for p in (spectrum_file, model)}


@pytest.mark.parametrize("args, words", [
    (["--json", "{input}"], "--json {input}: is the input file"),
    (["--csv", "{link}"], "--csv {link}: is the input file"),
    (["--model", "{model}", "--save-model", "{model}"], "is the model file"),
    (["--plot", "{tmp}/a", "--csv", "{tmp}/a.png"], "is also the file of --plot"),
    (["--csv", "{tmp}/out.csv", "--save-model", "{tmp}/sub/../out.csv"],
     "is also the file of --csv"),
])
def test_an_output_on_an_input_or_on_another_output_is_refused_and_nothing_written(
        inputs, capsys, args, words):
    from velmora.cli import main

    if "--plot" in args:
        pytest.importorskip("matplotlib")
    paths, contents = inputs
    args = [a.format(**paths) for a in args]
    model = [] if "--model" in args else ["--shape", "gaussian", "--peaks", "1"]
    assert main(["fit", str(paths["input"]), *model, *args]) == 2
    stderr = capsys.readouterr().err
    assert len(stderr.strip().splitlines()) == 1 and words.format(**paths) in stderr, stderr
    assert {p.name for p in paths["tmp"].iterdir()} == {"spectrum.csv", "model.toml",
                                                        "link.csv"}
    assert all(p.read_bytes() == data for p, data in contents.items())


def test_fit_map_refuses_its_input_as_output_and_takes_a_model_file(tmp_path, capsys):
    xr = pytest.importorskip("xarray")
    from velmora.cli import main

    x = np.linspace(0.0, 10.0, 201)
    rate = 5.0 + 800.0 * np.exp(-0.5 * ((x - 5.0) / 0.4) ** 2)
    counts = np.random.default_rng(1).poisson(np.broadcast_to(rate, (2, 3, x.size)))
    source = tmp_path / "map.nc"
    xr.DataArray(counts.astype(float), dims=("y", "x0", "x"), coords={"x": x},
                 name="counts").to_netcdf(source)
    before = source.read_bytes()
    model = tmp_path / "model.toml"
    model.write_text('background = "uniform"\n[[peak]]\nshape = "gaussian"\nname = "line"\n')
    assert main(["fit-map", str(source), "--model", str(model), "--out", str(source)]) == 2
    assert "is the input file" in capsys.readouterr().err and source.read_bytes() == before
    assert main(["fit-map", str(source), "--model", str(model), "--shape", "gaussian",
                 "--out", str(tmp_path / "o.nc")]) == 2
    assert "--shape: the model file" in capsys.readouterr().err
    assert main(["fit-map", str(source), "--model", str(model), "--out",
                 str(tmp_path / "o.nc")]) == 0
    with xr.open_dataset(tmp_path / "o.nc") as ds:
        assert np.allclose(ds["line.x0"].values, 5.0, atol=0.05)


@pytest.mark.parametrize("args, words", [
    (["--model", "{model}", "--shape", "voigt"], "--shape: the model file"),
    (["--shape", "voigt", "--peaks", "2", "--x0", "1,2"], "--peaks guesses the peaks"),
    (["--shape", "voigt"], "give --peaks N, --x0"),
    (["--peaks", "1"], "--shape is needed"),
    (["--shape", "voigt", "--x0", "1,a"], "numbers separated by commas"),
    (["--shape", "voigt", "--doublet", "Xx9p"], "not a level of the splitting table"),
    (["--shape", "voigt", "--doublet", "Au4f", "--x0", "84,87"], "one centre"),
    (["--shape", "voigt", "--doublet", "Au4f", "--kalpha2", "Cu"], "--kalpha2: Kα2 partners"),
    (["--shape", "voigt", "--x0", "4", "--kalpha2", "file"], "state no X-ray anode"),
    (["--model", "{tmp}/missing.toml"], "cannot read the model file"),
])
def test_options_that_do_not_go_together_exit_2_with_one_line(inputs, capsys, args, words):
    from velmora.cli import main

    paths, _ = inputs
    assert main(["fit", str(paths["input"]), *(a.format(**paths) for a in args)]) == 2
    captured = capsys.readouterr()
    assert len(captured.err.strip().splitlines()) == 1 and words in captured.err, captured.err
    assert "[[Peaks]]" not in captured.out


def test_regions_prints_the_table_of_a_file(vendor, tmp_path, capsys):
    pytest.importorskip("xarray")
    from velmora.cli import main

    assert main(["regions", str(vendor / "multiplex.vms")]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split()[:2] == ["region", "axis"] and len(lines) == 4
    assert "Ta 4f" in lines[3] and "kinetic energy" in lines[3]
    assert main(["regions", str(tmp_path / "missing.vms")]) == 2
    assert len(capsys.readouterr().err.strip().splitlines()) == 1


def test_a_file_with_warnings_and_a_bad_model_file_gives_one_line(vendor, tmp_path, capsys):
    pytest.importorskip("xarray")
    from velmora.cli import main

    model = tmp_path / "model.toml"
    model.write_text('[[peak]]\nshape = "voigt"\nsigma = "a"\n')  # a tie that names nothing
    # Pt4f.vms holds processed intensities: its warning waits for the input to be accepted.
    assert main(["fit", str(vendor / "Pt4f.vms"), "--model", str(model)]) == 2
    stderr = capsys.readouterr().err
    assert len(stderr.strip().splitlines()) == 1 and "model.toml" in stderr, stderr
