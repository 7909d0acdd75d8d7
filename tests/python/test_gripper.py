"""Gripper and GripperState against the simulated hand: payloads, statuses, sizes, threads, texts."""
import struct
import threading
import time

import pytest

import korvex
from korvex.sim import GripperSimulator

from conftest import connect

WAIT = 5.0


@pytest.fixture
def hand():
    with GripperSimulator(host="127.0.0.1", port=0) as sim:
        yield sim


@pytest.fixture
def gripper(hand):
    return korvex.Gripper(hand.address)


def in_thread(call):
    """Starts `call` in a thread; the returned function joins it (bounded) and returns or re-raises."""
    outcome = {}

    def run():
        try:
            outcome["value"] = call()
        except BaseException as e:  # handed to the test thread
            outcome["error"] = e

    thread = threading.Thread(target=run, name="korvex-test-gripper")
    thread.start()

    def result(timeout=WAIT):
        thread.join(timeout)
        assert not thread.is_alive(), "the gripper call did not return"
        if "error" in outcome:
            raise outcome["error"]
        return outcome["value"]

    result.thread = thread
    return result


def read_fresh(hand, gripper, **state):
    """`read_once` with the stream paused while `hand.send_state(**state)` is offered every 20 ms."""
    hand.pause_states(True)
    result = in_thread(gripper.read_once)
    deadline = time.monotonic() + WAIT
    while result.thread.is_alive() and time.monotonic() < deadline:
        hand.send_state(**state)
        result.thread.join(0.02)
    return result()


def expect_error(kind, message, call, *args):
    with pytest.raises(korvex.KorvexError) as info:
        call(*args)
    assert type(info.value) is korvex.KorvexError
    assert (info.value.kind, str(info.value)) == (kind, message)


# ---------------------------------------------------------------- texts


def test_classes_report_module_korvex_and_their_docstrings():
    assert repr(korvex.Gripper) == "<class 'korvex.Gripper'>"
    assert repr(korvex.GripperState) == "<class 'korvex.GripperState'>"
    assert korvex.Gripper.__text_signature__ == "(address)"
    assert korvex.Gripper.__doc__ == (
        "The Korvex Hand. Commands return `True` on success, `False` when the hand reports\n"
        '"unsuccessful" (a grasp that did not hold), and raise `KorvexError` when they fail.'
    )
    assert korvex.GripperState.__doc__ == (
        "One gripper state: `width` and `max_width` (m), `is_grasped`, `temperature` (C), `time` (s)."
    )


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("homing", "($self)", "Homes the hand and estimates `max_width`; needed after changing the fingers."),
        ("move", "($self, width, speed)", "Moves the fingers to `width` (m) at `speed` (m/s)."),
        (
            "grasp",
            "($self, width, speed, force, epsilon_inner=0.005, epsilon_outer=0.005)",
            "Grasps at `width` (m), `speed` (m/s), `force` (N); success when the fingers end within\n"
            "`[width - epsilon_inner, width + epsilon_outer]`.",
        ),
        ("stop", "($self)", "Stops a running move or grasp."),
        ("read_once", "($self)", "Waits for the next gripper state."),
    ],
)
def test_method_signatures_and_docstrings(name, signature, doc):
    method = getattr(korvex.Gripper, name)
    assert (method.__text_signature__, method.__doc__) == (signature, doc)


def test_gripper_state_cannot_be_created_from_python():
    with pytest.raises(TypeError, match=r"^cannot create 'korvex.GripperState' instances$"):
        korvex.GripperState()


def test_gripper_needs_an_address():
    with pytest.raises(TypeError, match="address"):
        korvex.Gripper()


def test_repr_shows_the_server_version(gripper):
    assert gripper.server_version == 3
    assert repr(gripper) == "Gripper(server_version=3)"


# ---------------------------------------------------------------- requests


@pytest.mark.parametrize(
    "call, command, payload",
    [
        (lambda g: g.homing(), "Homing", b""),
        (lambda g: g.stop(), "Stop", b""),
        (lambda g: g.move(0.05, 0.2), "Move", struct.pack("<2d", 0.05, 0.2)),
        (lambda g: g.grasp(0.02, 0.1, 40), "Grasp", struct.pack("<5d", 0.02, 0.005, 0.005, 0.1, 40.0)),
        (
            lambda g: g.grasp(width=0.03, speed=0.2, force=60.5, epsilon_inner=0.001, epsilon_outer=0.002),
            "Grasp",
            struct.pack("<5d", 0.03, 0.001, 0.002, 0.2, 60.5),
        ),
    ],
)
def test_request_payloads(hand, gripper, call, command, payload):
    hand.force_status(command, 0)  # answer at once: only the bytes matter here
    assert call(gripper) is True
    assert hand.last_request(command) == payload
    assert hand.command_count(command) == 1


