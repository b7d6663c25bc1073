import os
import sys
from pathlib import Path

# The tests import the installed packages. `python -m pytest` run from the
# repository root puts the root first on sys.path, where the bitloom_io
# sources lack their built extension module; take it off.
ROOT = Path(__file__).resolve().parent.parent
sys.path[:] = [p for p in sys.path if Path(p or os.curdir).resolve() != ROOT]
sys.path.insert(0, os.path.dirname(__file__))
