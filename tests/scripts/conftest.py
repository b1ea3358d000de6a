import pathlib
import sys

# The skip-or-fail rule for missing prerequisites is shared with the other suites.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

# The fixtures live with the rigs they set up, which the package suite shares.
from helpers import rig, user_dir  # noqa: E402,F401
