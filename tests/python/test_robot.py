"""Robot: realtime mode resolution, connecting, commands and their errors, the released lock."""
import os
import threading
import time

import numpy as np
import pytest

import korvex
from conftest import closed_port, connect, construct

REALTIME_TEXT = "korvex: realtime must be 'enforce' or 'ignore' (also read from KORVEX_REALTIME), got {}"
NO_RT_KERNEL = "libkorvex: Running kernel does not have realtime capabilities."
REFUSED = "libkorvex: Connection to KXP refused. Please install KXP feature or enable KXP mode in Telvo."


def has_realtime_kernel():
    try:
        with open("/sys/kernel/realtime") as f:
            return f.read().strip() == "1"
    except OSError:
        return False


needs_plain_kernel = pytest.mark.skipif(has_realtime_kernel(), reason="enforce mode succeeds on a realtime kernel")


def nothing_connected(listener):
    try:
        conn, _ = listener.accept()
    except TimeoutError:
        return True
    conn.close()
    return False


@pytest.fixture(autouse=True)
def no_realtime_variable(monkeypatch):
    monkeypatch.delenv("KORVEX_REALTIME", raising=False)


# --- realtime mode: checked before any connection attempt ---

@pytest.mark.parametrize(
    "value, shown",
    [
        ("Ignore", '"Ignore"'),
        ("Enforce", '"Enforce"'),
        ("IGNORE", '"IGNORE"'),
        ("", '""'),
        (" ignore", '" ignore"'),
        ("ignore\n", '"ignore\\n"'),
        ('say "no"', '"say \\"no\\""'),
    ],
)
@pytest.mark.parametrize("source", ["argument", "variable"])
def test_rejected_realtime_text(listener, monkeypatch, value, shown, source):
    address = "127.0.0.1:%d" % listener.getsockname()[1]
    if source == "variable":
        monkeypatch.setenv("KORVEX_REALTIME", value)
        kwargs = {}
    else:
        kwargs = {"realtime": value}
    with pytest.raises(ValueError) as info:
        construct(address, **kwargs)
    assert str(info.value) == REALTIME_TEXT.format(shown)
    assert not isinstance(info.value, korvex.KorvexError)
    assert not hasattr(info.value, "kind")
    assert nothing_connected(listener)


def test_argument_wins_over_a_bad_variable(monkeypatch):
    monkeypatch.setenv("KORVEX_REALTIME", "sometimes")
    with pytest.raises(korvex.KorvexError) as info:
        construct("127.0.0.1:%d" % closed_port(), realtime="ignore")
    assert info.value.kind == "network"


@needs_plain_kernel
@pytest.mark.parametrize(
    "variable, argument",
    [
        (None, None),  # unset: enforce
        ("ignore", "enforce"),  # the argument wins
        ("enforce", None),
        (b"\xff\xfe", None),  # not text: enforce
    ],
)
def test_enforce_fails_on_a_plain_kernel_without_connecting(listener, monkeypatch, variable, argument):
    if isinstance(variable, bytes):
        monkeypatch.setitem(os.environb, b"KORVEX_REALTIME", variable)
    elif variable is not None:
        monkeypatch.setenv("KORVEX_REALTIME", variable)
    kwargs = {} if argument is None else {"realtime": argument}
    with pytest.raises(korvex.KorvexError) as info:
        construct("127.0.0.1:%d" % listener.getsockname()[1], **kwargs)
    assert info.value.kind == "realtime"
    assert str(info.value) == NO_RT_KERNEL
    assert nothing_connected(listener)


def test_variable_ignore_connects(sim, monkeypatch):
    monkeypatch.setenv("KORVEX_REALTIME", "ignore")
    robot = construct(sim.address)
    assert robot.kxp_version == 10


