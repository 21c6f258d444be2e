"""XPS instrument files: the real vendor files (VAMAS from Kratos, Omicron, CasaXPS; Scienta
SES text and Igor waves; SpecsLab Prodigy .xy) read with the values their README gives, read
by hand; VAMAS as vendors write it; files written here from the published layouts of the
other formats, whole and damaged.  A damaged file gives a FileError, never another error."""
import struct
import warnings

import numpy as np
import pytest

pytest.importorskip("xarray")

import velmora  # noqa: E402
from velmora.io import CountsWarning, FileError  # noqa: E402
from test_package_readers import PEAK, three_regions, vamas_block, vamas_file  # noqa: E402

# ------------------------------------------------------------------------- vendor files

# file, region, axis, points, first and last channel, first three intensities as counts
# (README values; counts per second times dwell and scans), attributes.
VENDOR = [
    ("survey.vms", "wide", "kinetic_energy", 1206, 286.69, 1491.69, [11672, 11752, 11705],
     {"scans": 1, "excitation_energy": 1486.69, "date": "2020-02-05T15:56:04"}),
    ("multiplex.vms", "wide", "kinetic_energy", 1206, 286.69, 1491.69, [65292, 65707, 65935],
     {"scans": 2, "dwell_time": 0.099502, "sample": "Ta"}),
    ("xps_eis.vms", "block 1", "kinetic_energy", 8201, 1506.7, 686.7, [52426, 52451, 52853],
     {"scans": 5, "dwell_time": 0.2, "excitation_energy": 1486.7}),
    ("casaxps.vms", "block 1", "kinetic_energy", 201, 1136.7, 1156.7, [150630, 150055, 152310],
     {"scans": 25, "date": "2009-09-18T09:59:33"}),
    ("Pt4f.vms", "Pt4f PE20", "kinetic_energy", 281, 1396.68, 1424.68,
     [544.369, 590.509, 538.203], {"excitation_energy": 1486.68, "species": "Pt"}),
    ("scienta_multiregion_1.txt", "Si_K1s_4600", "kinetic_energy", 156, 2750, 2765.5,
     [25883, 27021, 26283], {"dwell_time": 0.243, "scans": 1, "sample": "Pd100"}),
    ("Cu-HHTP_0001.txt", "survey", "binding_energy", 1221, 600, -10,
     [148.950271606445, 146.686569213867, 145.659599304199],
     {"excitation_energy": 700, "scans": 2, "dwell_time": 0.203,
      "date": "2023-03-08T11:17:15"}),
    ("Cu-HHTP_0002Cu-HHTP__002.ibw", "O1s", "binding_energy", 301, 540, 525,
     [40.99606990814209, 40.55340623855591, 40.55831551551819],
     {"excitation_energy": 650, "scans": 10, "pass_energy": 50, "sample": "Cu-HHTP"}),
    ("specs_single_region_1.xy", "C 1s 60deg (145K)", "kinetic_energy", 41, 1198.61, 1202.61,
     [545.16204 * 5, 538.26996 * 5, 550.8534 * 5],
     {"scans": 50, "dwell_time": 0.1, "excitation_energy": 1486.61,
      "counts_from": "counts per second x dwell time 0.1 s x 50 scans"}),
]


@pytest.mark.parametrize("name, region, axis, points, first, last, values, attrs", VENDOR,
                         ids=[v[0] for v in VENDOR])
def test_vendor_files_read_as_their_readme_says(vendor, name, region, axis, points, first,
                                                last, values, attrs):
    listed = velmora.regions(vendor / name)
    entry = listed[listed.names.index(region)]
    assert (entry.axis, entry.points, entry.units) == (axis, points, "eV")
    assert (entry.start, entry.stop) == pytest.approx((first, last), abs=1e-6)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", CountsWarning)  # ADC intensities, Pt4f's counts
        da = velmora.read(vendor / name, region=region)
    assert da.dims == (axis,) and da.attrs["energy"] == axis.split("_")[0]
    assert da.values[:3] == pytest.approx(values, rel=1e-12)
    for key, value in attrs.items():
        assert da.attrs[key] == value, key


