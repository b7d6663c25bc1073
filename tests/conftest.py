import os
import sys

# The tests run against the installed package. `python -m pytest` puts the
# working directory first on sys.path, where the source tree's bitloom_io
# (without its compiled part) would shadow the installed one.
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
sys.path.insert(0, os.path.dirname(__file__))

# `python -m pytest` puts the working directory first on sys.path; from the
# repository root that would import the bitloom_io sources, which lack the
# compiled parts, instead of the installed package.
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != _root]
