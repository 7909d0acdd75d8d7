"""The module surface: attributes and their order, exceptions, text signatures, constructors."""
import inspect

import pytest

import _korvex
import korvex

DOCUMENTED_ORDER = [
    "KorvexError",
    "ControlException",
    "Robot",
    "Model",
    "RobotState",
    "CartesianTargets",
    "JointTargets",
    "Gripper",
    "GripperState",
    "FLAT_LAYOUT",
    "FLAT_LEN",
    "__version__",
]
REQUIRED = {"KorvexError", "ControlException", "Robot", "RobotState", "FLAT_LAYOUT", "FLAT_LEN", "__version__"}
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def test_attributes_are_the_documented_ones_in_order():
    added = [name for name in vars(_korvex) if name not in MODULE_DUNDERS]
    assert REQUIRED <= set(added)
    assert added == [name for name in DOCUMENTED_ORDER if name in added]


def test_module_identity():
    assert _korvex.__name__ == "_korvex"
    assert _korvex.__doc__ == ""
    assert _korvex.__version__ == "0.4.0"
    assert _korvex.FLAT_LEN == 69


def test_package_reexports_the_extension():
    assert korvex.__version__ == _korvex.__version__
    for name in korvex.__all__:
        assert getattr(korvex, name) is getattr(_korvex, name)
    assert set(korvex.__all__) == {n for n in vars(_korvex) if not n.startswith("_")}


def test_reimport_returns_the_same_classes():
    import importlib
    import sys

    robot_cls = _korvex.Robot
    error_cls = _korvex.KorvexError
    saved = sys.modules.pop("_korvex")
    try:
        again = importlib.import_module("_korvex")
        assert again.Robot is robot_cls
        assert again.KorvexError is error_cls
    finally:
        sys.modules["_korvex"] = saved


@pytest.mark.parametrize(
    "cls, text",
    [
        (korvex.KorvexError, "<class 'korvex.KorvexError'>"),
        (korvex.ControlException, "<class 'korvex.ControlException'>"),
        (korvex.Robot, "<class 'korvex.Robot'>"),
        (korvex.RobotState, "<class 'korvex.RobotState'>"),
    ],
)
def test_classes_report_module_korvex(cls, text):
    assert repr(cls) == text
    assert cls.__module__ == "korvex"


def test_exception_hierarchy():
    assert korvex.KorvexError.__bases__ == (Exception,)
    assert korvex.ControlException.__bases__ == (korvex.KorvexError,)
    with pytest.raises(korvex.KorvexError):
        raise korvex.ControlException("libkorvex: Move command aborted!")
    with pytest.raises(Exception):
        raise korvex.KorvexError("x")


def test_exception_docstrings():
    assert korvex.ControlException.__doc__ == (
        "A motion ended abnormally; `e.reason` is the reflex reason, `e.errors` its flag names."
    )
    assert korvex.KorvexError.__doc__ == (
        "Any error of the library; `str(e)` is the library's own message and `e.kind` names the error variant."
    )


def test_robot_state_cannot_be_created_from_python():
    with pytest.raises(TypeError, match=r"^cannot create 'korvex.RobotState' instances$"):
        korvex.RobotState()


def test_robot_class_docstring_and_signature():
    assert inspect.signature(korvex.Robot) == inspect.Signature(
        [
            inspect.Parameter("address", inspect.Parameter.POSITIONAL_OR_KEYWORD),
            inspect.Parameter("realtime", inspect.Parameter.KEYWORD_ONLY, default=None),
            inspect.Parameter("log_size", inspect.Parameter.KEYWORD_ONLY, default=None),
        ]
    )
    assert korvex.Robot.__text_signature__ == "(address, *, realtime=None, log_size=None)"
    assert korvex.Robot.__doc__ == (
        "A connection to a robot's control box. `realtime` is 'enforce' (the default, as\n"
        "libkorvex: needs PREEMPT_RT and SCHED_FIFO) or 'ignore'; unset, `KORVEX_REALTIME` decides.\n"
        "Every method that talks to the robot releases the GIL."
    )


