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
    data = json.loads(out.read_text())
    assert len(data["peaks"]) == 2 and data["statistics"]["converged"]
    centres = sorted(p["x0"]["value"] for p in data["peaks"])
    assert np.allclose(centres, [4.0, 6.5], atol=0.05)


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
