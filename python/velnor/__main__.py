"""``python -m velnor``: the command line."""

import sys

from velnor.cli import main

if __name__ == "__main__":
    sys.exit(main())
