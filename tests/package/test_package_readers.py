"""``velmora.read`` and ``velmora.regions``: instrument files written here from the formats'
published layouts (ISO 14976 for VAMAS, the XRDML schema's elements, the block layout of
Renishaw's .wdf, LabSpec's exports) read back as counts on named axes with their metadata;
every damaged file is a FileError with one line saying why, never a crash or a hang."""
import struct
import subprocess
import sys

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import velmora  # noqa: E402
from velmora.io import CountsWarning, FileError  # noqa: E402

IDENTIFIER = "VAMAS Surface Chemical Analysis Standard Data Transfer Format 1988 May 4"
RNG = np.random.default_rng(7)


# ------------------------------------------------------------------------------- VAMAS

def vamas_block(name, values, *, mode="NORM", scan="REGULAR", start=80.0, step=0.1,
                label="Kinetic Energy", variables=(("Intensity", "d"),), dwell=0.1, scans=5,
                technique="XPS", position=(1, 1), experiment=(), future=0, x=None):
    """One block as (prefix number, lines) items, in the order of ISO 14976; ``values`` has
    one row per corresponding variable (``x`` leads them in an IRREGULAR scan)."""
    items = [(0, [name, "Au foil"]), (1, ["2024"]), (2, ["5"]), (3, ["17"]), (4, ["10"]),
             (5, ["30"]), (6, ["0"]), (7, ["0"]), (8, ["2", "Casa Info Follows", "° µ"]),
             (9, [technique])]
    if mode in ("MAP", "MAPDP"):
        items.append((10, [str(position[0]), str(position[1])]))
    items += [(11, [str(v) for v in experiment]), (12, ["Al"])]
    if mode in ("SDP", "MAPDP"):
        items.append((13, ["18", "1", "1"]))
    items += [(14, ["1486.6"]), (15, ["300"]), (16, ["1e37", "1e37"])]
    if mode in ("MAP", "MAPDP"):
        items.append((17, ["400", "400"]))
    items += [(19, ["54.7"]), (20, ["0"]), (21, ["FAT"]), (22, ["20"]), (24, ["1"]),
              (25, ["4.5"]), (26, ["0"]), (27, ["1e37", "1e37"]), (28, ["0", "0"]),
              (29, ["Au"]), (30, ["4f", "-1"])]
    if scan == "REGULAR":
        items.append((31, [label, "eV", repr(start), repr(step)]))
    variables = ((label, "eV"),) + tuple(variables) if scan == "IRREGULAR" else variables
    items.append((32, [str(len(variables))] + [s for v in variables for s in v]))
    items += [(33, ["pulse counting"]), (34, [repr(dwell)]), (35, [str(scans)]), (36, ["0"])]
    if mode in ("SDP", "MAPDP"):
        items.append((37, ["4000", "1", "1", "1", "45", "0", "continuous"]))
    items += [(38, ["0", "0"]), (39, ["0"]), (40, ["1", "ESCAPE DEPTH TYPE", "d", "0"])]
    rows = np.atleast_2d(np.asarray(values, dtype=float))
    if scan == "IRREGULAR":
        rows = np.vstack([x, rows])
    tail = ["future block entry"] * future + [str(rows.size)]
    tail += [s for r in rows for s in (repr(r.min()), repr(r.max()))]
    tail += [f"{v:g}" for v in rows.T.ravel()]
    return items + [(99, tail)]


def vamas_file(path, blocks, *, mode="NORM", scan="REGULAR", exclude=(), experiment=(),
               future=(), future_block=0, n_blocks=None, ending="\n", end=True):
    """A VAMAS file of ``blocks`` (from :func:`vamas_block`); ``exclude`` lists prefix numbers
    left out of every block after the first."""
    lines = [IDENTIFIER, "Institution", "Model X", "Operator", "Experiment", "2",
             "a comment", "another comment", mode, scan]
    if mode in ("MAP", "MAPDP", "NORM", "SDP"):
        lines.append("1")
    if mode in ("MAP", "MAPDP"):
        lines += [str(len(blocks)), "2", "2"]
    lines += [str(len(experiment))] + [s for v in experiment for s in v]
    lines += [str(-len(exclude))] + [str(p) for p in exclude]
    lines += ["0", str(len(future)), str(future_block), *future]
    lines.append(str(len(blocks) if n_blocks is None else n_blocks))
    for k, block in enumerate(blocks):
        for prefix, item in block:
            if k == 0 or prefix not in exclude:
                lines += item
    if end:
        lines.append("end of experiment")
    path.write_bytes(ending.join(lines).encode("latin-1") + ending.encode())
    return path


