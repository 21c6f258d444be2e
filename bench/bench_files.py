"""Instrument files: every real file of the vendor folder opened, then thousands of damaged
copies of each format read, to show that a damaged file only ever ends in a FileError, soon,
and in bounded memory.

First a table: each real file's format (the reader that recognised it), its regions, channel
axis, units, points and first value, and the time to read it.

Then, per format, ``--damaged`` (default 2 000) copies of its real files (and of small ``.npz``,
NetCDF and Zarr maps written here) damaged at random: truncated, bytes flipped or zeroed,
lines deleted, repeated or swapped, numbers replaced by huge, negative or non-finite ones,
NUL bytes inserted, 4- and 8-byte words of binary files overwritten.  Each copy is read with
``velmora.read`` (every region) in a worker process whose address space is capped (``--memory``
MiB, default 2 048) and whose every read is timed; the worker is restarted if it dies.
Printed per format: the outcomes (read, FileError, anything else: the target is nothing
else), the slowest read (target: under a second) and the worker's peak resident memory.

    python bench/bench_files.py [--vendor DIR] [--damaged 2000] [--memory 2048] [--seed 0]
"""
import argparse
import collections
import multiprocessing as mp
import os
import pathlib
import random
import re
import resource
import shutil
import sys
import tempfile
import time
import traceback
import warnings

import numpy as np

REPO = pathlib.Path(__file__).resolve().parents[1]
NUMBER = re.compile(rb"-?\d+(?:[.,]\d+)?(?:[eE][-+]?\d+)?")
BAD_NUMBERS = [b"1e308", b"-1", b"0", b"nan", b"inf", b"99999999999999999999", b"-1e37",
               b"4294967297", b"1E37", b""]


def vendor_folder(given):
    for candidate in (given, os.environ.get("VELMORA_VENDOR_DATA"),
                      REPO.parent / "shared" / "data" / "vendor", "/work/shared/data/vendor"):
        if candidate and pathlib.Path(candidate, "README.md").is_file():
            return pathlib.Path(candidate)
    sys.exit("no vendor folder: pass --vendor DIR or set VELMORA_VENDOR_DATA")


def written_maps(folder):
    """Small map files of the array formats (no real ones are in the vendor folder)."""
    import xarray as xr

    rng = np.random.default_rng(1)
    x = np.linspace(100.0, 200.0, 120)
    counts = rng.poisson(50 + 400 * np.exp(-0.5 * ((x - 150) / 5) ** 2), (3, 4, 120))
    npz = folder / "map.npz"
    np.savez_compressed(npz, x=x, counts=counts)
    da = xr.DataArray(counts.astype(float), dims=("y", "x_pos", "raman_shift"),
                      coords={"raman_shift": x}, name="counts")
    nc = folder / "map.nc"
    da.to_dataset().to_netcdf(nc)
    zarr = folder / "map.zarr"
    try:
        da.to_dataset().to_zarr(zarr, mode="w", zarr_format=2)
    except TypeError:
        da.to_dataset().to_zarr(zarr, mode="w")
    return [npz, nc, zarr]


# ------------------------------------------------------------------------------ damage

def damage(data, rng, text):
    """``data`` damaged one to three times, each time in one of the ways listed above."""
    for _ in range(rng.randint(1, 3)):
        data = _one_damage(bytearray(data), rng, text)
    return bytes(data)


