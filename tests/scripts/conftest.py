# The fixtures live with the rigs they set up, which the package suite shares.
from helpers import rig, user_dir  # noqa: F401
