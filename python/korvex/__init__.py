"""korvex: drive a seven-joint torque-controlled arm and its gripper from Python."""
from _korvex import *  # noqa: F401,F403
from _korvex import __version__  # noqa: F401