@pytest.mark.parametrize(
    "args, kwargs, error",
    [
        ((1,), {}, TypeError),
        ((None,), {}, TypeError),
        ((b"127.0.0.1",), {}, TypeError),
        (("127.0.0.1",), {"realtime": b"ignore"}, TypeError),
        (("127.0.0.1",), {"realtime": 1}, TypeError),
        (("127.0.0.1",), {"log_size": "5"}, TypeError),
        (("127.0.0.1",), {"log_size": 2.0}, TypeError),
        (("127.0.0.1",), {"log_size": -1}, (TypeError, OverflowError)),
        (("127.0.0.1", "ignore"), {}, TypeError),  # realtime is keyword-only
    ],
)
def test_constructor_argument_types(args, kwargs, error):
    with pytest.raises(error):
        construct(*args, **kwargs)


# --- connecting ---

def test_refused_connection_is_a_network_error():
    with pytest.raises(korvex.KorvexError) as info:
        connect("127.0.0.1:%d" % closed_port())
    e = info.value
    assert type(e) is korvex.KorvexError
    assert e.args == (REFUSED,)
    assert e.kind == "network"
    for name in ("reason", "errors", "move_status"):
        assert not hasattr(e, name)


@pytest.mark.parametrize("model, version, connects", [("zk2", 10, 1), ("zk1", 5, 2)])
def test_version_negotiation(model, version, connects):
    import korvex.sim

    with korvex.sim.ArmSimulator(model=model, host="127.0.0.1", port=0) as sim:
        robot = connect(sim.address)
        assert robot.kxp_version == version
        assert sim.command_count("Connect") == connects
        assert isinstance(robot.server_version, int)
        assert robot.server_version == version
        assert robot.address == sim.address
        assert repr(robot) == 'Robot("%s", kxp_version=%d, server_version=%d)' % (
            sim.address, version, robot.server_version)


def test_log_size_zero_connects(sim):
    assert connect(sim.address, log_size=0).read_once().robot_mode == "idle"


# --- commands ---

J = [10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 70.0]
C = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0]

CALLS = {
    "Set Joint Impedance": ("set_joint_impedance", [J]),
    "Set Cartesian Impedance": ("set_cartesian_impedance", [C]),
    "Set Collision Behavior": ("set_collision_behavior", [J, J, J, J, C, C, C, C]),
    "Automatic Error Recovery": ("automatic_error_recovery", []),
    "Stop Move": ("stop", []),
}


def call(robot, command):
    method, args = CALLS[command]
    return getattr(robot, method)(*args)


@pytest.mark.parametrize("command", list(CALLS))
def test_command_sends_one_request(robot, sim, command):
    before = sim.command_count(command)
    assert call(robot, command) is None
    assert sim.command_count(command) == before + 1


def test_collision_behavior_simple_sends_the_full_command(robot, sim):
    before = sim.command_count("Set Collision Behavior")
    assert robot.set_collision_behavior_simple(J, J, C, C) is None
    assert sim.command_count("Set Collision Behavior") == before + 1


def test_numpy_arrays_and_integers_are_accepted(robot, sim):
    robot.set_joint_impedance(np.arange(7))
    robot.set_cartesian_impedance(tuple(range(6)))
    robot.set_joint_impedance(K_theta=np.linspace(1, 2, 7, dtype=np.float32))
    assert sim.command_count("Set Joint Impedance") == 2
    assert sim.command_count("Set Cartesian Impedance") == 1


NOT_POSSIBLE = ' command rejected: command not possible in the current mode ("Idle")!'
SAFETY = " command rejected due to activated safety function! Please disable all safety functions."


