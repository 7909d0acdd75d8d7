"""Model: Robot.model(), argument conversion and messages, conventions, and Pinocchio as the reference."""

import numpy as np
import pinocchio as pin
import pytest

import korvex
import korvex.sim
from conftest import connect

FRAMES = ["joint1", "joint2", "joint3", "joint4", "joint5", "joint6", "joint7", "flange", "ee", "stiffness"]
NAMES = "[" + ", ".join('"%s"' % f for f in FRAMES) + "]"

Q = np.array([0.3, -0.7, 0.5, -2.0, 0.4, 1.6, -0.8])
DQ = np.array([0.5, -0.4, 0.9, 0.3, -1.1, 0.6, 0.8])


@pytest.fixture(scope="module", params=["zk2", "zk1"])
def arm(request):
    """(model, URDF text, a state) of a simulated arm; the robot and simulator are gone afterwards."""
    with korvex.sim.ArmSimulator(model=request.param, host="127.0.0.1", port=0) as sim:
        robot = connect(sim.address)
        model = robot.model()
        state = robot.read_once()
        urdf = sim.description
        del robot
    return model, urdf, state


@pytest.fixture(scope="module")
def model(arm):
    return arm[0]


def transform(rng):
    T = np.eye(4)
    T[:3, :3] = pin.exp3(rng.normal(size=3))
    T[:3, 3] = rng.uniform(-0.2, 0.2, 3)
    return T


def rot_z(angle):
    c, s = np.cos(angle), np.sin(angle)
    return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])


# --- Robot.model() ---

def test_each_call_fetches_and_builds_a_new_model(sim):
    robot = connect(sim.address)
    before = sim.command_count("Get Robot Model")
    first, second = robot.model(), robot.model()
    assert sim.command_count("Get Robot Model") == before + 2
    assert first is not second
    assert type(first) is korvex.Model
    assert repr(first) == "Model()"
    np.testing.assert_array_equal(first.mass(Q), second.mass(Q))


def test_zk1_model_is_built_in(zk1_sim):
    robot = connect(zk1_sim.address)
    flange = robot.model().pose("flange", np.zeros(7))
    np.testing.assert_allclose(flange[:3, :3], np.diag([1.0, -1.0, -1.0]), atol=1e-15)
    np.testing.assert_allclose(flange[:3, 3], [0.088, 0.0, 0.926], atol=1e-15)


@pytest.mark.parametrize(
    "status, kind, message",
    [
        (1, "command", 'libkorvex: Get Robot Model command rejected: command not possible in the current mode ("Idle")!'),
        (3, "protocol", "libkorvex: Unexpected response while handling Get Robot Model command!"),
    ],
)
def test_fetch_failure_is_a_korvex_error(sim, status, kind, message):
    robot = connect(sim.address)
    sim.force_status("Get Robot Model", status)
    with pytest.raises(korvex.KorvexError) as info:
        robot.model()
    assert (info.value.kind, str(info.value)) == (kind, message)


def test_model_cannot_be_instantiated():
    with pytest.raises(TypeError, match=r"^cannot create 'korvex.Model' instances$"):
        korvex.Model()


SIGNATURES = {
    "pose": ("($self, frame, q, F_T_EE=None, EE_T_K=None)", "Pose of `frame` in the base frame, `(4, 4)`."),
    "body_jacobian": ("($self, frame, q, F_T_EE=None, EE_T_K=None)",
                      "Body Jacobian of `frame`, `(6, 7)`, expressed in `frame` itself."),
    "zero_jacobian": ("($self, frame, q, F_T_EE=None, EE_T_K=None)",
                      "Zero Jacobian of `frame`, `(6, 7)`, expressed in the base frame."),
    "mass": ("($self, q, I_total=None, m_total=0.0, F_x_Ctotal=None)", "Mass matrix, `(7, 7)`, kg m^2."),
    "coriolis": ("($self, q, dq, I_total=None, m_total=0.0, F_x_Ctotal=None, gravity_earth=None)",
                 "Coriolis torques `C(q, dq) dq`, `(7,)`, Nm."),
    "gravity": ("($self, q, m_total=0.0, F_x_Ctotal=None, gravity_earth=None)", "Gravity torques, `(7,)`, Nm."),
    "link_poses": ("($self, q)", "The frames korvex_description hangs `link0..link7`'s meshes on, `(8, 4, 4)`: "
                                 "the\nbase (identity) and `joint1..joint7`."),
    "hand_pose": ("($self, q)", "The frame korvex_description hangs the hand mesh on: the flange yawed by -45 "
                                "deg\nabout its `z`, `(4, 4)`."),
}


