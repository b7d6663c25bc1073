"""`python -m bitloom_io`: the `bitloom-io` command line."""

import sys

from bitloom_io.cli import main

sys.exit(main())
