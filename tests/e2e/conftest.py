import pathlib
import sys

# sandbox.require() takes the skip-or-fail rule for missing prerequisites from here.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