def test_connect_sends_version_3(hand, gripper):
    version, udp_port = struct.unpack("<HH", hand.last_request("Connect"))
    assert version == 3 and udp_port != 0


# ---------------------------------------------------------------- statuses

COMMANDS = {
    "Homing": lambda g: g.homing(),
    "Grasp": lambda g: g.grasp(0.02, 0.1, 40),
    "Move": lambda g: g.move(0.04, 0.1),
    "Stop": lambda g: g.stop(),
}


@pytest.mark.parametrize("command", COMMANDS)
@pytest.mark.parametrize(
    "status, outcome",
    [
        (0, True),
        (2, False),
        (1, ("command", "libkorvex gripper: Command failed!")),
        (3, ("command", "libkorvex gripper: Command aborted!")),
        (4, ("protocol", "libkorvex gripper: Unexpected response while handling command!")),
        (7, ("protocol", "libkorvex gripper: Unexpected response while handling command!")),
    ],
)
def test_reply_statuses(hand, gripper, command, status, outcome):
    hand.force_status(command, status)
    if isinstance(outcome, bool):
        assert COMMANDS[command](gripper) is outcome
    else:
        expect_error(*outcome, COMMANDS[command], gripper)


@pytest.mark.parametrize("payload", [b"", b"\x00"])
def test_reply_without_a_status_is_a_size_error(hand, gripper, payload):
    hand.force_reply("Move", payload)
    expect_error("protocol", "libkorvex: Incorrect TCP message size.", gripper.move, 0.04, 0.1)


@pytest.mark.parametrize(
    "payload, kind, message",
    [
        (
            b"\x01\x00\x02\x00",
            "incompatible_version",
            "libkorvex: Incompatible library version (server version: 2, library version: 3).",
        ),
        (b"\x02\x00\x03\x00", "protocol", "libkorvex: Protocol error during connection attempt"),
        (b"\x00\x00\x03", "protocol", "libkorvex: Incorrect TCP message size."),
    ],
)
def test_connect_replies(hand, payload, kind, message):
    hand.force_reply("Connect", payload)
    expect_error(kind, message, korvex.Gripper, hand.address)


def test_connection_refused_is_a_network_error(hand):
    address = hand.address
    hand.stop()
    with pytest.raises(korvex.KorvexError) as info:
        korvex.Gripper(address)
    assert info.value.kind == "network"


# ---------------------------------------------------------------- the simulated hand


def test_homing_finds_the_maximum_width(hand, gripper):
    assert read_fresh(hand, gripper).max_width == 0.0
    assert gripper.homing() is True
    state = read_fresh(hand, gripper)
    assert (state.width, state.max_width, state.is_grasped) == (0.08, 0.08, False)


@pytest.mark.parametrize(
    "object_width, width, epsilons, held",
    [
        (0.03, 0.03, {}, True),
        (0.034, 0.03, {}, True),
        (0.036, 0.03, {}, False),  # beyond the default outer epsilon
        (0.036, 0.03, {"epsilon_outer": 0.01}, True),
        (0.024, 0.03, {}, False),
        (0.024, 0.03, {"epsilon_inner": 0.01}, True),
        (None, 0.02, {}, False),  # nothing to hold: the fingers close completely
    ],
)
def test_grasp_holds_an_object_within_the_epsilons(hand, gripper, object_width, width, epsilons, held):
    hand.object_width = object_width
    assert gripper.grasp(width, 1.0, 40, **epsilons) is held
    state = read_fresh(hand, gripper)
    assert state.is_grasped is held
    assert state.width == pytest.approx(object_width or 0.0, abs=1e-12)


def test_move_reaches_its_width_or_stops_at_the_object(hand, gripper):
    assert gripper.move(0.05, 1.0) is True
    assert read_fresh(hand, gripper).width == pytest.approx(0.05, abs=1e-12)
    hand.object_width = 0.03
    assert gripper.move(0.01, 1.0) is False
    assert hand.width == pytest.approx(0.03, abs=1e-12)
    expect_error("command", "libkorvex gripper: Command failed!", gripper.move, 0.09, 1.0)
    expect_error("command", "libkorvex gripper: Command failed!", gripper.move, 0.04, 0.0)


