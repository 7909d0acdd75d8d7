"""Simulated arm for development without hardware.

    with korvex.sim.ArmSimulator("zk2") as sim:
        robot = korvex.Robot(sim.address, realtime="ignore")

Run ``korvex-sim --model zk2 --host 127.0.0.1 --port 1337`` (or ``python -m korvex.sim``) to serve one on the
network until interrupted, with the gripper beside it on port 1338 of the same host (``--gripper-port``,
``--no-gripper``).
"""
from __future__ import annotations

import argparse
import signal
import sys
import threading

from _korvex_sim import ArmSimulator, GripperSimulator

__all__ = ["ArmSimulator", "GripperSimulator", "main"]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="korvex-sim", description="Serve a simulated arm until interrupted.")
    parser.add_argument("--model", choices=["zk2", "zk1"], default="zk2")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=1337)
    parser.add_argument("--pacing", choices=["realtime", "lockstep"], default="realtime")
    parser.add_argument("--gripper-port", type=int, default=1338, help="port of the gripper beside the arm")
    parser.add_argument("--no-gripper", action="store_true", help="serve the arm alone")
    args = parser.parse_args(argv)
    try:
        sim = ArmSimulator(args.model, args.host, args.port, pacing=args.pacing)
        sim.start()
        hand = None
        if not args.no_gripper:
            hand = GripperSimulator(args.host, args.gripper_port)
            hand.start()
    except (RuntimeError, ValueError) as e:
        print(e, file=sys.stderr)
        return 1
    done = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: done.set())
    where = f"korvex-sim: {args.model.upper()} arm (KXP version {sim.kxp_version}) listening on {sim.address}"
    if hand is not None:
        where += f", gripper on {hand.address}"
    print(where, flush=True)
    while not done.wait(0.2):
        pass
    if hand is not None:
        hand.stop()
    sim.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
