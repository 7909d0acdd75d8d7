"""RobotState: every attribute as a fresh float64 array of its shape, the flat layout, repr, modes."""
import math

import numpy as np
import pytest

import korvex
from conftest import connect

SHAPES = {
    **{n: (7,) for n in ["q", "q_d", "dq", "dq_d", "ddq_d", "tau_J", "tau_J_d", "dtau_J", "theta", "dtheta",
                         "joint_contact", "joint_collision", "tau_ext_hat_filtered"]},
    **{n: (6,) for n in ["cartesian_contact", "cartesian_collision", "O_F_ext_hat_K", "K_F_ext_hat_K",
                         "O_dP_EE_d", "O_dP_EE_c", "O_ddP_EE_c"]},
    **{n: (3,) for n in ["O_ddP_O", "F_x_Cee", "F_x_Cload", "F_x_Ctotal"]},
    **{n: (2,) for n in ["elbow", "elbow_d", "elbow_c", "delbow_c", "ddelbow_c"]},
    **{n: (4, 4) for n in ["O_T_EE", "O_T_EE_d", "O_T_EE_c", "F_T_EE", "F_T_NE", "NE_T_EE", "EE_T_K"]},
    **{n: (3, 3) for n in ["I_ee", "I_load", "I_total"]},
    **{n: (6, 3) for n in ["accelerometer_top", "accelerometer_bottom"]},
}
FLOATS = ["m_ee", "m_load", "m_total", "control_command_success_rate", "time"]
POSES = [n for n, shape in SHAPES.items() if shape == (4, 4)]


def test_attribute_set_is_complete():
    public = {n for n in dir(korvex.RobotState) if not n.startswith("_")}
    assert public == set(SHAPES) | set(FLOATS) | {
        "current_errors", "last_motion_errors", "robot_mode", "flat", "FLAT_LAYOUT", "FLAT_LEN"}


@pytest.mark.parametrize("name, shape", SHAPES.items())
def test_arrays_are_fresh_float64_of_their_shape(state, name, shape):
    first = getattr(state, name)
    assert type(first) is np.ndarray
    assert (first.dtype, first.shape) == (np.float64, shape)
    assert first.flags.c_contiguous and first.flags.owndata and first.flags.writeable
    kept = first.copy()
    first[...] = 12345.0
    second = getattr(state, name)
    assert second is not first
    np.testing.assert_array_equal(second, kept)


@pytest.mark.parametrize("name", SHAPES)
def test_attributes_are_read_only(state, name):
    with pytest.raises(AttributeError):
        setattr(state, name, np.zeros(SHAPES[name]))


@pytest.mark.parametrize("name", FLOATS)
def test_scalars_are_floats(state, name):
    assert type(getattr(state, name)) is float


@pytest.mark.parametrize("name", POSES)
def test_poses_have_the_translation_in_the_last_column(state, name):
    M = getattr(state, name)
    np.testing.assert_array_equal(M[3], [0.0, 0.0, 0.0, 1.0])
    R = M[:3, :3]
    np.testing.assert_allclose(R @ R.T, np.eye(3), atol=1e-6)
    assert np.linalg.det(R) == pytest.approx(1.0, abs=1e-6)


def test_known_values_of_the_simulated_arm(state):
    # The simulated ZK2 arm starts at rest in its ready pose, end effector pointing down.
    np.testing.assert_allclose(state.q, [0, -math.pi / 4, 0, -3 * math.pi / 4, 0, math.pi / 2, math.pi / 4],
                               atol=1e-3)
    np.testing.assert_array_equal(state.dq, np.zeros(7))
    assert state.O_T_EE[0, 3] > 0.2 and state.O_T_EE[2, 3] > 0.2  # in front of and above the base
    np.testing.assert_allclose(np.diag(state.O_T_EE)[:3], [1, -1, -1], atol=1e-3)
    np.testing.assert_allclose(state.O_ddP_O, [0, 0, -9.81], atol=1e-6)
    np.testing.assert_allclose(state.I_total, state.I_total.T)
    assert state.m_total == pytest.approx(state.m_ee + state.m_load)
    assert 0.0 <= state.control_command_success_rate <= 1.0


def test_error_lists_and_mode(state):
    assert state.current_errors == [] and type(state.current_errors) is list
    assert state.last_motion_errors == [] and type(state.last_motion_errors) is list
    assert state.robot_mode == "idle"


def test_closed_brakes_read_as_mode_other(closed_brakes_sim):
    robot = connect(closed_brakes_sim.address)
    assert robot.read_once().robot_mode == "other"
    closed_brakes_sim.brakes_open = True
    assert _mode_within(robot, "idle")


@pytest.mark.parametrize(
    "flags, names",
    [
        (["joint_reflex"], ["joint_reflex"]),
        # listed in the record's order, not in the order they were raised
        (["base_acceleration_invalid_reading", "cartesian_reflex", "joint_position_limits_violation"],
         ["joint_position_limits_violation", "cartesian_reflex", "base_acceleration_invalid_reading"]),
    ],
)
def test_reflex_mode_and_error_names(robot, sim, flags, names):
    sim.trigger_reflex(flags)
    state = _state_within(robot, lambda s: s.robot_mode == "reflex")
    assert state.current_errors == names
    assert state.last_motion_errors == names
    robot.automatic_error_recovery()
    state = _state_within(robot, lambda s: s.robot_mode == "idle")
    assert state.current_errors == []


def _state_within(robot, condition, reads=500):
    for _ in range(reads):
        state = robot.read_once()
        if condition(state):
            return state
    raise AssertionError("no such state within %d reads" % reads)