@pytest.mark.parametrize("name", list(SIGNATURES))
def test_signature_and_docstring(name):
    method = getattr(korvex.Model, name)
    assert (method.__text_signature__, method.__doc__) == SIGNATURES[name]


def test_class_docstring_and_robot_method():
    assert korvex.Model.__doc__.startswith(
        "The kinematics and dynamics of the connected robot (`Robot.model()`), computed natively\non both")
    assert korvex.Model.__doc__.endswith("Jacobians are `(6, 7)`, linear rows first; poses `(4, 4)` as "
                                         "`RobotState.O_T_EE`.")
    assert korvex.Model.__module__ == "korvex"
    assert korvex.Robot.model.__text_signature__ == "($self)"


# --- Pinocchio as the reference ---

def pinocchio_model(urdf, F_T_EE, EE_T_K, I_total, m_total, F_x_Ctotal, gravity_earth):
    pm = pin.buildModelFromXML(urdf)  # accepts the built-in ZK1's negative moments as they are
    flange = pm.frames[pm.getFrameId("link8")]
    joint7 = flange.parentJoint
    ee = flange.placement * pin.SE3(F_T_EE)
    pm.addFrame(pin.Frame("flange", joint7, flange.placement, pin.FrameType.OP_FRAME))
    pm.addFrame(pin.Frame("ee", joint7, ee, pin.FrameType.OP_FRAME))
    pm.addFrame(pin.Frame("stiffness", joint7, ee * pin.SE3(EE_T_K), pin.FrameType.OP_FRAME))
    pm.appendBodyToJoint(joint7, pin.Inertia(m_total, F_x_Ctotal, I_total), flange.placement)
    pm.gravity = pin.Motion(gravity_earth, np.zeros(3))
    return pm


def reference(pm, frame, q):
    """(pose, zero Jacobian, body Jacobian) of a frame; the data must hold the joint Jacobians at q."""
    pd = reference.data
    if frame.startswith("joint"):
        k = pm.getJointId(frame)
        return (pd.oMi[k].homogeneous, pin.getJointJacobian(pm, pd, k, pin.LOCAL_WORLD_ALIGNED),
                pin.getJointJacobian(pm, pd, k, pin.LOCAL))
    f = pm.getFrameId(frame, pin.FrameType.OP_FRAME)
    return (pin.updateFramePlacement(pm, pd, f).homogeneous,
            pin.getFrameJacobian(pm, pd, f, pin.LOCAL_WORLD_ALIGNED), pin.getFrameJacobian(pm, pd, f, pin.LOCAL))


@pytest.mark.parametrize("seed", range(4))
def test_agrees_with_pinocchio(arm, seed):
    model, urdf, _ = arm
    rng = np.random.default_rng(seed)
    q, dq = rng.uniform(-2.5, 2.5, 7), rng.uniform(-2.0, 2.0, 7)
    F_T_EE, EE_T_K = transform(rng), transform(rng)
    A = rng.normal(size=(3, 3)) * 0.05
    I_total, m_total, F_x_Ctotal = A @ A.T, rng.uniform(0.0, 3.0), rng.uniform(-0.1, 0.1, 3)
    gravity_earth = np.array([0.0, 0.0, -9.81]) if seed == 0 else rng.normal(size=3) * 5
    pm = pinocchio_model(urdf, F_T_EE, EE_T_K, I_total, m_total, F_x_Ctotal, gravity_earth)
    pd = reference.data = pm.createData()
    pin.computeJointJacobians(pm, pd, q)
    close = dict(rtol=0, atol=1e-9)

    for frame in FRAMES:
        pose, zero, body = reference(pm, frame, q)
        np.testing.assert_allclose(model.pose(frame, q, F_T_EE, EE_T_K), pose, **close, err_msg=frame)
        np.testing.assert_allclose(model.zero_jacobian(frame, q, F_T_EE, EE_T_K), zero, **close, err_msg=frame)
        np.testing.assert_allclose(model.body_jacobian(frame, q, F_T_EE, EE_T_K), body, **close, err_msg=frame)

    M = pin.crba(pm, pd, q)
    M = np.triu(M) + np.triu(M, 1).T
    g = pin.computeGeneralizedGravity(pm, pd, q).copy()
    c = pin.rnea(pm, pd, q, dq, np.zeros(7)) - g
    payload = dict(m_total=m_total, F_x_Ctotal=F_x_Ctotal)
    np.testing.assert_allclose(model.mass(q, I_total, **payload), M, **close)
    np.testing.assert_allclose(model.gravity(q, **payload, gravity_earth=gravity_earth), g, **close)
    np.testing.assert_allclose(model.coriolis(q, dq, I_total, **payload, gravity_earth=gravity_earth), c, **close)