def _one_damage(data, rng, text):
    n = len(data)
    if n == 0:
        return data
    kind = rng.choice(("truncate", "flip", "zero", "numbers", "numbers", "lines", "nul",
                       "words") if text else ("truncate", "flip", "zero", "words", "words",
                                              "numbers"))
    if kind == "truncate":
        return data[:rng.randrange(n)]
    if kind == "flip":
        for _ in range(rng.randint(1, 16)):
            data[rng.randrange(n)] = rng.randrange(256)
        return data
    if kind == "zero":
        start = rng.randrange(n)
        stop = min(n, start + rng.randint(1, 4096))
        data[start:stop] = bytes(stop - start)
        return data
    if kind == "nul":
        at = rng.randrange(n)
        return data[:at] + b"\x00" * rng.randint(1, 8) + data[at:]
    if kind == "words":
        for _ in range(rng.randint(1, 6)):
            at = rng.randrange(max(n - 8, 1))
            width = rng.choice((2, 4, 8))
            data[at:at + width] = rng.choice((b"\xff", b"\x7f", b"\x00", b"\x80")) * width
        return data
    if kind == "numbers":
        found = list(NUMBER.finditer(bytes(data[:1 << 20])))
        if not found:
            return data
        out = bytes(data)
        for match in sorted(rng.sample(found, min(len(found), rng.randint(1, 5))),
                            key=lambda m: -m.start()):
            out = out[:match.start()] + rng.choice(BAD_NUMBERS) + out[match.end():]
        return bytearray(out)
    # lines: delete, repeat or swap
    lines = bytes(data).split(b"\n")
    if len(lines) < 3:
        return data
    for _ in range(rng.randint(1, 4)):
        i, j = rng.randrange(len(lines)), rng.randrange(len(lines))
        how = rng.choice(("delete", "repeat", "swap"))
        if how == "delete":
            del lines[i]
        elif how == "repeat":
            lines.insert(i, lines[j])
        else:
            lines[i], lines[j] = lines[j], lines[i]
        if len(lines) < 3:
            break
    return bytearray(b"\n".join(lines))


def damaged_copy(source, target, rng):
    """A damaged copy of a file (or of one file of a Zarr folder) at ``target``."""
    if source.is_dir():
        shutil.copytree(source, target)
        members = sorted(p for p in target.rglob("*") if p.is_file())
        member = rng.choice(members)
        member.write_bytes(damage(member.read_bytes(), rng, member.name.startswith(".z")
                                  or member.suffix == ".json"))
        return
    raw = source.read_bytes()
    text = b"\x00" not in raw[:4096]
    target.write_bytes(damage(raw, rng, text))


# ------------------------------------------------------------------------------ worker

def _worker(jobs, results, memory_mib):
    limit = memory_mib << 20
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    warnings.simplefilter("ignore")
    import velmora
    from velmora.io import FileError

    while True:
        path = jobs.get()
        if path is None:
            return
        started = time.perf_counter()
        try:
            names = velmora.regions(path).names
            for name in names:
                velmora.read(path, region=name)
            outcome = "read"
        except FileError as exc:
            outcome = "FileError" if "\n" not in str(exc) else "FileError of several lines"
        except MemoryError:
            outcome = "MemoryError"
        except Exception as exc:  # what the benchmark is looking for
            outcome = f"{type(exc).__name__}: {str(exc)[:80]} ({_where(exc)})"
        seconds = time.perf_counter() - started
        peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0
        results.put((path, outcome, seconds, peak))


def _where(exc):
    frames = traceback.extract_tb(exc.__traceback__)
    return f"{os.path.basename(frames[-1].filename)}:{frames[-1].lineno}" if frames else "?"


class Reader:
    """A worker process reading files one at a time, restarted when it dies."""

    def __init__(self, memory):
        self.memory = memory
        self.context = mp.get_context("spawn")
        self._start()

    def _start(self):
        self.jobs, self.results = self.context.Queue(), self.context.Queue()
        self.process = self.context.Process(target=_worker,
                                            args=(self.jobs, self.results, self.memory))
        self.process.start()

    def read(self, path, timeout=60.0):
        self.jobs.put(str(path))
        try:
            return self.results.get(timeout=timeout)[1:]
        except Exception:
            alive = self.process.is_alive()
            self.process.kill()
            self.process.join()
            self._start()
            return ("hung past a minute" if alive else
                    f"worker died (exit {self.process.exitcode})"), timeout, float("nan")

    def close(self):
        self.jobs.put(None)
        self.process.join(10)


