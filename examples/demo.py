"""A tour of korvex against the simulated arm: connect, read a state, configure, and see a refused command."""
import numpy as np

import korvex
import korvex.sim


# Arm and gripper share a host, as on a real arm; a host of its own keeps the gripper's port 1338 free.
HOST = "127.0.0.2"


def main():
    with korvex.sim.ArmSimulator("zk2", host=HOST) as sim, korvex.sim.GripperSimulator(host=HOST) as hand_sim:
        print(f"simulated ZK2 arm listening on {sim.address}")

        # "ignore": these machines have no realtime kernel; a real arm wants "enforce".
        robot = korvex.Robot(sim.address, realtime="ignore")
        print(robot)

        state = robot.read_once()
        print("robot mode:", state.robot_mode)
        print("q [rad]:", np.round(state.q, 4))
        print("end effector position [m]:", np.round(state.O_T_EE[:3, 3], 4))

        robot.set_collision_behavior_simple([20.0] * 7, [40.0] * 7, [20.0] * 6, [40.0] * 6)
        robot.set_joint_impedance([3000, 3000, 3000, 2500, 2500, 2000, 2000])
        robot.set_cartesian_impedance([3000, 3000, 3000, 300, 300, 300])
        print("impedances and collision thresholds set")

        # An arm with closed brakes refuses configuration; the library says why.
        sim.brakes_open = False
        robot.read_once()
        try:
            robot.set_joint_impedance([3000] * 7)
        except korvex.KorvexError as e:
            print(f"refused ({e.kind}): {e}")
        sim.brakes_open = True

        # The gripper lives on the arm's host, port 1338.
        hand = robot.gripper()
        hand.homing()
        hand_sim.object_width = 0.03  # a 3 cm part between the fingers
        held = hand.grasp(0.03, 0.1, 20.0)
        print(f"grasp held: {held};", hand.read_once())
        hand.move(0.08, 0.1)
        print("released:", hand.read_once())


if __name__ == "__main__":
    main()
