"""korvex: drive a seven-joint torque-controlled arm and its gripper from Python.

    import korvex

    robot = korvex.Robot("192.168.1.10")
    state = robot.read_once()
    print(state.q, state.O_T_EE[:3, 3])

The simulator lives in the submodule ``korvex.sim``.
"""
from typing import TYPE_CHECKING

import _korvex

if TYPE_CHECKING:
    # The stubs describe the extension as korvex._korvex.
    from ._korvex import *  # noqa: F401,F403
    from ._korvex import __version__ as __version__
else:
    from _korvex import *  # noqa: F401,F403
    from _korvex import __version__

__all__ = [name for name in vars(_korvex) if not name.startswith("_")]

del TYPE_CHECKING