# --- conventions ---

def test_state_fields_pass_back_unchanged(arm):
    # The simulator computes O_T_EE from the same model: a transposed reading would not match.
    model, _, state = arm
    F_T_EE = state.F_T_EE.copy()
    F_T_EE[:3, 3] = [0.01, -0.02, 0.1]
    expected = model.pose("flange", state.q) @ F_T_EE
    np.testing.assert_allclose(model.pose("ee", state.q, F_T_EE, state.EE_T_K), expected, rtol=0, atol=1e-15)
    # The simulator's state carries its transforms with single-precision noise.
    assert np.linalg.norm(state.F_T_EE[:3, 3]) > 0.05
    np.testing.assert_allclose(model.pose("ee", state.q, state.F_T_EE), state.O_T_EE, rtol=0, atol=1e-6)


def test_flange_ignores_the_tool_and_ee_applies_it(model):
    rng = np.random.default_rng(11)
    X, Y = transform(rng), transform(rng)
    flange = model.pose("flange", Q)
    np.testing.assert_array_equal(model.pose("flange", Q, X, Y), flange)
    np.testing.assert_array_equal(model.zero_jacobian("flange", Q, X, Y), model.zero_jacobian("flange", Q))
    np.testing.assert_allclose(model.pose("ee", Q, X), flange @ X, rtol=0, atol=1e-15)
    np.testing.assert_allclose(model.pose("stiffness", Q, X, Y), flange @ X @ Y, rtol=0, atol=1e-15)
    np.testing.assert_array_equal(model.pose("ee", Q), flange)
    np.testing.assert_array_equal(model.pose("stiffness", Q), flange)


def test_bottom_row_of_a_transform_is_ignored(model):
    X = transform(np.random.default_rng(3))
    Y = X.copy()
    Y[3] = [5.0, -1.0, 2.0, 7.0]
    np.testing.assert_array_equal(model.pose("ee", Q, Y), model.pose("ee", Q, X))


def test_jacobian_layout(model):
    # Column j belongs to joint j+1 with linear rows first; joint k's Jacobian has zero columns after k.
    J = model.zero_jacobian("joint3", Q)
    np.testing.assert_array_equal(J[:, 3:], 0.0)
    np.testing.assert_array_equal(J[:3, 2], 0.0)
    np.testing.assert_allclose(J[3:, 2], model.pose("joint3", Q)[:3, 2], rtol=0, atol=1e-15)
    R = model.pose("ee", Q)[:3, :3]
    Z, B = model.zero_jacobian("ee", Q), model.body_jacobian("ee", Q)
    np.testing.assert_allclose(B[:3], R.T @ Z[:3], rtol=0, atol=1e-14)
    np.testing.assert_allclose(B[3:], R.T @ Z[3:], rtol=0, atol=1e-14)


def test_link_poses_and_hand_pose(model):
    links = model.link_poses(Q)
    assert links.shape == (8, 4, 4)
    np.testing.assert_array_equal(links[0], np.eye(4))
    for k in range(1, 8):
        np.testing.assert_array_equal(links[k], model.pose("joint%d" % k, Q))
    flange, hand = model.pose("flange", Q), model.hand_pose(Q)
    np.testing.assert_array_equal(hand[:, 3], flange[:, 3])
    np.testing.assert_allclose(hand[:3, :3], flange[:3, :3] @ rot_z(-np.pi / 4), rtol=0, atol=1e-15)


