"""Type stubs of the native extension `_korvex`, re-exported by `korvex`."""
from collections.abc import Sequence
from typing import ClassVar, Final, Literal, SupportsFloat, SupportsIndex, TypeAlias

import numpy as np
import numpy.typing as npt

__all__ = [
    "KorvexError",
    "ControlException",
    "Robot",
    "Model",
    "RobotState",
    "Gripper",
    "GripperState",
    "FLAT_LAYOUT",
    "FLAT_LEN",
]

__version__: Final[str]

Float64Array: TypeAlias = npt.NDArray[np.float64]
_Number: TypeAlias = SupportsFloat | SupportsIndex
#: A sequence of exactly 7 (joint) or 6 (Cartesian) numbers; another length raises ValueError.
_Numbers: TypeAlias = Sequence[_Number] | npt.NDArray[np.floating] | npt.NDArray[np.integer]
#: A two-dimensional array of numbers: an array or a sequence of equally long rows.
_Matrix: TypeAlias = Sequence[Sequence[_Number]] | npt.NDArray[np.floating] | npt.NDArray[np.integer]
Frame: TypeAlias = Literal[
    "joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "joint7", "flange", "ee", "stiffness"
]

ErrorKind: TypeAlias = Literal[
    "network",
    "protocol",
    "incompatible_version",
    "command",
    "control",
    "realtime",
    "invalid_operation",
    "invalid_argument",
    "model",
]
MoveStatus: TypeAlias = Literal[
    "Success",
    "MotionStarted",
    "Preempted",
    "PreemptedDueToActivatedSafetyFunctions",
    "CommandRejectedDueToActivatedSafetyFunctions",
    "CommandNotPossibleRejected",
    "StartAtSingularPoseRejected",
    "InvalidArgumentRejected",
    "ReflexAborted",
    "EmergencyAborted",
    "InputErrorAborted",
    "Aborted",
]
RobotMode: TypeAlias = Literal[
    "other", "idle", "move", "guiding", "reflex", "user_stopped", "automatic_error_recovery"
]

FLAT_LAYOUT: Final[list[tuple[str, int, int]]]
FLAT_LEN: Final[int]

class KorvexError(Exception):
    """Any error of the library; `str(e)` is the library's own message and `e.kind` names the error variant."""

    kind: ErrorKind

class ControlException(KorvexError):
    """A motion ended abnormally; `e.reason` is the reflex reason, `e.errors` its flag names."""

    reason: str
    errors: list[str]
    move_status: MoveStatus | None

class Robot:
    """A connection to a robot's control box. `realtime` is 'enforce' (the default, as
    libkorvex: needs PREEMPT_RT and SCHED_FIFO) or 'ignore'; unset, `KORVEX_REALTIME` decides.
    Every method that talks to the robot releases the GIL."""

    def __init__(
        self,
        address: str,
        *,
        realtime: Literal["enforce", "ignore"] | None = None,
        log_size: int | None = None,
    ) -> None: ...
    @property
    def address(self) -> str: ...
    @property
    def kxp_version(self) -> Literal[5, 10]:
        """The negotiated KXP protocol version: 10 (ZK2) or 5 (ZK1)."""
    @property
    def server_version(self) -> int:
        """The software version the control box reported."""
    def read_once(self) -> RobotState:
        """Waits for the next robot state (not while a target control runs: use its `state()`)."""
    def automatic_error_recovery(self) -> None:
        """Clears the errors of a reflex or collision so that a new motion can start."""
    def stop(self) -> None:
        """Stops the running motion from any thread; a target control's `stop()` then reports
        the preemption as a `ControlException`."""
    def set_collision_behavior(
        self,
        lower_torque_thresholds_acceleration: _Numbers,
        upper_torque_thresholds_acceleration: _Numbers,
        lower_torque_thresholds_nominal: _Numbers,
        upper_torque_thresholds_nominal: _Numbers,
        lower_force_thresholds_acceleration: _Numbers,
        upper_force_thresholds_acceleration: _Numbers,
        lower_force_thresholds_nominal: _Numbers,
        upper_force_thresholds_nominal: _Numbers,
    ) -> None: ...
    def set_collision_behavior_simple(
        self,
        lower_torque_thresholds: _Numbers,
        upper_torque_thresholds: _Numbers,
        lower_force_thresholds: _Numbers,
        upper_force_thresholds: _Numbers,
    ) -> None:
        """`set_collision_behavior` with the same thresholds for both phases."""
    def set_joint_impedance(self, K_theta: _Numbers) -> None:
        """Joint impedance of the internal controller, Nm/rad, 7 values."""
    def set_cartesian_impedance(self, K_x: _Numbers) -> None:
        """Cartesian impedance of the internal controller (x, y, z, roll, pitch, yaw)."""
    def model(self) -> Model:
        """The robot's kinematic and dynamic model, as a new `Model`: an ZK2's URDF is fetched from
        the robot, an ZK1's is built in; nothing is downloaded or executed on either."""
    def gripper(self) -> Gripper:
        """Connects to this robot's Korvex Hand (port 1338 of the same host)."""