def test_stop_from_a_second_thread_aborts_a_waiting_grasp(hand, gripper):
    grasp = in_thread(lambda: gripper.grasp(0.0, 0.002, 40))  # 40 s to close
    deadline = time.monotonic() + WAIT
    while not hand.busy and time.monotonic() < deadline:
        time.sleep(0.005)
    assert hand.busy
    assert gripper.stop() is True
    with pytest.raises(korvex.KorvexError) as info:
        grasp()
    assert (info.value.kind, str(info.value)) == ("command", "libkorvex gripper: Command aborted!")
    assert not hand.busy
    assert 0.07 < hand.width < 0.08


def test_read_once_runs_beside_a_move(hand, gripper):
    move = in_thread(lambda: gripper.move(0.0, 0.02))  # 4 s to close
    deadline = time.monotonic() + WAIT
    while not hand.busy and time.monotonic() < deadline:
        time.sleep(0.005)
    first = gripper.read_once()
    time.sleep(0.05)
    second = gripper.read_once()
    assert 0.0 < second.width < first.width < 0.08
    assert gripper.stop() is True
    with pytest.raises(korvex.KorvexError):
        move()


# ---------------------------------------------------------------- states


def test_read_once_returns_a_state_that_arrived_after_the_call(hand, gripper):
    hand.temperature = 44
    hand.pause_states(True)
    hand.send_state(message_id=7)  # waiting before the call: discarded
    state = read_fresh(hand, gripper, message_id=1500)
    assert state.time == 1.5
    assert (state.width, state.max_width, state.is_grasped, state.temperature) == (0.08, 0.0, False, 44)
    assert [type(v) for v in (state.width, state.max_width, state.is_grasped, state.temperature, state.time)] == [
        float,
        float,
        bool,
        int,
        float,
    ]
    assert repr(state) == "GripperState(width=0.0800, max_width=0.0000, is_grasped=false, temperature=44, time=1.500)"


def test_state_repr_with_a_held_object(hand, gripper):
    hand.object_width = 0.0251
    assert gripper.grasp(0.025, 1.0, 40) is True
    state = read_fresh(hand, gripper, message_id=123456)
    assert repr(state) == "GripperState(width=0.0251, max_width=0.0000, is_grasped=true, temperature=31, time=123.456)"


def test_state_attributes_are_read_only(hand, gripper):
    state = gripper.read_once()
    with pytest.raises(AttributeError):
        state.width = 1.0


@pytest.mark.parametrize("size", [22, 24, 0])
def test_state_of_a_wrong_size(hand, gripper, size):
    with pytest.raises(korvex.KorvexError) as info:
        read_fresh(hand, gripper, size=size)
    assert (info.value.kind, str(info.value)) == ("protocol", "libkorvex: incorrect object size")


def test_read_once_times_out_when_no_state_comes(hand, gripper):
    hand.pause_states(True)
    start = time.monotonic()
    expect_error("network", "libkorvex: UDP receive: Timeout", gripper.read_once)
    assert 0.9 < time.monotonic() - start < 5.0  # about the 1 s timeout; generous under load


def test_states_keep_coming(gripper):
    times = [gripper.read_once().time for _ in range(3)]
    assert times[0] < times[1] < times[2]


# ---------------------------------------------------------------- port 1338 and the robot's gripper


def test_default_port_1338():
    with GripperSimulator(host="127.0.0.21") as sim:
        assert (sim.port, sim.address) == (1338, "127.0.0.21:1338")
        assert korvex.Gripper("127.0.0.21").server_version == 3


@pytest.mark.skipif(not hasattr(korvex.Robot, "gripper"), reason="Robot.gripper is not wired yet")
def test_robot_gripper_uses_the_robots_host():
    import korvex.sim

    with korvex.sim.ArmSimulator(model="zk2", host="127.0.0.22", port=0) as arm, GripperSimulator(
        host="127.0.0.22"
    ) as hand:
        robot = connect(arm.address)
        assert arm.address != "127.0.0.22:1338"
        gripper = robot.gripper()
        assert repr(gripper) == "Gripper(server_version=3)"
        assert hand.command_count("Connect") == 1


# ---------------------------------------------------------------- simulator controls


def test_simulator_rejects_bad_controls(hand):
    with pytest.raises(ValueError):
        hand.object_width = -0.01
    with pytest.raises(ValueError):
        hand.object_width = 0.09
    with pytest.raises(ValueError):
        hand.force_status("Jump", 0)
    with pytest.raises(ValueError):
        GripperSimulator(port=70000)
    assert hand.object_width is None and hand.max_width == 0.08