def test_dynamics_defaults_and_exact_cases(model):
    M = model.mass(Q)
    np.testing.assert_array_equal(M, M.T)
    np.testing.assert_array_equal(model.coriolis(Q, np.zeros(7), np.eye(3), 2.0, [0.0, 0.0, 0.1]), 0.0)
    np.testing.assert_array_equal(model.gravity(Q, 2.0, gravity_earth=(0, 0, 0)), 0.0)
    np.testing.assert_array_equal(model.gravity(Q), model.gravity(Q, 0.0, None, [0.0, 0.0, -9.81]))
    np.testing.assert_array_equal(model.mass(Q), model.mass(Q, np.zeros((3, 3)), 0.0, np.zeros(3)))
    np.testing.assert_allclose(model.coriolis(Q, DQ), model.coriolis(Q, DQ, gravity_earth=[1.0, 2.0, 3.0]),
                               rtol=0, atol=1e-12)
    assert not np.array_equal(model.gravity(Q, m_total=1), model.gravity(Q))  # an int mass is read


def test_non_finite_inputs_propagate(model):
    q = Q.copy()
    q[6] = np.nan
    assert np.isnan(model.pose("flange", q)).any()
    assert np.isnan(model.gravity(Q, m_total=np.inf)).any()


@pytest.mark.parametrize(
    "call",
    [
        lambda m, q: m.pose("ee", q),
        lambda m, q: m.zero_jacobian("stiffness", q),
        lambda m, q: m.body_jacobian("joint4", q),
        lambda m, q: m.mass(q),
        lambda m, q: m.coriolis(q, DQ),
        lambda m, q: m.gravity(q),
        lambda m, q: m.link_poses(q),
        lambda m, q: m.hand_pose(q),
    ],
)
def test_results_are_new_float64_arrays(model, call):
    q = Q.copy()
    out = call(model, q)
    assert out.dtype == np.float64 and out.flags.c_contiguous and out.flags.owndata and out.flags.writeable
    again = call(model, q)
    out[...] = 0.0
    assert not np.array_equal(again, out)
    np.testing.assert_array_equal(q, Q)


# --- accepted argument forms: each gives the result of the float64 array ---

def strided(a):
    wide = np.zeros(a.shape + (2,))
    wide[..., 0] = a
    return wide[..., 0]


VECTOR_FORMS = {
    "list": lambda a: a.tolist(),
    "tuple": lambda a: tuple(a.tolist()),
    "numpy scalars": lambda a: [np.float64(x) for x in a],
    "float32 values": lambda a: a.astype(np.float32).astype(np.float64).tolist(),
    "strided view": strided,
    "big-endian": lambda a: a.astype(">f8"),
    "object array": lambda a: a.astype(object),
}
MATRIX_FORMS = {
    "list of lists": lambda a: a.tolist(),
    "tuple of arrays": lambda a: tuple(a),
    "Fortran order": np.asfortranarray,
    "transposed view": lambda a: a.T.copy().T,
    "strided view": strided,
    "big-endian": lambda a: a.astype(">f8"),
}


@pytest.mark.parametrize("form", list(VECTOR_FORMS))
def test_vector_forms(model, form):
    convert = VECTOR_FORMS[form]
    q, dq, c = convert(Q), convert(DQ), convert(np.array([0.01, 0.02, 0.1]))
    same = [np.array(x, dtype=np.float64) for x in (q, dq, c)]
    np.testing.assert_array_equal(model.pose("ee", q), model.pose("ee", same[0]))
    np.testing.assert_array_equal(model.coriolis(q, dq), model.coriolis(same[0], same[1]))
    np.testing.assert_array_equal(model.gravity(Q, 1.5, c), model.gravity(Q, 1.5, same[2]))


