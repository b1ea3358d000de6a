import pathlib
import sys

# The window test support: displays, the accessibility driver, the skip-or-fail rule.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
