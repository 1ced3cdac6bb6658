"""``python -m corvane_numcodecs``: the ``corvane`` command."""

import sys

from .cli import main

sys.exit(main())