SIGNATURES = [
    (korvex.Robot.read_once, "($self)",
     "Waits for the next robot state (not while a target control runs: use its `state()`)."),
    (korvex.Robot.automatic_error_recovery, "($self)",
     "Clears the errors of a reflex or collision so that a new motion can start."),
    (korvex.Robot.stop, "($self)",
     "Stops the running motion from any thread; a target control's `stop()` then reports\n"
     "the preemption as a `ControlException`."),
    (korvex.Robot.set_collision_behavior,
     "($self, lower_torque_thresholds_acceleration, upper_torque_thresholds_acceleration, "
     "lower_torque_thresholds_nominal, upper_torque_thresholds_nominal, lower_force_thresholds_acceleration, "
     "upper_force_thresholds_acceleration, lower_force_thresholds_nominal, upper_force_thresholds_nominal)", None),
    (korvex.Robot.set_collision_behavior_simple,
     "($self, lower_torque_thresholds, upper_torque_thresholds, lower_force_thresholds, upper_force_thresholds)",
     "`set_collision_behavior` with the same thresholds for both phases."),
    (korvex.Robot.set_joint_impedance, "($self, K_theta)",
     "Joint impedance of the internal controller, Nm/rad, 7 values."),
    (korvex.Robot.set_cartesian_impedance, "($self, K_x)",
     "Cartesian impedance of the internal controller (x, y, z, roll, pitch, yaw)."),
    (korvex.RobotState.flat, "($self)",
     "The state as a 1-D float64 array of length `FLAT_LEN`, laid out as `FLAT_LAYOUT`."),
]


@pytest.mark.parametrize("method, text_signature, doc", SIGNATURES, ids=lambda v: getattr(v, "__name__", None))
def test_method_text_signatures(method, text_signature, doc):
    assert method.__text_signature__ == text_signature
    names = [p.strip() for p in text_signature[1:-1].split(",")][1:]
    # A method descriptor like any builtin method's: `self` stays when looked up on the class.
    assert list(inspect.signature(method).parameters) == ["self"] + names
    assert type(method).__name__ == "method_descriptor"
    if doc is not None:
        assert method.__doc__ == doc


def test_bound_methods_lose_only_self(robot):
    assert list(inspect.signature(robot.set_joint_impedance).parameters) == ["K_theta"]
    assert list(inspect.signature(robot.read_once).parameters) == []


def test_collision_behavior_doc_gives_units_and_language():
    doc = korvex.Robot.set_collision_behavior.__doc__
    for part in ("Nm", "N", "7", "6", "acceleration", "nominal", "C++"):
        assert part in doc


@pytest.mark.parametrize(
    "prop, doc",
    [
        (korvex.Robot.kxp_version, "The negotiated KXP protocol version: 10 (ZK2) or 5 (ZK1)."),
        (korvex.Robot.server_version, "The software version the control box reported."),
        (korvex.RobotState.accelerometer_top, "`(6, 3)`, m/s^2; zero on an ZK1."),
        (korvex.RobotState.accelerometer_bottom, "`(6, 3)`, m/s^2; zero on an ZK1."),
        (korvex.RobotState.current_errors, "Names of the errors active on the robot."),
        (korvex.RobotState.last_motion_errors, "Names of the errors that aborted the last motion."),
        (korvex.RobotState.robot_mode,
         "'other', 'idle', 'move', 'guiding', 'reflex', 'user_stopped' or\n'automatic_error_recovery'."),
        (korvex.RobotState.time, "The robot's timestamp, seconds."),
    ],
)
def test_attribute_docstrings(prop, doc):
    assert prop.__doc__ == doc


def test_robot_state_docstring():
    assert korvex.RobotState.__doc__ == (
        "One robot state (libkorvex's `RobotState`). Arrays are float64 numpy arrays, 4x4 poses\n"
        "`(4, 4)` matrices with the translation in `M[:3, 3]` (m); `flat()` follows `FLAT_LAYOUT`."
    )


def test_flat_layout_table():
    assert korvex.FLAT_LAYOUT == [
        ("q", 0, 7),
        ("dq", 7, 14),
        ("tau_J", 14, 21),
        ("tau_ext_hat_filtered", 21, 28),
        ("O_T_EE_position", 28, 31),
        ("O_T_EE_quaternion", 31, 35),
        ("O_F_ext_hat_K", 35, 41),
        ("q_d", 41, 48),
        ("O_T_EE_c_position", 48, 51),
        ("O_T_EE_c_quaternion", 51, 55),
        ("joint_contact", 55, 62),
        ("cartesian_contact", 62, 68),
        ("time", 68, 69),
    ]
    assert korvex.RobotState.FLAT_LAYOUT == korvex.FLAT_LAYOUT
    assert korvex.RobotState.FLAT_LEN == korvex.FLAT_LEN == 69
