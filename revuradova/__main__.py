"""python -m revuradova: the command line."""

import sys

from revuradova.cli import main

sys.exit(main())
