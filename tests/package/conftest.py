import pathlib
import sys

# The session-bus rigs are shared with the installer-script suites.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "scripts"))

from helpers import user_dir  # noqa: E402,F401
