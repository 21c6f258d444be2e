"""``python -m velmora fit``: a report, a plot and a JSON file for a good file; one line and
exit status 2 for a bad one."""
import json
import subprocess
import sys

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