def test_integer_and_float32_arrays_are_converted(model):
    q = np.array([0, 1, 0, -2, 0, 1, 0])
    np.testing.assert_array_equal(model.mass(q), model.mass(q.astype(np.float64)))
    np.testing.assert_array_equal(model.mass(q.astype(np.float32)), model.mass(q.astype(np.float64)))
    np.testing.assert_array_equal(model.gravity(Q, gravity_earth=np.array([0, 0, -9])),
                                  model.gravity(Q, gravity_earth=[0.0, 0.0, -9.0]))
    np.testing.assert_array_equal(model.pose("ee", Q, np.eye(4, dtype=int)), model.pose("ee", Q))


@pytest.mark.parametrize("form", list(MATRIX_FORMS))
def test_matrix_forms(model, form):
    convert = MATRIX_FORMS[form]
    X = transform(np.random.default_rng(5))
    np.testing.assert_array_equal(model.pose("stiffness", Q, convert(X), convert(X)), model.pose("stiffness", Q, X, X))
    I_total = np.array([[0.1, 0.01, 0.02], [0.01, 0.2, 0.03], [0.02, 0.03, 0.3]])
    np.testing.assert_array_equal(model.mass(Q, convert(I_total), 1.0), model.mass(Q, I_total, 1.0))


# --- argument errors: conversion first, then the checks in argument order ---

EYE = np.eye(4)


def element(name, n, shape):
    return ValueError, "korvex: %s has %d elements, got shape %s" % (name, n, shape)


def shape(name, n, got):
    return ValueError, "korvex: %s has shape (%d, %d), got %s" % (name, n, n, got)


def frame_message(text):
    return ValueError, "korvex: frame must be one of %s, got %s" % (NAMES, text)


