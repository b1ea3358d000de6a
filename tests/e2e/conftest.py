import pathlib
import sys

# The private machine (sandbox.py) and the skip-or-fail rule for missing prerequisites.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