def test_vendor_multi_region_files_list_every_region_with_its_range(vendor):
    assert velmora.regions(vendor / "multiplex.vms").names == ["wide", "2: O 1s", "2: Ta 4f"]
    assert velmora.regions(vendor / "xps_eis.vms").names == [f"block {k}" for k in range(1, 5)]
    two = velmora.regions(vendor / "scienta_multiregion_1.txt")
    assert two.names == ["Si_K1s_4600", "O1s_4600"]
    assert (two[1].start, two[1].stop, two[1].points) == (4055, 4071, 161)
    # The SES export's excitation energy, 3.1E-317, is no photon energy: left out.
    assert "excitation_energy" not in velmora.read(vendor / "scienta_multiregion_1.txt",
                                                   region="O1s_4600").attrs
    with pytest.warns(CountsWarning, match="detector mode ADC"):
        velmora.read(vendor / "Cu-HHTP_0001.txt")
    survey = velmora.read(vendor / "survey.vms")
    assert survey.transmission.values[0] == pytest.approx(12.1974630554708)


def test_angle_resolved_kratos_map_is_a_series_over_the_angle(vendor):
    # 15 MAP blocks at one position: O 1s, C 1s, Al 2p at five emission angles.
    listed = velmora.regions(vendor / "ARXPS.vms")
    assert listed.names == ["O 1s", "C 1s", "Al 2p"] and {r.spectra for r in listed} == {5}
    o1s = velmora.read(vendor / "ARXPS.vms", region="O 1s")
    assert o1s.dims == ("angle", "kinetic_energy") and o1s.angle.attrs["units"] == "degree"
    assert list(o1s.angle.values) == [0, 40, 55, 63, 70]
    assert list(o1s.values[0, :3]) == [1678, 1729, 1716]
    assert o1s.kinetic_energy.values[[0, -1]] == pytest.approx([943.69, 963.69])
    # The last Al 2p block dwelt three times longer: the dwell is given along the angle.
    al = velmora.read(vendor / "ARXPS.vms", region="Al 2p")
    assert "dwell_time" not in al.attrs and al.attrs["scans"] == 1
    assert al.dwell_time.values == pytest.approx([0.298507004976273] * 4 + [0.895521014928818])


# ------------------------------------------------------------------- VAMAS as written

def _nul_padded(data):
    return data.replace(b"\nAu\n4f\n", b"\nAu\0\0\0\0\n4f\0\0\0\n")


@pytest.mark.parametrize("vary", [
    lambda d: b"\r\n\r\n" + d.replace(b"\n", b"\r\n"),                  # Kratos
    _nul_padded,                                                         # PHI MultiPak
    lambda d: d.replace(b"\n", b"  \n"),                                 # trailing blanks
    lambda d: b"\n".join(line + (b"\r" if k % 3 else b"") for k, line in
                         enumerate(d.split(b"\n"))),                     # mixed line ends
    lambda d: d.replace(b"Casa Info Follows", b"Casa Info \x85 Follows"),  # Latin-1 byte
], ids=["kratos-crlf", "phi-nul", "trailing-blanks", "mixed-ends", "latin1-0x85"])
def test_vamas_as_vendors_write_it_reads_like_the_plain_file(tmp_path, vary):
    plain = three_regions(tmp_path)
    path = tmp_path / "vendor.npl"
    path.write_bytes(vary(plain.read_bytes()))
    listed = velmora.regions(path)
    assert listed.names == ["Survey", "Au 4f", "C 1s"]
    assert listed == velmora.regions(plain)
    assert np.array_equal(velmora.read(path, region="Au 4f").values, PEAK)


def test_vamas_regions_named_from_species_where_the_identifier_tells_nothing(tmp_path):
    ids = ["None", "", "3", "Survey", "None"]
    blocks = [vamas_block(name, PEAK + k, start=100.0 * k) for k, name in enumerate(ids)]
    for item in blocks[4]:
        if item[0] in (29, 30):  # species and transition unknown as well
            item[1][0] = "None" if item[0] == 29 else ""
    path = vamas_file(tmp_path / "names.vms", blocks)
    assert velmora.regions(path).names == ["Au 4f", "Au 4f (2)", "Au 4f (3)", "Survey",
                                           "block 5"]
    assert np.array_equal(velmora.read(path, region="au 4f (2)").values, PEAK + 1)