@pytest.mark.parametrize(
    "command, status, kind, message",
    [
        ("Set Joint Impedance", 1, "command", "libkorvex: Set Joint Impedance" + NOT_POSSIBLE),
        ("Set Joint Impedance", 2, "command", "libkorvex: Set Joint Impedance command rejected: invalid argument!"),
        ("Set Cartesian Impedance", 3, "command", "libkorvex: Set Cartesian Impedance" + SAFETY + " "),
        ("Set Collision Behavior", 2, "command",
         "libkorvex: Set Collision Behavior command rejected: invalid argument!"),
        ("Automatic Error Recovery", 3, "command",
         "libkorvex: Automatic Error Recovery command rejected: manual error recovery required!"),
        ("Automatic Error Recovery", 2, "command", "libkorvex: Move" + SAFETY),
        ("Stop Move", 3, "command", "libkorvex: Stop Move command aborted: User Stop pressed!"),
        ("Stop Move", 5, "command", "libkorvex: Stop Move" + NOT_POSSIBLE),
        ("Set Joint Impedance", 200, "protocol",
         "libkorvex: Unexpected response while handling Set Joint Impedance command!"),
    ],
)
def test_command_status_errors(robot, sim, command, status, kind, message):
    sim.force_status(command, status)
    with pytest.raises(korvex.KorvexError) as info:
        call(robot, command)
    e = info.value
    assert type(e) is korvex.KorvexError
    assert (e.kind, e.args) == (kind, (message,))
    assert str(e) == message
    sim.force_status(command, None)
    assert call(robot, command) is None  # the connection stays usable


def test_not_possible_with_closed_brakes_hints_at_the_brakes(closed_brakes_sim):
    robot = connect(closed_brakes_sim.address)
    closed_brakes_sim.force_status("Set Joint Impedance", 1)
    with pytest.raises(korvex.KorvexError, match=r"^libkorvex: Set Joint Impedance command rejected: command not "
                       r'possible in the current mode \("Other"\)! Did you open the brakes\?$'):
        robot.set_joint_impedance(J)


@pytest.mark.parametrize(
    "method, args, expected, actual",
    [
        ("set_joint_impedance", [J[:6]], 7, 6),
        ("set_joint_impedance", [J + [1.0]], 7, 8),
        ("set_joint_impedance", [np.zeros(0)], 7, 0),
        ("set_cartesian_impedance", [J], 6, 7),
        ("set_collision_behavior", [J, J, J, J[:3], C, C, C, C], 7, 3),
        ("set_collision_behavior", [J, J, J, J, C, C, C, J], 6, 7),
        ("set_collision_behavior_simple", [J, J, C, C[:5]], 6, 5),
        ("set_collision_behavior_simple", [C, J, C, C], 7, 6),
    ],
)
def test_wrong_length_sends_nothing(robot, sim, method, args, expected, actual):
    command = "Set Joint Impedance" if "joint" in method else (
        "Set Cartesian Impedance" if "cartesian" in method else "Set Collision Behavior")
    with pytest.raises(ValueError) as info:
        getattr(robot, method)(*args)
    assert str(info.value) == "expected a sequence of length %d (got %d)" % (expected, actual)
    assert sim.command_count(command) == 0


@pytest.mark.parametrize("value", ["abcdefg", b"abcdefg", 7.0, None, [1, 2, 3, 4, 5, 6, "7"], {1, 2, 3, 4, 5, 6, 7}])
def test_wrong_type_raises_type_error_naming_the_argument(robot, sim, value):
    with pytest.raises(TypeError, match="K_theta"):
        robot.set_joint_impedance(value)
    assert sim.command_count("Set Joint Impedance") == 0


# --- reading and the interpreter lock ---

def test_read_once_returns_newer_states(robot):
    first = robot.read_once()
    second = robot.read_once()
    assert isinstance(first, korvex.RobotState)
    assert second.time > first.time


def test_read_once_releases_the_lock(robot, sim):
    time.sleep(0.02)  # let states queue up so the first read below returns at once
    sim.pause_states(True)
    time.sleep(0.02)
    outcome = {}
    waiting = threading.Event()

    def reader():
        try:
            outcome["before"] = robot.read_once()
            waiting.set()
            outcome["after"] = robot.read_once()  # blocks until the stream resumes
        except BaseException as e:
            outcome["error"] = e
            waiting.set()

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        assert waiting.wait(5)
        # This thread needs the lock to wake up and count while the reader still waits.
        time.sleep(0.15)
        counted = sum(1 for _ in range(1000))
        still_waiting = thread.is_alive()
    finally:
        sim.pause_states(False)
        thread.join(5)
    assert "error" not in outcome, outcome.get("error")
    assert counted == 1000 and still_waiting
    assert outcome["after"].time > outcome["before"].time
