"""XRD and Raman files: Bruker .brml and .raw, Rigaku .ras, XRDML and spectrometer text tables
read as counts on named axes.  Real instrument files are checked against the values read by
hand from them (the vendor folder's README); files written here from the formats' layouts
check series, regions, units and every damaged-file path, which must be a one-line
FileError, never a crash, a hang or a wrong number."""
import struct
import warnings
import zipfile

import numpy as np
import pytest

xr = pytest.importorskip("xarray")

import velmora  # noqa: E402
from velmora.formats import brml  # noqa: E402
from velmora.io import FileError  # noqa: E402

RNG = np.random.default_rng(11)

# ------------------------------------------------------------------------- real files

# file, axis, units, points, first and last x, first three and last counts, attributes
VENDOR = [
    ("standard.brml", "two_theta", "degree", 1757, 4.0, 39.9962, [3063, 3102, 3110], 62,
     {"anode": "Ag", "wavelength_kalpha1": 0.55941, "wavelength_kalpha2": 0.5638,
      "dwell_time": 96.0}),
    ("rigaku_test.ras", "two_theta", "degree", 1401, 2.0, 30.0, [7994, 7788, 7984], 1150,
     {"anode": "Cu", "sample": "MB120718Si3", "wavelength_kalpha1": 1.540593,
      "wavelength_kalpha2": 1.544414}),
    ("brukerraw_test.RAW", "two_theta", "degree", 3501, 5.0, 5.0 + 3500 * 0.0157156,
     [24353, 24449, 24211], 1795,
     {"anode": "Cu", "wavelength_kalpha1": 1.5406, "wavelength_kalpha2": 1.54439,
      "kalpha2_ratio": 0.5, "sample": "MK169-Ba2CaWO6-SPS-5-60_4hr.RAW"}),
    ("210520step1_30min.xrdml", "two_theta", "degree", 4489, 5.00835563, 80.0085308,
     [1719, 1766, 1688], 288, {"anode": "Cu", "wavelength_kalpha1": 1.540598,
                               "dwell_time": 50.165}),
    ("XRDML_alt.xrdml", "two_theta", "degree", 994, 0.0325, 4.9975, [20991, 16450, 15251], 5,
     {"anode": "Cu", "wavelength_kalpha2": 1.544426, "dwell_time": 5.0}),
    ("210520step1_30min.xy", "x", "", 4489, 5.00835563, 80.0085308, [1719, 1766, 1688], 288,
     {}),
    ("PST02_iRPlus785_Z050_075_3200ms.txt", "raman_shift", "1/cm", 1743, -42.14, 3000.64,
     [1172, 1102, 1069], None, {"laser_wavelength": 784.82, "dwell_time": 3.2, "scans": 1,
                                "technique": "Raman"}),
    ("PST_532_SEX139.txt", "raman_shift", "1/cm", 2048, -1118.2901370987172,
     4751.536933410046, [24458, 24458, 753], 995,
     {"laser_wavelength": 532.0, "dwell_time": 9.0, "scans": 20}),
    ("spectrum_wn.txt", "raman_shift", "1/cm", 1020, 24.8558, 541.36,
     [564.25, 551.232, 542.568], 20266, {"laser_wavelength": 532.0, "scans": 2}),
]


@pytest.mark.parametrize("name, axis, units, points, first, last, counts, final, attrs",
                         VENDOR, ids=[v[0] for v in VENDOR])
