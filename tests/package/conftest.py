import pathlib
import sys

# The session-bus rigs are shared with the installer-script suites, and the skip-or-fail rule for
# missing prerequisites with every suite.
TESTS = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(TESTS / "scripts"))
sys.path.insert(0, str(TESTS / "support"))

from helpers import user_dir  # noqa: E402,F401
