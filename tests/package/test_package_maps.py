"""Maps of a batch (BatchResult.plot, plot_spectrum) and the command line ``fit-map``: every
input kind read back from its output, bad files and options refused in one line."""
import subprocess
import sys

import numpy as np
import pytest

import velmora
from velmora.cli import main

xr = pytest.importorskip("xarray")

X = np.linspace(0.0, 10.0, 150)
TRUE_CENTRES = np.linspace(4.5, 5.5, 12).reshape(3, 4)
PEAKS = [velmora.Peak("gaussian", x0=4.8, sigma=0.5)]


def raman_map(seed=3):
    """A 3 x 4 map whose peak drifts from 4.5 to 5.5, on a flat background of 5 counts."""
    rate = 400 * np.exp(-0.5 * ((X - TRUE_CENTRES[..., None]) / 0.4) ** 2) + 5
    return np.random.default_rng(seed).poisson(rate).astype(float)


def damaged_map():
    """The map with spectrum (0, 1) all zeros and a NaN channel in spectrum (2, 2)."""
    Y = raman_map()
    Y[0, 1] = 0.0
    Y[2, 2, 5] = np.nan
    return Y


def as_dataarray(Y):
    return xr.DataArray(Y, dims=("y", "position", "shift"),
                        coords={"y": ("y", [0.0, 1.0, 2.0], {"units": "um"}),
                                "position": [10.0, 20.0, 30.0, 40.0],
                                "shift": ("shift", X, {"units": "cm-1"})})


def fit(Y):
    return velmora.fit_many(X, Y, PEAKS, background="uniform", workers=1)


def mesh_of(ax):
    return next(c for c in ax.collections if type(c).__name__ == "QuadMesh")


# ------------------------------------------------------------------------------- figures

@pytest.mark.parametrize("xarray_input", [True, False], ids=["DataArray", "ndarray"])
def test_a_map_has_one_masked_image_per_name_with_units_on_its_colour_bar(xarray_input):
    pytest.importorskip("matplotlib")
    Y = damaged_map()
    batch = fit(as_dataarray(Y) if xarray_input else Y)
    kept = {n: v.copy() for n, v in batch.values.items()}
    fig = batch.plot(["p0.x0", "p0.fwhm", "p0.area"])
    panels = [ax for ax in fig.axes if ax.get_title()]
    assert [ax.get_title() for ax in panels] == ["p0.x0", "p0.fwhm", "p0.area"]
    bad = np.zeros((3, 4), bool)
    bad[0, 1] = bad[2, 2] = True
    for ax, name in zip(panels, ["p0.x0", "p0.fwhm", "p0.area"]):
        image = mesh_of(ax).get_array()
        assert image.shape == (3, 4)
        assert np.array_equal(np.ma.getmaskarray(image), bad)
        assert np.array_equal(image.data[~bad], batch.values[name][~bad])
    x_units = "cm-1" if xarray_input else "units of x"
    assert mesh_of(panels[0]).colorbar.ax.get_ylabel() == f"p0.x0 ({x_units})"
    assert mesh_of(panels[1]).colorbar.ax.get_ylabel() == f"p0.fwhm ({x_units})"
    assert mesh_of(panels[2]).colorbar.ax.get_ylabel() == "p0.area (counts)"
    if xarray_input:  # the images lie over the coordinates, labelled with their units
        assert panels[0].get_xlabel() == "position" and panels[0].get_ylabel() == "y (um)"
        assert panels[0].get_xlim() == (5.0, 45.0)
    else:
        assert panels[0].get_xlabel() == "dim_1" and panels[0].get_xlim() == (-0.5, 3.5)
    note = fig.get_suptitle()
    assert "2 of 12 spectra not fitted" in note and "1 invalid data" in note
    assert "1 no counts" in note
    assert all(np.array_equal(kept[n], batch.values[n], equal_nan=True) for n in kept)


def test_a_series_is_drawn_as_values_with_a_band_and_failed_spectra_marked():
    pytest.importorskip("matplotlib")
    Y = raman_map()[1]
    Y[2] = 0.0
    batch = fit(Y)
    fig = batch.plot("p0.x0")
    (ax,) = fig.axes
    value = next(line for line in ax.lines if line.get_label() == "value")
    assert np.array_equal(value.get_xdata(), np.arange(4))
    expected = batch.values["p0.x0"].copy()
    expected[2] = np.nan
    assert np.array_equal(value.get_ydata(), expected, equal_nan=True)
    crosses = next(line for line in ax.lines if line.get_label() == "not fitted")
    assert list(crosses.get_xdata()) == [2]
    assert "1 of 4 spectra not fitted (1 no counts)" in fig.get_suptitle()


def test_a_map_of_one_row_has_cells_one_index_high():
    pytest.importorskip("matplotlib")
    ax = fit(raman_map()[:1]).plot("p0.x0").axes[0]
    assert mesh_of(ax).get_array().shape == (1, 4) and ax.get_ylim() == (-0.5, 0.5)


