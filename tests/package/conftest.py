"""Fixtures shared by the package's tests."""
import os
from pathlib import Path

import pytest

_REPO = Path(__file__).resolve().parents[2]


def vendor_folder():
    """The folder of real instrument files from public repositories (its README gives each
    file's source, licence and values read by hand), or None when this checkout has none."""
    for candidate in (os.environ.get("VELMORA_VENDOR_DATA"),
                      _REPO.parent / "shared" / "data" / "vendor",
                      "/work/shared/data/vendor"):
        if candidate and Path(candidate, "README.md").is_file():
            return Path(candidate)
    return None


@pytest.fixture(scope="session")
def vendor():
    """The folder of real instrument files (see :func:`vendor_folder`)."""
    folder = vendor_folder()
    if folder is None:
        pytest.skip("no folder of real instrument files: set VELMORA_VENDOR_DATA")
    return folder