class Model:
    """The kinematics and dynamics of the connected robot (`Robot.model()`), computed natively
    on both an ZK2 and an ZK1. Frames are `'joint1'..'joint7'`, `'flange'`, `'ee'` and
    `'stiffness'`; the optional transforms default to the identity (pass `state.F_T_EE`
    and `state.EE_T_K` for the mounted tool), the payload to nothing attached (pass
    `state.I_total`, `state.m_total`, `state.F_x_Ctotal`) and gravity to `(0, 0, -9.81)`.
    Jacobians are `(6, 7)`, linear rows first; poses `(4, 4)` as `RobotState.O_T_EE`."""

    def pose(self, frame: Frame, q: _Numbers, F_T_EE: _Matrix | None = None, EE_T_K: _Matrix | None = None) -> Float64Array:
        """Pose of `frame` in the base frame, `(4, 4)`."""
    def body_jacobian(
        self, frame: Frame, q: _Numbers, F_T_EE: _Matrix | None = None, EE_T_K: _Matrix | None = None
    ) -> Float64Array:
        """Body Jacobian of `frame`, `(6, 7)`, expressed in `frame` itself."""
    def zero_jacobian(
        self, frame: Frame, q: _Numbers, F_T_EE: _Matrix | None = None, EE_T_K: _Matrix | None = None
    ) -> Float64Array:
        """Zero Jacobian of `frame`, `(6, 7)`, expressed in the base frame."""
    def mass(
        self, q: _Numbers, I_total: _Matrix | None = None, m_total: float = 0.0, F_x_Ctotal: _Numbers | None = None
    ) -> Float64Array:
        """Mass matrix, `(7, 7)`, kg m^2."""
    def coriolis(
        self,
        q: _Numbers,
        dq: _Numbers,
        I_total: _Matrix | None = None,
        m_total: float = 0.0,
        F_x_Ctotal: _Numbers | None = None,
        gravity_earth: _Numbers | None = None,
    ) -> Float64Array:
        """Coriolis torques `C(q, dq) dq`, `(7,)`, Nm."""
    def gravity(
        self,
        q: _Numbers,
        m_total: float = 0.0,
        F_x_Ctotal: _Numbers | None = None,
        gravity_earth: _Numbers | None = None,
    ) -> Float64Array:
        """Gravity torques, `(7,)`, Nm."""
    def link_poses(self, q: _Numbers) -> Float64Array:
        """The frames korvex_description hangs `link0..link7`'s meshes on, `(8, 4, 4)`: the
        base (identity) and `joint1..joint7`."""
    def hand_pose(self, q: _Numbers) -> Float64Array:
        """The frame korvex_description hangs the hand mesh on: the flange yawed by -45 deg
        about its `z`, `(4, 4)`."""