@pytest.mark.parametrize("fields, date", [
    (("2019", "1", "22", "10", "30", "5"), "2019-01-22T10:30:05"),
    (("2019", "1", "22", "10", "30", "1E37"), "2019-01-22T10:30"),
    (("2019", "1", "22", "-1", "-1", "-1"), "2019-01-22"),
    (("2019", "1", "22", "10", "-1", "0"), "2019-01-22"),
    (("2019", "13", "22", "10", "30", "0"), None),
    (("-1", "1", "22", "10", "30", "0"), None),
])
def test_vamas_date_keeps_only_the_fields_the_file_knows(tmp_path, fields, date):
    block = vamas_block("Au 4f", PEAK)
    block[1:7] = [(k + 1, [v]) for k, v in enumerate(fields)]
    da = velmora.read(vamas_file(tmp_path / "date.vms", [block]))
    assert da.attrs.get("date") == date


def test_vamas_map_blocks_at_one_position_are_a_series_and_scattered_ones_refused(tmp_path):
    blocks = [vamas_block("O 1s", PEAK + k, mode="MAP", experiment=[a, 7], dwell=d)
              for k, (a, d) in enumerate([(0, 0.1), (45, 0.1), (60, 0.3)])]
    da = velmora.read(vamas_file(tmp_path / "ar.vms", blocks, mode="MAP",
                                 experiment=[("Tilt", "degree"), ("Stage", "n")]))
    assert da.dims == ("tilt", "kinetic_energy") and list(da.tilt.values) == [0, 45, 60]
    assert list(da.dwell_time.values) == [0.1, 0.1, 0.3] and da.attrs["scans"] == 5
    spots = [vamas_block("O 1s", PEAK, mode="MAP", position=(k, k)) for k in range(9)]
    with pytest.raises(FileError, match="9 x by 9 y positions, not on a map grid"):
        velmora.read(vamas_file(tmp_path / "spots.vms", spots, mode="MAP"))
    spots = [vamas_block("O 1s", PEAK, mode="MAP", position=(k // 2, 1)) for k in range(4)]
    with pytest.raises(FileError, match="4 blocks.*at 2 map positions, several at one"):
        velmora.read(vamas_file(tmp_path / "depth.vms", spots, mode="MAP"))


# ------------------------------------------------------------------ Scienta SES text

def ses_text(regions):
    """An SES text export of ``regions``: (name, energies, intensities (slices, points),
    extra [Region] lines, extra [Info] lines)."""
    out = ["[Info]", f"Number of Regions={len(regions):04d}", "Version=1.3.1", ""]
    for k, (name, x, y, region, info) in enumerate(regions, 1):
        y = np.atleast_2d(y)
        out += [f"[Region {k}]", f"Region Name={name}", f"Dimension 1 size={x.size}", *region,
                "", f"[Info {k}]", f"Region Name={name}", "Pass Energy=20",
                "Number of Sweeps=4", "Excitation Energy=1486.6", "Step Time=150",
                "Sample=Au foil", "Date=2024-05-17", "Time=10:00:00", *info,
                f"[Run Mode Information {k}]", "", f"[Data {k}]"]
        out += [f" {e:.5E} " + " ".join(f"{v:.5E}" for v in row) for e, row in zip(x, y.T)]
        out.append("")
    return "\r\n".join(out)


KE = 1400.0 + 0.1 * np.arange(PEAK.size)


def test_scienta_regions_axes_and_a_two_dimensional_region_as_a_series(tmp_path):
    angles = ["Dimension 2 name=Y-Scale [deg]", "Dimension 2 size=3",
              "Dimension 2 scale=-5 0 5"]
    path = tmp_path / "ses.txt"
    path.write_text(ses_text([
        ("Au4f", KE, PEAK, ["Dimension 1 name=Kinetic Energy [eV]"], ["Energy Scale=Kinetic"]),
        ("Au4f", 84.0 - KE + 1400, PEAK + 1, ["Dimension 1 name=Energy [eV]"],
         ["Energy Scale=Binding"]),
        ("VB", KE, [PEAK, PEAK + 1, PEAK + 2], ["Dimension 1 name=Kinetic Energy [eV]",
                                                *angles], [])]))
    assert velmora.regions(path).names == ["Au4f", "Au4f (2)", "VB"]
    assert velmora.read(path, region="Au4f").dims == ("kinetic_energy",)
    assert velmora.read(path, region="Au4f (2)").dims == ("binding_energy",)  # by its scale
    vb = velmora.read(path, region="VB")
    assert vb.dims == ("y_scale", "kinetic_energy") and list(vb.y_scale.values) == [-5, 0, 5]
    assert vb.y_scale.attrs["units"] == "deg" and np.array_equal(vb.values[2], PEAK + 2)


# ----------------------------------------------------------------------- Igor waves

def ibw(values, *, start=540.0, delta=-0.05, x_units=b"Binding Energy [eV]",
        note=b"[SES]\rRegion Name=O1s\rNumber of Sweeps=10\rExcitation Energy=650\r"
             b"Step Time=203\r", slices=None):
    """A version-5 Igor wave (little-endian float64) with SES's note and extended units."""
    values = np.asarray(values, dtype="<f8")
    dims = values.shape[::-1] + (0,) * (4 - values.ndim)
    data_units = b"Counts [a.u.]"
    y_units = b"" if slices is None else slices
    wave = bytearray(320)
    struct.pack_into("<ih", wave, 12, values.size, 4)
    wave[28:34] = b"wave_1"
    struct.pack_into("<4i", wave, 68, *dims)
    struct.pack_into("<4d", wave, 84, delta, 2.5, 1, 1)
    struct.pack_into("<4d", wave, 116, start, -5.0, 0, 0)
    head = struct.pack("<hhiiii4i4iiii", 5, 0, 320 + values.nbytes, 0, len(note),
                       len(data_units), len(x_units), len(y_units), 0, 0, 0, 0, 0, 0, 0, 0, 0)
    return checksummed(head + wave + values.tobytes() + note + data_units + x_units + y_units)


def checksummed(data):
    """A wave's bytes with the checksum of its headers made true (their words sum to 0)."""
    data = bytearray(data)
    if len(data) >= 384:
        data[2:4] = b"\0\0"
        words = int(np.frombuffer(bytes(data[:384]), dtype="<u2").astype(np.int64).sum())
        struct.pack_into("<H", data, 2, -words % 65536)
    return bytes(data)


def test_a_two_dimensional_igor_wave_is_a_series_along_its_second_dimension(tmp_path):
    path = tmp_path / "o1s.ibw"
    path.write_bytes(ibw([PEAK, PEAK + 1], slices=b"Angle [deg]"))
    da = velmora.read(path)
    assert da.dims == ("angle", "binding_energy") and list(da.angle.values) == [-5.0, -2.5]
    assert np.array_equal(da.values[1], PEAK + 1) and da.attrs["region"] == "O1s"
    assert da.binding_energy.values[[0, 1]] == pytest.approx([540.0, 539.95])


@pytest.mark.parametrize("offset, value, fmt, words", [
    (12, 10**9, "<i", "declares blocks of"),               # note size
    (64 + 12, 10**9, "<i", "points in dimensions"),         # npnts
    (64 + 68, 10**6, "<i", "points in dimensions"),         # nDim[0]
    (64 + 16, 0, "<h", "text wave"),                        # type
    (0, 2, "<h", "version 2"),
])
def test_damaged_igor_waves_are_refused_before_reading(tmp_path, offset, value, fmt, words):
    data = bytearray(ibw(PEAK))
    struct.pack_into(fmt, data, offset, value)
    path = tmp_path / "bad.ibw"
    # The checksum made true again: the sizes alone are wrong.
    path.write_bytes(checksummed(data) if offset else bytes(data))
    with pytest.raises(FileError, match=words):
        velmora.read(path)


# ----------------------------------------------------------------- Prodigy .xy exports

def prodigy_text(regions, *, rate="Counts per Second", separate="no", labels="energy counts/s",
                 axis="Kinetic Energy"):
    """A Prodigy export: ``regions`` = (group, name, cycles), a cycle a list of curves, a
    curve a list of scans (each an array of intensities on KE)."""
    out = ["# Created by:        SpecsLab Prodigy, Version 4.64.1-r88350", "#",
           "# XY-Serializer Export Settings:", f"#   Energy Axis:              {axis}",
           f"#   Count Rate:               {rate}", f"#   Separate Scan Data:       {separate}",
           "#"]
    for group, name, cycles in regions:
        if group:
            out += [f"# Group:             {group}", "#"]
        out += [f"# Region:            {name}", "# Analysis Method:   XPS",
                f"# Values/Curve:      {KE.size}", "# Dwell Time:        0.1",
                "# Excitation Energy: 1486.61", "# Acquisition Date:  2024-05-17 10:00:00 UTC",
                "#"]
        for c, curves in enumerate(cycles):
            out += [f"# Cycle: {c}", f"# Number of Scans: {len(curves[0])}", "#"]
            for k, scans in enumerate(curves):
                for s, values in enumerate(scans if separate == "yes" else [scans[0]]):
                    out += [f"# Cycle: {c}, Curve: {k}" + (f", Scan: {s}" if separate == "yes"
                                                          else ""),
                            "#", f"# ColumnLabels: {labels}", "#"]
                    extra = " 0.9" if "transmission" in labels else ""
                    out += [f"{e:.2f}  {v:.6f}{extra}" for e, v in zip(KE, values)]
                    out += ["", ""]
    return "\n".join(out)


def test_prodigy_groups_cycles_scans_and_rates(tmp_path):
    rate = PEAK / (0.1 * 2)  # counts per second over 2 scans of 0.1 s: PEAK counts
    cycles = [[[rate, rate]] for _ in range(12)]  # 12 cycles: past the one-digit numbers
    path = tmp_path / "groups.xy"
    path.write_text(prodigy_text([("Au foil", "Au 4f", cycles), ("Au foil", "C 1s", cycles[:1]),
                                  ("Cu foil", "C 1s", cycles[:1])]))
    assert velmora.regions(path).names == ["Au 4f", "Au foil / C 1s", "Cu foil / C 1s"]
    au = velmora.read(path, region="Au 4f")
    assert au.dims == ("cycle", "kinetic_energy") and list(au.cycle.values) == list(range(12))
    assert np.allclose(au.values[11], PEAK)
    assert au.attrs["counts_from"] == "counts per second x dwell time 0.1 s x 2 scans"
    assert (au.attrs["date"], au.attrs["group"]) == ("2024-05-17T10:00:00Z", "Au foil")
    # Scans exported apart are summed; counts stay counts; a transmission column is kept.
    scans = [[[PEAK, PEAK + 2], [PEAK + 1, PEAK + 1]]]
    path.write_text(prodigy_text([(None, "O 1s", scans)], rate="Counts", separate="yes",
                                 labels="energy counts transmission", axis="Binding Energy"))
    da = velmora.read(path)
    assert da.dims == ("curve", "binding_energy") and da.attrs["scans"] == 2
    assert np.array_equal(da.values, [2 * PEAK + 2, 2 * PEAK + 2])
    assert np.allclose(da.transmission, 0.9) and "counts_from" not in da.attrs


def _one_region(ext):
    if ext == "txt":
        return ses_text([("Au4f", KE, PEAK, ["Dimension 1 name=Kinetic Energy [eV]"], [])])
    return prodigy_text([(None, "Au 4f", [[[PEAK]], [[PEAK]]])])


@pytest.mark.parametrize("ext, damage, words", [
    ("txt", lambda t: t.replace("Regions=0001", "Regions=0002"), "announces 2 regions, the "
                                                                  "file holds 1"),
    ("txt", lambda t: t[:t.index("[Data 1]")], r"no \[Data 1\] section"),
    ("txt", lambda t: t.replace("size=60", "size=61"), "declares 61 energies.*has 60 lines"),
    ("txt", lambda t: t.replace("size=60", "size=60\r\nDimension 3 size=2"), "three dimensions"),
    ("txt", lambda t: t.replace("E+01\r\n", "E+01 7\r\n", 1), "3 numbers where.*has 2"),
    ("txt", lambda t: t.replace("E+01\r\n", "E+999\r\n", 1), "expected numbers"),
    ("txt", lambda t: t.replace("Kinetic Energy [eV]", "Channel"), "neither the dimension"),
    ("xy", lambda t: t.replace("Curve:      60", "Curve:      61"), "declares 61 values per"),
    ("xy", lambda t: t.replace("Curve: 0", "Curve: 0, Channel: 3"), "Separate Channel Data"),
    ("xy", lambda t: t.replace("# Cycle: 0, Curve: 0\n", ""), "data before any"),
    ("xy", lambda t: t.replace("1400.10", "1400.15", 1), "different energy grids"),
    ("xy", lambda t: t.replace("Kinetic Energy", "Photon Energy"), "neither 'Kinetic Energy'"),
    ("xy", lambda t: t.replace("1400.10  ", "1400.10  nan ", 1), "3 numbers where"),
    ("xy", lambda t: t.replace("1400.10  ", "1400.10  ", 1).replace("50.000000", "nan", 1),
     "expected numbers"),
    ("xy", lambda t: t[:t.index("# Cycle: 0")], "holds no curves"),
])
def test_damaged_scienta_and_prodigy_exports_are_refused_in_one_line(tmp_path, ext, damage,
                                                                      words):
    path = tmp_path / f"bad.{ext}"
    path.write_bytes(damage(_one_region(ext)).encode())
    with pytest.raises(FileError, match=words) as error:
        velmora.regions(path)
    assert "\n" not in str(error.value)


# --------------------------------------------------------------- random damage, per format

def _mutate(data, rng, binary):
    kind = rng.integers(6)
    if kind == 0:
        return data[:rng.integers(len(data))]
    if kind == 1 or binary:
        out = bytearray(data)
        for at in rng.integers(0, len(out) if kind == 1 else min(len(out), 400), 3):
            out[at] = rng.integers(256)
        if binary and kind > 1:  # a huge size or count in the headers, checksum true
            struct.pack_into("<i", out, int(rng.integers(0, 96)) * 4, int(rng.choice(
                [2**31 - 1, -1, 10**6, 3])))
            return checksummed(out)
        return bytes(out)
    lines = data.split(b"\n")
    k = int(rng.integers(len(lines)))
    if kind == 2:
        lines.insert(k, lines[k])
    elif kind == 3:
        del lines[k]
    else:
        fields = lines[k].split()
        if fields:
            fields[int(rng.integers(len(fields)))] = rng.choice(
                [b"99999999999999999999", b"1e308", b"-1", b"nan", b"0", b"1E37"])
            lines[k] = b" ".join(fields)
    return b"\n".join(lines)


def _seeds(tmp_path):
    au4f = [("Au4f", KE, PEAK, ["Dimension 1 name=Kinetic Energy [eV]"], [])]
    rate = [[[PEAK, PEAK]], [[PEAK, PEAK]]]
    return {"vms": three_regions(tmp_path).read_bytes(),
            "txt": ses_text(au4f * 2).encode(),
            "ibw": ibw(PEAK),
            "xy": prodigy_text([("G", "Au 4f", rate), ("G", "C 1s", rate[:1])],
                               separate="yes").encode()}


@pytest.mark.parametrize("ext", ["vms", "txt", "ibw", "xy"])
def test_random_damage_gives_a_file_error_or_a_reading(tmp_path, ext):
    rng = np.random.default_rng(sum(map(ord, ext)))
    seed = _seeds(tmp_path)[ext]
    path = tmp_path / f"damaged.{ext}"
    for _ in range(250):
        path.write_bytes(_mutate(seed, rng, binary=ext == "ibw"))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", CountsWarning)
            try:
                for region in velmora.regions(path):
                    assert region.points >= 1
            except FileError as error:
                assert "\n" not in str(error)
