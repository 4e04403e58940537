"""python3 -m quorvane: the package's command line (quorvane.cli)."""
import sys

from .cli import main

sys.exit(main())
