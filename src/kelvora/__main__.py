"""``python -m kelvora``: the ``kelvora`` command (see :mod:`kelvora.cli`)."""
import sys

from .cli import main

if __name__ == "__main__":
    sys.exit(main())
