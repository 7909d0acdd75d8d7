"""Fixtures: a simulated arm per test on an ephemeral loopback port, and Robots built off the test thread.

Constructing a Robot raises the constructing thread to SCHED_FIFO (even with realtime="ignore"), so
every construction runs in a short-lived helper thread and the runner's own thread keeps its priority.
"""
import socket
import threading

import pytest

import korvex

CONNECT_TIMEOUT = 30.0


def construct(address, **kwargs):
    """`korvex.Robot(address, **kwargs)` in a helper thread; re-raises what the constructor raised."""
    outcome = {}

    def run():
        try:
            outcome["robot"] = korvex.Robot(address, **kwargs)
        except BaseException as e:  # handed to the test thread
            outcome["error"] = e

    thread = threading.Thread(target=run, name="korvex-test-connect")
    thread.start()
    thread.join(CONNECT_TIMEOUT)
    assert not thread.is_alive(), "Robot construction did not return"
    if "error" in outcome:
        raise outcome["error"]
    return outcome["robot"]


def connect(address, **kwargs):
    kwargs.setdefault("realtime", "ignore")
    return construct(address, **kwargs)


def closed_port():
    """A loopback port with nothing listening on it."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def listener():
    """A listening loopback socket that never answers: shows whether anything tried to connect."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        s.listen(4)
        s.settimeout(0.2)
        yield s


def _simulator(model, **kwargs):
    import korvex.sim  # only the simulator-backed tests need the second extension

    # Lockstep: motions run as fast as the client answers; outside motions states come every millisecond.
    kwargs.setdefault("pacing", "lockstep")
    return korvex.sim.ArmSimulator(model=model, host="127.0.0.1", port=0, **kwargs)


@pytest.fixture
def sim():
    with _simulator("zk2") as s:
        yield s


@pytest.fixture
def zk1_sim():
    with _simulator("zk1") as s:
        yield s


@pytest.fixture
def closed_brakes_sim():
    with _simulator("zk2", brakes_open=False) as s:
        yield s


@pytest.fixture
def robot(sim):
    return connect(sim.address)


@pytest.fixture
def state(robot):
    return robot.read_once()