PEAK = np.round(400 * np.exp(-0.5 * ((np.arange(60) - 30) / 4.0) ** 2) + 50)


def three_regions(tmp_path, name="xps.vms", **options):
    blocks = [vamas_block("Survey", PEAK + 7), vamas_block("Au 4f", PEAK, start=1402.0),
              vamas_block("C 1s", PEAK + 3, start=1200.0, step=0.05)]
    return vamas_file(tmp_path / name, blocks, **options)


def test_vamas_regions_are_named_in_file_order_and_read_by_name(tmp_path):
    path = three_regions(tmp_path)
    assert velmora.regions(path).names == ["Survey", "Au 4f", "C 1s"]
    au = velmora.read(path, region="au 4F")  # the name's case does not matter
    assert au.dims == ("kinetic_energy",) and au.name == "counts"
    assert np.array_equal(au.values, PEAK)
    assert np.allclose(au.kinetic_energy, 1402.0 + 0.1 * np.arange(60))
    assert au.kinetic_energy.attrs == {"units": "eV", "long_name": "Kinetic energy"}
    attrs = au.attrs
    assert (attrs["technique"], attrs["energy"], attrs["region"], attrs["sample"]) == \
        ("XPS", "kinetic", "Au 4f", "Au foil")
    assert (attrs["excitation_energy"], attrs["dwell_time"], attrs["scans"]) == (1486.6, 0.1, 5)
    assert attrs["source_file"] == "xps.vms" and "counts_from" not in attrs
    c1s = velmora.read(path, region="C 1s")
    assert np.allclose(np.diff(c1s.kinetic_energy), 0.05)
    with pytest.raises(FileError, match="3 regions.*'Survey', 'Au 4f', 'C 1s'"):
        velmora.read(path)
    with pytest.raises(FileError, match="no region 'O 1s'.*'Au 4f'"):
        velmora.read(path, region="O 1s")


def test_vamas_counts_per_second_become_counts_and_binding_energy_is_named(tmp_path):
    rate = PEAK * 2.0  # counts per second, x 0.1 s x 5 scans = PEAK
    block = vamas_block("O 1s", rate, label="Binding Energy", variables=(("counts", "c/s"),))
    da = velmora.read(vamas_file(tmp_path / "o.vms", [block]))
    assert da.dims == ("binding_energy",) and da.attrs["energy"] == "binding"
    assert np.allclose(da.values, PEAK)
    assert da.attrs["counts_from"] == "counts per second x dwell time 0.1 s x 5 scans"
    assert da.binding_energy.attrs["long_name"] == "Binding energy"


def test_a_kinetic_energy_axis_becomes_binding_energy_through_the_excitation_energy(tmp_path):
    ke = 1402.0 + 0.1 * np.arange(PEAK.size)
    path = vamas_file(tmp_path / "au.vms", [vamas_block("Au 4f", PEAK, start=1402.0)])
    kinetic = velmora.read(path)
    assert kinetic.dims == ("kinetic_energy",) and np.allclose(kinetic.kinetic_energy, ke)
    binding = velmora.read(path, energy="binding")
    assert binding.dims == ("binding_energy",) and binding.attrs["energy"] == "binding"
    # 1486.6 eV - E_K, in increasing order: the counts reversed with their energies.
    assert np.allclose(binding.binding_energy, (1486.6 - ke)[::-1])
    assert np.array_equal(binding.values, PEAK[::-1])
    assert binding.binding_energy.attrs == {"units": "eV", "long_name": "Binding energy"}
    assert "excitation energy 1486.6 eV" in binding.attrs["energy_from"]
    assert kinetic.attrs["energy"] == "kinetic" and "energy_from" not in kinetic.attrs
    back = velmora.read(path, energy="kinetic")
    assert back.identical(kinetic)
    assert np.allclose(velmora.read(path, energy="binding").binding_energy,
                       binding.binding_energy)
    with pytest.raises(ValueError, match="energy"):
        velmora.read(path, energy="photon")
    unknown = tmp_path / "no_source.vms"
    unknown.write_bytes(path.read_bytes().replace(b"\n1486.6\n", b"\n1e37\n"))
    with pytest.raises(FileError, match="excitation energy"):
        velmora.read(unknown, energy="binding")
    with pytest.raises(FileError, match="not an electron energy"):
        velmora.read(xrdml_file(tmp_path / "q.xrdml", [(TT, XRD)]), energy="binding")