def test_vendor_files_open_with_their_axis_units_and_counts(vendor, name, axis, units, points,
                                                            first, last, counts, final, attrs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # LabSpec's intensities are not whole numbers
        da = velmora.read(vendor / name)
        (region,) = velmora.regions(vendor / name)
    assert da.dims == (axis,) and da[axis].attrs.get("units", "") == units
    assert da.size == points and np.allclose(da[axis][[0, -1]], [first, last], atol=1e-9)
    assert np.array_equal(da.values[:3], counts)
    assert final is None or da.values[-1] == final
    assert {k: da.attrs.get(k) for k in attrs} == pytest.approx(attrs)
    assert (region.axis, region.units, region.points) == (axis, units, points)
    assert (region.start, region.stop) == pytest.approx((first, last))


def test_vendor_files_keep_what_lies_beside_the_counts(vendor):
    # XRDML 2.0: raw counts, the attenuator's factor beside them (182 while it is in).
    alt = velmora.read(vendor / "XRDML_alt.xrdml")
    assert alt.attenuation.values[0] == 182 and alt.attenuation.values[-1] == 1
    assert "counts_from" not in alt.attrs
    xy = velmora.read(vendor / "210520step1_30min.xy")
    assert np.array_equal(velmora.read(vendor / "210520step1_30min.xrdml").values, xy.values)
    raw = velmora.read(vendor / "brukerraw_test.RAW")
    assert np.allclose(np.diff(raw.two_theta), 0.0157156) and raw.attrs["dwell_time"] == 564.03
    ras = velmora.read(vendor / "rigaku_test.ras")  # continuous: 0.02° at 0.25°/min
    assert ras.attrs["dwell_time"] == pytest.approx(4.8) and np.all(ras.attenuation == 1)
    # B&W Tek: the pixels 85 to 1827 have a Raman shift; the other columns kept.
    bw = velmora.read(vendor / "PST02_iRPlus785_Z050_075_3200ms.txt")
    assert bw.pixel.values[[0, -1]].tolist() == [85, 1827]
    assert bw.dark_subtracted_1.values[:3].tolist() == [12, -59, -110]
    assert bw.attrs["counts_from"] == "the column 'Raw data #1'"
    neegala = velmora.read(vendor / "PST_532_SEX139.txt")
    assert neegala.processed_data.values[:3].tolist() == [-3210, -3210, 7]


# --------------------------------------------------------------------------- .brml

TT = np.round(np.linspace(20.0, 30.0, 101), 4)
XRD = np.round(800 * np.exp(-0.5 * ((TT - 26.6) / 0.08) ** 2) + 40)
FACTOR = np.where(XRD > 500, 10.0, 1.0)


def raw_data(grid=TT, counts=XRD, *, unit="Counts", factor=None, views=True, moving="both",
             time=0.5):
    """A RawData member: Datum rows "time, absorption factor, 2θ, θ, counts"."""
    factor = np.ones_like(counts) if factor is None else factor
    theta, two_theta = grid / 2, grid if moving == "both" else np.full_like(grid, 20.0)
    datums = "".join(f"<Datum>{time:g},{f:g},{a:g},{b:g},{c:g}</Datum>\n"
                     for f, a, b, c in zip(factor, two_theta, theta, counts))
    view_xml = f"""<DataViews>
        <RawDataView xsi:type="FixedRawDataView" Start="0" Length="1" LogicName="MeasuredTime"/>
        <RawDataView xsi:type="FixedRawDataView" Start="1" Length="1"
                     LogicName="AbsorptionFactor"/>
        <RawDataView xsi:type="VaryingRawDataView" Start="2" Length="2"><Varying>
          <FieldDefinitions FieldName="TwoTheta"><Restriction Unit="°"/></FieldDefinitions>
          <FieldDefinitions FieldName="Theta"><Restriction Unit="°"/></FieldDefinitions>
          <BlankingValue>-9999</BlankingValue></Varying></RawDataView>
        <RawDataView xsi:type="RecordedRawDataView" Start="4" Length="1">
          <Recording Category="Count"><Unit Base="{unit}"/></Recording></RawDataView>
      </DataViews>""" if views else ""
    return f"""<?xml version="1.0"?>
<RawData xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <MeasurementStatus>Measured</MeasurementStatus>
  <DataRoutes><DataRoute RouteFlag="Measured">
      <ScanInformation VisibleName="Coupled TwoTheta/Theta">
        <TimePerStep>{time:g}</TimePerStep><ScanMode>StepScan</ScanMode>
        <ScanAxes><ScanAxisInfo AxisId="TwoTheta" Unit="°"/>
                  <ScanAxisInfo AxisId="Theta" Unit="°"/></ScanAxes>
      </ScanInformation>
{datums}      {view_xml}
  </DataRoute></DataRoutes>
  <FixedInformation><Tube><WaveLengthAlpha1 Unit="Å" Value="1.5406"/>
    <WaveLengthAlpha2 Unit="Å" Value="1.54439"/><TubeMaterial>Cu</TubeMaterial></Tube>
    <InfoItem Name="SampleName" Value="quartz"/></FixedInformation>
</RawData>
"""


def brml_file(path, *members, method=zipfile.ZIP_DEFLATED):
    with zipfile.ZipFile(path, "w", method) as archive:
        archive.writestr("experimentCollection.xml", "<ExperimentCollection/>")
        for k, member in enumerate(members):
            archive.writestr(f"Experiment0/RawData{k}.xml", member)
    return path


def test_brml_series_regions_units_and_the_columns_the_data_views_name(tmp_path):
    da = velmora.read(brml_file(tmp_path / "a.brml", raw_data()))
    assert da.dims == ("two_theta",) and np.array_equal(da.values, XRD)
    assert (da.attrs["anode"], da.attrs["sample"], da.attrs["dwell_time"]) == ("Cu", "quartz",
                                                                              0.5)
    assert "attenuation" not in da.coords
    # A step not measured carries the blanking value: dropped.
    blanked = velmora.read(brml_file(tmp_path / "f.brml", raw_data(counts=np.r_[XRD[:-1],
                                                                                 -9999])))
    assert np.array_equal(blanked.values, XRD[:-1])
    # Two scans on one grid are a series; on two grids, regions.
    two = velmora.read(brml_file(tmp_path / "b.brml", raw_data(), raw_data(counts=XRD + 1)))
    assert two.dims == ("scan", "two_theta") and np.array_equal(two.values[1], XRD + 1)
    path = brml_file(tmp_path / "c.brml", raw_data(), raw_data(grid=TT + 5))
    assert velmora.regions(path).names == ["scan 1", "scan 2"]
    assert velmora.read(path, region="scan 2").two_theta.values[0] == 25
    # Counts per second times the measured time; the absorption factor kept, not applied.
    da = velmora.read(brml_file(tmp_path / "d.brml", raw_data(counts=XRD * 4, unit="Cps",
                                                              factor=FACTOR, time=0.25)))
    assert np.array_equal(da.values, XRD) and np.array_equal(da.attenuation, FACTOR)
    # A rocking curve: θ moves, 2θ stays; without data views the early layout is read.
    da = velmora.read(brml_file(tmp_path / "e.brml", raw_data(moving="theta", views=False)))
    assert da.dims == ("x",) and da.x.attrs == {"long_name": "Theta", "units": "degree"}


def test_brml_members_are_decompressed_only_within_their_limits(tmp_path, monkeypatch):
    with pytest.raises(FileError, match="method 12"):
        velmora.read(brml_file(tmp_path / "m.brml", raw_data(), method=zipfile.ZIP_BZIP2))
    grid = np.linspace(20.0, 80.0, 3001)  # above 64 KiB, where the ratio is checked
    path = brml_file(tmp_path / "a.brml", raw_data(grid, np.round(40 + grid)))
    with zipfile.ZipFile(path) as archive:
        size = archive.getinfo("Experiment0/RawData0.xml").file_size
        ratio = int(size / archive.getinfo("Experiment0/RawData0.xml").compress_size)
    for most, ratio_, refused in ((size, ratio + 1, False), (size, ratio, True),
                                  (size - 1, 200, True)):
        monkeypatch.setattr(brml, "MEMBER_BYTES", most)
        monkeypatch.setattr(brml, "RATIO", ratio_)
        if refused:
            with pytest.raises(FileError, match="refused unread"):
                velmora.read(path)
        else:
            assert velmora.read(path).size == grid.size


def _lie_about_size(data):
    """The archive with the RawData member's declared size halved in its central directory
    entry (the last mention of its name)."""
    at = data.rfind(b"Experiment0/RawData0.xml") - 46
    size = struct.unpack_from("<I", data, at + 24)[0]
    return data[:at + 24] + struct.pack("<I", size // 2) + data[at + 28:]


@pytest.mark.parametrize("member, archive, words", [
    (None, lambda d: d[:len(d) // 2], "not a readable ZIP"),
    (None, _lie_about_size, "declares"),
    (None, lambda d: d.replace(b"RawData0.xml", b"Raw_Data.xml"), "without Experiment"),
    (lambda t: t.replace('<?xml version="1.0"?>', '<?xml version="1.0"?><!-- ' + "x" * 5000
                         + ' --><!DOCTYPE r [<!ENTITY a "aaaa">]>'), None, "document type"),
    (lambda t: t.replace(",40</Datum>", ",forty</Datum>", 1), None, "not numbers"),
    (lambda t: t.replace(",40</Datum>", ",40,1</Datum>", 1), None, r"fields"),
    (lambda t: t.replace('Length="2"', 'Length="3"'), None, "names 2"),
    (lambda t: t.replace('Category="Count"', 'Category="X"'), None, "no data view of detector"),
    (lambda t: t.replace("Datum>", "Nothing>"), None, "no Datum"),
])
def test_damaged_brml_files_are_refused(tmp_path, member, archive, words):
    path = brml_file(tmp_path / "bad.brml", (member or str)(raw_data()),
                     method=zipfile.ZIP_STORED)
    path.write_bytes((archive or bytes)(path.read_bytes()))
    with pytest.raises(FileError, match=words):
        velmora.read(path)


# ---------------------------------------------------------------------------- .ras

def ras_scan(grid=TT, counts=XRD, *, unit="counts", mode="STEP", speed="0.5",
             speed_unit="sec", factor=None):
    factor = np.ones_like(counts) if factor is None else factor
    rows = "".join(f"{a:.4f} {c:.4f} {f:.4f}\n" for a, c, f in zip(grid, counts, factor))
    return f"""*RAS_HEADER_START
*FILE_SAMPLE "quartz"
*HW_I_OPT_NAME-1 "標準入射光学ユニット|Standard incident optical unit"
*HW_XG_TARGET_NAME "Cu"
*HW_XG_WAVE_LENGTH_ALPHA1 "1.540593"
*MEAS_SCAN_AXIS_X "2-Theta/Omega"
*MEAS_SCAN_MODE "{mode}"
*MEAS_SCAN_SPEED "{speed}"
*MEAS_SCAN_SPEED_UNIT "{speed_unit}"
*MEAS_SCAN_STEP "0.1000"
*MEAS_SCAN_UNIT_X "deg"
*MEAS_SCAN_UNIT_Y "{unit}"
*MEAS_DATA_COUNT "{len(grid)}.0000000000"
*RAS_HEADER_END
*RAS_INT_START
{rows}*RAS_INT_END
"""


def ras_file(path, *scans):
    text = "*RAS_DATA_START\n" + "".join(scans) + "*RAS_DATA_END\n"
    path.write_bytes(text.encode("cp932"))
    return path


def test_ras_counts_per_second_series_regions_and_attenuation(tmp_path):
    da = velmora.read(ras_file(tmp_path / "a.ras", ras_scan(factor=FACTOR)))
    assert da.dims == ("two_theta",) and np.array_equal(da.values, XRD)
    assert np.array_equal(da.attenuation, FACTOR) and da.attrs["dwell_time"] == 0.5
    # Counts per second: a step scan's seconds per step, a continuous scan's step / speed.
    da = velmora.read(ras_file(tmp_path / "b.ras", ras_scan(counts=XRD * 2, unit="cps")))
    assert np.array_equal(da.values, XRD)
    da = velmora.read(ras_file(tmp_path / "c.ras", ras_scan(
        counts=XRD / 3, unit="cps", mode="CONTINUOUS", speed="2.0", speed_unit="deg/min")))
    assert da.attrs["dwell_time"] == pytest.approx(3.0) and np.allclose(da.values, XRD)
    two = velmora.read(ras_file(tmp_path / "d.ras", ras_scan(), ras_scan(counts=XRD + 1)))
    assert two.dims == ("scan", "two_theta") and two.attenuation.dims == ("two_theta",)
    path = ras_file(tmp_path / "e.ras", ras_scan(), ras_scan(grid=TT + 5))
    assert velmora.regions(path).names == ["scan 1", "scan 2"]


@pytest.mark.parametrize("damage, words", [
    (lambda t: t.replace("*RAS_INT_END\n", ""), "no \\*RAS_INT_END"),
    (lambda t: t.replace("*RAS_HEADER_END\n", ""), "no \\*RAS_HEADER_END"),
    (lambda t: t.replace("*RAS_INT_START\n", ""), "RAS_INT_START expected"),
    (lambda t: t.replace('"101.0', '"102.0'), "declares 102 points"),
    (lambda t: t.replace('"101.0', '"100.0'), "declares 100 points"),
    (lambda t: t.replace(" 40.0000 ", " 40.0000 1.0 2.0 ", 1), "line 17"),
    (lambda t: t.replace(" 40.0000 ", " 1e999 ", 1), "not finite"),
    (lambda t: t.replace(" 40.0000 1.0000", " 40.0000 0.0000", 1), "not positive"),
])
def test_damaged_ras_files_are_refused(tmp_path, damage, words):
    path = tmp_path / "bad.ras"
    path.write_bytes(damage(ras_file(path, ras_scan()).read_text(encoding="cp932"))
                     .encode("cp932"))
    with pytest.raises(FileError, match=words):
        velmora.read(path)


# ----------------------------------------------------------------------- Bruker .raw

def bruker_raw(path, *ranges, version=b"RAW1.01\0", supplementary=40):
    """A RAW version 3 file of ``ranges`` = (start 2θ, step, counts)."""
    head = bytearray(712)
    head[:8] = version
    struct.pack_into("<II", head, 8, 1, len(ranges))
    head[16:24], head[326:332], head[608:610] = b"05/17/24", b"Quartz", b"Cu"
    struct.pack_into("<5d", head, 616, 1.54184, 1.5406, 1.54439, 1.39222, 0.5)
    body = b""
    for start, step, counts in ranges:
        block = bytearray(304)
        struct.pack_into("<IIdd", block, 0, 304, len(counts), start / 2, start)
        struct.pack_into("<d", block, 176, step)
        struct.pack_into("<f", block, 192, 1.5)
        struct.pack_into("<I", block, 256, supplementary)
        body += bytes(block) + bytes(supplementary) + np.asarray(counts, "<f4").tobytes()
    path.write_bytes(bytes(head) + body)
    return path


def test_bruker_raw_ranges_grid_and_versions_not_read(tmp_path):
    da = velmora.read(bruker_raw(tmp_path / "a.raw", (20.0, 0.1, XRD)))
    assert np.allclose(da.two_theta, 20.0 + 0.1 * np.arange(XRD.size))
    assert np.array_equal(da.values, XRD) and da.attrs["dwell_time"] == 1.5
    assert (da.attrs["sample"], da.attrs["anode"]) == ("Quartz", "Cu")
    path = bruker_raw(tmp_path / "b.raw", (20.0, 0.1, XRD), (40.0, 0.05, XRD[:50]))
    assert velmora.regions(path).names == ["range 1", "range 2"]
    assert velmora.read(path, region="range 2").size == 50
    for signature, words in ((b"RAW4.00\0", "version 4"), (b"RAW2\0\0\0\0", "version 2"),
                             (b"RAW \0\0\0\0", "version 1")):
        with pytest.raises(FileError, match=words):
            velmora.read(bruker_raw(tmp_path / "v.raw", (20.0, 0.1, XRD), version=signature))


def _set(offset, fmt, value):
    def damage(data):
        data = bytearray(data)
        struct.pack_into(fmt, data, offset, value)
        return bytes(data)
    return damage


@pytest.mark.parametrize("damage, words", [
    (lambda d: d[:-4], "cannot hold"),                 # one step short
    (lambda d: d + b"\0\0\0\0", "bytes after"),        # one step too many
    (lambda d: d[:800], "fewer than the 712-byte"),
    (_set(12, "<I", 2), "too few|cannot hold"),        # a second range that is not there
    (_set(12, "<I", 10 ** 9), "declares 1000000000 ranges"),
    (_set(712 + 4, "<I", 2 ** 32 - 1), "4294967295 steps"),
    (_set(712, "<I", 200), "header of 200 bytes"),
    (_set(712 + 256, "<I", 2 ** 31), "cannot hold"),
    (_set(712 + 176, "<d", 0.0), "not a grid"),
    (_set(712 + 304 + 40, "<f", float("nan")), "not finite"),
])
def test_damaged_bruker_raw_files_are_refused(tmp_path, damage, words):
    data = bruker_raw(tmp_path / "a.raw", (20.0, 0.1, XRD)).read_bytes()
    (tmp_path / "bad.raw").write_bytes(damage(data))
    with pytest.raises(FileError, match=words):
        velmora.read(tmp_path / "bad.raw")


# ------------------------------------------------------------- spectrometer text tables

SHIFT = np.round(np.linspace(100.0, 1800.0, 120), 2)
RAMAN = np.round(600 * np.exp(-0.5 * ((SHIFT - 1001.4) / 4.0) ** 2) + 900)


def bwtek(path, blank=(0, 1, 119), raw=("Raw data #1",)):
    """A B&W Tek-like export: metadata, ';', decimal commas, Raman shift blank in places."""
    head = ["File Version;BWSpec4.11_1", "intigration times(ms);250", "average number;3",
            "laser_wavelength;532,1", "Pixel;Raman Shift;Dark;" + ";".join(raw) + ";"]
    rows = [f"{k};{'   ' if k in blank else f'{s:.2f}'.replace('.', ',')};1000,0000;"
            + ";".join(f"{c + j:.4f}".replace(".", ",") for j in range(len(raw))) + ";"
            for k, (s, c) in enumerate(zip(SHIFT, RAMAN))]
    path.write_text("\r\n".join(head + rows) + "\r\n")
    return path


def test_tables_pick_columns_by_name_and_plain_columns_name_their_axis(tmp_path):
    da = velmora.read(bwtek(tmp_path / "a.txt"))
    assert da.dims == ("raman_shift",) and da.size == 117
    assert np.array_equal(da.values, RAMAN[2:-1]) and np.all(da.dark == 1000)
    assert da.pixel.values[[0, -1]].tolist() == [2, 118]
    assert (da.attrs["dwell_time"], da.attrs["scans"], da.attrs["laser_wavelength"]) == \
        (0.25, 3, 532.1)
    two = velmora.read(bwtek(tmp_path / "b.txt", raw=("Raw data #1", "Raw data #2")))
    assert two.dims == ("spectrum", "raman_shift") and np.array_equal(two.values[1],
                                                                       RAMAN[2:-1] + 1)
    # Two columns: the header names the axis; without a header it stays x, without units.
    path = tmp_path / "c.txt"
    path.write_text("Raman shift (cm-1)\tCounts\n" + "".join(
        f"{s}\t{c:g}\n" for s, c in zip(SHIFT, RAMAN)))
    da = velmora.read(path)
    assert da.dims == ("raman_shift",) and da.raman_shift.attrs["units"] == "1/cm"
    path.write_text("".join(f"{s}\t{c:g}\n" for s, c in zip(SHIFT, RAMAN)))
    assert velmora.read(path).x.attrs == {"long_name": "x"}


def _row(pixel, change):
    """A damage to the table row of ``pixel`` only."""
    return lambda t: "\n".join(change(line) if line.startswith(f"{pixel};") else line
                                for line in t.split("\n"))


@pytest.mark.parametrize("damage, words", [
    (lambda t: t.replace("Raw data #1", "Background"), "no column of counts"),
    (_row(2, lambda r: r.replace(";900,0000;", ";   ;")), "no value in the column 'Raw"),
    (_row(0, lambda r: r.replace(";900,0000;", ";   ;")), None),  # a row without x: dropped
    (_row(2, lambda r: r.replace(";900,0000;", ";9.00,0;")), "line 8: expected numbers"),
    (_row(2, lambda r: r.replace("1000,0000;", "", 1).rstrip(";")), "3 columns where the"),
    (_row(3, lambda r: r.replace("142,86", "128,57")), "repeated values"),
])
def test_damaged_tables_are_refused(tmp_path, damage, words):
    text = bwtek(tmp_path / "a.txt").read_text()
    assert damage(text) != text
    (tmp_path / "bad.txt").write_text(damage(text))
    if words is None:
        assert velmora.read(tmp_path / "bad.txt").size == 117
        return
    with pytest.raises(FileError, match=words):
        velmora.read(tmp_path / "bad.txt")


# ------------------------------------------------------------------ random damage

def _mutations(data, count):
    """``count`` damaged copies of ``data``: truncated, bytes flipped, lines duplicated or
    deleted, huge numbers written over numbers."""
    lines = data.split(b"\n")
    for _ in range(count):
        kind = RNG.integers(5)
        if kind == 0:
            yield data[:RNG.integers(len(data))]
        elif kind == 1:
            out = bytearray(data)
            for at in RNG.integers(len(data), size=RNG.integers(1, 8)):
                out[at] = RNG.integers(256)
            yield bytes(out)
        elif kind in (2, 3):
            k = RNG.integers(len(lines))
            copy = lines[:k] + ([lines[k]] * 2 if kind == 2 else []) + lines[k + 1:]
            yield b"\n".join(copy)
        else:
            out = bytearray(data)
            at = RNG.integers(len(data) - 8)
            out[at:at + 8] = RNG.choice([b"99999999", b"1e308\n  ", b"-1e9999 ", b"\xff" * 8])
            yield bytes(out)


def _brml_damaged(tmp_path, count):
    """Damaged archives, and damaged XML in sound archives, in turn."""
    member = raw_data(TT[:20], XRD[:20]).encode()
    archive = brml_file(tmp_path / "ok.brml", member.decode()).read_bytes()
    for k, damaged in enumerate(_mutations(member, count)):
        if k % 2:
            yield brml_file(tmp_path / "x.brml", damaged).read_bytes()
        else:
            yield next(_mutations(archive, 1))


@pytest.mark.parametrize("ext", [".brml", ".ras", ".raw", ".txt"])
def test_random_damage_gives_a_file_error_or_a_spectrum(tmp_path, ext):
    if ext == ".brml":
        damaged = _brml_damaged(tmp_path, 300)
    else:
        sound = {".ras": lambda p: ras_file(p, ras_scan(TT[:30], XRD[:30])),
                 ".raw": lambda p: bruker_raw(p, (20.0, 0.1, XRD[:30])),
                 ".txt": lambda p: bwtek(p)}[ext](tmp_path / f"ok{ext}").read_bytes()
        damaged = _mutations(sound, 300)
    path = tmp_path / f"bad{ext}"
    for data in damaged:
        path.write_bytes(data)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            try:
                velmora.read(path)
            except FileError as exc:
                assert len(str(exc).splitlines()) == 1
