"""``python -m velmora``: see :mod:`velmora.cli`."""
import sys

from .cli import main

sys.exit(main())