def test_vamas_variations_of_vendors_read_alike(tmp_path):
    # Items left out after the first block (taken from it), future-upgrade entries of the
    # experiment and of every block, CRLF line ends, Latin-1 comments, a .npl extension.
    blocks = [vamas_block("Au 4f", PEAK, future=2),
              vamas_block("Ag 3d", PEAK + 1, future=2, dwell=9.9, scans=9)]
    path = vamas_file(tmp_path / "kratos.npl", blocks, exclude=(14, 34, 35),
                      future=["entry one", "entry two"], future_block=2, ending="\r\n")
    ag = velmora.read(path, region="Ag 3d")
    assert np.array_equal(ag.values, PEAK + 1)
    assert (ag.attrs["dwell_time"], ag.attrs["scans"], ag.attrs["excitation_energy"]) == \
        (0.1, 5, 1486.6)  # the first block's values, not the ones left out of the file


def test_vamas_irregular_scan_keeps_the_transmission_function(tmp_path):
    x = np.sort(RNG.uniform(280, 295, PEAK.size))
    transmission = np.linspace(0.9, 1.1, PEAK.size)
    block = vamas_block("C 1s", [PEAK, transmission], scan="IRREGULAR", label="Binding Energy",
                        variables=(("Intensity", "d"), ("Transmission", "d")), x=x)
    da = velmora.read(vamas_file(tmp_path / "c.vms", [block], scan="IRREGULAR"))
    assert np.allclose(da.binding_energy, x) and np.array_equal(da.values, PEAK)
    assert np.allclose(da.transmission, transmission)


def test_vamas_depth_profile_and_map_give_series_and_map_axes(tmp_path):
    profile = [vamas_block("O 1s", PEAK + k, mode="SDP", experiment=[30 * k]) for k in range(3)]
    path = vamas_file(tmp_path / "depth.vms", profile, mode="SDP",
                      experiment=[("Etch Time", "s")])
    da = velmora.read(path)
    assert da.dims == ("etch_time", "kinetic_energy")
    assert list(da.etch_time.values) == [0, 30, 60] and da.etch_time.attrs["units"] == "s"
    assert np.array_equal(da.values[2], PEAK + 2)

    spots = [(1, 1), (2, 1), (1, 2), (2, 2)]
    blocks = [vamas_block("Si 2p", PEAK + k, mode="MAP", position=p) for k, p in enumerate(spots)]
    da = velmora.read(vamas_file(tmp_path / "map.vms", blocks, mode="MAP"))
    assert da.dims == ("y", "x", "kinetic_energy") and da.shape == (2, 2, PEAK.size)
    assert np.array_equal(da.sel(x=2, y=1).values, PEAK + 1)


def test_vamas_values_that_are_not_counts_are_kept_with_a_warning(tmp_path):
    block = vamas_block("Au 4f", PEAK / 3.0)
    path = vamas_file(tmp_path / "norm.vms", [block])
    with pytest.warns(CountsWarning, match="not whole numbers.*Poisson likelihood"):
        da = velmora.read(path)
    assert np.allclose(da.values, PEAK / 3.0)
    code, stdout, stderr = run("fit", str(path), "--shape", "gaussian", "--peaks", "1")
    assert code == 0 and stderr.count("\n") == 1 and "velmora: warning:" in stderr, stderr


def _cut(text, marker, keep=0):
    return text[:text.index(marker) + keep]


@pytest.mark.parametrize("damage, words", [
    (lambda t: _cut(t, "end of experiment") [:-200], "truncated"),
    (lambda t: t.replace("\n3\nSurvey", "\n4\nSurvey"), "announces 4 blocks, the file holds 3"),
    (lambda t: t.replace("\n3\nSurvey", "\n2\nSurvey"), "more data after the 2 blocks"),
    (lambda t: t.replace("\nNORM\n", "\nNORMAL\n"), "unknown experiment mode 'NORMAL'"),
    (lambda t: t.replace("\nNORM\nREGULAR\n1\n", "\nSEM\nMAPPING\n"), "not spectra"),
    (lambda t: t.replace("\nREGULAR\n", "\nMAPPING\n"), "scan mode 'MAPPING' holds no spectra"),
    (lambda t: t.replace("\n1486.6\n", "\nabc\n", 1), "source characteristic energy"),
    (lambda t: "VAMAS-like junk\n" + t, "not a VAMAS file"),
    (lambda t: "", "not a VAMAS file"),
    (lambda t: t.replace("\n2\na comment", "\n99999999\na comment"), "comment lines announced"),
    (lambda t: t.replace("\n60\n", "\n61\n", 1), "do not divide|truncated|expected"),
    # A control character that Python's float() strips as blank but NumPy does not read.
    (lambda t: t.replace("\nend of experiment", "\x1d\nend of experiment"),
     "expected one of the ordinate values"),
])
def test_damaged_vamas_files_are_refused_in_one_line(tmp_path, damage, words):
    text = three_regions(tmp_path).read_text(encoding="latin-1")
    path = tmp_path / "bad.vms"
    path.write_text(damage(text), encoding="latin-1")
    with pytest.raises(FileError, match=words) as error:
        velmora.regions(path)
    assert "\n" not in str(error.value)