@pytest.mark.parametrize(
    "method, args, kwargs, expected",
    [
        ("pose", ("Flange", Q), {}, frame_message('"Flange"')),
        ("pose", ("", Q), {}, frame_message('""')),
        ("zero_jacobian", ("joint0", Q), {}, frame_message('"joint0"')),
        ("body_jacobian", ("ee ", Q), {}, frame_message('"ee "')),
        ("pose", ('a"b\\c\n', Q), {}, frame_message('"a\\"b\\\\c\\n"')),
        ("pose", ("Flange", Q[:6]), {}, frame_message('"Flange"')),
        ("pose", ("ee", Q[:6], np.zeros((4, 3))), {}, element("q", 7, "[6]")),
        ("pose", ("ee", Q, np.zeros((4, 3))), {}, shape("F_T_EE", 4, "[4, 3]")),
        ("pose", ("flange", Q, EYE, np.zeros((3, 3))), {}, shape("EE_T_K", 4, "[3, 3]")),
        ("pose", ("ee", Q), {"F_T_EE": np.zeros(16)}, shape("F_T_EE", 4, "[16]")),
        ("pose", ("ee", Q), {"F_T_EE": [1.0] * 16}, shape("F_T_EE", 4, "[16]")),
        ("pose", ("ee", Q), {"EE_T_K": np.zeros((2, 4, 4))}, shape("EE_T_K", 4, "[2, 4, 4]")),
        ("pose", ("ee", Q), {"EE_T_K": []}, shape("EE_T_K", 4, "[0]")),
        ("mass", (Q[:6],), {}, element("q", 7, "[6]")),
        ("mass", (np.zeros((7, 1)),), {}, element("q", 7, "[7, 1]")),
        ("mass", (np.array(1.0),), {}, element("q", 7, "[]")),
        ("mass", (list(range(8)),), {}, element("q", 7, "[8]")),
        ("mass", (Q,), {"I_total": EYE}, shape("I_total", 3, "[4, 4]")),
        ("mass", (Q,), {"F_x_Ctotal": [0.0, 0.0]}, element("F_x_Ctotal", 3, "[2]")),
        ("coriolis", (Q, Q[:5]), {"I_total": EYE}, element("dq", 7, "[5]")),
        ("coriolis", (Q, Q), {"I_total": np.eye(2), "F_x_Ctotal": [1.0]}, shape("I_total", 3, "[2, 2]")),
        ("coriolis", (Q, Q), {"F_x_Ctotal": [1.0], "gravity_earth": [1.0]}, element("F_x_Ctotal", 3, "[1]")),
        ("coriolis", (Q, Q), {"gravity_earth": np.zeros(4)}, element("gravity_earth", 3, "[4]")),
        ("gravity", (Q,), {"gravity_earth": [0.0, -9.81]}, element("gravity_earth", 3, "[2]")),
        ("link_poses", (Q[:6],), {}, element("q", 7, "[6]")),
        ("hand_pose", (np.zeros(70),), {}, element("q", 7, "[70]")),
        # conversion failures come before every check
        ("pose", ("Flange", Q, "abcd"), {}, (TypeError, "argument 'F_T_EE': Can't extract `str` to `Vec`")),
        ("pose", ("ee", "abcdefg"), {}, (TypeError, "argument 'q': Can't extract `str` to `Vec`")),
        ("pose", (7, Q), {}, (TypeError, "argument 'frame': 'int' object cannot be converted to 'PyString'")),
        ("pose", ("ee", Q, [[1.0, 0.0], [0.0]]), {}, (TypeError, "argument 'F_T_EE': rows of different lengths (2 and 1)")),
        ("pose", ("ee", Q, [[1.0], 0.0]), {}, (TypeError, "argument 'F_T_EE': 'float' object cannot be converted to 'Sequence'")),
        ("pose", ("ee", Q, [1.0, [0.0]]), {}, (TypeError, "argument 'F_T_EE': must be real number, not list")),
        ("mass", ([0.0] * 6 + ["0"],), {}, (TypeError, "argument 'q': must be real number, not str")),
        ("mass", ([[0.0]] * 7,), {}, (TypeError, "argument 'q': must be real number, not list")),
        ("mass", ([np.zeros(1)] * 7,), {}, (TypeError, "argument 'q': must be real number, not numpy.ndarray")),
        ("mass", (3.0,), {}, (TypeError, "argument 'q': 'float' object cannot be converted to 'Sequence'")),
        ("mass", (Q[:6],), {"m_total": None}, (TypeError, "argument 'm_total': must be real number, not NoneType")),
        ("mass", (Q[:6],), {"m_total": "1"}, (TypeError, "argument 'm_total': must be real number, not str")),
        ("coriolis", (Q[:6], None), {}, (TypeError, "argument 'dq': 'NoneType' object cannot be converted to 'Sequence'")),
        ("gravity", (Q, 0.0, b"abc"), {}, (TypeError, "argument 'F_x_Ctotal': Can't extract `bytes` to `Vec`")),
    ],
)
def test_argument_errors(model, method, args, kwargs, expected):
    error, message = expected
    with pytest.raises(error) as info:
        getattr(model, method)(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: m.pose("ee", Q, None, None, None), "pose() takes at most 4 arguments (5 given)"),
        (lambda m: m.mass(Q, bogus=1), "mass() got an unexpected keyword argument 'bogus'"),
        (lambda m: m.gravity(), "gravity() missing required argument 'q' (pos 1)"),
        (lambda m: m.coriolis(Q), "coriolis() missing required argument 'dq' (pos 2)"),
        (lambda m: m.gravity(Q, I_total=np.eye(3)), "gravity() got an unexpected keyword argument 'I_total'"),
        (lambda m: m.zero_jacobian("ee", q=Q, frame="ee"), "zero_jacobian() got multiple values for argument 'frame'"),
        (lambda m: m.link_poses(Q, Q), "link_poses() takes at most 1 argument (2 given)"),
    ],
)
def test_signature_is_enforced(model, call, message):
    with pytest.raises(TypeError) as info:
        call(model)
    assert str(info.value) == message


def test_keywords_and_positions_agree(model):
    I_total = np.diag([0.1, 0.2, 0.3])
    expected = model.coriolis(Q, DQ, I_total, 1.0, [0.0, 0.0, 0.1], [0.0, 0.0, -9.0])
    got = model.coriolis(gravity_earth=[0.0, 0.0, -9.0], F_x_Ctotal=[0.0, 0.0, 0.1], m_total=1.0, I_total=I_total,
                         dq=DQ, q=Q)
    np.testing.assert_array_equal(got, expected)
    np.testing.assert_array_equal(model.pose(q=Q, frame="ee", EE_T_K=EYE), model.pose("ee", Q))