# ------------------------------------------------------------------------------ report

def table_of_real_files(folder):
    import velmora
    from velmora.formats import reader_for

    velmora.regions(folder / "Pt4f.vms")  # the first read imports xarray: not timed
    print(f"Real files in {folder}:")
    head = f"{'file':38s} {'format':11s} {'regions':>7s}  {'axis':15s} {'units':7s} " \
           f"{'points':>6s} {'spectra':>7s} {'first value':>12s} {'ms':>7s}"
    print(head)
    print("-" * len(head))
    groups = collections.defaultdict(list)
    for path in sorted(folder.iterdir()):
        if path.name == "README.md":
            continue
        started = time.perf_counter()
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                reader = reader_for(path).__name__.rpartition(".")[2]
                found = velmora.regions(path)
                first = velmora.read(path, region=found[0].name)
            ms = 1e3 * (time.perf_counter() - started)
            r = found[0]
            print(f"{path.name[:38]:38s} {reader:11s} {len(found):7d}  {r.axis:15s} "
                  f"{r.units:7s} {r.points:6d} {r.spectra:7d} "
                  f"{float(first.values.ravel()[0]):12.6g} {ms:7.1f}")
            groups[reader].append(path)
        except Exception as exc:
            print(f"{path.name[:38]:38s} FAILED: {type(exc).__name__}: {str(exc)[:90]}")
    return groups


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--vendor")
    parser.add_argument("--damaged", type=int, default=2000)
    parser.add_argument("--memory", type=int, default=2048, help="MiB per worker")
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    folder = vendor_folder(args.vendor)
    groups = table_of_real_files(folder)
    with tempfile.TemporaryDirectory() as scratch:
        scratch = pathlib.Path(scratch)
        maps = scratch / "maps"
        maps.mkdir()
        for path in written_maps(maps):
            groups[path.suffix[1:] + " (written)"].append(path)
        reader = Reader(args.memory)
        rng = random.Random(args.seed)
        print(f"\n{args.damaged} damaged copies per format, read in a worker capped at "
              f"{args.memory} MiB:")
        head = f"{'format':18s} {'files':>5s} {'read':>6s} {'FileError':>9s} {'other':>6s} " \
               f"{'slowest s':>9s} {'peak MiB':>9s}"
        print(head)
        print("-" * len(head))
        failures = []
        total_other = 0
        slowest_all = 0.0
        for name, sources in sorted(groups.items()):
            for source in sources:  # imports and first-use costs, not timed
                reader.read(source)
            tally = collections.Counter()
            slowest, peak = 0.0, 0.0
            for k in range(args.damaged):
                source = sources[k % len(sources)]
                target = scratch / f"damaged{k % 2}{source.suffix}"
                if target.is_dir():
                    shutil.rmtree(target)
                damaged_copy(source, target, rng)
                outcome, seconds, rss = reader.read(target)
                tally["read" if outcome == "read" else
                      "FileError" if outcome == "FileError" else "other"] += 1
                if outcome not in ("read", "FileError"):
                    failures.append((name, source.name, outcome))
                    keep = scratch.parent / f"velmora-damaged-{len(failures)}{source.suffix}"
                    if not target.is_dir():
                        shutil.copy(target, keep)
                slowest = max(slowest, seconds)
                peak = max(peak, rss if rss == rss else 0.0)
            total_other += tally["other"]
            slowest_all = max(slowest_all, slowest)
            print(f"{name:18s} {len(sources):5d} {tally['read']:6d} {tally['FileError']:9d} "
                  f"{tally['other']:6d} {slowest:9.3f} {peak:9.0f}")
        reader.close()
    print(f"\nOutcomes other than a read or a FileError: {total_other} (target 0); slowest "
          f"read {slowest_all:.3f} s (target < 1 s)")
    for name, source, outcome in failures[:30]:
        print(f"  {name}: damaged {source}: {outcome}")


if __name__ == "__main__":
    main()
