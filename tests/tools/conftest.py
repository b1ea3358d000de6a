import pathlib
import sys

# The skip-or-fail rule for missing prerequisites is shared with the other suites.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
