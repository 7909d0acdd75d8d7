"""The simulator as a product: its options, controls and fault injection, seen through a Robot."""
import subprocess
import sys

import numpy as np
import pytest

import korvex
import korvex.sim
from conftest import connect


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"model": "zk3"}, "korvex-sim: unknown arm model zk3 (expected zk2 or zk1)"),
        ({"pacing": "fast"}, "korvex-sim: unknown pacing fast (expected realtime or lockstep)"),
        ({"port": 70000}, "korvex-sim: port must be 0 to 65535, got 70000"),
    ],
)
def test_bad_options_are_value_errors(kwargs, message):
    with pytest.raises(ValueError) as e:
        korvex.sim.ArmSimulator(**kwargs)
    assert str(e.value) == message


def test_address_port_and_version():
    for model, version in (("zk2", 10), ("zk1", 5)):
        with korvex.sim.ArmSimulator(model) as sim:
            host, port = sim.address.split(":")
            assert host == "127.0.0.1" and int(port) == sim.port > 0
            assert sim.kxp_version == version
            assert sim.robot_mode == "Idle"


def test_setting_q_moves_the_arm_and_its_pose():
    with korvex.sim.ArmSimulator("zk2", pacing="lockstep") as sim:
        robot = connect(sim.address)
        before = robot.read_once()
        q = before.q.copy()
        q[0] += 0.5
        sim.q = q.tolist()
        robot.read_once()  # may still be a state sent before the change
        after = robot.read_once()
        np.testing.assert_allclose(after.q, q, atol=1e-6)
        assert not np.allclose(after.O_T_EE[:3, 3], before.O_T_EE[:3, 3])
        with pytest.raises(ValueError, match="expected a sequence of length 7"):
            sim.q = [0.0] * 6


def test_dropped_and_delayed_states_show_as_gaps():
    with korvex.sim.ArmSimulator("zk2") as sim:
        robot = connect(sim.address)
        first = robot.read_once()
        sim.drop_states(50)
        second = robot.read_once()
        # The drop skips at least the 50 dropped ids.
        assert second.time - first.time >= 0.050  # seconds
        sim.delay_next_state(100)
        third = robot.read_once()
        assert third.time > second.time


def test_paused_states_time_out_and_end_the_connection():
    with korvex.sim.ArmSimulator("zk1") as sim:
        robot = connect(sim.address)
        sim.pause_states(True)
        with pytest.raises(korvex.KorvexError) as e:
            for _ in range(5):  # a state sent just before the pause may still arrive
                robot.read_once()
        assert e.value.kind == "network" and str(e.value) == "libkorvex: UDP receive: Timeout"
        with pytest.raises(korvex.KorvexError):
            robot.stop()


def test_closed_connection_fails_the_next_command():
    with korvex.sim.ArmSimulator("zk2") as sim:
        robot = connect(sim.address)
        sim.close_connection()
        with pytest.raises(korvex.KorvexError) as e:
            robot.set_joint_impedance([1000.0] * 7)
        assert e.value.kind == "network"


def test_reflex_and_user_stop_modes_and_recovery():
    with korvex.sim.ArmSimulator("zk2") as sim:
        robot = connect(sim.address)
        sim.trigger_reflex(["joint_reflex", "cartesian_reflex"])
        assert sim.robot_mode == "Reflex"
        assert robot.read_once().last_motion_errors == ["joint_reflex", "cartesian_reflex"]
        robot.automatic_error_recovery()
        assert sim.robot_mode == "Idle"
        sim.press_user_stop()
        with pytest.raises(korvex.KorvexError) as e:
            robot.automatic_error_recovery()
        assert str(e.value) == "libkorvex: Automatic Error Recovery command aborted: User Stop pressed!"
        sim.release_user_stop()
        assert sim.robot_mode == "Idle"


def test_command_line_program_serves_arm_and_gripper():
    host = "127.0.0.31"  # a host of its own keeps the gripper's port free
    proc = subprocess.Popen(
        [sys.executable, "-m", "korvex.sim", "--model", "zk1", "--host", host, "--port", "0"],
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        line = proc.stdout.readline()
        prefix = f"korvex-sim: ZK1 arm (KXP version 5) listening on {host}:"
        assert line.startswith(prefix) and line.endswith(f", gripper on {host}:1338\n")
        robot = connect(line[len(prefix) - len(host) - 1 :].split(",")[0])
        assert robot.kxp_version == 5
        assert robot.gripper().read_once().width >= 0.0
    finally:
        proc.terminate()
        assert proc.wait(timeout=10) == 0
        proc.stdout.close()