def test_garbage_and_binary_files_are_refused(tmp_path):
    for ext in (".vms", ".xrdml", ".wdf", ".xml"):
        path = tmp_path / f"noise{ext}"
        path.write_bytes(RNG.integers(0, 256, 5000, dtype=np.uint8).tobytes())
        with pytest.raises(FileError):
            velmora.read(path)
    (tmp_path / "x.spc").write_bytes(b"\x00\x01SPC" * 100)
    with pytest.raises(FileError, match=r"not of a format read here; files read: VAMAS"):
        velmora.read(tmp_path / "x.spc")
    with pytest.raises(FileError, match="no such file"):
        velmora.read(tmp_path / "missing.vms")


def test_a_file_is_read_by_what_it_holds_not_by_its_name(tmp_path):
    vamas = three_regions(tmp_path, name="exported.txt")
    assert velmora.regions(vamas).names == ["Survey", "Au 4f", "C 1s"]
    xrdml = xrdml_file(tmp_path / "scan.xml", [(TT, XRD)])
    assert velmora.read(xrdml).dims == ("two_theta",)


def test_paths_that_are_not_files_and_sizes_no_file_holds_are_refused(tmp_path):
    import io
    import os
    import zipfile

    (tmp_path / "zero.vms").symlink_to("/dev/zero")
    os.mkfifo(tmp_path / "pipe.txt")
    for path in (tmp_path / "zero.vms", tmp_path / "pipe.txt"):
        with pytest.raises(FileError, match="not a regular file"):
            velmora.read(path)
        with pytest.raises(FileError, match="not a regular file"):
            velmora.io.read_columns(path)
    # A 500-byte archive whose counts declare 24 GB.
    header, grid = io.BytesIO(), io.BytesIO()
    np.lib.format.write_array_header_1_0(header, {"descr": "<f8", "fortran_order": False,
                                                  "shape": (10**9, 3)})
    np.save(grid, np.arange(3.0))
    with zipfile.ZipFile(tmp_path / "huge.npz", "w") as archive:
        archive.writestr("x.npy", grid.getvalue())
        archive.writestr("counts.npy", header.getvalue())
    with pytest.raises(FileError, match=r"declares shape \(1000000000, 3\)"):
        velmora.read(tmp_path / "huge.npz")
    # Damaged bytes of NetCDF and Zarr: whatever their libraries raise is a FileError.
    da = xr.DataArray(np.ones((2, 50)), dims=("y", "x"), coords={"x": np.arange(50.0)},
                      name="counts")
    da.to_netcdf(tmp_path / "map.nc")
    raw = (tmp_path / "map.nc").read_bytes()
    (tmp_path / "map.nc").write_bytes(raw[:len(raw) // 2])
    pytest.importorskip("zarr")
    da.to_dataset().to_zarr(tmp_path / "map.zarr")
    chunks = [p for p in (tmp_path / "map.zarr").rglob("*")
              if p.is_file() and "counts" in p.parts and not p.name.startswith((".", "zarr"))]
    chunks[0].write_bytes(b"\x02\x01!\x08" + bytes(40))
    for path in (tmp_path / "map.nc", tmp_path / "map.zarr"):
        with pytest.raises(FileError, match="cannot read"):
            velmora.read(path)


# ------------------------------------------------------------------------------- XRDML

def xrdml_file(path, scans, *, positions="range", element="intensities", attenuation=None):
    """An XRDML 1.5 file: ``scans`` is a list of (two_theta grid, counts)."""
    body = []
    for grid, counts in scans:
        if positions == "range":
            where = (f"<startPosition>{grid[0]}</startPosition>"
                     f"<endPosition>{grid[-1]}</endPosition>")
        else:
            where = f"<listPositions>{' '.join(map(str, grid))}</listPositions>"
        extra = ("" if attenuation is None else
                 f"<beamAttenuationFactors>{' '.join(map(str, attenuation))}"
                 f"</beamAttenuationFactors>")
        body.append(f"""
    <scan appendNumber="0" mode="Continuous" scanAxis="Gonio" status="Completed">
      <header><startTimeStamp>2024-05-17T10:00:00</startTimeStamp><source>x</source></header>
      <dataPoints>
        <positions axis="2Theta" unit="deg">{where}</positions>
        <positions axis="Omega" unit="deg"><commonPosition>14.2</commonPosition></positions>
        {extra}
        <commonCountingTime unit="seconds">0.5</commonCountingTime>
        <{element} unit="counts">{' '.join(f'{c:g}' for c in counts)}</{element}>
      </dataPoints>
    </scan>""")
    path.write_text(f"""<?xml version="1.0" encoding="UTF-8"?>
<xrdMeasurements xmlns="http://www.xrdml.com/XRDMeasurement/1.5" status="Completed">
  <sample type="To be analyzed"><id>S-1</id><name>quartz</name></sample>
  <xrdMeasurement measurementType="Scan" status="Completed">
    <usedWavelength intended="K-Alpha 1">
      <kAlpha1 unit="Angstrom">1.5405980</kAlpha1><kAlpha2 unit="Angstrom">1.5444260</kAlpha2>
      <kBeta unit="Angstrom">1.3922500</kBeta><ratioKAlpha2KAlpha1>0.5</ratioKAlpha2KAlpha1>
    </usedWavelength>
    <incidentBeamPath><xRayTube id="1" name="Cu LFF"><anodeMaterial>Cu</anodeMaterial>
    </xRayTube></incidentBeamPath>{''.join(body)}
  </xrdMeasurement>
</xrdMeasurements>
""", encoding="utf-8")
    return path


TT = np.linspace(20.0, 30.0, 101)
XRD = np.round(800 * np.exp(-0.5 * ((TT - 26.6) / 0.08) ** 2) + 40)


def test_xrdml_scan_reads_two_theta_counts_and_the_tube(tmp_path):
    da = velmora.read(xrdml_file(tmp_path / "q.xrdml", [(TT, XRD)]))
    assert da.dims == ("two_theta",) and np.allclose(da.two_theta, TT)
    assert da.two_theta.attrs == {"units": "degree", "long_name": "2θ"}
    assert np.array_equal(da.values, XRD)
    assert (da.attrs["technique"], da.attrs["anode"], da.attrs["sample"]) == \
        ("XRD", "Cu", "quartz")
    assert (da.attrs["wavelength_kalpha1"], da.attrs["wavelength_kalpha2"]) == \
        (1.540598, 1.544426)
    assert da.attrs["dwell_time"] == 0.5


def test_xrdml_several_scans_listed_positions_and_attenuation(tmp_path):
    path = xrdml_file(tmp_path / "two.xrdml", [(TT, XRD), (TT, XRD + 1)], positions="list",
                      element="counts")
    da = velmora.read(path)
    assert da.dims == ("scan", "two_theta") and list(da.scan.values) == [1, 2]
    assert np.array_equal(da.values[1], XRD + 1)
    factors = np.where(XRD > 500, 10.0, 1.0)
    da = velmora.read(xrdml_file(tmp_path / "att.xrdml", [(TT, XRD * factors)],
                                 attenuation=factors))
    assert np.array_equal(da.values, XRD) and "attenuation" in da.attrs["counts_from"]
    # Scans on different grids are regions of their own.
    path = xrdml_file(tmp_path / "grids.xrdml", [(TT, XRD), (TT + 5, XRD)])
    assert velmora.regions(path).names == ["scan 1", "scan 2"]
    assert np.allclose(velmora.read(path, region="scan 2").two_theta, TT + 5)


@pytest.mark.parametrize("damage, words", [
    (lambda t: t[:len(t) // 2], "well-formed"),
    (lambda t: t.replace("xrdMeasurements", "somethingElse"), "not a PANalytical XRDML file"),
    (lambda t: t.replace("intensities", "nothing"), "neither counts nor intensities"),
    (lambda t: t.replace("<startPosition>20.0</startPosition>", ""), "neither a start"),
    (lambda t: t.replace("40 40 40", "40 forty 40", 1), "not a list of numbers"),
    (lambda t: t.replace("<?xml version=\"1.0\" encoding=\"UTF-8\"?>",
                         "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaa\">]>"),
     "document type"),
])
def test_damaged_xrdml_files_are_refused(tmp_path, damage, words):
    text = xrdml_file(tmp_path / "q.xrdml", [(TT, XRD)]).read_text(encoding="utf-8")
    path = tmp_path / "bad.xrdml"
    path.write_text(damage(text), encoding="utf-8")
    with pytest.raises(FileError, match=words):
        velmora.read(path)


# --------------------------------------------------------------------- Renishaw .wdf

def _block(name, content, uid=0):
    return struct.pack("<4sIQ", name, uid, 16 + len(content)) + content


def wdf_file(path, x, spectra, *, grid=None, title="silicon", laser_nm=532.0):
    """A WiRE file: the WDF1 header, XLST (Raman shift), DATA; for a map (``grid`` =
    (ny, nx)) also WMAP and ORGN (X and Y stage positions, µm)."""
    spectra = np.atleast_2d(np.asarray(spectra, dtype=np.float32))
    n_spectra, n_points = spectra.shape
    mapping = grid is not None
    head = struct.pack("<Q4I3I", 0, 1, 2, 3, 4, 0, 0, 0)
    head += struct.pack("<IIIQQIIII", 1, 0, n_points, n_spectra, n_spectra, 1, 0, n_points,
                        2 if mapping else 0)
    head += b"WiRE".ljust(24, b"\0") + struct.pack("<4H", 5, 3, 0, 0)
    head += struct.pack("<II", 1, 3 if mapping else 1)           # scan type, measurement type
    head += struct.pack("<QQIf", 0, 0, 6, 1e7 / laser_nm)        # times, counts, laser
    head += bytes(48) + b"user".ljust(32, b"\0") + title.encode().ljust(160, b"\0")
    blocks = _block(b"WDF1", head.ljust(496, b"\0"), uid=1)
    blocks += _block(b"XLST", struct.pack("<II", 1, 1) + np.asarray(x, "<f4").tobytes())
    blocks += _block(b"DATA", spectra.astype("<f4").tobytes())
    if mapping:
        ny, nx = grid
        blocks += _block(b"WMAP", struct.pack("<II3f3f3II", 0, 0, -5.0, -3.0, 0.0, 2.0, 1.5,
                                              1.0, nx, ny, 1, 0))
        xs = np.tile(-5.0 + 2.0 * np.arange(nx), ny)
        ys = np.repeat(-3.0 + 1.5 * np.arange(ny), nx)
        orgn = struct.pack("<I", 2)
        for kind, values in ((3, xs), (4, ys)):
            orgn += struct.pack("<II", kind | (1 << 31), 5) + b"stage".ljust(16, b"\0")
            orgn += values.astype("<f8").tobytes()
        blocks += _block(b"ORGN", orgn)
    path.write_bytes(blocks)
    return path


SHIFT = np.linspace(400.0, 600.0, 120)
RAMAN = np.round(900 * np.exp(-0.5 * ((SHIFT - 520.7) / 2.5) ** 2) + 60)


@pytest.fixture
def needs_rsciio():
    pytest.importorskip("rsciio")


def test_wdf_spectrum_and_map_read_with_their_axes(tmp_path, needs_rsciio):
    da = velmora.read(wdf_file(tmp_path / "si.wdf", SHIFT, RAMAN))
    assert da.dims == ("raman_shift",) and np.allclose(da.raman_shift, SHIFT, atol=1e-4)
    assert da.raman_shift.attrs == {"units": "1/cm", "long_name": "Raman shift"}
    assert np.array_equal(da.values, RAMAN)
    assert da.attrs["technique"] == "Raman" and da.attrs["title"] == "silicon"
    assert abs(da.attrs["laser_wavelength"] - 532.0) < 1e-3
    stack = np.array([RAMAN + k for k in range(6)])
    da = velmora.read(wdf_file(tmp_path / "map.wdf", SHIFT, stack, grid=(2, 3)))
    assert da.dims == ("y", "x", "raman_shift") and da.shape == (2, 3, SHIFT.size)
    assert np.allclose(da.x, [-5, -3, -1]) and np.allclose(da.y, [-3, -1.5])
    assert np.array_equal(da.values[1, 2], RAMAN + 5) and da.x.attrs["units"] == "µm"


@pytest.mark.parametrize("damage, words", [
    (lambda b: b[:len(b) - 100], "truncated"),
    (lambda b: b[:512] + struct.pack("<4sIQ", b"XLST", 0, 0) + b[528:], "claims 0 bytes"),
    (lambda b: b"WDF2" + b[4:], "not a Renishaw"),
    (lambda b: b.replace(b"DATA", b"DATX"), "no DATA block"),
])
def test_damaged_wdf_files_are_refused_without_hanging(tmp_path, needs_rsciio, damage, words):
    data = wdf_file(tmp_path / "si.wdf", SHIFT, RAMAN).read_bytes()
    path = tmp_path / "bad.wdf"
    path.write_bytes(damage(data))
    with pytest.raises(FileError, match=words):
        velmora.read(path)


def test_a_missing_reader_library_names_the_extra(tmp_path, monkeypatch):
    from velmora.formats import rosetta

    monkeypatch.setattr(rosetta, "has_module", lambda name: False)
    with pytest.raises(FileError, match=r"pip install 'velmora\[io\]'"):
        velmora.read(wdf_file(tmp_path / "si.wdf", SHIFT, RAMAN))


# ------------------------------------------------------------------------------ LabSpec

LABSPEC_HEADER = ("#Acq. time (s)=\t10\n#Accumulations=\t2\n#Range (cm-¹)=\t400...600\n"
                  "#Instrument=\tLabRAM HR Evol\n#Laser (nm)=\t532.07\n#Sample=\tSi wafer\n"
                  "#Grating=\t600 (500nm)\n")


def test_labspec_text_spectrum_and_map(tmp_path):
    path = tmp_path / "si.txt"
    path.write_text(LABSPEC_HEADER + "".join(f"{a:.3f}\t{b:g}\n" for a, b in zip(SHIFT, RAMAN)),
                    encoding="utf-8")
    da = velmora.read(path)
    assert da.dims == ("raman_shift",) and np.array_equal(da.values, RAMAN)
    assert (da.attrs["dwell_time"], da.attrs["scans"], da.attrs["sample"]) == \
        (10.0, 2, "Si wafer")
    assert da.attrs["laser_wavelength"] == 532.07
    rows = ["\t\t" + "\t".join(f"{a:.3f}" for a in SHIFT)]
    for k, (y, x) in enumerate([(0, 0), (0, 5), (2, 0), (2, 5)]):
        rows.append(f"{x}\t{y}\t" + "\t".join(f"{b:g}" for b in RAMAN + k))
    path = tmp_path / "map.txt"
    path.write_text(LABSPEC_HEADER + "\n".join(rows) + "\n", encoding="utf-8")
    da = velmora.read(path)
    assert da.dims == ("y", "x", "raman_shift") and list(da.x.values) == [0, 5]
    assert np.array_equal(da.sel(x=5, y=0).values, RAMAN + 1)
    path.write_text(LABSPEC_HEADER + "\n".join(rows[:-1]) + "\n", encoding="utf-8")
    with pytest.raises(FileError, match="do not fill a grid"):
        velmora.read(path)


def _lsx(id_, text="", children=(), fmt=7):
    inner = "".join(children)
    return f'<LSX Format="{fmt}" ID="{id_}">{text}{inner}</LSX>'


def _lsx_entry(key, value, second=None):
    kids = [_lsx("0x6D6D616E", key), _lsx("0x7D6C61DB", value)]
    if second is not None:
        kids.append(_lsx("0x8736F70", second, fmt=5))
    return _lsx("0x0", children=kids, fmt=9)


def labspec_xml(path, shift, counts, units="Cnt/sec"):
    """A LabSpec XML export: the LSX tree (metadata, axes) and the LSX matrix (rows)."""
    setup = [_lsx_entry("Acq. time (s)", "0.5"), _lsx_entry("Accumulations", "4"),
             _lsx_entry("Laser (nm)", "633 ", "632.817"), _lsx_entry("ND Filter", "100 %", "100"),
             _lsx_entry("Hole", "100"), _lsx_entry("Grating", "600", "600"),
             _lsx_entry("Instrument", "LabRAM")]
    meta = _lsx("0x6C62D4D9", children=[
        _lsx("0x7CECDBD7", children=[_lsx_entry("Acquired", "17.05.2024 10:00:00")], fmt=9),
        _lsx("0x8716361", children=setup, fmt=9),
        _lsx("0x7C73E2D2", children=[_lsx_entry("Sample", "silicon")], fmt=9)], fmt=9)
    axes = _lsx("0x7A74D9D6", children=[_lsx("0x7B697861", children=[
        _lsx("0x0", children=[_lsx("0x6D707974", "Intens"), _lsx("0x7C696E75", units)], fmt=9),
        _lsx("0x1", children=[_lsx("0x6D707974", "Spectr"), _lsx("0x7C696E75", "1/cm"),
                              _lsx("0x7D6CD4DB", " ".join(f"{a:.4f}" for a in shift))], fmt=9),
    ], fmt=9)], fmt=9)
    tree = ("<LSX_Tree>" + meta + _lsx("0x6C7469D9", "Si test") + _lsx("0x6D707974", "Spectrum")
            + axes + "</LSX_Tree>")
    matrix = (f'<LSX_Matrix><LSX_Row ID="0x0" Size="{len(counts)}">'
              f'{" ".join(f"{c:g}" for c in counts)}</LSX_Row></LSX_Matrix>')
    path.write_text(f'<?xml version="1.0"?>\n<LSX_Data>{tree}{matrix}</LSX_Data>\n',
                    encoding="utf-8")
    return path


def test_labspec_xml_counts_per_second_become_counts(tmp_path, needs_rsciio):
    path = labspec_xml(tmp_path / "si.xml", SHIFT, RAMAN / 2.0)  # x 0.5 s x 4 = RAMAN
    da = velmora.read(path)
    assert da.dims == ("raman_shift",) and np.allclose(da.values, RAMAN)
    assert da.attrs["counts_from"] == "counts per second x dwell time 0.5 s x 4 scans"
    assert da.attrs["sample"] == "silicon"


# ---------------------------------------------------------------------------- text files

def test_text_columns_name_their_axis_and_several_columns_are_a_series(tmp_path):
    path = tmp_path / "be.csv"
    path.write_text("Binding Energy (eV),Counts\n" + "".join(
        f"{a:.2f},{b:g}\n" for a, b in zip(np.linspace(84, 90, 60), PEAK)))
    da = velmora.read(path)
    assert da.dims == ("binding_energy",) and da.binding_energy.attrs["units"] == "eV"
    path = tmp_path / "many.dat"
    path.write_text("".join(f"{a:.1f};{b:g};{b + 1:g}\n".replace(".", ",")
                            for a, b in zip(TT, XRD)))
    da = velmora.read(path)
    assert da.dims == ("spectrum", "x") and np.array_equal(da.values[1], XRD + 1)
    path = tmp_path / "plain.xy"
    path.write_text("# not LabSpec=1\n1 2\n2 3.5\n3 4\n")
    with pytest.warns(CountsWarning):
        assert velmora.read(path).dims == ("x",)


# ------------------------------------------------------------------------- command line

def run(*args):
    done = subprocess.run([sys.executable, "-m", "velmora", *args], capture_output=True,
                          text=True, timeout=300)
    return done.returncode, done.stdout, done.stderr


def test_cli_fits_a_region_of_a_vamas_file_and_refuses_what_it_cannot_fit(tmp_path):
    x = 1402.0 + 0.1 * np.arange(60)
    counts = RNG.poisson(900 * np.exp(-0.5 * ((x - 1405.0) / 0.4) ** 2) + 30)
    blocks = [vamas_block("Survey", PEAK), vamas_block("Au 4f", counts, start=1402.0)]
    path = vamas_file(tmp_path / "au.vms", blocks)
    code, stdout, stderr = run("fit", str(path), "--region", "Au 4f", "--shape", "gaussian",
                               "--peaks", "1", "--background", "uniform")
    assert code == 0, stderr
    assert "[[Peaks]]" in stdout
    # On binding energy (1486.6 eV - 1405 eV), with the Shirley step rising the right way.
    out = tmp_path / "au.json"
    code, stdout, stderr = run("fit", str(path), "--region", "Au 4f", "--shape", "gaussian",
                               "--peaks", "1", "--background", "shirley", "--energy", "binding",
                               "--json", str(out))
    assert code == 0, stderr
    assert "81.6" in stdout and "shirley (binding energy, from the data)" in stdout
    code, stdout, stderr = run("fit", str(path), "--shape", "gaussian", "--peaks", "1")
    assert code == 2 and len(stderr.strip().splitlines()) == 1 and "'Au 4f'" in stderr
    stack = np.array([RNG.poisson(RAMAN) for _ in range(4)])
    pytest.importorskip("rsciio")
    wdf = wdf_file(tmp_path / "map.wdf", SHIFT, stack, grid=(2, 2))
    code, stdout, stderr = run("fit", str(wdf), "--shape", "gaussian", "--peaks", "1")
    assert code == 2 and "fit-map" in stderr and len(stderr.strip().splitlines()) == 1
    out = tmp_path / "map.nc"
    code, stdout, stderr = run("fit-map", str(wdf), "--shape", "gaussian", "--peaks", "1",
                               "--background", "uniform", "--out", str(out), "--workers", "1")
    assert code == 0, stderr
    with xr.open_dataset(out) as ds:
        assert ds["p0.x0"].dims == ("y", "x")
        assert np.allclose(ds["p0.x0"].values, 520.7, atol=0.5)
