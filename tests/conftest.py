import os
import sys

# The tests run against the installed package. `python -m pytest` puts the
# working directory first on sys.path, where the source tree's bitloom_io
# (without its compiled part) would shadow the installed one.
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
sys.path.insert(0, os.path.dirname(__file__))