def test_maps_of_three_spectrum_axes_are_drawn_one_slice_at_a_time():
    pytest.importorskip("matplotlib")
    batch = fit(np.stack([raman_map(1), raman_map(2)]))
    with pytest.raises(ValueError, match="index="):
        batch.plot("p0.x0")
    fig = batch.plot("p0.x0", index=1)
    assert mesh_of(fig.axes[0]).get_array().shape == (3, 4)
    assert fig.get_suptitle().startswith("dim_0 = 1")
    with pytest.raises(IndexError):
        batch.plot("p0.x0", index=2)


@pytest.mark.parametrize("names, error, words", [
    ("p0.centre", ValueError,
     "available: p0.x0, p0.sigma, p0.area, p0.height, p0.fwhm, p0.area_total, "
     "background.counts"),
    ([], ValueError, "at least one"),
    ([3], TypeError, "strings"),
    (None, TypeError, "estimate name"),
])
def test_names_the_batch_does_not_hold_are_refused_with_the_available_ones(names, error, words):
    batch = fit(raman_map()[:1, :2])
    with pytest.raises(error, match=words):
        batch.plot(names)


def test_matplotlib_missing_says_how_to_install_it(monkeypatch):
    batch = fit(raman_map()[:1, :2])
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install 'velmora\[plot\]'"):
        batch.plot("p0.x0")


def test_one_spectrum_is_drawn_with_its_fit_or_alone_with_its_status():
    pytest.importorskip("matplotlib")
    Y = damaged_map()
    batch = fit(as_dataarray(Y))
    fig = batch.plot_spectrum((1, 2))
    top = fig.axes[0]
    assert top.get_title() == "spectrum (1, 2): y = 1, position = 30 (ok)"
    assert np.array_equal(top.lines[0].get_ydata(), Y[1, 2])
    assert any(line.get_label() == "total" for line in top.lines)
    assert fig.axes[-1].get_xlabel() == "shift (cm-1)"
    failed = batch.plot_spectrum((2, 2))
    (ax,) = failed.axes
    assert ax.get_title() == "spectrum (2, 2): y = 2, position = 30: not fitted (invalid data)"
    assert np.array_equal(ax.lines[0].get_ydata(), Y[2, 2], equal_nan=True)
    with pytest.raises(IndexError, match="2 integers"):
        batch.plot_spectrum(5)
    with pytest.raises(IndexError, match="outside axis 1"):
        batch.plot_spectrum((0, 4))


# ----------------------------------------------------------------------------- fit-map

def write_input(tmp_path, kind, Y):
    """The map ``Y`` written as a ``kind`` file; returns its path and the expected dims."""
    if kind == "npz":
        path = tmp_path / "map.npz"
        np.savez(path, x=X, counts=Y)
        return path, ("dim_0", "dim_1")
    if kind in ("nc", "zarr"):
        path = tmp_path / f"map.{kind}"
        ds = as_dataarray(Y).rename("intensity").to_dataset()
        # A Zarr store as xarray writes it by default, without consolidated metadata.
        ds.to_netcdf(path) if kind == "nc" else ds.to_zarr(path, consolidated=False)
        return path, ("y", "position")
    path = tmp_path / "series.csv"  # one column per spectrum: the first row of the map
    lines = [f"{a:.6f};" + ";".join(f"{v:g}" for v in row) for a, row in zip(X, Y[0].T)]
    path.write_text("shift;a;b;c;d\n" + "\n".join(lines).replace(".", ",") + "\n")
    return path, ("spectrum",)


@pytest.mark.parametrize("kind, out", [("npz", "nc"), ("nc", "zarr"), ("zarr", "nc"),
                                       ("text", "zarr")])
def test_fit_map_reads_every_kind_of_file_and_writes_the_centres(tmp_path, capsys, kind, out):
    if "zarr" in (kind, out):
        pytest.importorskip("zarr")
    Y = damaged_map()
    source, dims = write_input(tmp_path, kind, Y)
    target = tmp_path / f"out.{out}"
    code = main(["fit-map", str(source), "--shape", "gaussian", "--peaks", "1",
                 "--background", "uniform", "--out", str(target)])
    stdout = capsys.readouterr().out
    assert code == 0
    ds = xr.open_zarr(target) if out == "zarr" else xr.open_dataset(target)
    truth, status = (TRUE_CENTRES[0], [0, 3, 0, 0]) if kind == "text" else (
        TRUE_CENTRES, [[0, 3, 0, 0], [0, 0, 0, 0], [0, 0, 2, 0]])
    assert ds["p0.x0"].dims == dims and ds["p0.x0"].shape == truth.shape
    assert np.array_equal(ds["status"].values, status)
    fitted = ds["status"].values == 0
    assert np.allclose(ds["p0.x0"].values[fitted], truth[fitted], atol=0.05)
    if kind in ("nc", "zarr"):
        assert ds["p0.x0"].attrs["units"] == "cm-1" and ds["y"].attrs["units"] == "um"
    ds.close()
    summary = stdout.splitlines()[0]
    assert f"{truth.size} spectra" in summary and "1 no counts" in summary


