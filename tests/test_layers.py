"""The core's layers stay apart: the shapes, which both fitting layers share, include neither
the mixture fits (src/em) nor the package's engine (src/engine), and the engine includes nothing
of the mixture fits."""
import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[1] / "src"
INCLUDE = re.compile(r'^#include "([^"]+)"', re.MULTILINE)


@pytest.mark.parametrize("layer, foreign", [("shapes", ("em/", "engine/")), ("engine", ("em/",))])
def test_a_layer_includes_nothing_of_the_layers_above_or_beside_it(layer, foreign):
    files = sorted((SRC / layer).glob("*.[ch]pp"))
    assert files
    crossing = [(f.name, name) for f in files for name in INCLUDE.findall(f.read_text())
                if name.startswith(foreign)]
    assert crossing == []