class RobotState:
    """One robot state (libkorvex's `RobotState`). Arrays are float64 numpy arrays, 4x4 poses
    `(4, 4)` matrices with the translation in `M[:3, 3]` (m); `flat()` follows `FLAT_LAYOUT`."""

    FLAT_LAYOUT: ClassVar[list[tuple[str, int, int]]]
    FLAT_LEN: ClassVar[int]

    @property
    def q(self) -> Float64Array: ...
    @property
    def q_d(self) -> Float64Array: ...
    @property
    def dq(self) -> Float64Array: ...
    @property
    def dq_d(self) -> Float64Array: ...
    @property
    def ddq_d(self) -> Float64Array: ...
    @property
    def tau_J(self) -> Float64Array: ...
    @property
    def tau_J_d(self) -> Float64Array: ...
    @property
    def dtau_J(self) -> Float64Array: ...
    @property
    def theta(self) -> Float64Array: ...
    @property
    def dtheta(self) -> Float64Array: ...
    @property
    def joint_contact(self) -> Float64Array: ...
    @property
    def joint_collision(self) -> Float64Array: ...
    @property
    def cartesian_contact(self) -> Float64Array: ...
    @property
    def cartesian_collision(self) -> Float64Array: ...
    @property
    def tau_ext_hat_filtered(self) -> Float64Array: ...
    @property
    def O_F_ext_hat_K(self) -> Float64Array: ...
    @property
    def K_F_ext_hat_K(self) -> Float64Array: ...
    @property
    def O_dP_EE_d(self) -> Float64Array: ...
    @property
    def O_dP_EE_c(self) -> Float64Array: ...
    @property
    def O_ddP_EE_c(self) -> Float64Array: ...
    @property
    def O_ddP_O(self) -> Float64Array: ...
    @property
    def elbow(self) -> Float64Array: ...
    @property
    def elbow_d(self) -> Float64Array: ...
    @property
    def elbow_c(self) -> Float64Array: ...
    @property
    def delbow_c(self) -> Float64Array: ...
    @property
    def ddelbow_c(self) -> Float64Array: ...
    @property
    def F_x_Cee(self) -> Float64Array: ...
    @property
    def F_x_Cload(self) -> Float64Array: ...
    @property
    def F_x_Ctotal(self) -> Float64Array: ...
    @property
    def O_T_EE(self) -> Float64Array: ...
    @property
    def O_T_EE_d(self) -> Float64Array: ...
    @property
    def O_T_EE_c(self) -> Float64Array: ...
    @property
    def F_T_EE(self) -> Float64Array: ...
    @property
    def F_T_NE(self) -> Float64Array: ...
    @property
    def NE_T_EE(self) -> Float64Array: ...
    @property
    def EE_T_K(self) -> Float64Array: ...
    @property
    def I_ee(self) -> Float64Array: ...
    @property
    def I_load(self) -> Float64Array: ...
    @property
    def I_total(self) -> Float64Array: ...
    @property
    def m_ee(self) -> float: ...
    @property
    def m_load(self) -> float: ...
    @property
    def m_total(self) -> float: ...
    @property
    def control_command_success_rate(self) -> float: ...
    @property
    def accelerometer_top(self) -> Float64Array:
        """`(6, 3)`, m/s^2; zero on an ZK1."""
    @property
    def accelerometer_bottom(self) -> Float64Array:
        """`(6, 3)`, m/s^2; zero on an ZK1."""
    @property
    def current_errors(self) -> list[str]:
        """Names of the errors active on the robot."""
    @property
    def last_motion_errors(self) -> list[str]:
        """Names of the errors that aborted the last motion."""
    @property
    def robot_mode(self) -> RobotMode: ...
    @property
    def time(self) -> float:
        """The robot's timestamp, seconds."""
    def flat(self) -> Float64Array:
        """The state as a 1-D float64 array of length `FLAT_LEN`, laid out as `FLAT_LAYOUT`."""

class Gripper:
    """The Korvex Hand. Commands return `True` on success, `False` when the hand reports
    "unsuccessful" (a grasp that did not hold), and raise `KorvexError` when they fail."""

    def __init__(self, address: str) -> None: ...
    @property
    def server_version(self) -> int:
        """The protocol version of the hand's server, from the handshake."""
    def homing(self) -> bool:
        """Homes the hand and estimates `max_width`; needed after changing the fingers."""
    def move(self, width: float, speed: float) -> bool:
        """Moves the fingers to `width` (m) at `speed` (m/s)."""
    def grasp(
        self,
        width: float,
        speed: float,
        force: float,
        epsilon_inner: float = 0.005,
        epsilon_outer: float = 0.005,
    ) -> bool:
        """Grasps at `width` (m), `speed` (m/s), `force` (N); success when the fingers end within
        `[width - epsilon_inner, width + epsilon_outer]`."""
    def stop(self) -> bool:
        """Stops a running move or grasp."""
    def read_once(self) -> GripperState:
        """Waits for the next gripper state."""

class GripperState:
    """One gripper state: `width` and `max_width` (m), `is_grasped`, `temperature` (C), `time` (s)."""

    @property
    def width(self) -> float: ...
    @property
    def max_width(self) -> float: ...
    @property
    def is_grasped(self) -> bool: ...
    @property
    def temperature(self) -> int: ...
    @property
    def time(self) -> float: ...