def _mode_within(robot, mode):
    return _state_within(robot, lambda s: s.robot_mode == mode) is not None


def test_time_is_milliseconds_in_seconds(robot):
    first, second = robot.read_once(), robot.read_once()
    for s in (first, second):
        assert s.time * 1000 == pytest.approx(round(s.time * 1000), abs=1e-6)
    assert second.time >= first.time + 0.001


def quaternion(M):
    """(x, y, z, w) of the rotation by the four-case rule; strict comparisons; w made non-negative."""
    R = M[:3, :3]
    t = R[0, 0] + R[1, 1] + R[2, 2]
    if t > 0:
        s = 2 * math.sqrt(t + 1)
        q = [(R[2, 1] - R[1, 2]) / s, (R[0, 2] - R[2, 0]) / s, (R[1, 0] - R[0, 1]) / s, s / 4]
    elif R[0, 0] > R[1, 1] and R[0, 0] > R[2, 2]:
        s = 2 * math.sqrt(1 + R[0, 0] - R[1, 1] - R[2, 2])
        q = [s / 4, (R[0, 1] + R[1, 0]) / s, (R[0, 2] + R[2, 0]) / s, (R[2, 1] - R[1, 2]) / s]
    elif R[1, 1] > R[2, 2]:
        s = 2 * math.sqrt(1 + R[1, 1] - R[0, 0] - R[2, 2])
        q = [(R[0, 1] + R[1, 0]) / s, s / 4, (R[1, 2] + R[2, 1]) / s, (R[0, 2] - R[2, 0]) / s]
    else:
        s = 2 * math.sqrt(1 + R[2, 2] - R[0, 0] - R[1, 1])
        q = [(R[0, 2] + R[2, 0]) / s, (R[1, 2] + R[2, 1]) / s, s / 4, (R[1, 0] - R[0, 1]) / s]
    return [-v for v in q] if q[3] < 0 else q


def quaternion_case(M):
    R = M[:3, :3]
    if R[0, 0] + R[1, 1] + R[2, 2] > 0:
        return 1
    if R[0, 0] > R[1, 1] and R[0, 0] > R[2, 2]:
        return 2
    return 3 if R[1, 1] > R[2, 2] else 4


def rotation(q):
    x, y, z, w = q
    return np.array([
        [1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)],
        [2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)],
        [2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)],
    ])


@pytest.mark.parametrize("model", ["zk2", "zk1"])
def test_flat_follows_the_layout(model):
    import korvex.sim

    with korvex.sim.ArmSimulator(model=model, host="127.0.0.1", port=0) as sim:
        state = connect(sim.address).read_once()
    flat = state.flat()
    assert (type(flat), flat.dtype, flat.shape) == (np.ndarray, np.float64, (korvex.FLAT_LEN,))
    assert flat.flags.c_contiguous and flat.flags.owndata
    expected = {
        "O_T_EE_position": state.O_T_EE[:3, 3],
        "O_T_EE_quaternion": quaternion(state.O_T_EE),
        "O_T_EE_c_position": state.O_T_EE_c[:3, 3],
        "O_T_EE_c_quaternion": quaternion(state.O_T_EE_c),
        "time": [state.time],
    }
    for name, start, stop in korvex.FLAT_LAYOUT:
        want = expected[name] if name in expected else getattr(state, name)
        np.testing.assert_array_equal(flat[start:stop], want, err_msg=name)
    for start in (31, 51):
        q = flat[start:start + 4]
        assert q[3] >= 0
        assert np.linalg.norm(q) == pytest.approx(1.0, abs=1e-9)
    np.testing.assert_allclose(rotation(flat[31:35]), state.O_T_EE[:3, :3], atol=1e-9)
    assert flat[68] == state.time
    flat[:] = 0
    assert state.flat()[68] == state.time


def test_flat_quaternion_in_every_case(robot, sim):
    rng = np.random.default_rng(7)
    low = np.array([-2.5, -1.5, -2.5, -2.8, -2.5, 0.2, -2.5])
    high = np.array([2.5, 1.5, 2.5, -0.2, 2.5, 3.5, 2.5])
    cases = set()
    flipped = 0
    for _ in range(60):
        q = rng.uniform(low, high)
        sim.q = q.tolist()
        state = _state_within(robot, lambda s: np.allclose(s.q, q, atol=1e-5))
        M = state.O_T_EE
        cases.add(quaternion_case(M))
        want = quaternion(M)
        flipped += quaternion_case(M) != 1 and want[3] != 0 and want[quaternion_case(M) - 2] < 0
        flat = state.flat()
        np.testing.assert_array_equal(flat[31:35], want)
        np.testing.assert_allclose(rotation(flat[31:35]), M[:3, :3], atol=1e-6)
    assert cases == {1, 2, 3, 4}
    assert flipped > 0  # some poses needed the sign flip to make w non-negative


def test_zk1_states(zk1_sim):
    state = connect(zk1_sim.address).read_once()
    np.testing.assert_array_equal(state.accelerometer_top, np.zeros((6, 3)))
    np.testing.assert_array_equal(state.accelerometer_bottom, np.zeros((6, 3)))
    assert state.q.shape == (7,) and state.robot_mode == "idle"


def test_repr(state):
    x, y, z = state.O_T_EE[:3, 3]
    assert repr(state) == 'RobotState(robot_mode="%s", time=%.3f, ee=[%.4f, %.4f, %.4f])' % (
        state.robot_mode, state.time, x, y, z)
    assert repr(state).startswith('RobotState(robot_mode="idle", time=')