def test_fit_map_on_the_command_line_writes_the_maps(tmp_path):
    pytest.importorskip("matplotlib")
    source, _ = write_input(tmp_path, "npz", raman_map())
    done = subprocess.run([sys.executable, "-m", "velmora", "fit-map", str(source), "--shape",
                           "gaussian", "--peaks", "1", "--background", "uniform", "--out",
                           str(tmp_path / "out.nc"), "--plot", str(tmp_path / "maps")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "maps.png").read_bytes()[:4] == b"\x89PNG"
    assert "12 spectra (3, 4)" in done.stdout and "12 ok" in done.stdout


def _bad_npz(tmp_path, **arrays):
    np.savez(tmp_path / "bad.npz", **arrays)
    return tmp_path / "bad.npz"


def _written(path, data):
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("make, options, words", [
    (lambda p: p / "missing.npz", [], "no such file"),
    (lambda p: _written(p / "map.h5", b"\x89HDF\x00" * 40), [], "not of a format read here"),
    (lambda p: _bad_npz(p, x=X), [], "missing 'counts'"),
    (lambda p: _bad_npz(p, x=X[:-1], counts=raman_map()), [], "150 channels"),
    (lambda p: _bad_npz(p, x=X, counts=raman_map()[0, 0]), [], "spectrum axes"),
    (lambda p: write_input(p, "nc", raman_map())[0], ["--out", "{tmp}/out.h5"], ".nc (NetCDF)"),
    (lambda p: write_input(p, "nc", raman_map())[0], ["--out", "{tmp}/no/out.nc"],
     "does not exist"),
    (lambda p: write_input(p, "nc", raman_map())[0], ["--peaks", "0"], "at least one"),
    (lambda p: write_input(p, "nc", raman_map())[0], ["--workers", "0"], "workers"),
    (lambda p: write_input(p, "nc", raman_map())[0], ["--warm-start", "next"],
     "invalid choice"),
])
def test_bad_map_files_and_options_exit_2_with_one_line_and_write_nothing(tmp_path, capsys,
                                                                        make, options, words):
    source = make(tmp_path)
    options = [o.format(tmp=tmp_path) for o in options]
    base = ["fit-map", str(source), "--shape", "gaussian", "--peaks", "1", "--out",
            str(tmp_path / "out.nc")]
    if "--peaks" in options:
        base = base[:4] + base[6:]
    code = main(base + options)
    err = capsys.readouterr().err
    assert code == 2 and len(err.strip().splitlines()) == 1 and words in err, err
    assert not list(tmp_path.glob("out*"))


@pytest.mark.parametrize("content, words", [
    (b"x a b\n1 2 3\n2 \xe9 4\n", "not UTF-8"),
    (b"1;2;3\n2;3\n", "line 2: 2 columns"),
    (b"1,5;2.5,1;3\n2;3;4\n", "line 1: expected numbers"),  # a decimal mark not told
])
def test_bad_text_maps_exit_2_with_one_line(tmp_path, capsys, content, words):
    source = tmp_path / "series.txt"
    source.write_bytes(content)
    code = main(["fit-map", str(source), "--shape", "gaussian", "--peaks", "1", "--out",
                 str(tmp_path / "out.nc")])
    err = capsys.readouterr().err
    assert code == 2 and len(err.strip().splitlines()) == 1 and words in err, err


def test_a_dataset_without_counts_or_a_missing_backend_exits_2(tmp_path, capsys, monkeypatch):
    ds = as_dataarray(raman_map()).rename("a").to_dataset()
    ds["b"] = ds["a"] * 2
    ds.to_netcdf(tmp_path / "two.nc")
    args = ["--shape", "gaussian", "--peaks", "1"]
    assert main(["fit-map", str(tmp_path / "two.nc"), *args, "--out", str(tmp_path / "o.nc")]) == 2
    assert "no variable 'counts'" in capsys.readouterr().err
    # Without the zarr package, neither a Zarr input nor a Zarr output is tried.
    import velmora.cli
    import velmora.formats.maps

    def without_zarr(name):
        return name != "zarr"
    monkeypatch.setattr(velmora.formats.maps, "has_module", without_zarr)
    monkeypatch.setattr(velmora.cli, "has_module", without_zarr)
    assert main(["fit-map", str(tmp_path / "two.nc"), *args, "--out",
                 str(tmp_path / "o.zarr")]) == 2
    assert "pip install 'velmora[io]'" in capsys.readouterr().err
    assert main(["fit-map", str(tmp_path / "map.zarr"), *args, "--out",
                 str(tmp_path / "o.nc")]) == 2
    assert "reading Zarr needs the zarr package" in capsys.readouterr().err
    assert not list(tmp_path.glob("o.*"))
